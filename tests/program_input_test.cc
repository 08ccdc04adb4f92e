// Hostile or broken files around a run: FIFOs, devices and links where the
// specification, the history, the event log or a worker log belong, a
// planted link at the history's temporary name, a run_id that is a path, and
// a second run on a directory in use. Each must end in a clear error (or be
// ignored, for the history) without hanging and without writing through a
// link. POSIX only (FIFOs and links).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "program_support.h"

namespace aurvane::testing {
namespace {

constexpr char kPrefix[] = "Aurvane supervisor error: ";

// The controller run on `spec`, with a short limit: a hang is a failure.
ProgramResult RunOn(const std::filesystem::path& spec) {
  ProgramOptions options;
  options.args = {spec.string()};
  options.timeout = std::chrono::seconds(20);
  return RunProgram(AURVANE_CONTROLLER_PATH, options);
}

void MakeFifo(const std::filesystem::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path; }

TEST(ProgramInput, SpecificationMustBeARegularFile) {
  ScratchDir dir;
  MakeFifo(dir / "fifo.json");
  for (const std::filesystem::path& spec : {dir / "fifo.json", std::filesystem::path("/dev/zero")}) {
    ProgramResult r = RunOn(spec);
    EXPECT_FALSE(r.timed_out) << spec;
    EXPECT_EQ(r.exit_code, 3) << spec;
    EXPECT_EQ(r.err, std::string(kPrefix) + "Not a regular file: " + spec.string() + "\n");
  }
}

// The "message" of every "warning" record.
std::vector<std::string> Warnings(const ControllerRun& run) {
  std::vector<std::string> messages;
  for (const json::Value& record : run.Events("warning")) messages.push_back(Member(record, "message").as_string());
  return messages;
}

TEST(ProgramInput, HistoryThatIsNoRegularFileIsIgnoredAndKept) {
  ControllerRun run;
  run.scenario()["items"] = 1;
  MakeFifo(run.history_path());
  ProgramOptions options;
  options.timeout = std::chrono::seconds(20);
  ProgramResult r = run.Run(options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_fifo(run.history_path()));
  EXPECT_EQ(Warnings(run), std::vector<std::string>{"Duration history not saved: Not a regular file: " +
                                                    run.history_path().string()});
  // The summary is still the last record.
  EXPECT_EQ(EventOf(run.Events().back()), "summary");

  ControllerRun zero;
  zero.scenario()["items"] = 1;
  zero.set("history_path", "/dev/zero");
  zero.set("history", false);  // read only; never written
  EXPECT_EQ(zero.Run(options).exit_code, 0);
}

// A file named as the history by mistake is not replaced by one; an empty
// file is; a history whose folders do not exist yet gets them.
TEST(ProgramInput, OnlyAHistoryOrNothingIsReplacedByTheHistory) {
  struct Case {
    const char* text;
    bool replaced;
  };
  for (const Case& c : {Case{"# Notes\n", false}, Case{R"({"a":"b"})", false}, Case{"", true}, Case{R"({"x":1})", true}}) {
    ControllerRun run;
    run.scenario()["items"] = 1;
    WriteText(run.history_path(), c.text);
    EXPECT_EQ(run.Run().exit_code, 0) << c.text;
    const std::string after = ReadText(run.history_path());
    if (c.replaced) {
      EXPECT_NE(after.find("test_0"), std::string::npos) << c.text;
      EXPECT_TRUE(Warnings(run).empty()) << c.text;
    } else {
      EXPECT_EQ(after, c.text);
      EXPECT_EQ(Warnings(run),
                std::vector<std::string>{"Duration history not saved: " + run.history_path().string() +
                                         " is not a duration history (a JSON object of node ids and seconds)"});
    }
  }
  {
    ControllerRun run;
    run.scenario()["items"] = 1;
    const std::filesystem::path nested = run.dir() / ".aurvane" / "ci" / "durations.json";
    run.set("history_path", nested.string());
    EXPECT_EQ(run.Run().exit_code, 0);
    EXPECT_NE(ReadText(nested).find("test_0"), std::string::npos);
  }
  {
    // A folder that cannot be made: said, not silent.
    ControllerRun run;
    run.scenario()["items"] = 1;
    WriteText(run.dir() / "file", "x");
    run.set("history_path", (run.dir() / "file" / "durations.json").string());
    EXPECT_EQ(run.Run().exit_code, 0);
    ASSERT_EQ(Warnings(run).size(), 1u);
    EXPECT_EQ(Warnings(run)[0].rfind("Duration history not saved: cannot create " + (run.dir() / "file").string() + ": ", 0), 0u)
        << Warnings(run)[0];
  }
}

TEST(ProgramInput, RunFilesAreNeitherFifosNorLinks) {
  {
    ControllerRun run;
    std::filesystem::create_directories(run.run_dir());
    MakeFifo(run.run_dir() / "events.jsonl");
    ProgramResult r = run.Run();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, std::string(kPrefix) + "Not a regular file: " + (run.run_dir() / "events.jsonl").string() + "\n");
  }
  {
    ControllerRun run;
    std::filesystem::create_directories(run.run_dir());
    WriteText(run.dir() / "precious", "keep");
    std::filesystem::create_symlink(run.dir() / "precious", run.run_dir() / "events.jsonl");
    ProgramResult r = run.Run();
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(ReadText(run.dir() / "precious"), "keep");
  }
  {
    // The worker log: a FIFO held the controller in open(), deaf to signals.
    ControllerRun run;
    run.scenario()["items"] = 1;
    std::filesystem::create_directories(run.run_dir());
    MakeFifo(run.run_dir() / "worker-0.log");
    ProgramOptions options;
    options.timeout = std::chrono::seconds(20);
    ProgramResult r = run.Run(options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(run.Diagnostics(),
              std::vector<std::string>{"Cannot start worker av0: Not a regular file: " +
                                       (run.run_dir() / "worker-0.log").string()});
  }
}

TEST(ProgramInput, HistoryIsSavedNeverThroughAPlantedLink) {
  ControllerRun run;
  run.scenario()["items"] = 1;
  WriteText(run.dir() / "precious", "keep");
  // HistoryTempPath's name for run "r1".
  std::filesystem::path temp = run.dir() / "history.r1.tmp";
  std::filesystem::create_symlink(run.dir() / "precious", temp);
  ProgramResult r = run.Run();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadText(run.dir() / "precious"), "keep");
  EXPECT_NE(ReadText(run.history_path()).find("test_0"), std::string::npos) << ReadText(run.history_path());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temp)));
}

// A link at the history's own path, to a history or to anything else, is
// neither written through nor replaced: the run says so.
TEST(ProgramInput, HistoryPathThatIsALinkIsLeftAlone) {
  for (const char* target_text : {R"({"test_0":2})", "Host *\n"}) {
    ControllerRun run;
    run.scenario()["items"] = 1;
    WriteText(run.dir() / "target", target_text);
    std::filesystem::create_symlink(run.dir() / "target", run.history_path());
    EXPECT_EQ(run.Run().exit_code, 0);
    EXPECT_EQ(ReadText(run.dir() / "target"), target_text);
    EXPECT_TRUE(std::filesystem::is_symlink(run.history_path()));
    EXPECT_EQ(Warnings(run), std::vector<std::string>{"Duration history not saved: " + run.history_path().string() +
                                                      " is a symbolic link: a history is never written through one"});
  }
}

TEST(ProgramInput, RunIdMustBeAPlainName) {
  for (const char* id : {"../x", "a/b", "..", ""}) {
    ControllerRun run;
    run.set("run_id", id);
    ProgramResult r = run.Run();
    EXPECT_EQ(r.exit_code, 3) << id;
    EXPECT_EQ(r.err, std::string(kPrefix) + "run_id must be a plain name (no path separators, not . or ..)\n") << id;
  }
}

TEST(ProgramInput, SecondRunOnADirectoryInUseEndsWithAClearError) {
  ControllerRun first;
  first.scenario()["items"] = 1;
  first.scenario()["tests"] = ParseLine(R"({"0":{"delay":{"call":30}}})");
  ProgramOptions options;
  ProgramResult second;
  options.on_line = OnTrace("start", [&first, &second](ControllerHandle& c) {
    // Same run directory, other files of its own.
    ControllerRun other;
    other.spec = first.spec;
    other.scenario()["items"] = 1;
    second = other.Run();
    c.CloseStdin();
  });
  ProgramResult r = first.Run(options);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_EQ(second.exit_code, 3);
  EXPECT_EQ(second.err, std::string(kPrefix) + "Run directory in use by another run: " + first.run_dir().string() + "\n");
  // The first run's log is whole: its summary is its last record.
  EXPECT_EQ(EventOf(first.Events().back()), "summary");
}

}  // namespace
}  // namespace aurvane::testing
