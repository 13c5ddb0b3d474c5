// Protocol text costs: building and reading an attribute stream in written
// order (which must grow linearly with the number of entries), and the
// wire escaping plus request parsing of a 64 MB parameter text against a
// plain memcpy of the same bytes in the same run. The program ends with
// the throughput ratios to memcpy.
//
//   tools/netns-run build-bench/bench/rcProtocolText_bench

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/base/rcApi/CoStringBuilder.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcCommand.h"

namespace {

using namespace Kestrix;

constexpr size_t kTextSize = size_t{64} << 20;

// Parameter text as a path-translation request carries it: quoted paths
// with spaces and backslashes, and now and then a tab or a line feed.
const std::string& paramText() {
  static const std::string text = [] {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_./ ";
    std::string t;
    t.reserve(kTextSize);
    uint32_t state = 12345;
    while (t.size() < kTextSize) {
      state = state * 1103515245u + 12345u;
      const uint32_t r = (state >> 16) & 0x3FF;
      if (r < 20)
        t += '\\';
      else if (r < 24)
        t += '\t';
      else if (r < 27)
        t += '\n';
      else if (r < 40)
        t += '"';
      else
        t += kAlphabet[r % (sizeof kAlphabet - 1)];
    }
    return t;
  }();
  return text;
}

void BM_AttrStreamBuildAndRead(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back("Entry" + std::to_string(i));
  for (auto _ : state) {
    rcAttrStream s;
    for (int i = 0; i < n; ++i) s.addIntValue(names[static_cast<size_t>(i)].c_str(), i);
    int sum = 0;
    for (int i = 0; i < n; ++i) {
      int v = 0;
      s.getIntValue(names[static_cast<size_t>(i)].c_str(), v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetComplexityN(n);
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AttrStreamBuildAndRead)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000)
    ->Arg(8000)
    ->Complexity();

void BM_Memcpy64MB(benchmark::State& state) {
  const std::string& text = paramText();
  std::vector<char> copy(text.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), text.data(), text.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_Memcpy64MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Serialising a request (escaping its parameters) and parsing it back as
// the server does, in the runs the reads deliver.
void BM_EscapeAndParse64MB(benchmark::State& state) {
  const std::string& text = paramText();
  rcCommand out;
  out.set(rcCommand::SYNC, 0, "TranslatePaths", text.c_str());
  CoStringBuilder line(256);
  rcCommand in;
  for (auto _ : state) {
    line.clear();
    out.serialize(line);
    in.reset();
    bool done = false;
    in.parse(line.data(), static_cast<size_t>(line.length()), done);
    benchmark::DoNotOptimize(done);
  }
  if (in.getParams().view() != text) state.SkipWithError("request did not round-trip");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_EscapeAndParse64MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The two halves on their own.
void BM_Escape64MB(benchmark::State& state) {
  const std::string& text = paramText();
  rcCommand out;
  out.set(rcCommand::SYNC, 0, "TranslatePaths", text.c_str());
  CoStringBuilder line(256);
  for (auto _ : state) {
    line.clear();
    out.serialize(line);
    benchmark::DoNotOptimize(line.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_Escape64MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Parse64MB(benchmark::State& state) {
  const std::string& text = paramText();
  rcCommand out;
  out.set(rcCommand::SYNC, 0, "TranslatePaths", text.c_str());
  const std::string line = out.toString();
  rcCommand in;
  for (auto _ : state) {
    in.reset();
    bool done = false;
    in.parse(line.data(), static_cast<size_t>(line.length()), done);
    benchmark::DoNotOptimize(done);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_Parse64MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The same with the parser fed one byte per call.
void BM_EscapeAndParseByBytes64MB(benchmark::State& state) {
  const std::string& text = paramText();
  rcCommand out;
  out.set(rcCommand::SYNC, 0, "TranslatePaths", text.c_str());
  CoStringBuilder line(256);
  rcCommand in;
  for (auto _ : state) {
    line.clear();
    out.serialize(line);
    in.reset();
    for (char c : line.view())
      if (in.parse(c)) break;
  }
  if (in.getParams().view() != text) state.SkipWithError("request did not round-trip");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_EscapeAndParseByBytes64MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Remembers each run's throughput so that the ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      if (run.aggregate_name == "stddev" || run.aggregate_name == "cv") continue;
      const std::string suffix = run.aggregate_name.empty() ? "" : "_" + run.aggregate_name;
      bytesPerSecond_[suffix][run.run_name.function_name] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Each run's throughput against memcpy's, for single runs and for each
  // aggregate of repeated runs.
  void printRatios() const {
    for (const auto& [suffix, rates] : bytesPerSecond_) {
      const auto base = rates.find("BM_Memcpy64MB");
      if (base == rates.end() || base->second <= 0) continue;
      for (const auto& [name, rate] : rates)
        if (name != base->first)
          std::printf("%s%s: %.1f MB/s, %.3f of memcpy (1/%.1f)\n", name.c_str(), suffix.c_str(),
                      rate / 1e6, rate / base->second, base->second / rate);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> bytesPerSecond_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
