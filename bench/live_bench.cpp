// Latency of the live link and the cost of an idle port.
//
// live: from the moment the last byte of a pen packet is written to the pty
// master to the moment the window procedure (on the host's thread) has the
// pen message, all filter stages off. floor: the bare latency of a pty write
// to a reader blocked on the other side, measured in the same run. idle: the
// CPU time the process uses in 10 s with an open, silent-but-alive board.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "PtyBench.h"
#include "TQApi.h"
#include "PtyBench.h"
#include "platform/Platform.h"

namespace {

using namespace tqbench;

std::atomic<int64_t> g_receivedAt{0};
std::atomic<int> g_received{0};

LRESULT OnMessage(HWND, UINT message, WPARAM, LPARAM) {
  if (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE) {
    g_receivedAt.store(Clock::now().time_since_epoch().count());
    g_received.fetch_add(1);
  }
  return 0;
}

std::vector<double> MeasureLive(const Pty& pty) {
  std::vector<double> latencies;
  const uint8_t* packet = kPenPacket;
  for (int i = 0; i < kSamples + 50; ++i) {
    const int before = g_received.load();
    pty.Write(packet, sizeof kPenPacket - 1);
    const auto sent = Clock::now();
    pty.Write(packet + sizeof kPenPacket - 1, 1);
    while (g_received.load() == before) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      tqp::PumpSentMessages(1);
    }
    const auto at = Clock::time_point(Clock::duration(g_receivedAt.load()));
    if (i >= 50) latencies.push_back(std::chrono::duration<double, std::micro>(at - sent).count());
  }
  return latencies;
}

double CpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

void OnDeadline(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); }

}  // namespace

int main() {
  const std::vector<double> floor = MeasureFloor();

  Pty pty;
  setenv("TQ_COM1", pty.path.c_str(), 1);
  std::thread prober([&] { AnswerProbe(pty); });
  HWND window = TQCreateWindow(&OnMessage, nullptr);
  const TQ_ERROR_CODE opened = TQOpenPort(1, window);
  prober.join();
  if (opened != TQ_SUCCESS) {
    std::fprintf(stderr, "open failed: %d\n", static_cast<int>(opened));
    return 1;
  }
  TQSetValidateStatus(1, VALIDATION_OFF);
  TQSetAntiStreakStatus(1, ANTISTREAK_OFF);
  TQSetFilterStatus(1, FILTER_OFF);
  const std::vector<double> live = MeasureLive(pty);

  // Idle: the board sends a heartbeat every second, the host sits in its loop.
  std::atomic<bool> stop{false};
  std::thread heart([&] {
    const uint8_t beat = 0xF0;
    while (!stop) {
      pty.Write(&beat, 1);
      for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const double cpuBefore = CpuMs();
  SetTimer(nullptr, 0, 10000, &OnDeadline);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  const double idleCpu = CpuMs() - cpuBefore;
  stop = true;
  heart.join();
  TQClose(1);
  TQDestroyWindow(window);

  std::printf("live latency over %zu packets, pty floor over %zu writes (2 cores, this machine)\n",
              live.size(), floor.size());
  std::printf("bench: live_p50_us %.1f us\n", Percentile(live, 0.50));
  std::printf("bench: live_p99_us %.1f us\n", Percentile(live, 0.99));
  std::printf("bench: pty_floor_p50_us %.1f us\n", Percentile(floor, 0.50));
  std::printf("bench: pty_floor_p99_us %.1f us\n", Percentile(floor, 0.99));
  std::printf("bench: idle_cpu_ms_per_10s %.2f ms\n", idleCpu);
  return 0;
}
