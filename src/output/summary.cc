#include "output/summary.h"

#include <charconv>
#include <utility>

#include "json/json.h"
#include "util/file.h"

namespace aurvane {

namespace {

template <typename Integer>
void AppendInteger(std::string& out, Integer n) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, end);
}

// Writes members and array elements in either form, as the value writers of
// the JSON layer would, handing full pieces to the sink as it goes.
class SummaryWriter {
 public:
  SummaryWriter(bool pretty, const RunSummary::Sink& sink) : pretty_(pretty), sink_(sink) {
    text_.reserve(RunSummary::kPieceBytes + 4096);
  }

  // `first` says whether this is the first member or element at its level.
  void Key(std::string_view key, bool first, size_t indent) {
    Separator(first, indent);
    json::AppendQuoted(text_, key);
    text_ += pretty_ ? ": " : ":";
  }
  void Separator(bool first, size_t indent) {
    if (!first) text_ += ',';
    Newline(indent);
  }
  void Newline(size_t indent) {
    if (!pretty_) return;
    text_ += '\n';
    text_.append(indent * 2, ' ');
  }
  std::string& text() { return text_; }

  // Hands the text gathered so far to the sink once it is a full piece.
  Status MaybeFlush() { return text_.size() >= RunSummary::kPieceBytes ? Flush() : Status::Ok(); }
  Status Flush() {
    if (text_.empty()) return Status::Ok();
    Status written = sink_(text_);
    text_.clear();
    return written;
  }

 private:
  bool pretty_;
  const RunSummary::Sink& sink_;
  std::string text_;
};

}  // namespace

RunSummary::RunSummary(size_t test_count, TestSource test, const RunTotals& totals)
    : test_count_(test_count), test_(std::move(test)), totals_(totals) {
  for (size_t i = 0; i < test_count_; ++i) {
    std::string_view state = test_(i).state;
    if (state == "completed") {
      ++completed_;
    } else if (state == "interrupted") {
      ++interrupted_;
    }
  }
}

Status RunSummary::Write(bool pretty, std::optional<double> elapsed, const Sink& sink) const {
  SummaryWriter w(pretty, sink);
  std::string& out = w.text();
  out += '{';
  w.Key("collected", true, 1);
  AppendInteger(out, static_cast<uint64_t>(test_count_));
  w.Key("completed", false, 1);
  AppendInteger(out, completed_);
  if (elapsed) {
    w.Key("elapsed", false, 1);
    json::AppendDouble(out, *elapsed);
  }
  w.Key("event", false, 1);
  out += "\"summary\"";
  w.Key("exit_code", false, 1);
  AppendInteger(out, totals_.exit_code);
  w.Key("failed", false, 1);
  AppendInteger(out, totals_.failed);
  w.Key("interrupted", false, 1);
  AppendInteger(out, interrupted_);
  w.Key("not_run", false, 1);
  AppendInteger(out, static_cast<uint64_t>(test_count_) - completed_ - interrupted_);
  w.Key("restarts", false, 1);
  AppendInteger(out, totals_.restarts);
  w.Key("tests", false, 1);
  out += '[';
  for (size_t i = 0; i < test_count_; ++i) {
    TestOutcome outcome = test_(i);
    w.Separator(i == 0, 2);
    out += '{';
    w.Key("attempts", true, 3);
    AppendInteger(out, outcome.attempts);
    w.Key("nodeid", false, 3);
    json::AppendQuoted(out, outcome.nodeid);
    w.Key("state", false, 3);
    json::AppendQuoted(out, outcome.state);
    w.Newline(2);
    out += '}';
    if (Status flushed = w.MaybeFlush(); !flushed.ok()) return flushed;
  }
  if (test_count_ > 0) w.Newline(1);
  out += ']';
  w.Key("wall_seconds", false, 1);
  json::AppendDouble(out, totals_.wall_seconds);
  w.Newline(0);
  out += '}';
  return w.Flush();
}

Status WriteSummary(const std::filesystem::path& run_dir, const RunSummary& summary) {
  Result<OutputFile> file = OutputFile::CreateTruncate(run_dir / "summary.json");
  if (!file.ok()) return NamingPath(std::move(file).TakeError(), "Cannot create", run_dir / "summary.json");
  return summary.WritePretty([&file](std::string_view piece) { return file.value().WriteAll(piece); });
}

}  // namespace aurvane
