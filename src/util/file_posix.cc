#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// Opens `path` without waiting on a FIFO (O_NONBLOCK) and accepts it only
// when it is a regular file; the descriptor is made blocking again.
// `flags` with O_NOFOLLOW refuses a symbolic link in the last place.
Result<int> OpenRegular(const std::filesystem::path& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    // A link refused by O_NOFOLLOW, or a FIFO without a reader.
    if (errno == ELOOP || errno == ENXIO) return Error{NotRegularFileText(path)};
    return LastOsError();
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    Error error = LastOsError();
    ::close(fd);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Error{NotRegularFileText(path)};
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

Result<OutputFile> OutputFile::CreateTruncate(const std::filesystem::path& path) {
  Result<int> fd = OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
  if (!fd.ok()) return std::move(fd).TakeError();
  return OutputFile(fd.value());
}

Result<OutputFile> OutputFile::CreateTruncateHeld(const std::filesystem::path& path, const std::string& in_use) {
  // Truncated only once held: another run's file is left alone.
  Result<int> fd = OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW);
  if (!fd.ok()) return std::move(fd).TakeError();
  OutputFile file(fd.value());
  int locked;
  do {
    locked = ::flock(fd.value(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return errno == EWOULDBLOCK ? Error{in_use} : LastOsError();
  if (::ftruncate(fd.value(), 0) != 0) return LastOsError();
  return file;
}

Result<OutputFile> OutputFile::CreateNew(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return LastOsError();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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

Result<FileReader> FileReader::Open(const std::filesystem::path& path) {
  Result<int> opened = OpenRegular(path, O_RDONLY);
  if (!opened.ok()) return std::move(opened).TakeError();
  return FileReader(opened.value(), path);
}

Result<size_t> FileReader::ReadSome(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return LastOsError();
  }
}

void FileReader::Close() {
  if (handle_ != kInvalid) {
    ::close(static_cast<int>(handle_));
    handle_ = kInvalid;
  }
}

Status ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return LastOsError();
  return Status::Ok();
}

Status WriteStandardStream(StandardStream stream, std::string_view bytes) {
  return WriteAllFd(stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO, bytes);
}

}  // namespace aurvane
