#include "main/controller.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "cancel/cancel.h"
#include "output/event_log.h"
#include "output/summary.h"
#include "process/launch.h"
#include "scheduler/history.h"
#include "spec/spec.h"
#include "supervisor/supervisor.h"
#include "util/file.h"
#include "util/platform.h"

namespace aurvane {

namespace {

constexpr int kExitError = 3;

constexpr std::string_view kUsage =
    "Usage: aurvane-controller SPEC.json\n"
    "       aurvane-controller --help | --version\n"
    "\n"
    "Runs the pytest run that SPEC.json describes and prints its progress as\n"
    "one JSON record per line. A line, or the end of input, on standard input\n"
    "cancels the run. Exit status: 0 all passed, 1 failures, 2 cancelled,\n"
    "3 error or tests left unrun, 5 nothing collected.\n";

int ErrorExit(const std::string& message) {
  // Nothing else is left to report through: a failed write here is ignored.
  (void)WriteStderr("Aurvane supervisor error: " + message + "\n");
  return kExitError;
}

// Workers start in cwd, and the run's files go into run_dir: the operating
// system's error for a missing one names no path, so it is looked at first.
Status CheckDirectory(std::string_view key, const std::filesystem::path& dir) {
  std::error_code error;
  if (std::filesystem::is_directory(dir, error)) return Status::Ok();
  return Error{std::string(key) + " " + dir.string() + ": " + (error ? error.message() : "not a directory")};
}

int FinalExitStatus(const Supervisor& s) {
  int status = s.exit_status;
  if (status == 0) {
    if (s.failures > 0) {
      status = 1;
    } else if (s.tables.test_count() == 0) {
      status = 5;
    }
  }
  if (status == 0) {
    for (TestState state : s.tables.states) {
      if (state != TestState::kCompleted && state != TestState::kInterrupted) return kExitError;
    }
  }
  return status;
}

RunSummary Summarize(const Supervisor& s, int exit_status) {
  RunTotals totals{exit_status, s.failures, s.restarts, SecondsSince(s.log.start())};
  return RunSummary(
      s.tables.test_count(),
      // Each outcome is copied before the next is asked for, so one buffer serves.
      [&s, nodeid = std::string()](size_t i) mutable {
        s.tables.reference->NodeIdInto(i, nodeid);
        return TestOutcome{nodeid, StateName(s.tables.states[i]), s.tables.attempts[i]};
      },
      totals);
}

// Written to a temporary file first, so that a run that dies while saving
// never leaves a half-written history behind, then renamed over the path:
// never written through a link, and never over anything Load did not find
// to be a history (or nothing). The entries of tests this run did not
// collect are copied from the file as it is now, read again, when the one
// loaded at start-up had any. The error says why nothing was saved.
Status SaveHistory(const Spec& spec, const DurationHistory& history, const RunTables& tables) {
  const std::filesystem::path& target = spec.history_path;
  if (!history.kept_because().empty()) return Error{history.kept_because()};
  // The folders of a path that a fresh checkout lacks (.aurvane/durations.json).
  if (target.has_parent_path()) {
    std::error_code made;
    std::filesystem::create_directories(target.parent_path(), made);
    if (made) return Error{"cannot create " + target.parent_path().string() + ": " + OsErrorText(made.value())};
  }
  std::filesystem::path temp = HistoryTempPath(target, spec.run_id);
  const ManifestTable* tests = tables.reference ? &*tables.reference : nullptr;
  Result<FileReader> previous =
      history.has_others() ? FileReader::Open(target) : Result<FileReader>(Error{"not needed"});
  const json::TextPieces pieces = [&previous]() { return previous.value().Next(); };
  auto discard = [&temp](Error error) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    return Status(std::move(error));
  };
  for (bool copy = previous.ok();; copy = false) {
    // Created anew, never through a link planted under its name.
    Result<OutputFile> file = OutputFile::CreateNew(temp);
    if (!file.ok()) return discard(Error{"cannot create " + temp.string() + ": " + file.message()});
    Result<bool> written = WriteHistory(copy ? &pieces : nullptr, tests, tables.durations,
                                        [&file](std::string_view piece) { return file.value().WriteAll(piece); });
    file.value().Close();
    if (!written.ok()) return discard(Error{"cannot write " + temp.string() + ": " + written.message()});
    // A file that is no longer a history leaves only this run's entries.
    if (written.value()) break;
  }
  // Closed first: Windows does not replace a file that is open.
  if (previous.ok()) previous.value().Close();
  // Whatever was put at the path during the run is looked at again: a
  // rename would replace a link or a folder's entry of another kind.
  if (std::optional<std::string> kept = NotReplaceableText(target)) return discard(Error{*kept});
  if (Status replaced = ReplaceFile(temp, target); !replaced.ok()) {
    return discard(Error{"cannot replace " + target.string() + ": " + replaced.message()});
  }
  return Status::Ok();
}

// Releases the run state in order: sessions by number (each terminates and
// reaps its worker and closes its command queue), then the rest, and the
// event log last.
void Release(std::unique_ptr<Supervisor>& s) {
  if (!s) return;
  while (!s->sessions.empty()) s->sessions.pop_front();
  EventLog log = std::move(s->log);
  s.reset();
  log.Close();
}

}  // namespace

int RunController(const std::vector<std::filesystem::path>& args) {
  // A closed standard output must fail the write that meets it, not kill
  // the process: the run then ends in order with status 3.
  PrepareControllerProcess();

  if (args.size() < 2) return ErrorExit("Usage: aurvane-controller SPEC.json");
  if (args[1] == "--help" || args[1] == "-h") return WriteStdout(kUsage).ok() ? 0 : kExitError;
  if (args[1] == "--version") {
    return WriteStdout("aurvane-controller " AURVANE_VERSION "\n").ok() ? 0 : kExitError;
  }
  // Every worker reopens the run's JSON file from cwd, not from here: a
  // relative path is made absolute first.
  std::error_code absolute_error;
  std::filesystem::path spec_path = std::filesystem::absolute(args[1], absolute_error);
  if (absolute_error) spec_path = args[1];

  Result<Spec> loaded = LoadSpec(spec_path);
  if (!loaded.ok()) return ErrorExit(loaded.message());
  Spec spec = std::move(loaded).value();
  if (Status valid = ValidateSpec(spec); !valid.ok()) return ErrorExit(valid.message());
  for (const auto& [key, dir] : {std::pair{"run_dir", spec.run_dir}, std::pair{"cwd", spec.cwd}}) {
    if (Status usable = CheckDirectory(key, dir); !usable.ok()) return ErrorExit(usable.message());
  }

  DurationHistory history = DurationHistory::Load(spec.history, spec.history_path);
  Result<EventLog> log = EventLog::Create(spec.run_dir);
  if (!log.ok()) return ErrorExit(log.message());

  CancelFlag cancel = MakeCancelFlag();
  if (Status installed = InstallCancellationSources(cancel); !installed.ok()) {
    log.value().Close();
    return ErrorExit(installed.message());
  }

  auto launcher = std::make_unique<ProcessLauncher>(spec, spec_path);
  auto s = std::make_unique<Supervisor>(std::move(spec), std::move(launcher), std::move(log).value(),
                                        std::move(history), cancel);
  s->log.set_start(Clock::now());

  if (Status ran = RunSupervisor(*s); !ran.ok()) {
    s->exit_status = kExitError;
    if (Status logged = s->log.LogDiagnostic(ran.message()); !logged.ok()) {
      Release(s);
      return ErrorExit(logged.message());
    }
  }

  // What the workers wrote before the end is part of the run's record.
  if (Status taken = TakeOutputToItsEnd(*s); !taken.ok()) {
    Release(s);
    return ErrorExit(taken.message());
  }
  if (Status abandoned = AbandonInFlight(*s); !abandoned.ok()) {
    Release(s);
    return ErrorExit(abandoned.message());
  }
  const int exit_status = FinalExitStatus(*s);
  const RunSummary summary = Summarize(*s, exit_status);
  if (Status written = WriteSummary(s->spec.run_dir, summary); !written.ok()) {
    Release(s);
    return ErrorExit(written.message());
  }
  // Saved before the summary record, which stays the last: a history that
  // could not be saved is said in a warning record.
  if ((exit_status == 0 || exit_status == 1) && s->spec.history) {
    if (Status saved = SaveHistory(s->spec, s->history, s->tables); !saved.ok()) {
      if (Status logged = s->log.LogWarning("Duration history not saved: " + saved.message()); !logged.ok()) {
        Release(s);
        return ErrorExit(logged.message());
      }
    }
  }
  if (Status logged = s->log.LogSummary(summary); !logged.ok()) {
    Release(s);
    return ErrorExit(logged.message());
  }
  Release(s);
  return exit_status;
}

}  // namespace aurvane
