#include <windows.h>

#include "process/handle.h"
#include "util/file.h"

namespace aurvane {

namespace {

HANDLE AsHandle(const Handle& handle) { return reinterpret_cast<HANDLE>(handle.get()); }
Handle Own(HANDLE raw) { return Handle(reinterpret_cast<intptr_t>(raw)); }

// Large enough that a worker writing a long line rarely waits on us.
constexpr DWORD kPipeBufferBytes = 64 * 1024;

}  // namespace

void Handle::Close() {
  if (raw_ == kInvalid) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(raw_));
  raw_ = kInvalid;
}

Result<size_t> PipeReader::Read(char* buffer, size_t size) {
  DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD n = 0;
  if (::ReadFile(AsHandle(handle_), buffer, chunk, &n, nullptr)) return static_cast<size_t>(n);
  DWORD code = ::GetLastError();
  // Every writer has closed its end (the worker exited): the end of stream.
  if (code == ERROR_BROKEN_PIPE) return size_t{0};
  return Error{OsErrorText(static_cast<int>(code))};
}

Status PipeWriter::WriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(AsHandle(handle_), bytes.data(), chunk, &written, nullptr)) return LastOsError();
    bytes.remove_prefix(written);
  }
  return Status::Ok();
}

// An anonymous pipe has no non-blocking write (PIPE_NOWAIT is kept only for
// compatibility with LAN Manager): a worker's commands all go through its
// control writer, which may wait.
Status PipeWriter::SetNonBlocking() { return Error{"non-blocking pipe writes are not supported"}; }

Result<size_t> PipeWriter::WriteSome(std::string_view) {
  return Error{"non-blocking pipe writes are not supported"};
}

Result<Pipe> MakePipe() {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  // No security attributes: neither end is inheritable. A child gets its
  // ends through an inheritable copy made for it alone.
  if (!::CreatePipe(&read_end, &write_end, nullptr, kPipeBufferBytes)) return LastOsError();
  return Pipe{PipeReader(Own(read_end)), PipeWriter(Own(write_end))};
}

Result<Handle> CreateLogFile(const std::filesystem::path& path) {
  // A link or junction planted under the log's name is opened itself and
  // refused, never written through (as O_NOFOLLOW on POSIX).
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastOsError();
  Handle owned = Own(handle);
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return LastOsError();
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      ::GetFileType(handle) != FILE_TYPE_DISK) {
    return Error{NotRegularFileText(path)};
  }
  if (!::SetEndOfFile(handle)) return LastOsError();
  return owned;
}

}  // namespace aurvane
