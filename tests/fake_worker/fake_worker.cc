// fake-worker: a scenario-driven stand-in for the Python worker module.
//
// It is started exactly like the real worker: the run specification names it
// as `python`, and it gets "-u -m pytest_aurvane.worker SPEC". It ignores
// every argument but the last, the run specification path, which it opens as
// given, that is relative to its own working directory (the spec's `cwd`),
// as a real worker would. The controller passes the path relative to *its*
// working directory, so tests give an absolute path (or set `cwd` to the
// directory the path is relative to). When the file cannot be read or has no
// scenario, the built-in default scenario below applies (and a note goes to
// standard error).
//
// It speaks the worker protocol as JSON lines on standard output (one write
// per line, nothing buffered) and writes its diagnostics to standard error.
//
// Behaviour comes from the extra key "fake_worker" of the run specification,
// which the controller ignores:
//
//   "fake_worker": {"default": SCENARIO, "av1": SCENARIO, ...}
//
// The entry named by the AURVANE_WORKER variable applies, else "default",
// else the built-in default (every key at its default).
//
// SCENARIO (an object; every key optional):
//   "items": N | [ITEM...]   the manifest. N generates N tests
//                            "test_fake.py::test_<i>", group "test_fake.py",
//                            location ["test_fake.py", i, "test_<i>"]. In an
//                            array a string is a node id (index = position,
//                            group = text before "::", location null) and any
//                            other element is reported verbatim. Default 2.
//   "id_bytes": N            generated node ids padded to N bytes, for
//                            suites with long ids
//   "own_groups": true       each generated test's group is its node id, as
//                            the worker's fixture grouping gives a test that
//                            shares no fixture
//   "hello": false           send no "hello"
//   "protocol": V            the "protocol" of "hello" (default 1)
//   "collect_failed": true   report {"event":"collected","failed":true}
//   "digest": true | "text"  report the manifest by "count" and "digest" (a
//                            hash of its compact text, or the text given)
//                            and answer {"command":"items","start":K} with
//                            {"event":"collected_items","items":[items from
//                            K],"more":B}, at most "chunk" items (default
//                            1000) per message
//   "collection_reports": [OBJ...]  each sent, with "event":
//                            "collection_report" added, before "collected"
//   "collect_delay": S       seconds to sleep before "collected"
//   "on_start": [ACTION...]  before the first command is read
//   "on_init": [ACTION...]   after "init", before "hello"
//   "after_collect": [ACTION...]  after "collected"
//   "tests": {"default": TEST, "<index>": TEST}  per-test behaviour; the
//                            entry of the index wins over "default"
//   "state_dir": PATH        shared directory for counting attempts
//   "shutdown": "exit" | "ignore" | "hang"  what "shutdown" does: answer
//                            "exited" and end (default), do nothing, or sleep
//                            for ever
//   "on_shutdown": [ACTION...]  after "shutdown", before "exited"
//   "exit_code": V           the "code" of "exited" (default 0; null omits it)
//   "process_exit": N        the process's own status after "exited" (0)
//   End of standard input always ends the process with status 0.
//
// TEST (an object; every key optional):
//   "phases": [NAME...]      phase messages sent, in order (default setup,
//                            call, teardown)
//   "delay": S | {"<phase>": S}  seconds to sleep after a phase message
//   "reports": true | false | [OBJ...]  true (default): one report per phase
//                            {"event":"report","index":I,"nodeid":...,
//                            "when":PHASE,"outcome":"passed"|"failed"}; an
//                            array: exactly these, with "event" and "index"
//   "failed": V              "failed" of "finished" (default false); true
//                            also makes the call report "failed"
//   "duration": V            "duration" of "finished" (default 0.01)
//   "index_offset": K        add K to every index this test reports
//   "finish": false          send no "finished"
//   "before": [ACTION...]    when "run" arrives, before the first phase
//   "during": {"<phase>": [ACTION...]}  after that phase's message and delay
//   "after": [ACTION...]     before "finished"
//   "attempts": [TEST...]    attempt k of this test uses element k-1 (the
//                            last one for later attempts), its keys
//                            replacing this TEST's. Attempts are counted
//                            across all workers with marker files
//                            "attempt-<index>-<k>" in "state_dir", so a test
//                            retried on another worker can pass the second
//                            time.
//
// ACTION (an object; its first recognised key says what to do):
//   {"send": V}              V as one compact JSON line
//   {"raw": "text"}          the bytes as given, no line feed added
//   {"line_bytes": N}        one valid JSON line (a string) of exactly N
//                            bytes, line feed included
//   {"sleep": S}             sleep S seconds
//   {"hang": true}           sleep for ever
//   {"exit": N}              end the process at once with status N
//   {"signal": N}            raise signal N
//   {"close_stdout": true}   close standard output
//   {"close_stdin": true}    close standard input (a later read of a
//                            command ends the process as end of input does)
//   {"grandchild": S, "announce": true, "new_session": true}  start
//                            "sleep S" in this process's group (standard
//                            input and output on /dev/null; its pid goes to
//                            standard error as "fake-worker: grandchild P");
//                            with "announce", send
//                            {"event":"grandchild","pid":P}; with
//                            "new_session", in a session and group of its own
//                            instead, as a daemon-starting test would; with
//                            "empty_env", with no environment; with
//                            "daemon", double-forked (fork, setsid, fork)
//   {"kill_parent": true}    send SIGKILL to this process's parent; with
//                            "controller_too", first clear the parent-death
//                            signal, then also SIGKILL the parent's parent
//   {"introspect": true}     send {"event":"introspect","argv":[...],
//                            "cwd":..., "env":{the four worker variables,
//                            null when unset}, "fds":[open descriptors],
//                            "pid":P, "pgid":G, "blocked":[signals blocked],
//                            "ignored":[signals ignored]}
//   {"internal_error": V}    send {"event":"internal_error","message":V}
//   {"stderr": "text"}       write the text to standard error
//   {"touch": PATH}          create an empty file
#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "json/json.h"
#include "os.h"

namespace {

using aurvane::json::Array;
using aurvane::json::Object;
using aurvane::json::Value;

const Value kNull;

void Diag(const std::string& text) {
  std::string line = "fake-worker: " + text + "\n";
  fake_worker::WriteStderr(line);
}

void WriteOut(std::string_view bytes) {
  if (!fake_worker::WriteStdout(bytes)) {
    Diag("cannot write to standard output");
    fake_worker::ExitNow(70);
  }
}

void Send(const Value& value) {
  std::string line = aurvane::json::ToCompact(value);
  line.push_back('\n');
  WriteOut(line);
}

void SleepSeconds(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

[[noreturn]] void Hang() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

const Value& Get(const Value& object, std::string_view key) {
  const Value* found = object.Find(key);
  return found != nullptr ? *found : kNull;
}

double Number(const Value& value, double fallback) {
  return value.is_number() ? value.number() : fallback;
}

std::string Text(const Value& value, std::string fallback) {
  return value.is_string() ? value.as_string() : fallback;
}

Value EnvValue(const char* name) {
  std::optional<std::string> value = fake_worker::GetEnv(name);
  return value ? Value(*value) : Value();
}

Array Numbers(const std::vector<int64_t>& numbers) {
  Array out;
  for (int64_t n : numbers) out.emplace_back(n);
  return out;
}

class FakeWorker {
 public:
  FakeWorker(std::vector<std::string> argv, Value scenario)
      : argv_(std::move(argv)), scenario_(std::move(scenario)) {}

  int Run() {
    RunActions(Get(scenario_, "on_start"));
    std::string line;
    while (ReadLine(line)) {
      aurvane::Result<Value> command = aurvane::json::Parse(line);
      if (!command.ok()) {
        Diag("unreadable command: " + command.message());
        continue;
      }
      std::string name = Text(Get(command.value(), "command"), "");
      if (name == "init") {
        Init();
      } else if (name == "run") {
        RunTest(Get(command.value(), "index"));
      } else if (name == "shutdown") {
        Shutdown();
      } else if (name == "items") {
        SendItems(Get(command.value(), "start"));
      } else {
        Diag("unknown command: " + aurvane::json::ToCompact(command.value()));
      }
    }
    Diag("end of input");
    return 0;
  }

 private:
  bool ReadLine(std::string& line) {
    line.clear();
    for (;;) {
      size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        line = pending_.substr(0, lf + 1);
        pending_.erase(0, lf + 1);
        return true;
      }
      char buf[4096];
      long n = fake_worker::ReadStdin(buf, sizeof buf);
      if (n <= 0) {
        if (pending_.empty()) return false;
        line.swap(pending_);
        return true;
      }
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  void RunActions(const Value& actions) {
    if (!actions.is_array()) return;
    for (const Value& action : actions.as_array()) RunAction(action);
  }

  void RunAction(const Value& action) {
    if (const Value* v = action.Find("send")) {
      Send(*v);
    } else if (const Value* raw = action.Find("raw")) {
      WriteOut(Text(*raw, ""));
    } else if (const Value* size = action.Find("line_bytes")) {
      // A JSON string: quote, filler, quote, line feed.
      size_t total = static_cast<size_t>(Number(*size, 3));
      std::string line(total > 3 ? total : 3, 'x');
      line.front() = '"';
      line[line.size() - 2] = '"';
      line.back() = '\n';
      WriteOut(line);
    } else if (const Value* seconds = action.Find("sleep")) {
      SleepSeconds(Number(*seconds, 0));
    } else if (action.Find("hang") != nullptr) {
      Hang();
    } else if (const Value* code = action.Find("exit")) {
      fake_worker::ExitNow(static_cast<int>(Number(*code, 1)));
    } else if (const Value* sig = action.Find("signal")) {
      fake_worker::RaiseSignal(static_cast<int>(Number(*sig, fake_worker::kKillSignal)));
    } else if (action.Find("close_stdout") != nullptr) {
      fake_worker::CloseStdout();
    } else if (action.Find("close_stdin") != nullptr) {
      fake_worker::CloseStdin();
    } else if (const Value* grandchild = action.Find("grandchild")) {
      fake_worker::SleeperOptions options;
      options.new_session = Get(action, "new_session").is_true();
      options.empty_env = Get(action, "empty_env").is_true();
      options.daemon = Get(action, "daemon").is_true();
      StartGrandchild(Number(*grandchild, 1000), Get(action, "announce").is_true(), options);
    } else if (action.Find("kill_parent") != nullptr) {
      fake_worker::KillParent(Get(action, "controller_too").is_true());
    } else if (action.Find("introspect") != nullptr) {
      Introspect();
    } else if (const Value* message = action.Find("internal_error")) {
      Send(Object{{"event", "internal_error"}, {"message", *message}});
    } else if (const Value* text = action.Find("stderr")) {
      fake_worker::WriteStderr(Text(*text, ""));
    } else if (const Value* path = action.Find("touch")) {
      (void)fake_worker::CreateEmptyFile(Text(*path, ""), /*exclusive=*/false);
    } else {
      Diag("unknown action: " + aurvane::json::ToCompact(action));
    }
  }

  void StartGrandchild(double seconds, bool announce, const fake_worker::SleeperOptions& options) {
    int64_t pid = fake_worker::StartSleeper(seconds, options);
    if (pid < 0) {
      Diag("cannot start sleep");
      return;
    }
    Diag("grandchild " + std::to_string(pid));
    if (announce) Send(Object{{"event", "grandchild"}, {"pid", static_cast<int64_t>(pid)}});
  }

  void Introspect() {
    Array args;
    for (const std::string& arg : argv_) args.emplace_back(arg);
    fake_worker::ProcessFacts facts = fake_worker::Facts();
    Value where = facts.cwd ? Value(*facts.cwd) : Value();
    Object env{{"AURVANE_WORKER", EnvValue("AURVANE_WORKER")},
               {"PYTEST_XDIST_WORKER", EnvValue("PYTEST_XDIST_WORKER")},
               {"PYTEST_XDIST_WORKER_COUNT", EnvValue("PYTEST_XDIST_WORKER_COUNT")},
               {"PYTEST_XDIST_TESTRUNUID", EnvValue("PYTEST_XDIST_TESTRUNUID")}};
    Send(Object{{"event", "introspect"},
                {"argv", std::move(args)},
                {"cwd", std::move(where)},
                {"env", std::move(env)},
                {"fds", Numbers(facts.fds)},
                {"pid", facts.pid},
                {"pgid", facts.pgid},
                {"blocked", Numbers(facts.blocked)},
                {"ignored", Numbers(facts.ignored)}});
  }

  Array Manifest() const {
    const Value& items = Get(scenario_, "items");
    Array out;
    if (items.is_array()) {
      for (const Value& item : items.as_array()) {
        size_t index = out.size();
        if (item.is_string()) {
          const std::string& id = item.as_string();
          out.emplace_back(Object{{"index", index},
                                  {"nodeid", id},
                                  {"location", nullptr},
                                  {"group", id.substr(0, id.find("::"))}});
        } else {
          out.push_back(item);
        }
      }
      return out;
    }
    size_t count = static_cast<size_t>(Number(items, 2));
    const size_t id_bytes = static_cast<size_t>(Number(Get(scenario_, "id_bytes"), 0));
    const bool own_groups = Get(scenario_, "own_groups").is_true();
    for (size_t i = 0; i < count; ++i) {
      std::string name = "test_" + std::to_string(i);
      const size_t id_size = sizeof "test_fake.py::" - 1 + name.size();
      if (id_bytes > id_size + 1) name.append(1, '[').append(id_bytes - id_size - 2, 'p').append(1, ']');
      std::string nodeid = "test_fake.py::" + name;
      std::string group = own_groups ? nodeid : "test_fake.py";
      out.emplace_back(Object{{"index", i},
                              {"nodeid", std::move(nodeid)},
                              {"location", Array{"test_fake.py", i, name}},
                              {"group", std::move(group)}});
    }
    return out;
  }

  void Init() {
    RunActions(Get(scenario_, "on_init"));
    if (!(Get(scenario_, "hello").is_bool() && !Get(scenario_, "hello").as_bool())) {
      const Value* protocol = scenario_.Find("protocol");
      Send(Object{{"event", "hello"}, {"protocol", protocol != nullptr ? *protocol : Value(1)}});
    }
    const Value& reports = Get(scenario_, "collection_reports");
    if (reports.is_array()) {
      for (const Value& report : reports.as_array()) {
        Value message = report.is_object() ? report : Value(Object{});
        message.as_object()["event"] = "collection_report";
        Send(message);
      }
    }
    SleepSeconds(Number(Get(scenario_, "collect_delay"), 0));
    if (Get(scenario_, "collect_failed").is_true()) {
      Send(Object{{"event", "collected"}, {"failed", true}});
    } else {
      manifest_ = Manifest();
      const Value& digest = Get(scenario_, "digest");
      if (digest.is_string() || digest.is_true()) {
        Send(Object{{"event", "collected"},
                    {"failed", false},
                    {"count", manifest_.size()},
                    {"digest", digest.is_string() ? digest.as_string() : Digest(manifest_)}});
      } else {
        Send(Object{{"event", "collected"}, {"failed", false}, {"items", manifest_}});
      }
    }
    RunActions(Get(scenario_, "after_collect"));
  }

  // FNV-1a of the compact text: equal manifests give equal digests, which is
  // all the controller relies on.
  static std::string Digest(const Array& manifest) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : aurvane::json::ToCompact(Value(manifest))) hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
  }

  void SendItems(const Value& start) {
    const size_t chunk = static_cast<size_t>(Number(Get(scenario_, "chunk"), 1000));
    size_t from = start.is_uint() ? static_cast<size_t>(start.as_uint()) : 0;
    from = std::min(from, manifest_.size());
    const size_t to = std::min(manifest_.size(), from + std::max<size_t>(chunk, 1));
    Array items(manifest_.begin() + static_cast<std::ptrdiff_t>(from),
                manifest_.begin() + static_cast<std::ptrdiff_t>(to));
    Send(Object{{"event", "collected_items"}, {"items", std::move(items)}, {"more", to < manifest_.size()}});
  }

  // The behaviour of test `index`, with the entry of its attempt merged in.
  Value TestBehaviour(uint64_t index) {
    const Value& tests = Get(scenario_, "tests");
    Value test = Get(tests, std::to_string(index));
    if (!test.is_object()) test = Get(tests, "default");
    if (!test.is_object()) test = Object{};
    const Value& attempts = Get(test, "attempts");
    if (!attempts.is_array() || attempts.as_array().empty()) return test;
    size_t attempt = CountAttempt(index);
    const Array& list = attempts.as_array();
    const Value& chosen = list[std::min(attempt, list.size()) - 1];
    Value merged = test;
    if (chosen.is_object()) {
      for (const auto& [key, value] : chosen.as_object()) merged.as_object()[key] = value;
    }
    return merged;
  }

  size_t CountAttempt(uint64_t index) {
    std::string dir = Text(Get(scenario_, "state_dir"), "");
    if (dir.empty()) {
      Diag("\"attempts\" without \"state_dir\": counting in this process only");
      return ++local_attempts_[index];
    }
    for (size_t k = 1;; ++k) {
      std::string path = dir + "/attempt-" + std::to_string(index) + "-" + std::to_string(k);
      fake_worker::Created created = fake_worker::CreateEmptyFile(path, /*exclusive=*/true);
      if (created == fake_worker::Created::kYes) return k;
      if (created == fake_worker::Created::kFailed) {
        Diag("cannot count attempts in " + dir);
        return k;
      }
    }
  }

  void RunTest(const Value& index_value) {
    uint64_t index = index_value.is_uint() ? index_value.as_uint() : 0;
    Value test = TestBehaviour(index);
    int64_t offset = static_cast<int64_t>(Number(Get(test, "index_offset"), 0));
    Value reported = offset == 0 ? index_value : Value(static_cast<int64_t>(index) + offset);
    std::string nodeid;
    if (index < manifest_.size()) nodeid = Text(Get(manifest_[index], "nodeid"), "");
    bool failed = Get(test, "failed").is_true();

    RunActions(Get(test, "before"));
    const Value& phases_value = Get(test, "phases");
    Array phases = phases_value.is_array() ? phases_value.as_array() : Array{"setup", "call", "teardown"};
    const Value& reports = Get(test, "reports");
    for (const Value& phase : phases) {
      Send(Object{{"event", "phase"}, {"index", reported}, {"phase", phase}});
      const Value& delay = Get(test, "delay");
      SleepSeconds(delay.is_object() ? Number(Get(delay, Text(phase, "")), 0) : Number(delay, 0));
      RunActions(Get(Get(test, "during"), Text(phase, "")));
      if (!reports.is_bool() || reports.as_bool()) {
        if (!reports.is_array()) {
          bool bad = failed && Text(phase, "") == "call";
          Send(Object{{"event", "report"},
                      {"index", reported},
                      {"nodeid", nodeid},
                      {"when", phase},
                      {"outcome", bad ? "failed" : "passed"}});
        }
      }
    }
    if (reports.is_array()) {
      for (const Value& report : reports.as_array()) {
        Value message = report.is_object() ? report : Value(Object{});
        message.as_object()["event"] = "report";
        message.as_object()["index"] = reported;
        Send(message);
      }
    }
    RunActions(Get(test, "after"));
    if (Get(test, "finish").is_bool() && !Get(test, "finish").as_bool()) return;
    const Value* failed_value = test.Find("failed");
    const Value* duration = test.Find("duration");
    Send(Object{{"event", "finished"},
                {"index", reported},
                {"duration", duration != nullptr ? *duration : Value(0.01)},
                {"failed", failed_value != nullptr ? *failed_value : Value(false)}});
  }

  void Shutdown() {
    std::string mode = Text(Get(scenario_, "shutdown"), "exit");
    if (mode == "ignore") return;
    if (mode == "hang") Hang();
    RunActions(Get(scenario_, "on_shutdown"));
    const Value* code = scenario_.Find("exit_code");
    Object exited{{"event", "exited"}};
    if (code == nullptr) {
      exited["code"] = 0;
    } else if (!code->is_null()) {
      exited["code"] = *code;
    }
    Send(exited);
    fake_worker::ExitNow(static_cast<int>(Number(Get(scenario_, "process_exit"), 0)));
  }

  std::vector<std::string> argv_;
  Value scenario_;
  Array manifest_;
  std::string pending_;
  std::map<uint64_t, size_t> local_attempts_;
};

Value LoadScenario(const std::string& spec_path) {
  std::optional<std::string> text = fake_worker::ReadWholeFile(spec_path);
  if (!text) {
    Diag("cannot open " + spec_path + "; using the default scenario");
    return Object{};
  }
  aurvane::Result<Value> spec = aurvane::json::Parse(*text);
  if (!spec.ok()) {
    Diag("cannot parse " + spec_path + ": " + spec.message() + "; using the default scenario");
    return Object{};
  }
  const Value& scenarios = Get(spec.value(), "fake_worker");
  std::optional<std::string> name = fake_worker::GetEnv("AURVANE_WORKER");
  if (name && Get(scenarios, *name).is_object()) return Get(scenarios, *name);
  if (Get(scenarios, "default").is_object()) return Get(scenarios, "default");
  return Object{};
}

}  // namespace

int main(int argc, char** argv) {
  if (fake_worker::RunAsSleeper(argc, argv)) return 0;
  std::vector<std::string> args(argv, argv + argc);
  Value scenario = argc > 1 ? LoadScenario(args.back()) : Value(Object{});
  return FakeWorker(std::move(args), std::move(scenario)).Run();
}
