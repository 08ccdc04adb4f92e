#include "program_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace aurvane::testing {

namespace {

class Running : public ControllerHandle {
 public:
  Running(pid_t pid, int stdin_fd) : pid_(pid), stdin_fd_(stdin_fd) {}
  ~Running() override { CloseStdin(); }
  void Signal(int signal) override { ::kill(pid_, signal); }
  void WriteStdin(const std::string& text) override {
    if (stdin_fd_ >= 0) {
      [[maybe_unused]] ssize_t n = ::write(stdin_fd_, text.data(), text.size());
    }
  }
  void CloseStdin() override {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    stdin_fd_ = -1;
  }
  int pid() const override { return pid_; }

 private:
  pid_t pid_;
  int stdin_fd_;
};

}  // namespace

ProgramResult RunProgram(const std::string& program, const ProgramOptions& options) {
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  std::vector<std::string> args = {program};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ProgramResult result;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << spawned;
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return result;
  }
  Running running(pid, in[1]);
  if (options.close_stdout) {
    ::close(out[0]);
    out[0] = -1;
  }
  if (options.on_start) options.on_start(running);

  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  std::string partial;
  while (out[0] >= 0 || err[0] >= 0) {
    pollfd fds[2];
    nfds_t count = 0;
    if (out[0] >= 0) fds[count++] = {out[0], POLLIN, 0};
    if (err[0] >= 0) fds[count++] = {err[0], POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    int ready = ::poll(fds, count, static_cast<int>(std::min<int64_t>(left.count(), 200)));
    if (ready < 0 && errno == EINTR) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      bool is_out = fds[i].fd == out[0];
      if (n <= 0) {
        ::close(fds[i].fd);
        (is_out ? out[0] : err[0]) = -1;
        continue;
      }
      if (!is_out) {
        result.err.append(buf, static_cast<size_t>(n));
        continue;
      }
      result.out.append(buf, static_cast<size_t>(n));
      partial.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = partial.find('\n')) != std::string::npos) {
        std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        result.out_lines.push_back(line);
        if (options.on_line) options.on_line(line, running);
      }
    }
  }
  if (out[0] >= 0) ::close(out[0]);
  if (err[0] >= 0) ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  EXPECT_FALSE(result.timed_out) << program << " did not finish in time; stderr: " << result.err;
  return result;
}

ControllerRun::ControllerRun(int workers) {
  std::filesystem::create_directory(run_dir());
  spec["protocol"] = 1;
  spec["python"] = AURVANE_FAKE_WORKER_PATH;
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

json::Value ParseLine(const std::string& line) {
  Result<json::Value> parsed = json::Parse(line);
  EXPECT_TRUE(parsed.ok()) << line;
  return parsed.ok() ? std::move(parsed).value() : json::Value();
}

std::string EventOf(const json::Value& record) {
  const json::Value* event = record.Find("event");
  return event && event->is_string() ? event->as_string() : "";
}

bool ProcessAlive(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  std::string text;
  std::getline(stat, text);
  // The state follows the command name in parentheses.
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' && text[close + 2] != 'X';
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
