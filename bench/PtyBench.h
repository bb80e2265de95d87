// What the latency benchmarks share: a raw pty pair standing in for the
// line, a protocol-2.0 board's answer to the probe, the pty floor (a write to
// a reader blocked on the other side) and percentiles.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace tqbench {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 2000;
constexpr unsigned kBaseline = 3056;

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
    path = name;
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  ~Pty() {
    close(master);
    close(slave);
  }
  void Write(const uint8_t* data, size_t n) const {
    while (n > 0) {
      const ssize_t w = write(master, data, n);
      if (w <= 0) return;
      data += w;
      n -= static_cast<size_t>(w);
    }
  }
};

// Answers the probe as a protocol-2.0 board, then lets the caller stream.
inline void AnswerProbe(const Pty& pty) {
  uint8_t byte = 0;
  for (;;) {
    pollfd entry{pty.master, POLLIN, 0};
    poll(&entry, 1, 2000);
    if (read(pty.master, &byte, 1) == 1 && byte == 0x20) break;
  }
  const uint8_t reply[] = {0x90, '2', '.', '0', ' ',                   // protocol
                           0x90, '2', '.', '1', 0x13, 0x13, 0x13, 0x13, 0x13,  // version
                           0xB0, kBaseline / 128, kBaseline % 128, 0, 0, 0, 0, 0, 0};  // geometry
  pty.Write(reply, sizeof reply);
}

inline double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

inline std::vector<double> MeasureFloor() {
  Pty pty;
  std::atomic<int64_t> readAt{0};
  std::atomic<int> reads{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t buffer[64];
    while (!stop) {
      pollfd entry{pty.slave, POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) continue;
      if (read(pty.slave, buffer, sizeof buffer) > 0) {
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
  return latencies;
}

}  // namespace tqbench
