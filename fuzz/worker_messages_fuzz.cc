// Worker lines through the supervisor's message handling, in process: each
// input line goes to worker (first byte % sessions) as a parsed message, or
// as a transport failure when it does not parse (a failed write to the
// worker when the line is that byte alone). Workers, and
// their replacements within the restart budget, come from a launcher that
// starts no process, so everything stays in memory.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "json/reader.h"
#include "process/io_threads.h"
#include "process/launch.h"
#include "protocol/item_chunk.h"
#include "scripted_launcher.h"
#include "supervisor/supervisor.h"

namespace {

std::filesystem::path RunDir() {
  static std::filesystem::path dir = [] {
    char tmpl[] = "/tmp/aurvane-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    // The handler echoes records to standard output.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    return std::filesystem::path(tmpl);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace aurvane;
  Spec spec;
  spec.protocol = 1;
  spec.workers = 3;
  spec.phase_timeout = spec.startup_timeout = spec.shutdown_timeout = 1;
  spec.max_restarts = size > 1 ? (data[1] >> 2) % 4 : 0;
  spec.retries = 1;
  spec.schedule = (size > 0 && data[0] & 1) ? "file" : "load";
  spec.maxfail = size > 1 ? data[1] % 4 : 0;
  spec.run_dir = RunDir();
  Result<EventLog> log = EventLog::Create(spec.run_dir);
  if (!log.ok()) abort();
  auto owned = std::make_unique<testing::ScriptedLauncher>();
  testing::ScriptedLauncher& launcher = *owned;
  Supervisor s(spec, std::move(owned), std::move(log).value(), DurationHistory(), MakeCancelFlag());
  for (int i = 0; i < 3; ++i) {
    if (!StartWorker(s).ok()) abort();
  }
  launcher.Drain();

  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    if (line.empty()) continue;
    size_t worker = static_cast<unsigned char>(line[0]) % s.sessions.size();
    // Decoded as the event reader decodes a line.
    Result<WorkerMessage> message = DecodeWorkerLine(line.substr(1));
    Status handled;
    if (line.size() == 1) {
      // Its worker byte alone: a failed write to that worker.
      handled = HandleFailure(s, worker, kControlPipeClosed);
    } else if (message.ok()) {
      handled = HandleMessage(s, worker, std::move(message).value());
    } else {
      handled = HandleFailure(s, worker, "Invalid worker event: " + message.message());
    }
    launcher.Drain();
    if (!handled.ok()) break;
  }
  return 0;
}
