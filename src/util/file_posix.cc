#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "util/file.h"
#include "util/standard_stream.h"

namespace aurvane {

std::string OsErrorText(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling `buf`.
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

Error LastOsError() { return Error{OsErrorText(errno)}; }

namespace {

Status WriteAllFd(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastOsError();
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return Status::Ok();
}

}  // namespace

Result<OutputFile> OutputFile::CreateTruncate(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return LastOsError();
  return OutputFile(fd);
}

Status OutputFile::WriteAll(std::string_view bytes) {
  assert(is_open() && "WriteAll on a closed file");
  return WriteAllFd(static_cast<int>(handle_), bytes);
}

void OutputFile::Close() {
  if (handle_ != kInvalid) {
    ::close(static_cast<int>(handle_));
    handle_ = kInvalid;
  }
}

Result<std::string> ReadFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastOsError();
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      Error error = LastOsError();
      ::close(fd);
      return error;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

Status ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return LastOsError();
  return Status::Ok();
}

Status WriteStandardStream(StandardStream stream, std::string_view bytes) {
  return WriteAllFd(stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO, bytes);
}

}  // namespace aurvane
