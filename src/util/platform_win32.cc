#include <windows.h>
#include <shellapi.h>

#include "util/platform.h"

namespace aurvane {

std::vector<std::filesystem::path> CommandLineArguments(int, char**) {
  std::vector<std::filesystem::path> args;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 0; i < count; ++i) args.emplace_back(wide[i]);
  ::LocalFree(wide);
  return args;
}

void PrepareControllerProcess() {
  // Inherited by every worker: a crash ends the process instead of opening
  // a dialog that would hold it (and the run) until someone clicks.
  ::SetErrorMode(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS);
}

// Windows has no class whose threads wake without preempting; the
// controller keeps the one it was started in.
bool ControllerSchedulingLowered() { return false; }

}  // namespace aurvane
