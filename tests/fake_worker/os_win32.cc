#include <windows.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "os.h"

namespace fake_worker {

namespace {

bool WriteAll(DWORD which, std::string_view bytes) {
  HANDLE handle = ::GetStdHandle(which);
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

constexpr char kSleeperFlag[] = "--fake-worker-sleep";

}  // namespace

bool WriteStdout(std::string_view bytes) { return WriteAll(STD_OUTPUT_HANDLE, bytes); }
void WriteStderr(std::string_view bytes) { (void)WriteAll(STD_ERROR_HANDLE, bytes); }

long ReadStdin(char* buffer, size_t size) {
  DWORD n = 0;
  if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(size), &n, nullptr)) {
    return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<long>(n);
}

void CloseStdout() {
  ::CloseHandle(::GetStdHandle(STD_OUTPUT_HANDLE));
  ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
}

void CloseStdin() {
  ::CloseHandle(::GetStdHandle(STD_INPUT_HANDLE));
  ::SetStdHandle(STD_INPUT_HANDLE, nullptr);
}

void ExitNow(int code) { ::ExitProcess(static_cast<UINT>(code)); }

void RaiseSignal(int number) { ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(128 + number)); }

namespace {

std::string Utf8(const wchar_t* text, int length) {
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

// Values are reported in UTF-8 (the A functions would use the code page).
std::optional<std::string> GetEnv(const char* name) {
  std::wstring wide_name(name, name + std::strlen(name));
  wchar_t buf[32768];
  DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), buf, 32768);
  if (n == 0 || n >= 32768) return std::nullopt;
  return Utf8(buf, static_cast<int>(n));
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text;
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(file, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  ::CloseHandle(file);
  return text;
}

Created CreateEmptyFile(const std::string& path, bool exclusive) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, exclusive ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(file);
    return Created::kYes;
  }
  DWORD code = ::GetLastError();
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? Created::kExists : Created::kFailed;
}

// There is no sleep program to rely on: the sleeper is this executable
// again. A new session has no Windows counterpart (the job keeps it).
int64_t StartSleeper(double seconds, const SleeperOptions&) {
  wchar_t self[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return -1;
  std::wstring command = L"\"" + std::wstring(self) + L"\" " +
                         std::wstring(kSleeperFlag, kSleeperFlag + sizeof kSleeperFlag - 1) + L" " +
                         std::to_wstring(static_cast<long long>(seconds));
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE null_in = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                 0, nullptr);
  HANDLE null_out = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr);
  // Only the two null-device handles are inherited, as on POSIX, where the
  // sleeper's descriptors are the null device and nothing else: inheriting
  // every inheritable handle would hand it this worker's event pipe, which
  // then stays open after the worker dies, until the sleeper does.
  HANDLE inherited[] = {null_in, null_out};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::string storage(size, '\0');
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  const bool listed = ::InitializeProcThreadAttributeList(attributes, 1, 0, &size) != 0;
  bool ok = listed && ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                  sizeof inherited, nullptr, nullptr);
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_in;
  startup.StartupInfo.hStdOutput = null_out;
  startup.StartupInfo.hStdError = null_out;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION info = {};
  ok = ok && ::CreateProcessW(self, command.data(), nullptr, nullptr, TRUE,
                              CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                              &startup.StartupInfo, &info);
  if (listed) ::DeleteProcThreadAttributeList(attributes);
  ::CloseHandle(null_in);
  ::CloseHandle(null_out);
  if (!ok) return -1;
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return info.dwProcessId;
}

void KillParent(bool) {}

bool RunAsSleeper(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != kSleeperFlag) return false;
  std::this_thread::sleep_for(std::chrono::seconds(std::stoll(argv[2])));
  return true;
}

ProcessFacts Facts() {
  ProcessFacts facts;
  wchar_t cwd[MAX_PATH];
  DWORD n = ::GetCurrentDirectoryW(MAX_PATH, cwd);
  if (n > 0 && n < MAX_PATH) {
    facts.cwd = Utf8(cwd, static_cast<int>(n));
  }
  facts.pid = ::GetCurrentProcessId();
  return facts;
}

}  // namespace fake_worker
