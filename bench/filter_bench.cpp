// Cost per sample of the stroke filter over a stream like a board's: long
// smooth strokes with a few units of jitter and an occasional stray reading,
// ending by hovering or by a break marker. Also counts heap allocations per
// sample, which should be none once the queues have grown.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "filter/StrokeFilter.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

// Replacing the global allocation functions lets the benchmark count them.
// GCC warns about malloc/free pairs it sees inlined here; they do match.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::vector<tq::SPenSample> BoardStream(std::size_t count) {
  std::vector<tq::SPenSample> stream;
  uint32_t seed = 12345;
  auto noise = [&seed]() {  // -2 .. 2
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>((seed >> 16) % 5) - 2.0;
  };
  double angle = 0;
  int stroke = 0;
  while (stream.size() < count) {
    const int length = 40 + (stroke * 37) % 120;
    const double cx = 800 + (stroke * 211) % 1500;
    const double cy = 600 + (stroke * 137) % 900;
    for (int i = 0; i < length; ++i) {
      tq::SPenSample s;
      s.kind = tq::kKindPenDown;
      angle += 0.03;
      s.x = cx + 300 * std::cos(angle) + noise();
      s.y = cy + 200 * std::sin(2 * angle) + noise();
      s.penCode = 1;
      if (i % 53 == 17) s.y += 400;  // a stray reading
      stream.push_back(s);
    }
    tq::SPenSample end;
    if (stroke % 3 == 0) {
      end = tq::MakeBreakMarker();
    } else {
      end.kind = tq::kKindHover;
      end.x = stream.back().x + 15;
      end.y = stream.back().y + 15;
      end.penCode = 1;
      stream.push_back(end);  // two hover samples end a stroke
      end.x += 15;
    }
    stream.push_back(end);
    ++stroke;
  }
  return stream;
}

struct SFigures {
  double nsPerSample = 0;
  double allocationsPerSample = 0;
};
SFigures g_on, g_off;  // the last run of each, for the summary lines

void RunFilter(benchmark::State& state, bool stagesOn) {
  const std::vector<tq::SPenSample> stream = BoardStream(100000);
  tq::CStrokeFilter filter;
  const int on = stagesOn ? 1 : 0;
  filter.SetValidation(on);
  filter.SetAntiStreak(on);
  filter.SetFilter(on);
  double sink = 0;
  for (const tq::SPenSample& s : stream) {  // warm up: let the queues grow
    filter.Push(s);
    while (filter.OutputCount() != 0) sink += filter.Pop().x;
  }
  const uint64_t allocationsBefore = g_allocations.load();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (const tq::SPenSample& s : stream) {
      filter.Push(s);
      while (filter.OutputCount() != 0) sink += filter.Pop().x;
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  benchmark::DoNotOptimize(sink);
  const double samples = static_cast<double>(state.iterations()) * static_cast<double>(stream.size());
  SFigures& figures = stagesOn ? g_on : g_off;
  figures.nsPerSample =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
      samples;
  figures.allocationsPerSample =
      static_cast<double>(g_allocations.load() - allocationsBefore) / samples;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  state.counters["ns_per_sample"] =
      benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_sample"] = figures.allocationsPerSample;
}

void BM_FilterAllStagesOn(benchmark::State& state) { RunFilter(state, true); }
void BM_FilterAllStagesOff(benchmark::State& state) { RunFilter(state, false); }

BENCHMARK(BM_FilterAllStagesOn);
BENCHMARK(BM_FilterAllStagesOff);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Allocations are counted over the timed loop of the last run only.
  std::printf("bench: filter_on_ns_per_sample %.1f ns\n", g_on.nsPerSample);
  std::printf("bench: filter_on_allocations_per_sample %.6f allocations\n",
              g_on.allocationsPerSample);
  std::printf("bench: filter_off_ns_per_sample %.1f ns\n", g_off.nsPerSample);
  return 0;
}
