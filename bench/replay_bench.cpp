// Replay throughput: megabytes of a version-2 raw capture per second through
// TQReadFileData (decoders, every filter stage on, delivery to a window that
// does nothing, .val and .out written beside the file), against the time to
// read the same file once in large blocks, the floor no replay can beat.
// Both run warm, on the same file, in the same run. A third figure feeds the
// same bytes from memory straight to the receive path of a port object with
// no captures open: what decoding and filtering alone allow.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TQApi.h"
#include "api/BoardPort.h"
#include "capture/CaptureFile.h"

namespace fs = std::filesystem;

namespace {

constexpr double kBaseline = 3056;
constexpr size_t kCaptureBytes = 40u * 1024 * 1024;

LRESULT IdleWindow(HWND, UINT, WPARAM, LPARAM) { return 0; }

void AppendField(std::vector<uint8_t>& bytes, long value) {
  bytes.push_back(static_cast<uint8_t>(value / 128));
  bytes.push_back(static_cast<uint8_t>(value % 128));
}

// Handwriting-like strokes of pen 0 along curves across the board, each
// closed by hover packets, heartbeat bytes between strokes and now and then
// a control packet, as a board of version 2.1 sends them.
void WriteCapture(const fs::path& path) {
  std::vector<uint8_t> bytes(tq::kCaptureHeaderSize);
  tq::EncodeCaptureHeader({2.0, 2.1, static_cast<uint32_t>(kBaseline)}, bytes.data());
  bytes.reserve(kCaptureBytes + 4096);
  double angle = 0;
  for (int stroke = 0; bytes.size() < kCaptureBytes; ++stroke) {
    const double cx = 600 + (stroke * 197) % 1800;
    const double cy = 700 + (stroke * 61) % 900;
    const int length = 30 + (stroke * 37) % 120;
    for (int i = 0; i < length + 3; ++i) {
      angle += 0.03;
      const double x = cx + 120 * std::cos(angle);
      const double y = cy + 80 * std::sin(2 * angle);
      bytes.push_back(0xA0);
      AppendField(bytes, std::lround(std::hypot(kBaseline - x, y)));
      AppendField(bytes, std::lround(std::hypot(x, y)));
      bytes.insert(bytes.end(), {static_cast<uint8_t>(i < length ? 60 : 15), 0, 0, 0});
    }
    bytes.insert(bytes.end(), 1 + stroke % 5, 0xF0);
    if (stroke % 50 == 49) {
      bytes.push_back(0xC0);
      AppendField(bytes, 0x101);
      bytes.insert(bytes.end(), {0, 0, 0, 0, 0, 0});
    }
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

fs::path g_capture;
double g_replayMbPerS = 0;
double g_readMbPerS = 0;
double g_pipelineMbPerS = 0;

double MegabytesOf(const fs::path& path) { return static_cast<double>(fs::file_size(path)) / 1e6; }

void BM_Replay(benchmark::State& state) {
  HWND window = TQCreateWindow(&IdleWindow, nullptr);
  CFileDialog dialog(g_capture.c_str());
  double best = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    TQReadFileData(window, &dialog);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    if (seconds > 0 && MegabytesOf(g_capture) / seconds > best) best = MegabytesOf(g_capture) / seconds;
  }
  TQDestroyWindow(window);
  g_replayMbPerS = best;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fs::file_size(g_capture)));
}

void BM_ReadFloor(benchmark::State& state) {
  std::vector<uint8_t> block(1 << 20);
  double best = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    CFile file;
    size_t total = 0;
    if (file.Open(g_capture.c_str(), CFile::modeRead | CFile::shareExclusive | CFile::typeBinary)) {
      while (const unsigned got = file.Read(block.data(), static_cast<unsigned>(block.size()))) total += got;
    }
    benchmark::DoNotOptimize(total);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    if (seconds > 0 && static_cast<double>(total) / 1e6 / seconds > best) best = static_cast<double>(total) / 1e6 / seconds;
  }
  g_readMbPerS = best;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fs::file_size(g_capture)));
}

void BM_PipelineOnly(benchmark::State& state) {
  std::vector<uint8_t> bytes(fs::file_size(g_capture));
  if (std::FILE* file = std::fopen(g_capture.c_str(), "rb"); file != nullptr) {
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    std::fclose(file);
  }
  HWND window = TQCreateWindow(&IdleWindow, nullptr);
  double best = 0;
  for (auto _ : state) {
    tq::CBoardPort port(window);
    port.m_boardVersion = 2.1;
    port.m_receiverSpacing = static_cast<uint32_t>(kBaseline);
    port.m_packetLength = 9;
    const auto start = std::chrono::steady_clock::now();
    for (size_t pos = tq::kCaptureHeaderSize; pos + 9 <= bytes.size(); pos += 9) {
      port.DispatchReceived(bytes.data() + pos, 9);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    if (seconds > 0 && static_cast<double>(bytes.size()) / 1e6 / seconds > best) {
      best = static_cast<double>(bytes.size()) / 1e6 / seconds;
    }
  }
  TQDestroyWindow(window);
  g_pipelineMbPerS = best;
}

BENCHMARK(BM_ReadFloor)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Replay)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PipelineOnly)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tq-replay-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("replay_bench: mkdtemp");
    return 1;
  }
  const fs::path dir = pattern;
  g_capture = dir / "bench.raw";
  WriteCapture(g_capture);
  std::printf("capture: %.1f MB\n", MegabytesOf(g_capture));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  std::printf("bench: replay_mb_per_s %.1f MB/s\n", g_replayMbPerS);
  std::printf("bench: read_floor_mb_per_s %.1f MB/s\n", g_readMbPerS);
  std::printf("bench: replay_decode_filter_only_mb_per_s %.1f MB/s\n", g_pipelineMbPerS);
  return 0;
}
