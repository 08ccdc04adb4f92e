// Cost of taking in a worker's manifest: parsing the "collected" line,
// decoding and checking the items, comparing with the reference and building
// the schedule, for suites of 10k to 1M tests with a history of the same size.
//
// Run a Release build: decoding plus checking should cost at most twice the
// parse of the same line, and 1M items at most 12 times 100k.
#include <map>
#include <memory>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>

#include "json/json.h"
#include "scheduler/history.h"
#include "protocol/item.h"
#include "scheduler/schedule.h"
#include "scheduler/tables.h"

namespace aurvane {
namespace {

constexpr size_t kTestsPerFile = 40;

std::string NodeId(size_t i) {
  return "tests/pkg_" + std::to_string(i / 4000) + "/test_module_" +
         std::to_string(i / kTestsPerFile) + ".py::TestClass::test_case_" + std::to_string(i);
}
std::string File(size_t i) {
  return "tests/pkg_" + std::to_string(i / 4000) + "/test_module_" +
         std::to_string(i / kTestsPerFile) + ".py";
}

// A "collected" line as a worker writes it: object items with a
// [path, line, domain] location.
std::string CollectedLine(size_t n) {
  std::string line = R"({"event":"collected","failed":false,"items":[)";
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) line += ',';
    line += R"({"group":)";
    json::AppendQuoted(line, File(i));
    line += R"(,"index":)" + std::to_string(i) + R"(,"location":[)";
    json::AppendQuoted(line, File(i));
    line += ',';
    line += std::to_string(10 + 7 * (i % kTestsPerFile));
    line += R"(,"TestClass.test_case_)";
    line += std::to_string(i);
    line += R"("],"nodeid":)";
    json::AppendQuoted(line, NodeId(i));
    line += '}';
  }
  line += "]}";
  return line;
}

// A history with an entry for every test, as after an earlier full run.
DurationHistory FullHistory(size_t n) {
  DurationHistory history;
  for (size_t i = 0; i < n; ++i) {
    history.Record(NodeId(i), 0.001 * static_cast<double>((i * 7919) % 5000));
  }
  return history;
}

// Cached inputs per size: building them dominates otherwise.
struct Inputs {
  std::string line;
  json::Value parsed;
  Manifest manifest;
  DurationHistory history;
};
const Inputs& GetInputs(size_t n) {
  static std::map<size_t, Inputs> cache;
  auto it = cache.find(n);
  if (it != cache.end()) return it->second;
  Inputs inputs;
  inputs.line = CollectedLine(n);
  inputs.parsed = std::move(json::Parse(inputs.line)).value();
  inputs.manifest = std::move(DecodeManifest(inputs.parsed.Find("items"))).value();
  inputs.history = FullHistory(n);
  return cache.emplace(n, std::move(inputs)).first->second;
}

void SetItems(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Parse(benchmark::State& state) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Result<json::Value> v = json::Parse(in.line);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.line.size()));
  SetItems(state);
}

// Decode (moving strings out of the parsed line) plus the index and
// duplicate rules: what the first manifest costs beyond parsing.
void BM_DecodeCheck(benchmark::State& state) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    // On the heap so that dropping it later stays out of the timing.
    auto items = std::make_unique<json::Value>(*in.parsed.Find("items"));
    state.ResumeTiming();
    Result<Manifest> m = DecodeManifest(std::move(*items));
    benchmark::DoNotOptimize(CheckIndices(m.value()).ok());
    benchmark::DoNotOptimize(CheckUniqueNodeIds(m.value()).ok());
    state.PauseTiming();
    { Result<Manifest> drop = std::move(m); }
    items.reset();
    state.ResumeTiming();
  }
  SetItems(state);
}

// The same with the copying decoder, for comparison.
void BM_DecodeCopyCheck(benchmark::State& state) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Result<Manifest> m = DecodeManifest(in.parsed.Find("items"));
    benchmark::DoNotOptimize(CheckIndices(m.value()).ok());
    benchmark::DoNotOptimize(CheckUniqueNodeIds(m.value()).ok());
    state.PauseTiming();
    { Result<Manifest> drop = std::move(m); }
    state.ResumeTiming();
  }
  SetItems(state);
}

void BM_CheckDuplicates(benchmark::State& state) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(CheckUniqueNodeIds(in.manifest).ok());
  SetItems(state);
}

void BM_CompareWithReference(benchmark::State& state) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  const Manifest copy = in.manifest;
  for (auto _ : state) benchmark::DoNotOptimize(copy == in.manifest);
  SetItems(state);
}

void BM_BuildSchedule(benchmark::State& state, const char* mode) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Schedule schedule = Schedule::Build(in.manifest, mode, in.history);
    benchmark::DoNotOptimize(schedule.groups_waiting());
    state.PauseTiming();
    { Schedule drop = std::move(schedule); }
    state.ResumeTiming();
  }
  SetItems(state);
}

// Everything a "collected" line costs: parse, decode, check, and accept as
// the first manifest (tables and schedule) or compare with the reference.
void BM_CollectedEndToEnd(benchmark::State& state, bool first) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  RunTables later;
  later.reference.emplace(in.manifest);
  for (auto _ : state) {
    auto message = std::make_unique<json::Value>(std::move(json::Parse(in.line)).value());
    Result<Manifest> m = DecodeManifest(std::move(message->as_object().at("items")));
    RunTables fresh;
    // Accepting the first manifest moves its tests' entries out of the history.
    state.PauseTiming();
    DurationHistory history = in.history;
    state.ResumeTiming();
    Status s = AcceptManifest(first ? fresh : later, 1, std::move(m).value(), "load", history);
    benchmark::DoNotOptimize(s.ok());
    state.PauseTiming();
    { RunTables drop = std::move(fresh); }
    message.reset();
    state.ResumeTiming();
  }
  SetItems(state);
}

void BM_HistoryParseSerialize(benchmark::State& state) {
  const Inputs& in = GetInputs(static_cast<size_t>(state.range(0)));
  const ManifestTable tests(in.manifest);
  std::vector<double> durations(tests.size());
  for (size_t i = 0; i < durations.size(); ++i) durations[i] = in.history.Expected(tests.NodeId(i));
  auto write = [&](const std::vector<double>& by_index) {
    std::string text;
    (void)WriteHistory(nullptr, &tests, by_index, [&text](std::string_view piece) {
      text += piece;
      return Status::Ok();
    });
    return text;
  };
  const std::string text = write(durations);
  for (auto _ : state) {
    DurationHistory h = DurationHistory::Parse(text);
    benchmark::DoNotOptimize(write(h.TakeCollected(tests)).size());
  }
  SetItems(state);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Parse)->Apply(Sizes);
BENCHMARK(BM_DecodeCheck)->Apply(Sizes);
BENCHMARK(BM_DecodeCopyCheck)->Apply(Sizes);
BENCHMARK(BM_CheckDuplicates)->Apply(Sizes);
BENCHMARK(BM_CompareWithReference)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_BuildSchedule, per_test, "load")->Apply(Sizes);
BENCHMARK_CAPTURE(BM_BuildSchedule, file, "file")->Apply(Sizes);
BENCHMARK_CAPTURE(BM_CollectedEndToEnd, first, true)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_CollectedEndToEnd, later, false)->Apply(Sizes);
BENCHMARK(BM_HistoryParseSerialize)->Apply(Sizes);

}  // namespace
}  // namespace aurvane

BENCHMARK_MAIN();
