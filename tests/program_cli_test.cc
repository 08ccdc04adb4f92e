// The command line, start-up failures and the basic shape of a run's output.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "program_support.h"

namespace aurvane::testing {
namespace {

std::string OneErrorLine(const ProgramResult& r) {
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, "");
  return r.err;
}

TEST(ProgramCli, NoArgumentPrintsUsage) {
  ProgramResult r = RunProgram(AURVANE_CONTROLLER_PATH, {});
  EXPECT_EQ(OneErrorLine(r), "Aurvane supervisor error: Usage: aurvane-controller SPEC.json\n");
}

TEST(ProgramCli, HelpAndVersionAnswerOnStandardOutput) {
  ScratchDir dir;
  for (const char* option : {"--help", "-h", "--version"}) {
    ProgramOptions options;
    options.args = {option};
    options.cwd = dir.path();
    ProgramResult r = RunProgram(AURVANE_CONTROLLER_PATH, options);
    EXPECT_EQ(r.exit_code, 0) << option << ": " << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with(option == std::string("--version") ? "aurvane-controller 0." : "Usage: "))
        << r.out;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  // A file of that name is still a specification when the path says so.
  ProgramOptions options;
  options.args = {"./--help"};
  options.cwd = dir.path();
  ProgramResult r = RunProgram(AURVANE_CONTROLLER_PATH, options);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.err.find("Cannot read run specification "), std::string::npos) << r.err;
}

TEST(ProgramCli, ErrorsNameTheMissingPath) {
  ControllerRun run;
  const std::string absent = (run.dir() / "absent").string();
  ProgramOptions options;
  options.args = {absent};
  EXPECT_TRUE(IsOsError(OneErrorLine(run.Run(options)), "Aurvane supervisor error: Cannot read run specification " +
                        absent + ": ", "No such file or directory (os error 2)", 2, "\n"));
  run.set("run_dir", absent);
  std::string error = OneErrorLine(run.Run());
  EXPECT_TRUE(error.starts_with("Aurvane supervisor error: run_dir " + absent + ": ")) << error;
  run.set("run_dir", run.run_dir().string());
  run.set("cwd", absent);
  error = OneErrorLine(run.Run());
  EXPECT_TRUE(error.starts_with("Aurvane supervisor error: cwd " + absent + ": ")) << error;
  EXPECT_TRUE(std::filesystem::is_empty(run.run_dir()));
}

TEST(ProgramCli, RelativeSpecificationPathReachesWorkersInAnotherFolder) {
  ControllerRun run;
  run.scenario()["items"] = 5;  // the workers' default scenario, should they not find the file, has other tests
  std::filesystem::create_directory(run.dir() / "tests");
  run.set("cwd", (run.dir() / "tests").string());
  ProgramOptions options;
  options.args = {"spec.json"};
  options.cwd = run.dir();
  ProgramResult r = run.Run(options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(run.Summary().Find("collected")->as_uint(), 5u);
}

TEST(ProgramCli, SpecificationFailuresAreOneLine) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"[1]", "invalid length 1, expected struct Spec with 15 elements at line 1 column 3"},
      {R"({"workers":1,"workers":1})", "duplicate field `workers` at line 1 column 22"},
      {"{\n}", "missing field `protocol` at line 2 column 1"},
      {"\"x\"", "invalid type: string \"x\", expected struct Spec at line 1 column 3"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    WriteText(dir / "spec.json", c.text);
    ProgramOptions options;
    options.args = {(dir / "spec.json").string(), "ignored", "args"};
    ProgramResult r = RunProgram(AURVANE_CONTROLLER_PATH, options);
    EXPECT_EQ(OneErrorLine(r), "Aurvane supervisor error: " + c.message + "\n") << c.text;
  }
}

TEST(ProgramCli, ValidationFailuresStartNothing) {
  ControllerRun run;
  run.set("workers", 257);
  run.set("phase_timeout", 0);
  EXPECT_EQ(OneErrorLine(run.Run()),
            "Aurvane supervisor error: Invalid protocol version or worker count (supported: 1..256)\n");
  run.set("workers", 1);
  EXPECT_EQ(OneErrorLine(run.Run()), "Aurvane supervisor error: Deadlines must be finite and positive\n");
  EXPECT_TRUE(std::filesystem::is_empty(run.run_dir()));
}

TEST(ProgramCli, SuccessfulRunOutputs) {
  ControllerRun run(2);
  run.scenario()["items"] = 5;
  WriteText(run.run_dir() / "summary.json", "stale");
  ProgramResult r = run.Run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");

  // Standard output echoes a subset of the log, line for line.
  std::vector<json::Value> events = run.Events();
  std::vector<std::string> echoed;
  for (const json::Value& record : events) {
    std::string kind = EventOf(record);
    EXPECT_TRUE(record.Find("elapsed")->is_double());
    if (kind != "worker_spawned" && kind != "worker_event" && kind != "attempt_aborted") {
      echoed.push_back(json::ToCompact(record));
    }
  }
  EXPECT_EQ(r.out_lines, echoed);
  EXPECT_EQ(EventOf(events.front()), "worker_spawned");
  EXPECT_EQ(EventOf(events.back()), "summary");

  json::Value summary = run.Summary();
  EXPECT_EQ(summary.Find("collected")->as_uint(), 5u);
  EXPECT_EQ(summary.Find("completed")->as_uint(), 5u);
  EXPECT_EQ(summary.Find("exit_code")->as_uint(), 0u);
  EXPECT_EQ(summary.Find("tests")->as_array().size(), 5u);
  // The summary record is the file's content plus "elapsed".
  json::Value last = events.back();
  last.as_object().erase("elapsed");
  summary.as_object().erase("wall_seconds");
  last.as_object().erase("wall_seconds");
  EXPECT_EQ(last, summary);

  // Every duration reported was saved for the next run.
  Result<json::Value> history = json::Parse(ReadText(run.history_path()));
  ASSERT_TRUE(history.ok());
  EXPECT_EQ(history.value().as_object().size(), 5u);
  EXPECT_FALSE(std::filesystem::exists(run.dir() / "history.r1.tmp"));
}

TEST(ProgramCli, SecondRunInSameDirectoryStartsAfresh) {
  ControllerRun run;
  ASSERT_EQ(run.Run().exit_code, 0);
  size_t first = run.Events().size();
  ASSERT_EQ(run.Run().exit_code, 0);
  EXPECT_EQ(run.Events().size(), first);
}

TEST(ProgramCli, ClosedStandardOutputEndsWithStatus3) {
  ControllerRun run;
  ProgramOptions options;
  options.close_stdout = true;
  ProgramResult r = run.Run(options);
  EXPECT_EQ(r.exit_code, 3);
  // The line of standard error that says so; on Windows "the pipe is being
  // closed".
  const size_t at = std::min(r.err.find("Aurvane supervisor error: "), r.err.size());
  const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
  EXPECT_TRUE(IsOsError(line, "Aurvane supervisor error: ", "Broken pipe (os error 32)", 232)) << r.err;
  // The record that met the closed pipe is in the file.
  EXPECT_FALSE(run.Events("collection").empty());
  EXPECT_FALSE(std::filesystem::exists(run.run_dir() / "summary.json"));
}

TEST(ProgramCli, StandardOutputClosedAtStartEndsWithStatus3) {
  if (!kPosixProcesses) GTEST_SKIP() << "starts the controller through /bin/sh";
  ControllerRun run;
  ASSERT_EQ(run.Run().exit_code, 0);  // writes spec.json
  // The event log must not take descriptor 1, or every echoed record would
  // be written to it twice.
  ProgramOptions options;
  options.args = {"-c", "exec \"$0\" \"$1\" >&-", NativePath(AURVANE_CONTROLLER_PATH), run.spec_path().string()};
  ProgramResult r = RunProgram("/bin/sh", options);
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_NE(r.err.find("Aurvane supervisor error: Bad file descriptor (os error 9)"), std::string::npos) << r.err;
  EXPECT_EQ(run.Events("collection").size(), 1u);
}

}  // namespace
}  // namespace aurvane::testing
