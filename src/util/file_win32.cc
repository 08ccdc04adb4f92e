#include <windows.h>
// windows.h maps these names to their -A/-W variants; ours are our own.
#undef ReplaceFile

#include <cassert>
#include <utility>

#include "util/file.h"
#include "util/standard_stream.h"
#include "util/wide.h"

namespace aurvane {

std::string OsErrorText(int code) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n > 0 && buffer != nullptr) {
    std::wstring_view message(buffer, n);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
      message.remove_suffix(1);
    }
    text = Utf8FromWide(message);
  } else {
    text = "Unknown error";
  }
  if (buffer != nullptr) ::LocalFree(buffer);
  return text + " (os error " + std::to_string(code) + ")";
}

Error LastOsError() { return Error{OsErrorText(static_cast<int>(::GetLastError()))}; }

namespace {

HANDLE AsHandle(intptr_t raw) { return reinterpret_cast<HANDLE>(raw); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

Status WriteAllHandle(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return LastOsError();
    bytes.remove_prefix(written);
  }
  return Status::Ok();
}

// Opens or creates `path` for writing without following a symbolic link or
// junction in the last place (what O_NOFOLLOW does on POSIX): the link
// itself is opened and then refused, before anything is written or cut.
Result<HANDLE> OpenForWriting(const std::filesystem::path& path) {
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastOsError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) {
    Error error = LastOsError();
    ::CloseHandle(handle);
    return error;
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      ::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return Error{NotRegularFileText(path)};
  }
  return handle;
}

}  // namespace

Result<OutputFile> OutputFile::CreateTruncate(const std::filesystem::path& path) {
  Result<HANDLE> handle = OpenForWriting(path);
  if (!handle.ok()) return std::move(handle).TakeError();
  OutputFile file(reinterpret_cast<intptr_t>(handle.value()));
  if (!::SetEndOfFile(handle.value())) return LastOsError();
  return file;
}

Result<OutputFile> OutputFile::CreateTruncateHeld(const std::filesystem::path& path, const std::string& in_use) {
  Result<HANDLE> opened = OpenForWriting(path);
  if (!opened.ok()) return std::move(opened).TakeError();
  HANDLE handle = opened.value();
  OutputFile file(reinterpret_cast<intptr_t>(handle));
  // A lock on one byte far past any content: it marks the file as held
  // without standing in the way of our own writes.
  OVERLAPPED at = {};
  at.OffsetHigh = 0x40000000;
  if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    DWORD code = ::GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return Error{in_use};
    return Error{OsErrorText(static_cast<int>(code))};
  }
  if (!::SetEndOfFile(handle)) return LastOsError();
  return file;
}

Result<OutputFile> OutputFile::CreateNew(const std::filesystem::path& path) {
  if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) return LastOsError();
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastOsError();
  return OutputFile(reinterpret_cast<intptr_t>(handle));
}

Status OutputFile::WriteAll(std::string_view bytes) {
  assert(is_open() && "WriteAll on a closed file");
  return WriteAllHandle(AsHandle(handle_), bytes);
}

void OutputFile::Close() {
  if (handle_ != kInvalid) {
    ::CloseHandle(AsHandle(handle_));
    handle_ = kInvalid;
  }
}

Result<FileReader> FileReader::Open(const std::filesystem::path& path) {
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastOsError();
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return Error{NotRegularFileText(path)};
  }
  return FileReader(reinterpret_cast<intptr_t>(handle), path);
}

Result<size_t> FileReader::ReadSome(char* buffer, size_t size) {
  DWORD n = 0;
  if (!::ReadFile(AsHandle(handle_), buffer, static_cast<DWORD>(size), &n, nullptr)) return LastOsError();
  return static_cast<size_t>(n);
}

void FileReader::Close() {
  if (handle_ != kInvalid) {
    ::CloseHandle(AsHandle(handle_));
    handle_ = kInvalid;
  }
}

Status ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return LastOsError();
  return Status::Ok();
}

Status WriteStandardStream(StandardStream stream, std::string_view bytes) {
  HANDLE handle = ::GetStdHandle(stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  // A process started without the stream has nowhere to write it.
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return Error{OsErrorText(ERROR_INVALID_HANDLE)};
  }
  return WriteAllHandle(handle, bytes);
}

}  // namespace aurvane
