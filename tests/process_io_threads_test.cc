// The control writer and event reader on real pipes: line framing, the
// 8 MiB limit, every failure text, and how each thread ends.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <unistd.h>
#endif

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process/handle.h"
#include "process/io_threads.h"
#include "process/launch.h"
#include "util/file.h"

namespace aurvane {
namespace {

using namespace std::chrono_literals;

Pipe NewPipe() {
  Result<Pipe> pipe = MakePipe();
  EXPECT_TRUE(pipe.ok()) << pipe.message();
  return std::move(pipe).value();
}

std::string ReadAll(PipeReader& reader) {
  std::string out;
  char buf[4096];
  for (;;) {
    Result<size_t> n = reader.Read(buf, sizeof buf);
    if (!n.ok() || n.value() == 0) return out;
    out.append(buf, n.value());
  }
}

// Runs an event reader over `bytes` written (then closed) by another thread
// and returns every event it produced, in order.
std::vector<WorkerEvent> ReadEvents(std::string bytes, size_t worker = 3) {
  Pipe pipe = NewPipe();
  auto [tx, rx] = MakeQueue<WorkerEvent>(kEventQueueCapacity);
  std::thread writer([w = std::move(pipe.writer), bytes = std::move(bytes)]() mutable {
    (void)w.WriteAll(bytes);  // fails once the reader stopped early
  });
  EXPECT_TRUE(StartEventReader(std::move(tx), std::move(pipe.reader), worker).ok());
  std::vector<WorkerEvent> events;
  while (auto event = rx.Receive()) events.push_back(std::move(*event));
  writer.join();
  return events;
}

std::string Failure(const std::vector<WorkerEvent>& events) {
  EXPECT_FALSE(events.empty());
  if (events.empty() || !events.back().is_failure()) return "<no failure>";
  return events.back().failure();
}

// A JSON string line of exactly `total` bytes, line feed included.
std::string StringLine(size_t total) { return "\"" + std::string(total - 3, 'x') + "\"\n"; }

TEST(EventReaderTest, DeliversLinesInOrderThenPipeClosed) {
  auto events = ReadEvents("{\"event\":\"hello\",\"protocol\":1}\r\n[1,2]\n  7  \n\"s\"\n{\"last\":true}");
  ASSERT_EQ(events.size(), 6u);
  for (const WorkerEvent& e : events) EXPECT_EQ(e.worker, 3u);
  EXPECT_EQ(events[0].message().raw, json::Value(json::Object{{"event", "hello"}, {"protocol", 1}}));
  EXPECT_EQ(events[1].message().raw, json::Value(json::Array{1, 2}));
  EXPECT_EQ(events[2].message().raw, json::Value(7));
  EXPECT_EQ(events[3].message().raw, json::Value("s"));
  EXPECT_EQ(events[4].message().raw, json::Value(json::Object{{"last", true}}));  // no line feed
  EXPECT_EQ(events[5].failure(), "Worker event pipe closed");

  auto nothing = ReadEvents("");
  ASSERT_EQ(nothing.size(), 1u);
  EXPECT_EQ(nothing[0].failure(), "Worker event pipe closed");
}

TEST(EventReaderTest, BadLinesStopTheReaderWithTheParserMessage) {
  for (const char* bad : {"\n", "  \t\r\n", "{} {}\n", "{\"a\":\n"}) {
    auto events = ReadEvents(std::string("{\"ok\":1}\n") + bad + "{\"never\":1}\n");
    ASSERT_EQ(events.size(), 2u) << bad;
    EXPECT_TRUE(events[0].message().raw.is_object());
    std::string failure = events[1].failure();
    EXPECT_EQ(failure.rfind("Invalid worker event: ", 0), 0u) << failure;
    EXPECT_NE(failure.find(" at line "), std::string::npos) << failure;
    EXPECT_EQ(failure, "Invalid worker event: " + json::Parse(bad).message());
  }
  std::string deep = std::string(128, '[') + std::string(128, ']') + "\n";
  EXPECT_EQ(Failure(ReadEvents(deep)), "Invalid worker event: " + json::Parse(deep).message());
}

TEST(EventReaderTest, EightMebibyteLimitCountsTheLineFeed) {
  auto at_limit = ReadEvents(StringLine(kMaxWorkerLineBytes) + "{}\n");
  ASSERT_EQ(at_limit.size(), 3u);
  EXPECT_EQ(at_limit[0].message().raw.as_string().size(), kMaxWorkerLineBytes - 3);
  EXPECT_EQ(at_limit[1].message().raw, json::Value(json::Object{}));

  // At the limit without a line feed, as the last line.
  std::string unterminated = StringLine(kMaxWorkerLineBytes + 1);
  unterminated.pop_back();
  auto last = ReadEvents(unterminated);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_TRUE(last[0].message().raw.is_string());

  auto over = ReadEvents(StringLine(kMaxWorkerLineBytes + 1) + "{}\n");
  ASSERT_EQ(over.size(), 1u);
  EXPECT_EQ(over[0].failure(), "Worker event exceeded 8 MiB protocol limit");
}

TEST(EventReaderTest, DoesNotReadPastAnOverlongLine) {
  Pipe pipe = NewPipe();
  auto [tx, rx] = MakeQueue<WorkerEvent>(kEventQueueCapacity);
  ASSERT_TRUE(StartEventReader(std::move(tx), std::move(pipe.reader), 0).ok());
  // 16 MiB without a line feed: the reader must stop after the first 8 MiB
  // and close its end, so this write fails instead of being swallowed.
  Status written = pipe.writer.WriteAll(std::string(2 * kMaxWorkerLineBytes, 'x'));
  EXPECT_FALSE(written.ok());
  auto event = rx.Receive();
  ASSERT_TRUE(event && event->is_failure());
  EXPECT_EQ(event->failure(), "Worker event exceeded 8 MiB protocol limit");
  EXPECT_EQ(rx.Receive(), std::nullopt);
}

// A second handle to the writing end of a pipe, and the error of reading it.
#ifdef _WIN32
Handle WriteOnlyCopy(const PipeWriter& writer) {
  HANDLE self = ::GetCurrentProcess();
  HANDLE copy = nullptr;
  ::DuplicateHandle(self, reinterpret_cast<HANDLE>(writer.handle().get()), self, &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  return Handle(reinterpret_cast<intptr_t>(copy));
}
constexpr int kReadWriteOnlyError = ERROR_ACCESS_DENIED;
#else
Handle WriteOnlyCopy(const PipeWriter& writer) { return Handle(::dup(static_cast<int>(writer.handle().get()))); }
constexpr int kReadWriteOnlyError = EBADF;
#endif

TEST(EventReaderTest, ReadErrorAndGoneReceiver) {
  // Reading from a write-only handle fails.
  Pipe pipe = NewPipe();
  Handle write_only = WriteOnlyCopy(pipe.writer);
  auto events = [&] {
    auto [tx, rx] = MakeQueue<WorkerEvent>(4);
    RunEventReader(std::move(tx), PipeReader(std::move(write_only)), 1);
    std::vector<WorkerEvent> out;
    while (auto e = rx.Receive()) out.push_back(std::move(*e));
    return out;
  }();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].failure(), "Worker event read error: " + OsErrorText(kReadWriteOnlyError));

  // With nobody receiving, the reader stops at its first send, silently.
  auto [tx, rx] = MakeQueue<WorkerEvent>(1);
  rx.Reset();
  ASSERT_TRUE(pipe.writer.WriteAll("{}\n{}\n").ok());
  RunEventReader(std::move(tx), std::move(pipe.reader), 1);  // returns instead of blocking
  EXPECT_FALSE(pipe.writer.WriteAll("{}\n").ok()) << "the reader closes its end when it stops";
}

// A worker's input served by a control writer, written by the caller
// itself where it can be (`direct` and the platform allows it), or only
// through the writer.
struct ServedInput {
  ServedInput(bool direct, PipeWriter writer, Sender<WorkerEvent> events, size_t worker) {
    direct = direct && writer.SetNonBlocking().ok();
    auto pipe = std::make_shared<ControlPipe>(std::move(writer), direct);
    channel = CommandChannel(pipe);
    EXPECT_TRUE(StartControlWriter(std::move(pipe), std::move(events), worker).ok());
  }
  CommandChannel channel;
};

TEST(ControlWriterTest, WritesCompactLinesAndClosesInputWhenReleased) {
  for (bool direct : {false, true}) {
    Pipe pipe = NewPipe();
    auto [events, event_rx] = MakeQueue<WorkerEvent>(4);
    ServedInput input(direct, std::move(pipe.writer), std::move(events), 0);
    EXPECT_EQ(SendCommand(input.channel, 0, json::Object{{"command", "init"}}).value(), Delivery::kQueued);
    EXPECT_EQ(SendCommand(input.channel, 0, json::Object{{"next", nullptr}, {"index", 1}, {"command", "run"}})
                  .value(),
              Delivery::kQueued);
    input.channel.Reset();  // the session lets go: what waits is written, then the input ends
    EXPECT_EQ(ReadAll(pipe.reader), "{\"command\":\"init\"}\n{\"command\":\"run\",\"index\":1,\"next\":null}\n")
        << direct;
    EXPECT_EQ(event_rx.Receive(), std::nullopt) << "a writer that was let go sends nothing";
  }
}

TEST(ControlWriterTest, BrokenPipeIsReportedOnceAndRefusesEveryLaterCommand) {
  for (bool direct : {false, true}) {
    Pipe pipe = NewPipe();
    pipe.reader.Close();  // the worker has gone; SIGPIPE must not kill us
    auto [events, event_rx] = MakeQueue<WorkerEvent>(4);
    ServedInput input(direct, std::move(pipe.writer), std::move(events), 5);
    // Written by the writer, the failure comes later; written directly, at once.
    (void)SendCommand(input.channel, 5, json::Object{{"command", "init"}});
    auto event = event_rx.Receive();
    ASSERT_TRUE(event && event->is_failure());
    EXPECT_EQ(event->worker, 5u);
    EXPECT_EQ(event->failure(), "Worker control pipe closed");
    // Refused as soon as the failure is reported, not queued for nobody.
    EXPECT_EQ(SendCommand(input.channel, 5, json::Object{}).value(), Delivery::kControlGone);
    EXPECT_EQ(event_rx.Receive(), std::nullopt);
  }
}

TEST(ControlWriterTest, AFullPipeLeavesTheRestToTheWriterInOrder) {
  Pipe pipe = NewPipe();
  if (!pipe.writer.SetNonBlocking().ok()) GTEST_SKIP() << "every command goes through the writer here";
  auto control = std::make_shared<ControlPipe>(std::move(pipe.writer), true);
  CommandChannel channel(control);
  json::Value big = json::Object{{"command", "init"}, {"pad", std::string(size_t{256} * 1024, 'x')}};
  json::Value run1 = json::Object{{"command", "run"}, {"index", 1}};
  json::Value run2 = json::Object{{"command", "run"}, {"index", 2}};
  // No writer yet: the pipe takes what fits of the first line, the rest waits.
  EXPECT_EQ(SendCommand(channel, 7, big).value(), Delivery::kQueued);
  // Room again, but a line still waits: this one must wait behind it.
  char chunk[4096];
  Result<size_t> first = pipe.reader.Read(chunk, sizeof chunk);
  ASSERT_TRUE(first.ok() && first.value() > 0);
  std::string got(chunk, first.value());
  std::string expected = json::ToCompact(big) + "\n";
  for (size_t i = 1; i < kCommandQueueCapacity; ++i) {
    EXPECT_EQ(SendCommand(channel, 7, run1).value(), Delivery::kQueued);
    expected += json::ToCompact(run1) + "\n";
  }
  EXPECT_EQ(SendCommand(channel, 7, run2).message(),
            "Worker av7 control channel unavailable: sending on a full channel");

  auto [events, event_rx] = MakeQueue<WorkerEvent>(4);
  ASSERT_TRUE(StartControlWriter(control, std::move(events), 7).ok());
  control.reset();
  while (got.size() < expected.size()) {
    Result<size_t> n = pipe.reader.Read(chunk, sizeof chunk);
    ASSERT_TRUE(n.ok() && n.value() > 0);
    got.append(chunk, n.value());
  }
  // The writer is done with its lines (or about to be): the next comes after them.
  EXPECT_EQ(SendCommand(channel, 7, run2).value(), Delivery::kQueued);
  channel.Reset();
  got += ReadAll(pipe.reader);
  EXPECT_EQ(got, expected + json::ToCompact(run2) + "\n");
  EXPECT_EQ(event_rx.Receive(), std::nullopt);
}

TEST(SendCommandTest, AFullQueueIsAnErrorAnEndedWriterADroppedCommand) {
  auto [queue, rx] = MakeQueue<WorkerCommand>(kCommandQueueCapacity);
  CommandChannel tx(std::move(queue));
  for (size_t i = 0; i < kCommandQueueCapacity; ++i) {
    EXPECT_EQ(SendCommand(tx, 12, json::Object{{"command", "init"}}).value(), Delivery::kQueued);
  }
  EXPECT_EQ(SendCommand(tx, 12, json::Object{}).message(),
            "Worker av12 control channel unavailable: sending on a full channel");
  rx.Reset();  // as the control writer does when a write fails
  EXPECT_EQ(SendCommand(tx, 0, json::Object{}).value(), Delivery::kControlGone);
  CommandChannel unconnected;
  EXPECT_EQ(SendCommand(unconnected, 0, json::Object{}).value(), Delivery::kControlGone);
  EXPECT_EQ(WorkerName(12), "av12");
  EXPECT_EQ(WorkerLogPath("/runs/r", 3), std::filesystem::path("/runs/r/worker-3.log"));
}

}  // namespace
}  // namespace aurvane
