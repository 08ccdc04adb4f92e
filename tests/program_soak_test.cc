// Soak: many consecutive runs of four workers with crashes, hangs, retries,
// cancellation, a failed shutdown and a SIGKILLed controller mixed in, some
// of whose tests start processes in new sessions with an empty environment
// and double-forked daemons. Nothing may be left behind (no process, no
// zombie, no descriptor, no thread), and every run's summary must agree with
// its own event log.
//
// AURVANE_SOAK_RUNS sets the number of runs. The default is 200, fewer
// under the sanitizers, whose process start-up dominates a run: about 0.2 s
// a run in a release build, 0.3 s under ASan and 1.3 s under TSan.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <utility>

#include "proc_text.h"
#include "program_support.h"

namespace aurvane::testing {
namespace {

constexpr char kTagVariable[] = "AURVANE_SOAK_TAG";

#if defined(__SANITIZE_THREAD__)
constexpr int kDefaultRuns = 40;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultRuns = 100;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kDefaultRuns = 40;
#elif __has_feature(address_sanitizer)
constexpr int kDefaultRuns = 100;
#else
constexpr int kDefaultRuns = 200;
#endif
#else
constexpr int kDefaultRuns = 200;
#endif

int SoakRuns() {
  const char* text = ::getenv("AURVANE_SOAK_RUNS");
  if (text == nullptr || *text == '\0') return kDefaultRuns;
  return std::atoi(text);
}

size_t OpenDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

size_t ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
  }
  return 0;
}

// Every process whose parent is this one (zombies included), as "pid state
// command". The test process is a subreaper during the soak, so whatever the
// controller leaves behind ends up here.
std::vector<std::string> ChildrenOf(int pid) {
  std::vector<std::string> found;
  const std::string self = std::to_string(pid);
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string text = ProcText((entry.path() / "stat").string());
    if (text.empty()) continue;
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string state, ppid;
    rest >> state >> ppid;
    if (ppid == self) found.push_back(name + " " + state + " " + text.substr(0, close + 1));
  }
  return found;
}
std::vector<std::string> Children() { return ChildrenOf(::getpid()); }

// Processes that carry this soak's tag in their environment: the controller
// passes it on to the workers and they to their own children.
std::vector<std::string> Tagged(const std::string& tag) {
  std::vector<std::string> found;
  const std::string needle = std::string(kTagVariable) + "=" + tag;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos || name == std::to_string(::getpid())) continue;
    const std::string text = ProcText((entry.path() / "environ").string());
    if (text.find(needle) != std::string::npos) found.push_back(name);
  }
  return found;
}

// Kills and reaps what a failed check found, so the next runs start clean.
void ReapLeftovers() {
  for (const std::string& child : Children()) ::kill(std::stoi(child), SIGKILL);
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// Reaps what a SIGKILLed controller's guards leave to us while they end
// their workers' trees, until nothing of theirs is left (at most 10 s).
void WaitForGuardsOfAKilledController() {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (Children().empty() || std::chrono::steady_clock::now() > end) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

enum class Kind {
  kClean,
  kCrashThenPass,
  kHangThenPass,
  kAlwaysCrash,
  kCancel,
  kShutdownHang,
  kDieHoldingSentTest,
  kDieHoldingQuickTests,
  kKilled,
  kCount
};

// What a test does to leave its worker's group, session and environment.
constexpr char kEscapes[] = R"({"grandchild":300,"new_session":true,"empty_env":true},
                               {"grandchild":300,"daemon":true,"empty_env":true})";

struct Expected {
  int exit_code;
  int runs_once = -1;  // a test that must end completed after exactly one start
};

Expected Configure(ControllerRun& run, Kind kind) {
  run.set("schedule", "load");
  // Short enough to keep the hanging runs short, long enough for four
  // workers to collect one after the other on a loaded machine.
  run.set("phase_timeout", 0.5);
  run.set("shutdown_timeout", 0.3);
  run.set("retries", 1);
  run.set("max_restarts", 4);
  std::filesystem::create_directory(run.dir() / "state");
  json::Object& s = run.scenario();
  s = ParseLine(R"({"items":8})").as_object();
  s["state_dir"] = (run.dir() / "state").string();
  auto test = [&s](const std::string& index, const std::string& json) {
    if (!s["tests"].is_object()) s["tests"] = json::Value(json::Object());
    s["tests"].as_object()[index] = ParseLine(json);
  };
  switch (kind) {
    case Kind::kClean:
      test("1", std::string(R"({"during":{"call":[)") + kEscapes + "]}}");
      return {0};
    case Kind::kCrashThenPass:
      test("3", std::string(R"({"attempts":[{"during":{"call":[{"grandchild":300},)") + kEscapes +
                    R"(,{"exit":9}]}},{}]})");
      return {0};
    case Kind::kHangThenPass:
      test("5", R"({"attempts":[{"delay":{"call":30}},{}]})");
      return {0};
    case Kind::kAlwaysCrash:
      test("2", R"({"during":{"setup":[{"signal":9}]}})");
      return {1};
    case Kind::kCancel:
      // Test 7, announced at the start, is sure to be unfinished.
      test("default", R"({"delay":{"call":0.05}})");
      test("7", R"({"delay":{"call":5}})");
      return {2};
    case Kind::kShutdownHang:
      run.scenario("av2") = s;
      run.scenario("av2")["shutdown"] = "hang";
      return {3};
    case Kind::kDieHoldingSentTest:
      // Test 4 is av0's second test, in its pipe while it runs test 0; av0
      // dies as it reads it. It goes back unstarted and runs once elsewhere.
      test("4", R"({"attempts":[{"before":[{"exit":9}]},{}]})");
      return {0, 4};
    case Kind::kDieHoldingQuickTests:
      // 32 tests the history calls quick: each worker holds several at
      // once, av0 0, 4, 8, 12... Test 8, the third, makes av0 die as it
      // reads it; it and those behind it go back unstarted.
      s["items"] = 32;
      run.WriteHistory(32, 0.001);
      test("8", R"({"attempts":[{"before":[{"exit":9}]},{}]})");
      return {0, 8};
    case Kind::kKilled:
      // Killed at the sixth "start": every test leaves escapes behind.
      test("default", std::string(R"({"delay":{"call":0.05},"during":{"call":[)") + kEscapes + "]}}");
      return {128 + SIGKILL};
    case Kind::kCount:
      break;
  }
  return {-1};
}

// The summary must tell the same story as the event log.
void CheckSummaryAgainstLog(const ControllerRun& run, const ProgramResult& r, int workers) {
  std::vector<json::Value> events = run.Events();
  ASSERT_FALSE(events.empty());
  json::Value summary = run.Summary();
  EXPECT_EQ(Member(summary, "exit_code").as_uint(), static_cast<uint64_t>(r.exit_code));
  const json::Array& tests = Member(summary, "tests").as_array();
  std::map<std::string, size_t> index_of;
  for (size_t i = 0; i < tests.size(); ++i) index_of[Member(tests[i], "nodeid").as_string()] = i;

  std::vector<uint64_t> starts(tests.size(), 0);
  std::vector<std::string> last(tests.size(), "pending");  // state implied by the latest record
  uint64_t failed = 0, spawned = 0, collected = 0;
  for (const json::Value& record : events) {
    const std::string kind = EventOf(record);
    const json::Value& index = Member(record, "index");
    auto at = [&](const json::Value& v) -> size_t {
      EXPECT_TRUE(v.is_uint() && v.as_uint() < tests.size()) << json::ToCompact(record);
      return v.is_uint() ? static_cast<size_t>(v.as_uint()) : 0;
    };
    if (kind == "worker_spawned") ++spawned;
    if (kind == "collection") collected = Member(record, "count").as_uint();
    if (kind == "start") {
      ++starts[at(index)];
      last[at(index)] = "running";
      if (!Member(record, "next").is_null()) last[at(Member(record, "next"))] = "reserved";
    }
    if (kind == "finish") {
      last[at(index)] = "completed";
      if (Member(record, "failed").is_true()) ++failed;
    }
    if (kind == "retry") last[at(index)] = "pending";
    if (kind == "attempt_aborted") last[at(index)] = "interrupted";
    if (kind == "interrupted") {
      ++failed;
      last[index_of.at(Member(record, "nodeid").as_string())] = "interrupted";
    }
  }
  if (collected != 0) {
    EXPECT_EQ(tests.size(), collected);
  }
  EXPECT_EQ(Member(summary, "failed").as_uint(), failed);
  EXPECT_EQ(Member(summary, "restarts").as_uint(), spawned - static_cast<uint64_t>(workers));
  uint64_t completed = 0, interrupted = 0;
  for (size_t i = 0; i < tests.size(); ++i) {
    const std::string state = Member(tests[i], "state").as_string();
    EXPECT_EQ(Member(tests[i], "attempts").as_uint(), starts[i]) << i;
    // A reserved next test of a failed worker goes back to "pending" without
    // a record of its own; everything else follows the log exactly.
    if (last[i] == "reserved") {
      EXPECT_TRUE(state == "reserved" || state == "pending") << i << " " << state;
    } else {
      EXPECT_EQ(state, last[i]) << i;
    }
    EXPECT_NE(state, "running") << i;
    completed += state == "completed";
    interrupted += state == "interrupted";
  }
  EXPECT_EQ(Member(summary, "completed").as_uint(), completed);
  EXPECT_EQ(Member(summary, "interrupted").as_uint(), interrupted);
  EXPECT_EQ(Member(summary, "not_run").as_uint(), tests.size() - completed - interrupted);
  EXPECT_EQ(Member(summary, "collected").as_uint(), tests.size());
  EXPECT_EQ(EventOf(events.back()), "summary");
}

TEST(ProgramSoak, ManyRunsLeaveNothingBehind) {
  const int runs = SoakRuns();
  const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  ASSERT_EQ(::setenv(kTagVariable, tag.c_str(), 1), 0);
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
  ASSERT_TRUE(Children().empty());
  const size_t fds_before = OpenDescriptorCount();
  const size_t threads_before = ThreadCount();
  constexpr int kWorkers = 4;

  auto started = std::chrono::steady_clock::now();
  int done = 0;
  // The first run that fails stops the soak: later runs would only repeat it.
  for (int i = 0; i < runs && !::testing::Test::HasFailure(); ++i, ++done) {
    const Kind kind = static_cast<Kind>(i % static_cast<int>(Kind::kCount));
    SCOPED_TRACE("run " + std::to_string(i) + " kind " + std::to_string(static_cast<int>(kind)));
    ControllerRun run(kWorkers);
    Expected expected = Configure(run, kind);
    ProgramOptions options;
    options.timeout = std::chrono::seconds(30);
    if (kind == Kind::kCancel) {
      options.on_line = OnTrace("start", [&tag](ControllerHandle& c) {
        // The detectors see what runs: at least the controller, and av3 with
        // its guard, since test 7 is not finished.
        EXPECT_GE(Tagged(tag).size(), 3u);
        EXPECT_FALSE(Children().empty());
        c.CloseStdin();
      }, 6);
    }
    if (kind == Kind::kKilled) {
      options.on_line = OnTrace("start", [](ControllerHandle& c) { c.Signal(SIGKILL); }, 6);
    }
    ProgramResult r = run.Run(options);
    EXPECT_EQ(r.exit_code, expected.exit_code) << r.err;
    if (kind == Kind::kKilled) {
      // The guards, now ours, end their trees on their own and exit.
      WaitForGuardsOfAKilledController();
    } else {
      CheckSummaryAgainstLog(run, r, kWorkers);
    }
    if (expected.runs_once >= 0) {
      const json::Value summary = run.Summary();
      const json::Value& test = Member(summary, "tests").as_array().at(static_cast<size_t>(expected.runs_once));
      EXPECT_EQ(Member(test, "state").as_string() + "/" + std::to_string(Member(test, "attempts").as_uint()),
                "completed/1");
      // Never started by av0, which died holding it.
      const std::string on_av0 = "start av0 #" + std::to_string(expected.runs_once) + " ";
      EXPECT_EQ(Only(Trace(run.Events()), {on_av0, "retry", "interrupted"}), std::vector<std::string>{});
    }
    std::vector<std::string> children = Children();
    EXPECT_TRUE(children.empty()) << ::testing::PrintToString(children);
    std::vector<std::string> tagged = Tagged(tag);
    EXPECT_TRUE(tagged.empty()) << ::testing::PrintToString(tagged);
    if (!children.empty()) ReapLeftovers();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("soak: %d runs in %.1f s\n", done, seconds);

  EXPECT_EQ(OpenDescriptorCount(), fds_before);
  EXPECT_EQ(ThreadCount(), threads_before);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
  ::unsetenv(kTagVariable);
}

// The threads and open descriptors of process `pid`, as "threads/fds".
std::pair<size_t, size_t> ThreadsAndDescriptors(int pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  size_t threads = 0;
  std::istringstream status(ProcText(proc + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) threads = std::stoul(line.substr(8));
  }
  size_t fds = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(proc + "/fd", ec), end; !ec && it != end; it.increment(ec)) ++fds;
  return {threads, fds};
}

TEST(ProgramSoak, ManyWorkerDeathsHoldOnlyWhatTheLiveWorkersNeed) {
  // Every test kills its worker once and passes on a replacement. A worker
  // given up lets go of its threads and pipes then: under a limit of 64
  // descriptors the run goes through every death, and the controller's
  // threads and descriptors stay those of its live workers plus a few.
  const int deaths = std::max(SoakRuns() * 5 / 2, 20);
  constexpr int kWorkers = 2;
  ControllerRun run(kWorkers);
  run.set("schedule", "load");
  run.set("max_restarts", deaths + 10);
  run.set("history", false);
  std::filesystem::create_directory(run.dir() / "state");
  json::Object& s = run.scenario();
  s["items"] = deaths;
  s["state_dir"] = (run.dir() / "state").string();
  s["tests"] = ParseLine(R"({"default":{"attempts":[{"during":{"setup":[{"exit":9}]}},{}]}})");

  std::pair<size_t, size_t> most{0, 0};
  ProgramOptions options;
  options.timeout = std::chrono::seconds(600);
  options.on_line = [&most](const std::string& line, ControllerHandle& c) {
    if (line.find("\"retry\"") == std::string::npos) return;
    auto [threads, fds] = ThreadsAndDescriptors(c.pid());
    most = {std::max(most.first, threads), std::max(most.second, fds)};
  };
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
  ProgramResult r = run.Run(options);
  ::setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_EQ(r.exit_code, 0) << r.err;
  const json::Value summary = run.Summary();
  EXPECT_EQ(Member(summary, "completed").as_uint(), static_cast<uint64_t>(deaths));
  EXPECT_EQ(Member(summary, "restarts").as_uint(), static_cast<uint64_t>(deaths));
  // Main, signal and input threads, a reader and a writer per live worker,
  // and the reader of a worker just given up. The descriptors: a few of the
  // process's own, a live worker's two pipes and its guard's, and the dozen
  // or so a start holds while its guard comes up, and, where the run kills
  // through a cgroup, that cgroup's folder, its lock and the sweeper's pipe.
  EXPECT_LE(most.first, 3u + 2 * kWorkers + 2) << "threads";
  EXPECT_LE(most.second, 3u * kWorkers + 28) << "descriptors";
}

TEST(ProgramSoak, ACancellationWhileManyWorkersStartStartsNoOther) {
  // The end of input comes once a few of 256 workers have their guards: the
  // starts under way finish, no other begins, and the run ends cancelled.
  constexpr int kWorkers = 256;
  ControllerRun run(kWorkers);
  run.set("max_restarts", 0);
  run.scenario() = ParseLine(R"({"collect_delay":30})").as_object();
  ProgramOptions options;
  options.timeout = std::chrono::seconds(300);
  options.on_start = [](ControllerHandle& c) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ChildrenOf(c.pid()).size() < 8 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    c.CloseStdin();
  };
  ProgramResult r = run.Run(options);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  const std::vector<int> pids = WorkerPids(run);
  EXPECT_LT(pids.size(), static_cast<size_t>(kWorkers));
  for (int pid : pids) EXPECT_FALSE(ProcessAlive(pid)) << pid;
  std::printf("cancelled with %zu of %d workers started\n", pids.size(), kWorkers);
}

}  // namespace
}  // namespace aurvane::testing
