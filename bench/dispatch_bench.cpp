// Packets per second through a port's receive path: framing, decoding,
// triangulation, the stroke filter with every stage on, delivery and the
// pen message to a window that does nothing. A board sends about 107
// packets a second; the reader should never be the bottleneck.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "api/BoardPort.h"

namespace {

LRESULT IdleWindow(HWND, UINT, WPARAM, LPARAM) { return 0; }

void AppendField(std::vector<uint8_t>& bytes, long value) {
  bytes.push_back(static_cast<uint8_t>(value / 128));
  bytes.push_back(static_cast<uint8_t>(value % 128));
}

// Strokes of pen samples along curves, each ended by a few hover packets;
// version-2 boards also idle with heartbeat bytes between strokes.
std::vector<uint8_t> BoardStream(bool shortPackets, std::size_t packets) {
  constexpr double kBaseline = 1000;
  std::vector<uint8_t> bytes;
  double angle = 0;
  std::size_t sent = 0;
  for (int stroke = 0; sent < packets; ++stroke) {
    const double cx = 300 + (stroke * 97) % 400;
    const double cy = 500 + (stroke * 61) % 300;
    const int length = 40 + (stroke * 37) % 80;
    for (int i = 0; i < length + 4 && sent < packets; ++i, ++sent) {
      angle += 0.02;
      const double x = cx + 150 * std::cos(angle);
      const double y = cy + 100 * std::sin(2 * angle);
      const long toR1 = std::lround(std::hypot(kBaseline - x, y));
      const long toR0 = std::lround(std::hypot(x, y));
      const bool hover = i >= length;
      if (shortPackets) {
        bytes.push_back(hover ? 0x88 : 0x81);
        AppendField(bytes, toR1);
        AppendField(bytes, toR0);
      } else {
        bytes.push_back(0xA0);
        AppendField(bytes, toR1);
        AppendField(bytes, toR0);
        bytes.insert(bytes.end(), {static_cast<uint8_t>(hover ? 15 : 30), 0, 0, 0});
      }
    }
    if (!shortPackets) bytes.insert(bytes.end(), 3, 0xF0);
  }
  return bytes;
}

double g_packetsPerSecond[2] = {0, 0};

// Feeds the stream one packet's length at a time, as replay does and as a
// reader mostly sees it at the board's rate.
void RunDispatch(benchmark::State& state, bool version1) {
  HWND window = TQCreateWindow(&IdleWindow, nullptr);
  constexpr std::size_t kPackets = 20000;
  const std::vector<uint8_t> stream = BoardStream(version1, kPackets);
  const int chunk = version1 ? 5 : 9;
  std::size_t packets = 0;
  std::chrono::steady_clock::duration elapsed{};
  for (auto _ : state) {
    state.PauseTiming();
    tq::CBoardPort port(window);
    port.m_boardVersion = version1 ? 1.0 : 2.1;
    port.m_packetLength = version1 ? 5 : 9;
    port.m_receiverSpacing = 1000;
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t pos = 0; pos < stream.size(); pos += chunk) {
      const std::size_t left = stream.size() - pos;
      port.DispatchReceived(stream.data() + pos, static_cast<int>(left < std::size_t(chunk) ? left : chunk));
    }
    elapsed += std::chrono::steady_clock::now() - start;
    packets += kPackets;
    benchmark::DoNotOptimize(port.m_lastSample);
  }
  TQDestroyWindow(window);
  const double seconds = std::chrono::duration<double>(elapsed).count();
  g_packetsPerSecond[version1 ? 1 : 0] = seconds > 0 ? static_cast<double>(packets) / seconds : 0;
  state.SetItemsProcessed(static_cast<int64_t>(packets));
}

void BM_DispatchVersion2(benchmark::State& state) { RunDispatch(state, false); }
void BM_DispatchVersion1(benchmark::State& state) { RunDispatch(state, true); }

BENCHMARK(BM_DispatchVersion2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DispatchVersion1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("bench: decode_v2_packets_per_s %.0f packets/s\n", g_packetsPerSecond[0]);
  std::printf("bench: decode_v1_packets_per_s %.0f packets/s\n", g_packetsPerSecond[1]);
  return 0;
}
