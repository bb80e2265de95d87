// The replay entry the library and the tools share: the same messages from
// a file, from memory and from TQReadFileData; the tail of a capture whose
// last packet crosses the last read; inputs that have no end refused at once.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "capture/Replay.h"
#include "protocol/Framing.h"
#include "support/Packets.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using tqtest::Bytes;
using tqtest::RecordingWindow;

namespace {

using tqtest::FreshDir;
using tqtest::WriteAll;
using tqtest::CaptureHeader;

constexpr unsigned kBaseline = 3056;
constexpr size_t kReadBlock = 64 * 1024;  // the replay's read size

Bytes Strokes(int strokes, int points) {
  Bytes bytes;
  for (int s = 0; s < strokes; ++s) {
    for (int i = 0; i <= points + 1; ++i) {
      const auto [first, second] = tqtest::PenDistances(900.0 + 250.0 * s + 4.0 * std::min(i, points - 1),
                                                        1000.0, kBaseline);
      bytes = tqtest::Concat({bytes, tqtest::PenPacket(0xA0, first, second, i < points ? 60 : 15)});
    }
  }
  return bytes;
}

struct Replayed {
  tq::ReplayStatus status;
  tq::SReplayStats stats;
  std::vector<std::string> lines;
};

// Replays through the entry into a new window, its message loop run after.
template <typename Call>
Replayed Capture(Call call) {
  RecordingWindow window;
  Replayed result{};
  result.status = call(window.Handle(), &result.stats);
  RecordingWindow::Pump(0);
  result.lines = window.EventLines();
  return result;
}

std::vector<std::string> ReadFileData(const fs::path& path) {
  RecordingWindow window;
  CFileDialog dialog(path.string().c_str());
  TQReadFileData(window.Handle(), &dialog);
  RecordingWindow::Pump(0);
  return window.EventLines();
}

TEST(ReplayEntry, LastPacketAcrossTheLastReadEndsInTheTail) {
  // Strokes, then idle heartbeat bytes up to where a flush command starts
  // four bytes before the end of the first read: the flush is completed by
  // the next read, and its last bytes lie behind the last whole packet
  // length of the body, in the short tail.
  const Bytes strokes = Strokes(3, 30);
  const Bytes idle(kReadBlock - 4 - strokes.size(), tq::kHeartbeatByte);
  const Bytes body = tqtest::Concat({strokes, idle, tqtest::CommandPacket(0x102)});
  ASSERT_NE(body.size() % 9, 0u);
  const fs::path dir = FreshDir("straddle");
  WriteAll(dir / "strokes.raw", tqtest::Concat({CaptureHeader(2.0, 2.1), strokes}));
  std::vector<std::string> expected = ReadFileData(dir / "strokes.raw");
  ASSERT_GT(expected.size(), 60u);
  expected.push_back("board 0 0");

  const Bytes file = tqtest::Concat({CaptureHeader(2.0, 2.1), body});
  WriteAll(dir / "run.raw", file);
  EXPECT_EQ(ReadFileData(dir / "run.raw"), expected);
  tq::SReplayOptions look;
  look.writeCaptures = false;
  fs::remove(dir / "run.out");
  const Replayed fromFile = Capture([&](HWND w, tq::SReplayStats* s) {
    return tq::ReplayCaptureFile((dir / "run.raw").string().c_str(), w, look, s);
  });
  EXPECT_EQ(fromFile.status, tq::ReplayStatus::Replayed);
  EXPECT_EQ(fromFile.lines, expected);
  EXPECT_EQ(fromFile.stats.bytes, body.size());
  EXPECT_EQ(fromFile.stats.header.receiverSpacing, kBaseline);
  EXPECT_FALSE(fs::exists(dir / "run.out")) << "a replay that only looks writes nothing";
  const Replayed fromMemory = Capture([&](HWND w, tq::SReplayStats* s) {
    return tq::ReplayCaptureBytes(file.data(), file.size(), w, look, s);
  });
  EXPECT_EQ(fromMemory.status, tq::ReplayStatus::Replayed);
  EXPECT_EQ(fromMemory.lines, expected);
  EXPECT_EQ(fromMemory.stats.pushed, fromFile.stats.pushed);
}

TEST(ReplayEntry, FilterSwitchesAndCapturesAreTheCallers) {
  // Raw bytes with a wild point inside a stroke: the validation stage takes
  // it out when on, and lets every sample through when off.
  const auto [first, second] = tqtest::PenDistances(2500.0, 3000.0, kBaseline);
  Bytes body = Strokes(1, 30);
  const Bytes wild = tqtest::PenPacket(0xA0, first, second, 60);
  body.insert(body.begin() + 9 * 15, wild.begin(), wild.end());
  const Bytes file = tqtest::Concat({CaptureHeader(2.0, 2.1), body});
  const fs::path dir = FreshDir("switches");
  struct Case {
    const char* name;
    bool stagesOn;
  } const cases[] = {{"on", true}, {"off", false}};
  size_t rejected[2] = {};
  for (size_t k = 0; k < std::size(cases); ++k) {
    tq::SReplayOptions options;
    options.validation = options.smoothing = options.antiStreak = cases[k].stagesOn;
    const std::string base = (dir / cases[k].name).string();
    options.captureBase = base.c_str();
    const Replayed r = Capture([&](HWND w, tq::SReplayStats* s) {
      return tq::ReplayCaptureBytes(file.data(), file.size(), w, options, s);
    });
    ASSERT_EQ(r.status, tq::ReplayStatus::Replayed) << cases[k].name;
    rejected[k] = r.stats.rejected;
    // Every delivered sample is one record of the .out capture named by the caller.
    size_t pens = 0;
    for (const std::string& line : r.lines) pens += line.rfind("board", 0) != 0;
    EXPECT_EQ(fs::file_size(base + ".out"), 20 + 5 * pens) << cases[k].name;
    EXPECT_TRUE(fs::exists(base + ".val")) << cases[k].name;
  }
  EXPECT_GT(rejected[0], 0u);
  EXPECT_EQ(rejected[1], 0u);
}

#ifndef _WIN32
// FIFOs, devices and links as a POSIX system has them.
TEST(ReplayEntry, InputsWithoutAnEndAreRefusedAtOnce) {
  const fs::path dir = FreshDir("endless");
  ASSERT_EQ(mkfifo((dir / "fifo.raw").c_str(), 0600), 0);
  fs::create_directories(dir / "folder.raw");
  fs::create_symlink("/dev/zero", dir / "zero.raw");
  WriteAll(dir / "short.raw", CaptureHeader(2.0, 2.1));
  const Bytes good = tqtest::Concat({CaptureHeader(2.0, 2.1), Strokes(1, 10)});
  WriteAll(dir / "good.raw", good);
  fs::create_symlink(dir / "good.raw", dir / "link.raw");
  WriteAll(dir / "bad.raw", tqtest::Concat({CaptureHeader(2.0, 0.0), Strokes(1, 10)}));
  using tq::ReplayStatus;
  struct Case {
    const char* name;
    fs::path path;
    ReplayStatus status;
  } const cases[] = {
      {"fifo_without_writer", dir / "fifo.raw", ReplayStatus::NotRegularFile},
      {"dev_zero", "/dev/zero", ReplayStatus::NotRegularFile},
      {"dev_urandom", "/dev/urandom", ReplayStatus::NotRegularFile},
      {"link_to_dev_zero", dir / "zero.raw", ReplayStatus::NotRegularFile},
      {"directory", dir / "folder.raw", ReplayStatus::NotRegularFile},
      {"missing", dir / "none.raw", ReplayStatus::CannotOpen},
      {"header_only", dir / "short.raw", ReplayStatus::Replayed},
      {"header_refused", dir / "bad.raw", ReplayStatus::NotCapture},
      {"link_to_a_capture", dir / "link.raw", ReplayStatus::Replayed},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const Replayed r = Capture([&](HWND w, tq::SReplayStats* s) {
      return tq::ReplayCaptureFile(c.path.c_str(), w, tq::SReplayOptions{}, s);
    });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.lines.empty(), c.status != ReplayStatus::Replayed || c.path == dir / "short.raw") << c.name;
    const fs::path captured = fs::path(c.path.string().substr(0, c.path.string().size() - 4) + ".out");
    EXPECT_EQ(fs::exists(captured), c.status == ReplayStatus::Replayed) << c.name;
    if (c.status != ReplayStatus::NotRegularFile) continue;
    // The library's own entry refuses them as files it may not read.
    CFileDialog dialog(c.path.c_str());
    try {
      TQReadFileData(nullptr, &dialog);
      ADD_FAILURE() << c.name << " was replayed";
    } catch (const CFileException& error) {
      EXPECT_EQ(error.m_cause, CFileException::accessDenied) << c.name;
      EXPECT_NE(error.m_lOsError, 0) << c.name;
    }
  }
}

// What this program holds in memory, as Linux tells it.
long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A capture of a board below version 2.0 that is nothing but checks and
// signals, far more than the queue takes, replayed before the window's loop
// runs: of each, the bound waits and the rest is dropped, and the replay
// holds no more memory at its end than at its start.
TEST(ReplayEntry, AFloodOfPostsLeavesTheBoundWaitingAndMemoryFlat) {
  constexpr size_t kBound = tq::CBoardPort::kPostsWaiting;
  constexpr size_t kFloodBytes = size_t{32} << 20;
  const auto [first, second] = tqtest::PenDistances(1000.0, 1000.0, kBaseline);
  const Bytes block = tqtest::Repeat(
      tqtest::Concat({tqtest::ShortPacket('v', first, second), tqtest::ShortPacket(0x90, first, second)}),
      kReadBlock / 10);
  const fs::path path = FreshDir("flood") / "flood.raw";
  {
    std::ofstream out(path, std::ios::binary);
    const Bytes header = CaptureHeader(1.0, 1.0);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    for (size_t written = 0; written < kFloodBytes; written += block.size()) {
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    }
  }
  const uint64_t body = fs::file_size(path) - tq::kCaptureHeaderSize;
  RecordingWindow window;
  tq::SReplayOptions look;
  look.writeCaptures = false;
  tq::SReplayStats stats;
  const long before = ResidentKiB();
  ASSERT_EQ(tq::ReplayCaptureFile(path.c_str(), window.Handle(), look, &stats), tq::ReplayStatus::Replayed);
  const long after = ResidentKiB();
  EXPECT_EQ(stats.bytes, body);
  EXPECT_LT(after - before, 4 * 1024) << "KiB held by a replay of " << body << " bytes";
  RecordingWindow::Pump(0);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK), kBound);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_0x90), kBound);
  EXPECT_EQ(window.Events().size(), 2 * kBound);
}
#endif

}  // namespace
