// The Windows half of the whole-program harness: CreateProcessW with three
// anonymous pipes and an explicit list of inherited handles, one reader
// thread per output pipe, TerminateProcess after the timeout, and
// OpenProcess for live processes.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "process/command_line.h"
#include "program_support.h"
#include "util/wide.h"

namespace aurvane::testing {

namespace {

// One owned kernel handle.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~Handle() { Close(); }
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void Close() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// An anonymous pipe whose child end alone is inheritable.
struct Pipe {
  Handle read;
  Handle write;
};

bool MakePipe(Pipe& pipe, bool child_reads) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!::CreatePipe(&read, &write, &inherit, 0)) return false;
  pipe.read = Handle(read);
  pipe.write = Handle(write);
  return ::SetHandleInformation(child_reads ? write : read, HANDLE_FLAG_INHERIT, 0) != 0;
}

// What the reader threads hand to the test's thread, which alone runs the
// callbacks (and so every gtest assertion).
struct Output {
  std::mutex mutex;
  std::condition_variable changed;
  std::string out;  // not yet taken
  std::string err;
  bool out_done = false;
  bool err_done = false;
};

void ReadUntilEnd(HANDLE pipe, Output& output, bool is_out) {
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    bool ok = ::ReadFile(pipe, buf, sizeof buf, &n, nullptr) != 0;
    std::lock_guard lock(output.mutex);
    if (!ok || n == 0) {
      (is_out ? output.out_done : output.err_done) = true;
      output.changed.notify_all();
      return;
    }
    (is_out ? output.out : output.err).append(buf, n);
    output.changed.notify_all();
  }
}

class Running : public ControllerHandle {
 public:
  Running(Handle process, DWORD pid, Handle stdin_write)
      : process_(std::move(process)), pid_(pid), stdin_(std::move(stdin_write)) {}
  ~Running() override { CloseStdin(); }

  // Tests that send signals skip on Windows (see kPosixProcesses).
  void Signal(int signal) override { ADD_FAILURE() << "no signal " << signal << " to send on Windows"; }
  void WriteStdin(const std::string& text) override {
    if (!stdin_) return;
    DWORD written = 0;
    ::WriteFile(stdin_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  void CloseStdin() override { stdin_.Close(); }
  int pid() const override { return static_cast<int>(pid_); }
  HANDLE process() const { return process_.get(); }

 private:
  Handle process_;
  DWORD pid_;
  Handle stdin_;
};

// Calls `on_line` for every complete line in `partial`, leaving the rest.
void TakeLines(std::string& partial, ProgramResult& result, const ProgramOptions& options, Running& running) {
  size_t nl;
  while ((nl = partial.find('\n')) != std::string::npos) {
    std::string line = partial.substr(0, nl);
    partial.erase(0, nl + 1);
    result.out_lines.push_back(line);
    if (options.on_line) options.on_line(line, running);
  }
}

}  // namespace

std::string NativePath(const std::string& build_path) {
  if (build_path.empty() || build_path[0] != '/') return build_path;
  std::string path = "Z:" + build_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

ProgramResult RunProgram(const std::string& program, const ProgramOptions& options) {
  ProgramResult result;
  const std::string native = NativePath(program);
  Pipe in, out, err;
  if (!MakePipe(in, true) || !MakePipe(out, false) || !MakePipe(err, false)) {
    ADD_FAILURE() << "cannot create pipes: " << ::GetLastError();
    return result;
  }

  // Only the three pipe ends are inherited, so that no other test's handle
  // keeps a pipe open after its program has ended.
  HANDLE inherited[] = {in.read.get(), out.write.get(), err.write.get()};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
      !::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                   nullptr, nullptr)) {
    ADD_FAILURE() << "cannot build the handle list: " << ::GetLastError();
    return result;
  }
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in.read.get();
  startup.StartupInfo.hStdOutput = out.write.get();
  startup.StartupInfo.hStdError = err.write.get();
  startup.lpAttributeList = attributes;

  std::vector<std::wstring> args = {WideFromUtf8(native)};
  for (const std::string& arg : options.args) args.push_back(WideFromUtf8(arg));
  std::wstring command_line = BuildWindowsCommandLine(args);
  const std::wstring application = WideFromUtf8(native);
  const std::wstring cwd = options.cwd.wstring();
  PROCESS_INFORMATION info = {};
  BOOL started = ::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                                  nullptr, cwd.empty() ? nullptr : cwd.c_str(), &startup.StartupInfo, &info);
  DWORD start_error = ::GetLastError();
  ::DeleteProcThreadAttributeList(attributes);
  in.read.Close();
  out.write.Close();
  err.write.Close();
  if (!started) {
    ADD_FAILURE() << "cannot start " << native << ": error " << start_error;
    return result;
  }
  ::CloseHandle(info.hThread);
  Running running(Handle(info.hProcess), info.dwProcessId, std::move(in.write));

  Output output;
  if (options.close_stdout) {
    out.read.Close();
    output.out_done = true;
  }
  std::thread out_reader;
  if (out.read) out_reader = std::thread(ReadUntilEnd, out.read.get(), std::ref(output), true);
  std::thread err_reader(ReadUntilEnd, err.read.get(), std::ref(output), false);
  if (options.on_start) options.on_start(running);

  // Lines go to the callback as they arrive, on this thread, until standard
  // output ends; then the program is given the rest of the time to exit.
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  std::string partial;
  for (;;) {
    std::string chunk;
    bool done = false;
    {
      std::unique_lock lock(output.mutex);
      output.changed.wait_until(lock, deadline, [&output] { return !output.out.empty() || output.out_done; });
      chunk.swap(output.out);
      done = output.out_done;
    }
    if (chunk.empty() && !done) {
      result.timed_out = true;
      break;
    }
    result.out += chunk;
    partial += chunk;
    TakeLines(partial, result, options, running);
    if (done) break;
  }
  if (!result.timed_out) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    DWORD wait = static_cast<DWORD>(std::max<int64_t>(left.count(), 0));
    result.timed_out = ::WaitForSingleObject(running.process(), wait) != WAIT_OBJECT_0;
  }
  if (result.timed_out) {
    // Its workers go with it: the controller's job handles close when it
    // dies. Then both pipes end, and so do the readers.
    ::TerminateProcess(running.process(), 128 + 9);
    ::WaitForSingleObject(running.process(), INFINITE);
  }
  if (out_reader.joinable()) out_reader.join();
  err_reader.join();
  result.err = std::move(output.err);
  DWORD code = 0;
  ::GetExitCodeProcess(running.process(), &code);
  result.exit_code = static_cast<int>(code);
  EXPECT_FALSE(result.timed_out) << program << " did not finish in time; stderr: " << result.err;
  return result;
}

bool ProcessAlive(int pid) {
  if (pid <= 0) return false;
  HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return false;
  bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return alive;
}

}  // namespace aurvane::testing
