// What files are on every platform: ownership and moves of an OutputFile,
// whole-file writes, and the lock that keeps standard output's lines whole.
#include "util/file.h"

#include <mutex>

#include "util/standard_stream.h"

namespace aurvane {

OutputFile::~OutputFile() { Close(); }

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

std::string NotRegularFileText(const std::filesystem::path& path) { return "Not a regular file: " + path.string(); }

std::string TooLargeFileText(const std::filesystem::path& path) {
  return "File larger than " + std::to_string(kMaxReadFileBytes >> 20) + " MiB: " + path.string();
}

Status WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  Result<OutputFile> file = OutputFile::CreateTruncate(path);
  if (!file.ok()) return std::move(file).TakeError();
  return file.value().WriteAll(bytes);
}

Status WriteStdout(std::string_view bytes) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  return WriteStandardStream(StandardStream::kOutput, bytes);
}

Status WriteStderr(std::string_view bytes) { return WriteStandardStream(StandardStream::kError, bytes); }

}  // namespace aurvane
