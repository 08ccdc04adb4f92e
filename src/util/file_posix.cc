#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "util/file.h"

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

OutputFile::~OutputFile() { Close(); }

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) {
  other.handle_ = kInvalid;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

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

Status WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  Result<OutputFile> file = OutputFile::CreateTruncate(path);
  if (!file.ok()) return std::move(file).TakeError();
  return file.value().WriteAll(bytes);
}

Status ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return LastOsError();
  return Status::Ok();
}

Status WriteStdout(std::string_view bytes) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  return WriteAllFd(STDOUT_FILENO, bytes);
}

Status WriteStderr(std::string_view bytes) { return WriteAllFd(STDERR_FILENO, bytes); }

}  // namespace aurvane
