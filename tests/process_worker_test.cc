// Real worker processes (the fake worker): launch, environment and
// arguments, descriptors, termination of the whole tree, and the guard that
// outlives a SIGKILLed controller.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "proc_text.h"
#include "process/cgroup.h"
#include "process/launch.h"
#include "test_support.h"
#include "util/file.h"

namespace aurvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Alive means running: a zombie has finished (and is reaped when it is ours).
bool Alive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::string text = testing::ProcText("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = text.rfind(')');
  if (paren == std::string::npos || paren + 2 >= text.size()) return false;
  if (text[paren + 2] == 'Z') {
    ::waitpid(pid, nullptr, WNOHANG);
    return false;
  }
  return true;
}

// Finished: exited, whether reaped or not (a job's own processes are left
// for the job to reap).
bool Finished(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::string text = testing::ProcText("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

bool GoneWithin(pid_t pid, std::chrono::milliseconds limit) {
  auto end = Clock::now() + limit;
  while (Alive(pid)) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A run directory with a specification whose "fake_worker" key holds
// `scenarios`, and the event queue the workers report to.
class WorkerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // The controller's program serves as the job guard; this one does not.
    SetJobGuardProgram(AURVANE_CONTROLLER_PATH);
    auto [tx, rx] = MakeQueue<WorkerEvent>(kEventQueueCapacity);
    events_ = std::move(tx);
    received_ = std::move(rx);
  }
  void TearDown() override {
    // Every thread lets go of its sending end when it ends: draining to the
    // end proves that no I/O thread outlives the test.
    events_.Reset();
    workers_.clear();
    while (received_.Receive()) {
    }
  }

  WorkerLaunch Launch(const std::string& scenario, size_t number = 0) {
    testing::WriteText(dir_ / "spec.json", "{\"fake_worker\":{\"default\":" + scenario + "}}");
    WorkerLaunch launch;
    launch.python = AURVANE_FAKE_WORKER_PATH;
    launch.cwd = dir_.path();
    launch.spec_path = dir_ / "spec.json";
    launch.run_dir = dir_.path();
    launch.run_id = "run-42";
    launch.workers = 3;
    launch.number = number;
    return launch;
  }

  LaunchedWorker& Start(const WorkerLaunch& launch) {
    Result<LaunchedWorker> worker = LaunchWorker(launch, events_);
    EXPECT_TRUE(worker.ok()) << worker.message();
    if (!worker.ok()) std::abort();
    workers_.push_back(std::move(worker).value());
    return workers_.back();
  }

  // The next event, or a failure after a generous limit.
  WorkerEvent Next() {
    Received<WorkerEvent> got = received_.ReceiveFor(10s);
    EXPECT_EQ(got.status, ReceiveStatus::kValue) << "no worker event within 10 s";
    if (!got.value) return WorkerEvent{0, std::string("<timeout>")};
    return std::move(*got.value);
  }

  // The next message whose "event" is `kind` (others are skipped).
  json::Value NextOfKind(const std::string& kind) {
    for (;;) {
      WorkerEvent event = Next();
      if (event.is_failure()) {
        ADD_FAILURE() << "failure while waiting for " << kind << ": " << event.failure();
        return json::Value();
      }
      const json::Value* name = event.message().raw.Find("event");
      if (name == nullptr || *name != json::Value(kind)) continue;
      // The message whole again: its items were read apart, into their table.
      json::Value message = event.message().raw;
      if (std::string_view items = event.message().items_apart(); !items.empty()) {
        message.as_object().emplace("items", json::Parse(items).value());
      }
      return message;
    }
  }

  std::string NextFailure() {
    for (;;) {
      WorkerEvent event = Next();
      if (event.is_failure()) return event.failure();
    }
  }

  testing::ScratchDir dir_;
  Sender<WorkerEvent> events_;
  Receiver<WorkerEvent> received_;
  std::vector<LaunchedWorker> workers_;
};

TEST_F(WorkerFixture, WorkerGetsArgumentsEnvironmentAndOnlyItsStandardStreams) {
  // Whatever the controller ignores or blocks, the worker starts clean.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_pipe;
  ::sigaction(SIGPIPE, &ignore, &old_pipe);
  sigset_t usr1, old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, &old_mask);
  ::setenv("AURVANE_WORKER", "stale", 1);

  LaunchedWorker& worker = Start(Launch(R"({"on_start":[{"introspect":true}]})", 3));

  ::unsetenv("AURVANE_WORKER");
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGPIPE, &old_pipe, nullptr);

  json::Value info = NextOfKind("introspect");
  std::string spec = (dir_ / "spec.json").string();
  EXPECT_EQ(info.Find("argv")->as_array(),
            (json::Array{AURVANE_FAKE_WORKER_PATH, "-u", "-m", "pytest_aurvane.worker", spec}));
  EXPECT_EQ(*info.Find("env"), json::Value(json::Object{{"AURVANE_WORKER", "av3"},
                                                        {"PYTEST_XDIST_WORKER", "av3"},
                                                        {"PYTEST_XDIST_WORKER_COUNT", "3"},
                                                        {"PYTEST_XDIST_TESTRUNUID", "run-42"}}));
  EXPECT_EQ(*info.Find("cwd"), json::Value(std::filesystem::canonical(dir_.path()).string()));
  EXPECT_EQ(*info.Find("fds"), json::Value(json::Array{0, 1, 2}));
  EXPECT_EQ(*info.Find("blocked"), json::Value(json::Array{}));
  EXPECT_EQ(*info.Find("ignored"), json::Value(json::Array{}));
  EXPECT_EQ(info.Find("pid")->as_uint(), worker.pid);
  // A group of its own: a terminal's Ctrl-C reaches only the controller.
  EXPECT_NE(info.Find("pgid")->as_uint(), static_cast<uint64_t>(::getpgrp()));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "worker-3.log"));
}

TEST_F(WorkerFixture, CommandsFlowBothWaysAndStderrGoesToTheLog) {
  testing::WriteText(dir_ / "worker-0.log", "left over from an earlier run\n");
  LaunchedWorker& worker = Start(Launch(R"({"items":1,"on_init":[{"stderr":"diagnostic\n"}]})"));
  ASSERT_TRUE(SendCommand(worker.commands, 0, json::Object{{"command", "init"}}).ok());
  EXPECT_EQ(NextOfKind("hello"), json::Value(json::Object{{"event", "hello"}, {"protocol", 1}}));
  EXPECT_EQ(NextOfKind("collected").Find("items")->as_array().size(), 1u);
  ASSERT_TRUE(SendCommand(worker.commands, 0,
                          json::Object{{"command", "run"}, {"index", 0}, {"next", nullptr}})
                  .ok());
  EXPECT_EQ(*NextOfKind("finished").Find("index"), json::Value(0));
  ASSERT_TRUE(SendCommand(worker.commands, 0, json::Object{{"command", "shutdown"}}).ok());
  EXPECT_EQ(*NextOfKind("exited").Find("code"), json::Value(0));
  EXPECT_EQ(NextFailure(), "Worker event pipe closed");
  EXPECT_EQ(testing::ReadText(dir_ / "worker-0.log"), "diagnostic\n");
}

TEST_F(WorkerFixture, RelativeSpecPathIsPassedUnchanged) {
  WorkerLaunch launch = Launch(R"({"on_start":[{"introspect":true}]})");
  launch.spec_path = "spec.json";  // relative; the worker resolves it in its cwd
  Start(launch);
  EXPECT_EQ(NextOfKind("introspect").Find("argv")->as_array().back(), json::Value("spec.json"));
}

TEST_F(WorkerFixture, LaunchFailures) {
  WorkerLaunch missing = Launch("{}");
  missing.python = "aurvane-no-such-interpreter";
  Result<LaunchedWorker> not_found = LaunchWorker(missing, events_);
  ASSERT_FALSE(not_found.ok());
  EXPECT_EQ(not_found.message(), "Cannot start worker av0: program not found");
  EXPECT_EQ(std::filesystem::file_size(dir_ / "worker-0.log"), 0u);

  missing.python = (dir_ / "nothing-here").string();
  EXPECT_EQ(LaunchWorker(missing, events_).message(), "Cannot start worker av0: program not found");

  WorkerLaunch no_run_dir = Launch("{}");
  no_run_dir.run_dir = dir_ / "absent";
  EXPECT_EQ(LaunchWorker(no_run_dir, events_).message(),
            "Cannot start worker av0: creating its log " + (dir_ / "absent" / "worker-0.log").string() + ": " +
                OsErrorText(ENOENT));

  WorkerLaunch no_cwd = Launch("{}");
  no_cwd.cwd = dir_ / "absent";
  Result<LaunchedWorker> bad_cwd = LaunchWorker(no_cwd, events_);
  ASSERT_FALSE(bad_cwd.ok());
  EXPECT_EQ(bad_cwd.message(), "Cannot start worker av0: starting its job guard in " + (dir_ / "absent").string() +
                                   ": " + OsErrorText(ENOENT));
  EXPECT_EQ(received_.ReceiveFor(50ms).status, ReceiveStatus::kTimeout) << "no thread was started";
}

TEST_F(WorkerFixture, BareNameIsFoundOnPath) {
  std::filesystem::path program(AURVANE_FAKE_WORKER_PATH);
  const char* old = ::getenv("PATH");
  std::string saved = old != nullptr ? old : "";
  ::setenv("PATH", (program.parent_path().string() + ":" + saved).c_str(), 1);
  WorkerLaunch launch = Launch(R"({"on_start":[{"introspect":true}]})");
  launch.python = program.filename().string();
  Result<LaunchedWorker> worker = LaunchWorker(launch, events_);
  ::setenv("PATH", saved.c_str(), 1);
  ASSERT_TRUE(worker.ok()) << worker.message();
  workers_.push_back(std::move(worker).value());
  EXPECT_EQ(NextOfKind("introspect").Find("argv")->as_array()[0], json::Value(program.string()));
}

TEST_F(WorkerFixture, TerminateKillsWorkerAndGrandchildOnce) {
  LaunchedWorker& worker =
      Start(Launch(R"({"on_start":[{"grandchild":1000,"announce":true}]})"));
  pid_t grandchild = static_cast<pid_t>(NextOfKind("grandchild").Find("pid")->as_uint());
  pid_t pid = static_cast<pid_t>(worker.pid);
  ASSERT_TRUE(Alive(pid));
  ASSERT_TRUE(Alive(grandchild));

  worker.job.Terminate();
  // Both are gone when Terminate returns, and reaped: no zombie left behind
  // either.
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_NE(::kill(grandchild, 0), 0);
  EXPECT_TRUE(worker.job.terminated());
  EXPECT_EQ(NextFailure(), "Worker event pipe closed");

  worker.job.Terminate();  // the second call does nothing
  EXPECT_TRUE(worker.job.terminated());
}

TEST_F(WorkerFixture, KilledJobsEndWithoutBeingWaitedForAndTerminateThenReapsThem) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 2; ++i) {
    pids.push_back(static_cast<pid_t>(Start(Launch(R"({"on_start":[{"grandchild":1000,"announce":true}]})")).pid));
    pids.push_back(static_cast<pid_t>(NextOfKind("grandchild").Find("pid")->as_uint()));
  }
  for (LaunchedWorker& worker : workers_) worker.job.Kill();
  EXPECT_FALSE(workers_[0].job.terminated());
  // Both trees end on their own, each guard killing its own.
  for (pid_t pid : pids) EXPECT_TRUE(GoneWithin(pid, 5000ms)) << pid;

  auto start = Clock::now();
  for (LaunchedWorker& worker : workers_) worker.job.Terminate();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_TRUE(workers_[0].job.terminated());
  workers_[0].job.Kill();  // after Terminate, nothing
}

TEST_F(WorkerFixture, TerminateAfterTheWorkerExitedReturnsAtOnce) {
  LaunchedWorker& worker = Start(Launch(R"({"on_start":[{"exit":3}]})"));
  EXPECT_EQ(NextFailure(), "Worker event pipe closed");
  // The end of its output can come before the kernel has let go of its
  // input; once it is a zombie, it holds nothing.
  auto end = Clock::now() + 10s;
  while (!Finished(static_cast<pid_t>(worker.pid)) && Clock::now() < end) {
    std::this_thread::sleep_for(1ms);
  }
  // Commands to the dead worker fail in its writer, not in the queue.
  ASSERT_TRUE(SendCommand(worker.commands, 0, json::Object{{"command", "init"}}).ok());
  EXPECT_EQ(NextFailure(), "Worker control pipe closed");
  auto start = Clock::now();
  worker.job.Terminate();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_NE(::kill(static_cast<pid_t>(worker.pid), 0), 0);
}

// Run in a child process by the test below: launches a worker with a
// grandchild, records both ids, and waits to be killed.
TEST_F(WorkerFixture, DISABLED_OrphanHelper) {
  const char* out = ::getenv("AURVANE_ORPHAN_HELPER_OUT");
  ASSERT_NE(out, nullptr);
  LaunchedWorker& worker = Start(Launch(R"({"on_start":[{"grandchild":1000,"announce":true}]})"));
  json::Value grandchild = NextOfKind("grandchild");
  testing::WriteText(std::string(out) + ".tmp", std::to_string(worker.pid) + " " +
                                                    std::to_string(grandchild.Find("pid")->as_uint()));
  std::filesystem::rename(std::string(out) + ".tmp", out);
  for (;;) std::this_thread::sleep_for(1s);
}

TEST_F(WorkerFixture, NothingOutlivesAKilledController) {
  std::string out = (dir_ / "pids").string();
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string env = "AURVANE_ORPHAN_HELPER_OUT=" + out;
  pid_t helper = ::fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    ::putenv(env.data());
    ::execl(self.c_str(), self.c_str(), "--gtest_also_run_disabled_tests",
            "--gtest_filter=WorkerFixture.DISABLED_OrphanHelper", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto end = Clock::now() + 20s;
  while (!std::filesystem::exists(out) && Clock::now() < end) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(std::filesystem::exists(out)) << "the helper did not start its worker";
  long worker = 0;
  long grandchild = 0;
  ASSERT_EQ(std::sscanf(testing::ReadText(out).c_str(), "%ld %ld", &worker, &grandchild), 2);
  ASSERT_TRUE(Alive(static_cast<pid_t>(worker)));
  ASSERT_TRUE(Alive(static_cast<pid_t>(grandchild)));

  ::kill(helper, SIGKILL);
  ::waitpid(helper, nullptr, 0);
  EXPECT_TRUE(GoneWithin(static_cast<pid_t>(worker), 2s));
  EXPECT_TRUE(GoneWithin(static_cast<pid_t>(grandchild), 2s));
}

// A job's cgroup of each kind this machine offers: whatever became of the
// parents of what is in it, Remove kills all of it and removes the cgroup.
class JobCgroupTest : public ::testing::TestWithParam<CgroupKind> {};

TEST_P(JobCgroupTest, RemoveKillsEverythingInItAndRemovesIt) {
  const CgroupKind kind = GetParam();
  if (!CgroupKindUsable(kind)) GTEST_SKIP() << "no cgroup of this kind this process may write";
  TryOnlyCgroupKindForTesting(kind);
  JobCgroup cgroup = JobCgroup::Create(AURVANE_CONTROLLER_PATH);
  if (JobCgroupKind() != kind) GTEST_SKIP() << "this process chose its kind before (ctest runs each test alone)";
  ASSERT_TRUE(cgroup.valid());
  const std::string path = cgroup.path();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int procs = static_cast<int>(cgroup.procs().get());
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Joins, then leaves a daemon of a session of its own behind it.
    if (::write(procs, "0", 1) != 1) ::_exit(2);
    pid_t daemon = ::fork();
    if (daemon == 0) {
      ::setsid();
      ::execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (::write(fds[1], &daemon, sizeof daemon) != static_cast<ssize_t>(sizeof daemon)) ::_exit(2);
    ::execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  pid_t daemon = 0;
  ASSERT_EQ(::read(fds[0], &daemon, sizeof daemon), static_cast<ssize_t>(sizeof daemon));
  ::close(fds[0]);
  ASSERT_TRUE(Alive(daemon));

  cgroup.Remove();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  const bool gone = GoneWithin(daemon, 2000ms);
  if (!gone) ::kill(daemon, SIGKILL);
  EXPECT_TRUE(gone);
  EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Kinds, JobCgroupTest, ::testing::Values(CgroupKind::kUnified, CgroupKind::kFreezer),
                         [](const ::testing::TestParamInfo<CgroupKind>& info) {
                           return std::string(info.param == CgroupKind::kUnified ? "Unified" : "Freezer");
                         });

}  // namespace
}  // namespace aurvane
