// Whole runs in which tests start processes that try to outlive their worker:
// new sessions with an empty environment (nothing ties them to the worker's
// group or variables), double-forked daemons, a test that kills its worker's
// parent, and a controller killed with SIGKILL. Nothing may survive, and the
// run must still account for every test. POSIX only.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "process/cgroup.h"
#include "program_support.h"

namespace aurvane::testing {
namespace {

using namespace std::chrono_literals;

json::Object Obj(const std::string& text) { return ParseLine(text).as_object(); }

// The process ids of every grandchild the workers logged ("fake-worker:
// grandchild P" in each worker-N.log).
std::vector<int> Grandchildren(const ControllerRun& run) {
  std::vector<int> pids;
  for (const auto& entry : std::filesystem::directory_iterator(run.run_dir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("worker-", 0) != 0) continue;
    std::string log = ReadText(entry.path());
    const std::string marker = "fake-worker: grandchild ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
      pids.push_back(std::stoi(log.substr(at + marker.size())));
    }
  }
  return pids;
}

// The ids among `pids` still alive after a grace period in which guards
// that lost their controller finish their work (they run on their own).
std::vector<int> Survivors(const std::vector<int>& pids, std::chrono::seconds grace = 0s) {
  auto end = std::chrono::steady_clock::now() + grace;
  std::vector<int> alive;
  do {
    alive.clear();
    for (int pid : pids) {
      if (ProcessAlive(pid)) alive.push_back(pid);
    }
    if (alive.empty()) break;
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < end);
  for (int pid : alive) ::kill(pid, SIGKILL);  // leave the machine clean for the next test
  return alive;
}

// A test's actions that leave the worker's group, session and environment
// two ways: as `Popen(..., start_new_session=True, env={...})` would, and as
// a classic daemon.
constexpr char kEscapes[] = R"([{"grandchild":600,"new_session":true,"empty_env":true},
                                {"grandchild":600,"daemon":true,"empty_env":true}])";

TEST(ProgramContainment, EscapedProcessesOfACrashedWorkerAreGone) {
  ControllerRun run;
  run.set("retries", 0);
  json::Object call = Obj(R"({"call":[]})");
  json::Array actions = ParseLine(kEscapes).as_array();
  actions.push_back(ParseLine(R"({"exit":9})"));
  call["call"] = actions;
  run.scenario() = Obj(R"({"items":1})");
  run.scenario()["tests"] = json::Object{{"0", json::Object{{"during", call}}}};
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 1) << r.err;
  std::vector<int> pids = Grandchildren(run);
  EXPECT_EQ(pids.size(), 2u);
  EXPECT_EQ(Survivors(pids), std::vector<int>{});
}

// Eight workers whose tests each leave both kinds behind, in a run that ends
// normally: each worker's tree must be ended whole, whatever the timing.
TEST(ProgramContainment, EscapedProcessesOfEveryWorkerAreGoneAtANormalEnd) {
  ControllerRun run(8);
  json::Object during = json::Object{{"call", ParseLine(kEscapes)}};
  run.scenario() = Obj(R"({"items":16})");
  run.scenario()["tests"] = json::Object{{"default", json::Object{{"during", during}}}};
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<int> pids = Grandchildren(run);
  EXPECT_EQ(pids.size(), 32u);
  EXPECT_EQ(Survivors(pids), std::vector<int>{});
}

TEST(ProgramContainment, NothingOutlivesASigkilledController) {
  ControllerRun run(2);
  json::Array actions = ParseLine(kEscapes).as_array();
  actions.push_back(ParseLine(R"({"sleep":60})"));
  // Two modules, so that each worker takes one.
  run.scenario() = Obj(R"({"items":["a.py::t0","b.py::t1"]})");
  run.scenario()["tests"] =
      json::Object{{"default", json::Object{{"during", json::Object{{"call", actions}}}}}};
  ProgramOptions options;
  // Once both workers have started both of their escapes, the controller dies.
  options.on_line = OnTrace("start", [&run](ControllerHandle& c) {
    auto end = std::chrono::steady_clock::now() + 20s;
    while (Grandchildren(run).size() < 4 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(10ms);
    }
    c.Signal(SIGKILL);
  }, 2);
  ProgramResult r = run.Run(options);
  EXPECT_EQ(r.exit_code, 128 + SIGKILL) << r.err;
  std::vector<int> pids = Grandchildren(run);
  EXPECT_EQ(pids.size(), 4u);
  for (int pid : WorkerPids(run)) pids.push_back(pid);
  EXPECT_EQ(Survivors(pids, 10s), std::vector<int>{});
}

// `os.kill(os.getppid(), SIGKILL)` in a test hits the worker's guard, not
// the controller: the worker ends with it, and the test is retried.
TEST(ProgramContainment, ATestKillingItsParentEndsOnlyItsWorker) {
  ControllerRun run;
  std::filesystem::create_directory(run.dir() / "state");
  run.scenario() = Obj(R"({"items":2,"tests":{"0":{"attempts":[
      {"during":{"call":[{"grandchild":600,"new_session":true,"empty_env":true},{"kill_parent":true},{"sleep":30}]}},
      {}]}}})");
  run.scenario()["state_dir"] = (run.dir() / "state").string();
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  json::Value summary = run.Summary();
  ASSERT_EQ(Member(summary, "tests").as_array().size(), 2u);
  const json::Value& first = Member(summary, "tests").as_array()[0];
  EXPECT_EQ(Member(first, "state"), json::Value("completed"));
  EXPECT_EQ(Member(first, "attempts"), json::Value(2));
  EXPECT_EQ(Member(summary, "restarts"), json::Value(1));
  std::vector<int> pids = Grandchildren(run);
  EXPECT_EQ(pids.size(), 1u);
  EXPECT_EQ(Survivors(pids), std::vector<int>{});
}

// A test that stops being killed with its guard, starts a daemon, and kills
// its guard and then the controller: neither is left to take the tree over,
// and the job's cgroup is what the run's sweeper ends it through.
TEST(ProgramContainment, NothingOutlivesATestThatKillsItsGuardAndThenTheController) {
  if (!CgroupKindUsable(CgroupKind::kUnified) && !CgroupKindUsable(CgroupKind::kFreezer)) {
    GTEST_SKIP() << "no cgroup this process may write: the job guard alone holds a tree (docs/architecture.md)";
  }
  ControllerRun run;
  run.set("retries", 0);
  run.scenario() = Obj(R"({"items":1,"tests":{"0":{"during":{"call":[
      {"grandchild":600,"daemon":true,"empty_env":true},{"kill_parent":true,"controller_too":true},
      {"sleep":60}]}}}})");
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 128 + SIGKILL) << r.err;
  std::vector<int> pids = Grandchildren(run);
  EXPECT_EQ(pids.size(), 1u);
  for (int pid : WorkerPids(run)) pids.push_back(pid);
  EXPECT_EQ(Survivors(pids, 10s), std::vector<int>{});
}

}  // namespace
}  // namespace aurvane::testing
