// Export of a long session: one hour of a board writing at its full rate
// (9600 baud, about 385,000 packets of 9 bytes) replayed with every filter
// stage on, gathered into the stroke model and written in each format, in
// seconds for the whole hour. The hour is the bundled "hello" capture
// written over and over, the board flushed every fifty words, so it holds
// real handwriting as the filter sees it and twenty-odd pages of ink.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "export/ExportSession.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kPacketsPerHour = 9600 / 10 * 3600 / 9;

fs::path g_dir;
std::map<std::string, double> g_seconds;  // best of the runs, by extension

void WriteHour(const fs::path& path) {
  std::ifstream in(std::string(TQ_SOURCE_DIR) + "/samples/hello-v2.raw", std::ios::binary);
  const std::vector<char> sample((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  if (sample.size() <= 20) return;
  const std::vector<char> body(sample.begin() + 20, sample.end());
  const char flush[9] = {char(0xC0), char(0x102 / 128), char(0x102 % 128), 0, 0, 0, 0, 0, 0};
  std::ofstream out(path, std::ios::binary);
  out.write(sample.data(), 20);
  size_t bytes = 0;
  for (int word = 1; bytes < kPacketsPerHour * 9; ++word) {
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    bytes += body.size();
    if (word % 50 == 0) {
      out.write(flush, sizeof flush);
      bytes += sizeof flush;
    }
  }
}

void BM_Export(benchmark::State& state, const std::string& extension) {
  tqtool::ExportSettings settings;
  settings.input = g_dir / "hour.raw";
  settings.output = g_dir / ("hour" + extension);
  tqtool::FormatFromName(settings.output, settings.request.format);
  double best = 1e9;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    tqtool::ExportSummary summary;
    std::string error;
    if (!tqtool::ExportCapture(settings, summary, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    best = std::min(best, seconds);
    state.counters["points"] = static_cast<double>(summary.points);
  }
  g_seconds[extension.substr(1)] = best;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tq-export-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("export_bench: mkdtemp");
    return 1;
  }
  g_dir = pattern;
  WriteHour(g_dir / "hour.raw");
  std::printf("capture: %zu packets\n",
              static_cast<size_t>((fs::file_size(g_dir / "hour.raw") - 20) / 9));
  for (const char* extension : {".xopp", ".inkml", ".pdf", ".png", ".svg"}) {
    benchmark::RegisterBenchmark((std::string("BM_Export") + extension).c_str(), BM_Export,
                                 extension)
        ->UseManualTime()
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  fs::remove_all(g_dir, ignored);
  for (const auto& [format, seconds] : g_seconds) {
    std::printf("bench: export_s_per_hour_%s %.3f s\n", format.c_str(), seconds);
  }
  return 0;
}
