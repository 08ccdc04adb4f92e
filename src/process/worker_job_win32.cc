// Windows: each worker runs in a job object of its own that kills everything
// in it when its last handle closes. The controller holds the only handle,
// so however the controller ends, the system closes it and no worker, and
// nothing a worker started, outlives the controller.
#include <windows.h>

#include "process/command_line.h"
#include "process/worker_job.h"
#include "util/file.h"
#include "util/wide.h"

namespace aurvane {

namespace {

HANDLE AsHandle(const Handle& handle) { return reinterpret_cast<HANDLE>(handle.get()); }

// An inheritable copy of one of our handles, closed when it goes away. The
// originals stay uninheritable, so a child only ever gets what its handle
// list names.
class InheritableCopy {
 public:
  explicit InheritableCopy(const Handle& original) {
    HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, AsHandle(original), self, &copy_, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
      copy_ = nullptr;
    }
  }
  ~InheritableCopy() {
    if (copy_ != nullptr) ::CloseHandle(copy_);
  }
  InheritableCopy(const InheritableCopy&) = delete;
  InheritableCopy& operator=(const InheritableCopy&) = delete;
  HANDLE get() const { return copy_; }

 private:
  HANDLE copy_ = nullptr;
};

// A process-thread attribute list that names exactly the handles the child
// inherits.
class HandleListAttribute {
 public:
  explicit HandleListAttribute(HANDLE* handles, size_t count) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      list_ = nullptr;
      return;
    }
    if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                     nullptr, nullptr)) {
      ::DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  ~HandleListAttribute() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  HandleListAttribute(const HandleListAttribute&) = delete;
  HandleListAttribute& operator=(const HandleListAttribute&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::string storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

class EnvironmentStrings {
 public:
  EnvironmentStrings() : block_(::GetEnvironmentStringsW()) {}
  ~EnvironmentStrings() {
    if (block_ != nullptr) ::FreeEnvironmentStringsW(block_);
  }
  EnvironmentStrings(const EnvironmentStrings&) = delete;
  EnvironmentStrings& operator=(const EnvironmentStrings&) = delete;
  // The whole block, up to and including the NUL that closes it.
  std::wstring_view view() const {
    if (block_ == nullptr) return {};
    const wchar_t* end = block_;
    while (*end != L'\0') end += wcslen(end) + 1;
    return std::wstring_view(block_, static_cast<size_t>(end - block_) + 1);
  }

 private:
  wchar_t* block_;
};

void CloseIfSet(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = nullptr;
}

bool JobIsEmpty(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
  if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr)) {
    return true;  // nothing more can be learnt: stop waiting
  }
  return info.ActiveProcesses == 0;
}

}  // namespace

struct WorkerJob::Impl {
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  HANDLE job = nullptr;

  ~Impl() {
    // Closing the job kills whatever is still in it.
    CloseIfSet(job);
    CloseIfSet(process);
    CloseIfSet(thread);
  }
};

// The job object owns the tree itself: no guard process.
void SetJobGuardProgram(const std::filesystem::path&) {}

Result<std::filesystem::path> FindProgram(const std::string& name) {
  if (name.empty()) return Error{"program not found"};
  std::wstring wide = WideFromUtf8(name);
  if (wide.find_first_of(L"/\\:") != std::wstring::npos) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(wide), ec);
    if (ec) return Error{"program not found"};
    // As the system's own search does, a name without extension may mean
    // the .exe beside it.
    if (!std::filesystem::exists(absolute) && !absolute.has_extension()) {
      std::filesystem::path exe = absolute;
      exe += L".exe";
      if (std::filesystem::exists(exe)) return exe;
    }
    return absolute;
  }
  // The application's folder, the working directory, the system folders,
  // then PATH; ".exe" is added to a name without extension.
  std::wstring found(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::SearchPathW(nullptr, wide.c_str(), L".exe", static_cast<DWORD>(found.size()), found.data(), nullptr);
    if (n == 0) return Error{"program not found"};
    if (n < found.size()) {
      found.resize(n);
      return std::filesystem::path(found);
    }
    found.resize(n);
  }
}

void WorkerJob::ImplDeleter::operator()(Impl* impl) const noexcept { delete impl; }

// A worker ended by the system shows only an exit code here.
std::optional<std::string> WorkerJob::EndedBySignal() const { return std::nullopt; }

Result<WorkerJob> WorkerJob::Start(const ProcessDescription& description, const Handle& stdin_read,
                                   const Handle& stdout_write, const Handle& stderr_file) {
  std::vector<std::wstring> argv;
  argv.push_back(description.program.native());
  for (const NativeString& arg : description.args) argv.push_back(arg);
  std::wstring command_line = BuildWindowsCommandLine(argv);

  std::vector<std::pair<std::wstring, std::wstring>> overrides;
  for (const auto& [name, value] : description.env) overrides.emplace_back(WideFromUtf8(name), WideFromUtf8(value));
  std::wstring environment;
  {
    EnvironmentStrings inherited;
    environment = BuildWindowsEnvironmentBlock(inherited.view(), overrides);
  }

  InheritableCopy in(stdin_read);
  InheritableCopy out(stdout_write);
  InheritableCopy err(stderr_file);
  if (in.get() == nullptr || out.get() == nullptr || err.get() == nullptr) return LastOsError();
  HANDLE inherited[] = {in.get(), out.get(), err.get()};
  HandleListAttribute attributes(inherited, 3);
  if (attributes.get() == nullptr) return LastOsError();

  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in.get();
  startup.StartupInfo.hStdOutput = out.get();
  startup.StartupInfo.hStdError = err.get();
  startup.lpAttributeList = attributes.get();

  // CREATE_NO_WINDOW and CREATE_SUSPENDED are our own flags; the other two
  // say how the environment and the startup record are laid out. The worker
  // runs no instruction before it is in its job: a process it started
  // earlier would be outside the job and outlive it.
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT;
  const wchar_t* cwd = description.cwd.empty() ? nullptr : description.cwd.c_str();
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(description.program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                        environment.data(), cwd, &startup.StartupInfo, &info)) {
    DWORD code = ::GetLastError();
    if ((code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) &&
        !std::filesystem::exists(description.program)) {
      return Error{"program not found"};
    }
    return Error{OsErrorText(static_cast<int>(code))};
  }

  ImplPtr impl(new Impl());
  impl->process = info.hProcess;
  impl->thread = info.hThread;

  DWORD failure = 0;
  impl->job = ::CreateJobObjectW(nullptr, nullptr);
  if (impl->job == nullptr) failure = ::GetLastError();
  if (failure == 0) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(impl->job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      failure = ::GetLastError();
    }
  }
  if (failure == 0 && !::AssignProcessToJobObject(impl->job, impl->process)) failure = ::GetLastError();
  if (failure == 0 && ::ResumeThread(impl->thread) == static_cast<DWORD>(-1)) failure = ::GetLastError();
  if (failure != 0) {
    CloseIfSet(impl->job);
    ::TerminateProcess(impl->process, 1);
    ::WaitForSingleObject(impl->process, INFINITE);
    return Error{OsErrorText(static_cast<int>(failure))};  // impl closes the rest
  }
  return WorkerJob(std::move(impl), static_cast<uint32_t>(info.dwProcessId));
}

// Each process is given an explicit list of handles to inherit, but a
// handle must be inheritable to be listed: starts stay one at a time
// rather than rely on every emulation of that list.
bool WorkerJob::StartsMayOverlap() { return false; }

// A console control event goes to every process of a console group, the
// controller's own included: no worker is interrupted alone.
bool WorkerJob::SendInterrupt() { return false; }

void WorkerJob::StartKilling() {
  ::TerminateJobObject(impl_->job, 1);
  ::TerminateProcess(impl_->process, 1);
}

void WorkerJob::KillAndWait() {
  Impl& job = *impl_;
  ::TerminateJobObject(job.job, 1);
  // Refused when the process has already ended: that is success here.
  ::TerminateProcess(job.process, 1);
  ::WaitForSingleObject(job.process, INFINITE);
  WaitUntilEmpty([&] { return JobIsEmpty(job.job); });
}

}  // namespace aurvane
