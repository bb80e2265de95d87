// Latency of the pen device: from the moment the last byte of a pen packet
// is written to the pty master to the moment tq pen has written that
// sample's frame (its SYN_REPORT) to the uinput descriptor, all filter
// stages off. tq pen runs as its own process against the stand-in for
// /dev/uinput, which reports the time of each SYN_REPORT through a pipe;
// both sides read the same monotonic clock. The pty floor is measured in
// the same run.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PtyBench.h"

extern char** environ;

namespace {

using namespace tqbench;

// Starts tq pen on the pty as port 1; its SYN_REPORT times arrive on `times`.
pid_t StartPen(const Pty& pty, int notifyFd) {
  const std::string port = "TQ_COM1=" + pty.path;
  const std::string shim = std::string("LD_PRELOAD=") + TQ_SHIM_PATH;
  const std::string notify = "UINPUT_SHIM_NOTIFY_FD=" + std::to_string(notifyFd);
  std::vector<std::string> env = {port, shim, notify};
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const char* argv[] = {TQ_TOOL_PATH, "pen", "--port", "1", "--no-validate", "--no-antistreak",
                        "--no-smooth", nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, TQ_TOOL_PATH, nullptr, nullptr, const_cast<char**>(argv), envp.data()) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  return pid;
}

bool NextFrameTime(int fd, int64_t& ns) {
  pollfd entry{fd, POLLIN, 0};
  if (poll(&entry, 1, 2000) <= 0) return false;
  return read(fd, &ns, sizeof ns) == static_cast<ssize_t>(sizeof ns);
}

std::vector<double> MeasurePen(const Pty& pty, int timesFd) {
  // A pen (code 1) at (1000, 800) and at (1010, 800): every packet moves it.
  const auto [a1, a2] = std::pair<unsigned, unsigned>{2206, 1281};
  const auto [b1, b2] = std::pair<unsigned, unsigned>{2197, 1288};
  const uint8_t packets[2][9] = {{0xA0, uint8_t(a1 / 128), uint8_t(a1 % 128), uint8_t(a2 / 128), uint8_t(a2 % 128), 30, 0, 0, 0},
                                 {0xA0, uint8_t(b1 / 128), uint8_t(b1 % 128), uint8_t(b2 / 128), uint8_t(b2 % 128), 30, 0, 0, 0}};
  std::vector<double> latencies;
  for (int i = 0; i < kSamples + 50; ++i) {
    const uint8_t* packet = packets[i % 2];
    pty.Write(packet, 8);
    const auto sent = Clock::now();
    pty.Write(packet + 8, 1);
    int64_t at = 0;
    if (!NextFrameTime(timesFd, at)) {
      std::fprintf(stderr, "no frame for packet %d\n", i);
      std::exit(1);
    }
    const double us = static_cast<double>(at - sent.time_since_epoch().count()) / 1000.0;
    if (i >= 50) latencies.push_back(us);
  }
  return latencies;
}

}  // namespace

int main() {
  const std::vector<double> floor = MeasureFloor();
  Pty pty;
  int times[2];
  if (pipe(times) != 0) return 1;
  const pid_t pen = StartPen(pty, times[1]);
  AnswerProbe(pty);
  usleep(800000);  // the open's second half, the device and its announcement
  const std::vector<double> latencies = MeasurePen(pty, times[0]);
  kill(pen, SIGTERM);
  int status = 0;
  waitpid(pen, &status, 0);
  std::printf("pen latency over %zu packets (tq pen, stand-in uinput), pty floor over %zu writes\n",
              latencies.size(), floor.size());
  std::printf("bench: pen_p50_us %.1f us\n", Percentile(latencies, 0.50));
  std::printf("bench: pen_p99_us %.1f us\n", Percentile(latencies, 0.99));
  std::printf("bench: pen_pty_floor_p50_us %.1f us\n", Percentile(floor, 0.50));
  std::printf("bench: pen_pty_floor_p99_us %.1f us\n", Percentile(floor, 0.99));
  return 0;
}
