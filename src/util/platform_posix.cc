#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "util/platform.h"

namespace aurvane {

std::vector<std::filesystem::path> CommandLineArguments(int argc, char** argv) {
  std::vector<std::filesystem::path> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void PrepareControllerProcess() {
  signal(SIGPIPE, SIG_IGN);
  // A standard stream closed by whoever started us would otherwise be the
  // lowest free descriptor, and the first file we open (the event log)
  // would take its place: the echoed records would land in the log a second
  // time. The null device holds the place, opened for reading only, so that
  // standard input reads as ended and a write to standard output fails as a
  // closed one should.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

}  // namespace aurvane
