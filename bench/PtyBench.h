// What the latency benchmarks share: the simulator's pty board standing in
// for the line, answering the probe as a board of version 2.1, the pty floor
// (a write to a reader blocked on the other side) and percentiles.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/PtyBoard.h"

namespace tqbench {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 2000;
constexpr unsigned kBaseline = 3056;
// A pen at (1000, 800): distances to (baseline, 0) and to (0, 0).
constexpr uint8_t kPenPacket[] = {0xA0, 2206 / 128, 2206 % 128, 1281 / 128, 1281 % 128, 60, 0, 0, 0};

struct Pty {
  std::unique_ptr<tqsim::PtyBoard> board = std::make_unique<tqsim::PtyBoard>();
  std::string path;
  Pty() {
    std::string error;
    tqsim::BoardModel model;
    if (!tqsim::MakeModel(2.1, kBaseline, model) || !board->Open(error)) {
      std::fprintf(stderr, "pty board: %s\n", error.c_str());
      std::exit(1);
    }
    board->AnswerAs(tqsim::RepliesOf(model));
    path = board->Path();
  }
  // Unpaced, as fast as the host reads.
  void Write(const uint8_t* data, size_t n) const { board->Send(data, n); }
};

// Answers the probe as a protocol-2.0 board, then lets the caller stream.
inline void AnswerProbe(const Pty& pty) {
  while (pty.board->Probes() == 0 && pty.board->Step(2.0)) {
  }
}

inline double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

inline std::vector<double> MeasureFloor() {
  Pty pty;
  const int slave = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::atomic<int64_t> readAt{0};
  std::atomic<int> reads{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t buffer[64];
    while (!stop) {
      pollfd entry{slave, POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) continue;
      if (read(slave, buffer, sizeof buffer) > 0) {
        readAt.store(Clock::now().time_since_epoch().count());
        reads.fetch_add(1);
      }
    }
  });
  std::vector<double> latencies;
  const uint8_t byte = 0x41;
  for (int i = 0; i < kSamples + 50; ++i) {
    const int before = reads.load();
    const auto sent = Clock::now();
    pty.Write(&byte, 1);
    while (reads.load() == before) std::this_thread::yield();
    const auto at = Clock::time_point(Clock::duration(readAt.load()));
    if (i >= 50) latencies.push_back(std::chrono::duration<double, std::micro>(at - sent).count());
  }
  stop = true;
  reader.join();
  close(slave);
  return latencies;
}

}  // namespace tqbench
