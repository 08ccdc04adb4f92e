// What files are on every platform: ownership and moves of an OutputFile,
// whole-file writes, and the lock that keeps standard output's lines whole.
#include "util/file.h"

#include <mutex>
#include <utility>

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

FileReader::FileReader(intptr_t handle, std::filesystem::path path)
    : handle_(handle), path_(std::move(path)), buffer_(std::make_unique<char[]>(kPieceBytes)) {}

FileReader::~FileReader() { Close(); }

FileReader::FileReader(FileReader&& other) noexcept
    : handle_(other.handle_), path_(std::move(other.path_)), buffer_(std::move(other.buffer_)), total_(other.total_) {
  other.handle_ = kInvalid;
}

FileReader& FileReader::operator=(FileReader&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    buffer_ = std::move(other.buffer_);
    total_ = other.total_;
    other.handle_ = kInvalid;
  }
  return *this;
}

Result<std::string_view> FileReader::Next() {
  if (handle_ == kInvalid) return std::string_view();
  Result<size_t> n = ReadSome(buffer_.get(), kPieceBytes);
  if (!n.ok()) return std::move(n).TakeError();
  total_ += n.value();
  if (total_ > kMaxReadFileBytes) return Error{TooLargeFileText(path_)};
  return std::string_view(buffer_.get(), n.value());
}

Result<std::string> ReadFile(const std::filesystem::path& path) {
  Result<FileReader> file = FileReader::Open(path);
  if (!file.ok()) return std::move(file).TakeError();
  std::string data;
  for (;;) {
    Result<std::string_view> piece = file.value().Next();
    if (!piece.ok()) return std::move(piece).TakeError();
    if (piece.value().empty()) return data;
    data.append(piece.value());
  }
}

std::string NotRegularFileText(const std::filesystem::path& path) { return "Not a regular file: " + path.string(); }

std::string TooLargeFileText(const std::filesystem::path& path) {
  return "File larger than " + std::to_string(kMaxReadFileBytes >> 20) + " MiB: " + path.string();
}

Error NamingPath(Error error, std::string_view doing, const std::filesystem::path& path) {
  const std::string named = path.string();
  if (error.message.find(named) != std::string::npos) return error;
  return Error{std::string(doing) + " " + named + ": " + error.message};
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
