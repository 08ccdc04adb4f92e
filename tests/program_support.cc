// The platform-neutral part of the whole-program harness: the run directory
// and specification, and reading back what the controller wrote. Starting
// and watching processes lives in program_support_posix.cc / _win32.cc.
#include "program_support.h"

#include <memory>
#include <sstream>

#include <gtest/gtest.h>

namespace aurvane::testing {

ControllerRun::ControllerRun(int workers) {
  std::filesystem::create_directory(run_dir());
  spec["protocol"] = 1;
  spec["python"] = NativePath(AURVANE_FAKE_WORKER_PATH);
  spec["cwd"] = dir().string();
  spec["workers"] = workers;
  spec["phase_timeout"] = 30.0;
  spec["startup_timeout"] = 30.0;
  spec["shutdown_timeout"] = 30.0;
  spec["max_restarts"] = 2;
  spec["retries"] = 1;
  spec["schedule"] = "file";
  spec["history"] = true;
  spec["history_path"] = history_path().string();
  spec["run_dir"] = run_dir().string();
  spec["run_id"] = "r1";
  spec["maxfail"] = 0;
}

json::Object& ControllerRun::scenario(const std::string& worker) {
  json::Value& entry = fake_[worker];
  if (!entry.is_object()) entry = json::Value(json::Object());
  return entry.as_object();
}

void ControllerRun::WriteHistory(int tests, double seconds) const {
  json::Object history;
  for (int i = 0; i < tests; ++i) history.emplace("test_fake.py::test_" + std::to_string(i), seconds);
  WriteText(history_path(), json::ToCompact(json::Value(std::move(history))));
}

ProgramResult ControllerRun::Run(ProgramOptions options) {
  json::Object full = spec;
  full["fake_worker"] = json::Value(fake_);
  WriteText(spec_path(), json::ToCompact(json::Value(full)));
  if (options.args.empty()) options.args = {spec_path().string()};
  return RunProgram(AURVANE_CONTROLLER_PATH, options);
}

std::vector<json::Value> ControllerRun::Events(const std::string& kind) const {
  std::vector<json::Value> events;
  std::istringstream in(ReadText(run_dir() / "events.jsonl"));
  std::string line;
  while (std::getline(in, line)) {
    json::Value record = ParseLine(line);
    if (kind.empty() || EventOf(record) == kind) events.push_back(std::move(record));
  }
  return events;
}

json::Value ControllerRun::Summary() const { return ParseLine(ReadText(run_dir() / "summary.json")); }

std::vector<std::string> ControllerRun::Diagnostics() const {
  std::vector<std::string> messages;
  for (const json::Value& record : Events("diagnostic")) messages.push_back(record.Find("message")->as_string());
  return messages;
}

::testing::AssertionResult IsOsError(const std::string& text, const std::string& prefix,
                                     const std::string& posix_text, int windows_code, const std::string& suffix) {
#ifdef _WIN32
  (void)posix_text;
  const std::string code = " (os error " + std::to_string(windows_code) + ")" + suffix;
  bool matches = text.size() > prefix.size() + code.size() && text.starts_with(prefix) && text.ends_with(code);
  const std::string expected = prefix + "... (os error " + std::to_string(windows_code) + ")" + suffix;
#else
  (void)windows_code;
  const std::string expected = prefix + posix_text + suffix;
  bool matches = text == expected;
#endif
  if (matches) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" is not \"" << expected << "\"";
}

json::Value ParseLine(const std::string& line) {
  Result<json::Value> parsed = json::Parse(line);
  EXPECT_TRUE(parsed.ok()) << line;
  return parsed.ok() ? std::move(parsed).value() : json::Value();
}

std::string EventOf(const json::Value& record) {
  const json::Value* event = record.Find("event");
  return event && event->is_string() ? event->as_string() : "";
}

const json::Value& Member(const json::Value& record, const std::string& key) {
  static const json::Value kNull;
  const json::Value* found = record.Find(key);
  return found != nullptr ? *found : kNull;
}

namespace {

std::string IndexText(const json::Value& value) {
  return value.is_null() ? "null" : json::ToCompact(value);
}

}  // namespace

std::string Trace(const json::Value& record) {
  const std::string kind = EventOf(record);
  auto text = [&record](const std::string& key) {
    const json::Value& v = Member(record, key);
    return v.is_string() ? v.as_string() : json::ToCompact(v);
  };
  const std::string worker = text("worker");
  if (kind == "start") {
    return "start " + worker + " #" + text("index") + " next " + IndexText(Member(record, "next")) + " attempt " +
           text("attempt");
  }
  if (kind == "report") return "report " + worker + " #" + text("index") + " " + text("when");
  if (kind == "finish") return "finish " + worker + " #" + text("index");
  if (kind == "retry") return "retry #" + text("index");
  if (kind == "interrupted") return "interrupted " + worker + " " + text("nodeid") + " " + text("phase");
  if (kind == "diagnostic") return "diagnostic " + text("message");
  if (kind == "collection") return "collection " + text("count") + " " + text("workers");
  if (kind == "worker_spawned") return "spawned " + worker;
  if (kind == "worker_event") return "event " + worker + " " + EventOf(Member(record, "payload"));
  if (kind == "attempt_aborted") {
    return "aborted " + worker + " #" + text("index") + " " + text("phase") + " " + text("exit_code");
  }
  if (kind == "collection_report") return "collection_report " + worker;
  if (kind == "summary") return "summary " + text("exit_code");
  return kind;
}

std::vector<std::string> Trace(const std::vector<json::Value>& records) {
  std::vector<std::string> traces;
  for (const json::Value& record : records) traces.push_back(Trace(record));
  return traces;
}

std::vector<std::string> TraceLines(const std::vector<std::string>& lines) {
  std::vector<std::string> traces;
  for (const std::string& line : lines) traces.push_back(Trace(ParseLine(line)));
  return traces;
}

std::vector<std::string> Only(const std::vector<std::string>& traces, const std::vector<std::string>& prefixes) {
  std::vector<std::string> kept;
  for (const std::string& trace : traces) {
    for (const std::string& prefix : prefixes) {
      if (trace.rfind(prefix, 0) == 0) {
        kept.push_back(trace);
        break;
      }
    }
  }
  return kept;
}

std::function<void(const std::string&, ControllerHandle&)> OnTrace(const std::string& prefix,
                                                                   std::function<void(ControllerHandle&)> action,
                                                                   int count) {
  auto seen = std::make_shared<int>(0);
  return [prefix, action = std::move(action), count, seen](const std::string& line, ControllerHandle& controller) {
    Result<json::Value> parsed = json::Parse(line);
    if (!parsed.ok() || Trace(parsed.value()).rfind(prefix, 0) != 0) return;
    if (++*seen == count) action(controller);
  };
}

std::vector<int> WorkerPids(const ControllerRun& run) {
  std::vector<int> pids;
  for (const json::Value& record : run.Events("worker_spawned")) {
    pids.push_back(static_cast<int>(Member(record, "pid").as_uint()));
  }
  return pids;
}

}  // namespace aurvane::testing
