// Files under /proc, read for the tests on Linux.
#ifndef AURVANE_TESTS_PROC_TEXT_H_
#define AURVANE_TESTS_PROC_TEXT_H_

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "process/handle.h"

namespace aurvane::testing {

// The text of a /proc file, or "" when it cannot be read. Read with read(2):
// a process can be reaped while its file is read, the read then fails with
// ESRCH, and std::ifstream turns that into an exception that ends the test.
inline std::string ProcText(const std::string& path) {
  std::string text;
  Handle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid() || file.get() < 0) return text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(static_cast<int>(file.get()), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string();
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace aurvane::testing

#endif  // AURVANE_TESTS_PROC_TEXT_H_
