// Files and the standard streams, behind a platform-clean interface.
// Every file is opened so that other processes may read, write and delete it
// meanwhile; every handle is owned by exactly one object.
#ifndef AURVANE_UTIL_FILE_H_
#define AURVANE_UTIL_FILE_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "util/result.h"

namespace aurvane {

// The operating system's text for an error code, followed by " (os error N)".
std::string OsErrorText(int code);
// OsErrorText of the calling thread's last error (errno / GetLastError()).
Error LastOsError();

// An open file handle with write access. Unbuffered: WriteAll hands the bytes
// to the operating system before it returns.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file, or truncates it when it exists. Only a regular file
  // is accepted, and a symbolic link in the last place is not followed.
  static Result<OutputFile> CreateTruncate(const std::filesystem::path& path);
  // The same, but the file is first held for this process for as long as it
  // stays open; `in_use` is the error when another process holds it (and
  // then the file is left as it was).
  static Result<OutputFile> CreateTruncateHeld(const std::filesystem::path& path, const std::string& in_use);
  // Creates the file anew: one left at `path` (a planted link included) is
  // removed first, and the creation fails rather than reuse what appears
  // there meanwhile.
  static Result<OutputFile> CreateNew(const std::filesystem::path& path);

  // Writes all bytes (retrying short writes) in as few system calls as the
  // platform allows: one for a regular file.
  Status WriteAll(std::string_view bytes);
  bool is_open() const { return handle_ != kInvalid; }
  void Close();

 private:
  static constexpr intptr_t kInvalid = -1;
  explicit OutputFile(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = kInvalid;
};

// The largest file ReadFile takes.
inline constexpr uint64_t kMaxReadFileBytes = uint64_t{512} << 20;

// A regular file of at most kMaxReadFileBytes, read from its start in
// pieces: a FIFO or a device is refused at once, never waited on or read
// without end. Errors are the operating system's text, or one naming the path
// for those refusals.
class FileReader {
 public:
  static constexpr size_t kPieceBytes = 65536;

  FileReader() = default;
  ~FileReader();
  FileReader(FileReader&& other) noexcept;
  FileReader& operator=(FileReader&& other) noexcept;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  static Result<FileReader> Open(const std::filesystem::path& path);

  // The next piece, valid until the next call; empty at the end of the file.
  // Past kMaxReadFileBytes (checked as it is read: the file may grow
  // meanwhile) the error names the path.
  Result<std::string_view> Next();
  void Close();

 private:
  static constexpr intptr_t kInvalid = -1;
  FileReader(intptr_t handle, std::filesystem::path path);
  // Up to `size` bytes into `buffer`; 0 at the end.
  Result<size_t> ReadSome(char* buffer, size_t size);

  intptr_t handle_ = kInvalid;
  std::filesystem::path path_;
  std::unique_ptr<char[]> buffer_;
  uint64_t total_ = 0;
};

// Reads a whole regular file, as FileReader does.
Result<std::string> ReadFile(const std::filesystem::path& path);

// The refusals' texts, each naming the path.
std::string NotRegularFileText(const std::filesystem::path& path);
std::string TooLargeFileText(const std::filesystem::path& path);

// `error` naming `path`: "<doing> <path>: <error>", unless it names the path
// already. An operating system's error alone never says which file it was.
Error NamingPath(Error error, std::string_view doing, const std::filesystem::path& path);

// Creates or truncates `path` and writes `bytes` into it.
Status WriteFile(const std::filesystem::path& path, std::string_view bytes);

// Renames `from` to `to`, replacing `to` when it exists.
Status ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Writes to the process's standard output / error in full. Standard output is
// locked for the duration of one call so that lines are never interleaved.
Status WriteStdout(std::string_view bytes);
Status WriteStderr(std::string_view bytes);

}  // namespace aurvane

#endif  // AURVANE_UTIL_FILE_H_
