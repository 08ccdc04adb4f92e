#include <signal.h>

#include "util/platform.h"

namespace aurvane {

std::vector<std::filesystem::path> CommandLineArguments(int argc, char** argv) {
  std::vector<std::filesystem::path> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void PrepareControllerProcess() { signal(SIGPIPE, SIG_IGN); }

}  // namespace aurvane
