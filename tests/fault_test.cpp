// Faults from every side a driver meets: a board that floods the line into a
// slow window, a host that changes settings while packets stream, captures
// on devices and on a full filesystem, damaged capture files, and devices
// that are missing or are no terminals. Nothing may crash, hang, leak a
// descriptor or a thread, or lose or reorder what the board sent.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/BoardPort.h"
#include "capture/CaptureFile.h"
#include "platform/Platform.h"
#include "support/Packets.h"
#include "support/PtyBoard.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using tqtest::Bytes;
using tqtest::PtyBoard;
using tqtest::Received;
using tqtest::RecordingWindow;

namespace {

using tqtest::FreshDir;
using tqtest::WriteAll;
using tqtest::CaptureHeader;

constexpr unsigned kBaseline = 3056;
constexpr unsigned kLineBytesPerSecond = 960;  // 9600 baud, 8N1

size_t Entries(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++n;
  return n;
}

// Pen-down packets along x from x0 in steps of 2, then one hover packet
// (the pen-up). Short form: the 5-byte packets of boards below version 2.
Bytes StrokeBytes(bool shortForm, double x0, double y, int points) {
  Bytes bytes;
  for (int i = 0; i <= points; ++i) {
    const double x = x0 + 2.0 * std::min(i, points - 1);
    const auto [first, second] = tqtest::PenDistances(x, y, kBaseline);
    const Bytes packet = shortForm ? tqtest::ShortPacket(i < points ? 0x82 : 0x8A, first, second)
                                   : tqtest::PenPacket(0xA0, first, second, i < points ? 60 : 15);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  return bytes;
}

// The host x of the i-th point of such a stroke, pod location 0.
int HostX(double x0, int i) { return static_cast<int>(x0 + 2.0 * i + 140.0); }

void AllStagesOff(TQ_PORT port) {
  TQSetValidateStatus(port, VALIDATION_OFF);
  TQSetAntiStreakStatus(port, ANTISTREAK_OFF);
  TQSetFilterStatus(port, FILTER_OFF);
}

bool IsPen(UINT message) {
  return message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP;
}

size_t PenMessages(const RecordingWindow& window) {
  return window.Count(TQ_MSG_PEN_DOWN) + window.Count(TQ_MSG_PEN_MOVE) + window.Count(TQ_MSG_PEN_UP);
}

// Sends a stream as a board does: continuously, at the pace of the line.
class PacedSender {
 public:
  PacedSender(PtyBoard& board, Bytes stream) : m_stream(std::move(stream)) {
    m_thread = std::thread([this, &board] {
      const uint32_t start = tqp::TickCount();
      size_t sent = 0;
      while (!m_stop.load() && sent < m_stream.size()) {
        const size_t due = std::min<size_t>(
            m_stream.size(), uint64_t{tqp::TickCount() - start} * kLineBytesPerSecond / 1000);
        if (due > sent) board.Send(Bytes(m_stream.begin() + sent, m_stream.begin() + due));
        sent = std::max(sent, due);
        tqp::SleepMs(5);
      }
      m_done.store(true);
    });
  }
  ~PacedSender() {
    m_stop.store(true);
    m_thread.join();
  }
  bool Done() const { return m_done.load(); }

 private:
  Bytes m_stream;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

// ---- A flooded line and a slow window -------------------------------------

struct FloodCase {
  const char* name;
  bool shortForm;
  int windowDelayMs;  // per message; slower than the line, so a backlog builds
  int closeAfterMs;   // 0: let the flood end and drain
};

class FloodedLine : public ::testing::TestWithParam<FloodCase> {};

TEST_P(FloodedLine, NothingLostOrReorderedAndCloseIsPrompt) {
  const FloodCase& c = GetParam();
  const int packet = c.shortForm ? 5 : 9;
  // About 2.5 s of line time; the closing case has more than it will use.
  const int points = (c.closeAfterMs == 0 ? 2500 : 8000) * static_cast<int>(kLineBytesPerSecond) / 1000 / packet;
  PtyBoard board(1, c.shortForm ? tqtest::ShortFormBoard("1.0", "1.5", kBaseline)
                                : tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  window.OnMessage([&](const Received&) { tqp::SleepMs(static_cast<uint32_t>(c.windowDelayMs)); });
  ASSERT_EQ(TQOpenPort(1, window.Handle()), TQ_SUCCESS);
  AllStagesOff(1);
  uint32_t closeTook = 0;
  {
    PacedSender sender(board, StrokeBytes(c.shortForm, 300, 800, points));
    if (c.closeAfterMs == 0) {
      ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_UP) == 1; }, 15000))
          << PenMessages(window) << " of " << points + 1;
    } else {
      RecordingWindow::Pump(c.closeAfterMs);
      ASSERT_FALSE(sender.Done());
    }
    const uint32_t start = tqp::TickCount();
    EXPECT_EQ(TQClose(1), TQ_SUCCESS);
    closeTook = tqp::TickCount() - start;
  }
  // One read's worth of packets in the window's hands is the most a close
  // may wait for.
  EXPECT_LT(closeTook, static_cast<uint32_t>(512 / packet * c.windowDelayMs + 700));
  const auto events = window.Events();
  RecordingWindow::Pump(200);
  EXPECT_EQ(window.Events().size(), events.size()) << "nothing arrives after TQClose";
  if (c.closeAfterMs == 0) {
    ASSERT_EQ(events.size(), static_cast<size_t>(points) + 1);
    EXPECT_EQ(events.back().message, TQ_MSG_PEN_UP);
  }
  ASSERT_FALSE(events.empty());
  for (size_t i = 0; i < events.size() && i < static_cast<size_t>(points); ++i) {
    ASSERT_EQ(events[i].message, i == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE) << i;
    ASSERT_NEAR(events[i].point.x, HostX(300, static_cast<int>(i)), 1) << i;
  }
}

const FloodCase kFloodCases[] = {
    {"v2_window_slower_than_the_line", false, 12, 0},
    {"v1_window_slower_than_the_line", true, 7, 0},
    {"v2_close_in_the_flood", false, 15, 1500},
};
INSTANTIATE_TEST_SUITE_P(Boards, FloodedLine, ::testing::ValuesIn(kFloodCases),
                         [](const ::testing::TestParamInfo<FloodCase>& p) { return std::string(p.param.name); });

// ---- The host changes settings while packets stream ------------------------

TEST(HostSettings, ChangedFromTheHostThreadWhilePacketsStream) {
  PtyBoard board(2, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow first;
  RecordingWindow second;
  ASSERT_EQ(TQOpenPort(2, first.Handle()), TQ_SUCCESS);
  const fs::path dir = FreshDir("settings");
  CFile copy;
  ASSERT_TRUE(copy.Open((dir / "copy.raw").c_str(), CFile::modeCreate | CFile::modeWrite));

  HWND current = first.Handle();
  int stages[3] = {1, 1, 1};
  using Setter = int (*)(TQ_PORT, int);
  const Setter setters[3] = {
      [](TQ_PORT p, int s) { return static_cast<int>(TQSetValidateStatus(p, static_cast<VALIDATION_STATUS>(s))); },
      [](TQ_PORT p, int s) { return static_cast<int>(TQSetFilterStatus(p, static_cast<FILTER_STATUS>(s))); },
      [](TQ_PORT p, int s) { return static_cast<int>(TQSetAntiStreakStatus(p, static_cast<ANTISTREAK_STATUS>(s))); },
  };
  const std::vector<std::function<void(int)>> actions = {
      [&](int) {
        const HWND next = current == first.Handle() ? second.Handle() : first.Handle();
        EXPECT_EQ(TQSetHWND(2, next), current);
        current = next;
      },
      [&](int i) {
        const int stage = i % 3;
        const int status = (i / 3) % 3 == 0 ? 1 : ((i / 3) % 3 == 1 ? 0 : 7);  // 7 is off too
        EXPECT_EQ(setters[stage](2, status), stages[stage]);
        stages[stage] = status == 1 ? 1 : 0;
      },
      [&](int i) { EXPECT_EQ(TQSetPodLocation(2, static_cast<POD_LOCATION>(i % 6 - 1)), TQ_SUCCESS); },
      [&](int i) { EXPECT_EQ(TQSetBoardHeight(2, static_cast<unsigned>(i * 373 % 5000)), TQ_SUCCESS); },
      [&](int i) {
        if (i % 3 == 0) TQOpenDumpFiles(2, (dir / "run").c_str(), 7);
        if (i % 3 == 1) TQGetDumpFile(2, 0, &copy);
        if (i % 3 == 2) TQCloseDumpFiles(2);
      },
      [&](int) {
        TQND counters{};
        char version[20];
        EXPECT_EQ(TQGetTQND(2, &counters), TQ_SUCCESS);
        EXPECT_EQ(TQGetBoardVersion(2, version), TQ_SUCCESS);
      },
  };
  Bytes stream;
  for (int s = 0; s < 12; ++s) stream = tqtest::Concat({stream, StrokeBytes(false, 500 + 40 * s, 900, 20), {0xF0}});
  {
    PacedSender sender(board, stream);
    for (int i = 0; !sender.Done(); ++i) {
      actions[static_cast<size_t>(i) % actions.size()](i / static_cast<int>(actions.size()));
      RecordingWindow::Pump(1);
    }
  }
  EXPECT_GT(PenMessages(first) + PenMessages(second), 0u);
  for (const RecordingWindow* window : {&first, &second}) {
    for (const Received& e : window->Events()) {
      if (!IsPen(e.message)) continue;
      EXPECT_EQ(e.lParam, e.message == TQ_MSG_PEN_UP ? 0 : e.point.code);
    }
  }
  // Back to known settings, the next stroke arrives whole where it should.
  RecordingWindow::Pump(300);
  TQSetHWND(2, first.Handle());
  TQSetPodLocation(2, POD_LOCATION_0);
  TQSetBoardHeight(2, 0);
  AllStagesOff(2);
  first.Clear();
  second.Clear();
  board.Send(StrokeBytes(false, 1000, 1000, 10));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return first.Count(TQ_MSG_PEN_UP) >= 1; }, 5000));
  const auto events = first.Events();
  ASSERT_GE(events.size(), 11u);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_NEAR(events[events.size() - 11 + i].point.x, HostX(1000, static_cast<int>(i)), 1) << i;
  }
  EXPECT_EQ(second.Events().size(), 0u);
  EXPECT_EQ(TQClose(2), TQ_SUCCESS);
}

// ---- The host closes from inside its window procedure -----------------------

struct ReentrantCase {
  const char* name;
  UINT trigger;  // the message whose handler closes or reopens the port
  bool reopen;
};

class CloseFromTheWindow : public ::testing::TestWithParam<ReentrantCase> {};

TEST_P(CloseFromTheWindow, ReturnsAndNothingFollows) {
  const ReentrantCase& c = GetParam();
  PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  // The handler acts on every trigger, also on those the reader sends while
  // the first call still waits for it.
  std::vector<int> results;
  int result = -1;
  size_t countAtClose = 0;
  window.OnMessage([&](const Received& e) {
    if (e.message != c.trigger || result >= 0) return;
    const int r = c.reopen ? TQOpenPort(5, window.Handle()) : TQClose(5);
    results.push_back(r);
    if (r == TQ_SUCCESS && result < 0) {
      result = r;
      countAtClose = window.Events().size();
    }
  });
  ASSERT_EQ(TQOpenPort(5, window.Handle()), TQ_SUCCESS);
  AllStagesOff(5);
  board.Send(StrokeBytes(false, 900, 900, 40));
  if (c.trigger == TQ_MSG_COMM_ERROR) {
    ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_UP) == 1; }, 5000));
    board.Vanish();
  }
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return result >= 0; }, 5000)) << "the handler's call returns";
  EXPECT_EQ(result, TQ_SUCCESS);
  EXPECT_EQ(std::count(results.begin(), results.end(), TQ_SUCCESS), 1);
  if (!c.reopen) {
    EXPECT_EQ(static_cast<size_t>(std::count(results.begin(), results.end(), TQ_ERR_NOT_OPEN)), results.size() - 1);
  }
  RecordingWindow::Pump(200);
  if (!c.reopen) {
    EXPECT_EQ(window.Events().size(), countAtClose) << "nothing arrives after TQClose";
    EXPECT_EQ(TQClose(5), TQ_ERR_NOT_OPEN);
    return;
  }
  AllStagesOff(5);
  window.Clear();
  board.Send(StrokeBytes(false, 1200, 900, 10));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_UP) == 1; }, 5000));
  EXPECT_EQ(PenMessages(window), 11u) << "the reopened port delivers";
  EXPECT_EQ(TQClose(5), TQ_SUCCESS);
}

const ReentrantCase kReentrantCases[] = {
    {"close_on_pen_down", TQ_MSG_PEN_DOWN, false},
    {"close_on_a_move", TQ_MSG_PEN_MOVE, false},
    {"close_on_line_error", TQ_MSG_COMM_ERROR, false},
    {"reopen_on_pen_down", TQ_MSG_PEN_DOWN, true},
};
INSTANTIATE_TEST_SUITE_P(Handlers, CloseFromTheWindow, ::testing::ValuesIn(kReentrantCases),
                         [](const ::testing::TestParamInfo<ReentrantCase>& p) { return std::string(p.param.name); });

// ---- Capture paths that are not the library's to write ----------------------

// What stands at the capture paths: `place` puts it at `path`; false when
// this machine cannot make it (another user's file needs root).
struct PathCase {
  const char* name;
  std::function<bool(const fs::path& path, const fs::path& victim)> place;
};

bool LinkTo(const fs::path& target, const fs::path& path) {
  fs::create_symlink(target, path);
  return true;
}

class CaptureOnForeignPath : public ::testing::TestWithParam<PathCase> {};

// The port opens and delivers without its captures; nothing a link points
// to is touched; the reader never waits for a capture.
TEST_P(CaptureOnForeignPath, PortOpensWithoutTheCapture) {
  const PathCase& c = GetParam();
  const fs::path dir = FreshDir(c.name);
  const fs::path victim = dir / "victim";
  const Bytes victimBytes(100, 7);
  WriteAll(victim, victimBytes);
  const fs::path temp = fs::path(std::getenv("TMPDIR")) / "tq3.raw";
  fs::remove(temp);
  if (!c.place(temp, victim)) GTEST_SKIP() << c.name << " cannot be made here (needs root)";
  for (const char* ext : {".raw", ".val", ".out"}) ASSERT_TRUE(c.place(dir / (std::string("run") + ext), victim));
  PtyBoard board(3, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  const size_t fds = Entries("/proc/self/fd");
  ASSERT_EQ(TQOpenPort(3, window.Handle()), TQ_SUCCESS);
  AllStagesOff(3);
  tq::CBoardPort* port = tq::FindOpenPort(3);
  EXPECT_FALSE(port->m_rawFile.IsOpen());
  board.Send(StrokeBytes(false, 900, 900, 20));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == 21; }, 5000));
  TQOpenDumpFiles(3, (dir / "run").c_str(), 7);
  EXPECT_FALSE(port->m_rawFile.IsOpen() || port->m_valFile.IsOpen() || port->m_outFile.IsOpen());
  // Idle bytes, which every raw capture keeps, far more than a pipe holds,
  // then a stroke: a reader that waited for a capture would never reach it.
  board.Send(tqtest::Concat({Bytes(96 * 1024, 0xF0), StrokeBytes(false, 1200, 900, 20)}));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == 2 * 21; }, 20000));
  const uint32_t start = tqp::TickCount();
  EXPECT_EQ(TQClose(3), TQ_SUCCESS);
  EXPECT_LT(tqp::TickCount() - start, 2000u);
  {
    std::ifstream in(victim, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), victimBytes);
  }
  if (fs::is_regular_file(fs::symlink_status(temp))) {
    EXPECT_EQ(fs::file_size(temp), 100u) << "another user's file is not emptied";
  }
  // The reader's own wake-up descriptor goes with the thread, just after.
  EXPECT_TRUE(RecordingWindow::PumpUntil([&] { return Entries("/proc/self/fd") == fds; }, 2000))
      << Entries("/proc/self/fd") << " descriptors, " << fds << " before the open";
  fs::remove(temp);
}

const PathCase kForeignPaths[] = {
    {"link_to_dev_full", [](const fs::path& p, const fs::path&) { return LinkTo("/dev/full", p); }},
    {"link_to_dev_null", [](const fs::path& p, const fs::path&) { return LinkTo("/dev/null", p); }},
    {"link_to_a_users_file", [](const fs::path& p, const fs::path& victim) { return LinkTo(victim, p); }},
    {"fifo", [](const fs::path& p, const fs::path&) { return mkfifo(p.c_str(), 0600) == 0; }},
    {"directory", [](const fs::path& p, const fs::path&) { return fs::create_directory(p); }},
    {"another_users_file",
     [](const fs::path& p, const fs::path&) {
       WriteAll(p, Bytes(100, 7));
       return geteuid() != 65534 && chown(p.c_str(), 65534, 65534) == 0;
     }},
};
INSTANTIATE_TEST_SUITE_P(Paths, CaptureOnForeignPath, ::testing::ValuesIn(kForeignPaths),
                         [](const ::testing::TestParamInfo<PathCase>& p) { return std::string(p.param.name); });

// Two hosts with the same port number and temporary directory (different
// devices): the raw capture belongs to the first; the second process's port
// opens and delivers without one. This program plays the second host too.
TEST(CaptureAcrossProcesses, TheRawCaptureIsHeldByOneProcess) {
  const char* shared = std::getenv("TQ_FIRST_HOST_TMPDIR");
  if (shared != nullptr) setenv("TMPDIR", shared, 1);
  PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(5, window.Handle()), TQ_SUCCESS);
  AllStagesOff(5);
  if (shared != nullptr) {
    EXPECT_FALSE(tq::FindOpenPort(5)->m_rawFile.IsOpen()) << "the first host's capture is not shared";
    board.Send(StrokeBytes(false, 900, 900, 20));
    EXPECT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == 21; }, 5000));
    EXPECT_EQ(TQClose(5), TQ_SUCCESS);
    return;
  }
  const fs::path raw = fs::path(std::getenv("TMPDIR")) / "tq5.raw";
  const Bytes first = StrokeBytes(false, 900, 900, 20);
  board.Send(first);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return fs::file_size(raw) == 20 + first.size(); }, 5000));
  const std::string self = fs::read_symlink("/proc/self/exe");
  const std::string tmp = std::getenv("TMPDIR");
  // The second host takes this program's temporary directory as its own.
  const std::string command = "TQ_FIRST_HOST_TMPDIR=" + tmp + " timeout 60 " + self +
                              " --gtest_filter=CaptureAcrossProcesses.* >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  const Bytes second = StrokeBytes(false, 1200, 900, 20);
  board.Send(second);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == 42; }, 5000));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return fs::file_size(raw) == 20 + 2 * first.size(); }, 5000));
  std::ifstream in(raw, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            tqtest::Concat({CaptureHeader(2.0, 2.1), first, second}));
  EXPECT_EQ(TQClose(5), TQ_SUCCESS);
}

TEST(CaptureCreate, OnlyRegularFilesAreTruncated) {
  const fs::path dir = FreshDir("create");
  WriteAll(dir / "old.raw", Bytes(100, 7));
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  const struct {
    fs::path path;
    bool opens;
  } cases[] = {{dir / "old.raw", true}, {"/dev/full", true}, {"/dev/null", true}, {dir / "pipe", true}, {dir, false}};
  for (const auto& c : cases) {
    CFile file;
    EXPECT_EQ(file.Open(c.path.c_str(), CFile::modeCreate | CFile::modeReadWrite | CFile::shareDenyNone), c.opens)
        << c.path;
  }
  EXPECT_EQ(fs::file_size(dir / "old.raw"), 0u) << "a regular file is still emptied";
}

// What a window receives from the replay of `path`, its message loop run.
std::vector<Received> ReplayEvents(const fs::path& path, bool* threw = nullptr) {
  RecordingWindow window;
  CFileDialog dialog(path.c_str());
  try {
    TQReadFileData(window.Handle(), &dialog);
  } catch (const CFileException&) {
    if (threw != nullptr) *threw = true;
  }
  RecordingWindow::Pump(0);
  return window.Events();
}

std::vector<std::string> Replay(const fs::path& path, bool* threw = nullptr) {
  std::vector<std::string> lines;
  for (const Received& e : ReplayEvents(path, threw)) lines.push_back(tqtest::EventLine(e));
  return lines;
}

// A capture directory on a filesystem that is full: a small tmpfs in a mount
// namespace of this test's own. The test program runs itself in there.
TEST(CaptureOnFullFilesystem, ReaderAndPenMessagesGoOn) {
  if (const char* full = std::getenv("TQ_FULL_FS_DIR"); full == nullptr) {
    if (std::system("unshare --user --map-root-user --mount true 2>/dev/null") != 0) {
      GTEST_SKIP() << "no mount namespace for a small filesystem";
    }
    const fs::path dir = FreshDir("fullfs");
    const std::string self = fs::read_symlink("/proc/self/exe");
    const std::string command = "timeout 60 unshare --user --map-root-user --mount sh -c "
                                "'mount -t tmpfs -o size=16k tmpfs \"$0\" && TQ_FULL_FS_DIR=\"$0\" exec \"$1\" "
                                "--gtest_filter=CaptureOnFullFilesystem.*' " +
                                dir.string() + " " + self;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return;
  }
  const fs::path dir = std::getenv("TQ_FULL_FS_DIR");
  const Bytes replayed = tqtest::Concat({CaptureHeader(2.0, 2.1), StrokeBytes(false, 900, 900, 30)});
  WriteAll(dir / "run2.raw", replayed);
  const fs::path roomy = FreshDir("roomy") / "run2.raw";
  WriteAll(roomy, replayed);
  {
    std::ofstream filler(dir / "filler", std::ios::binary);
    const std::string block(1024, 'x');
    for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) filler.flush();
  }
  PtyBoard board(4, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(4, window.Handle()), TQ_SUCCESS);
  AllStagesOff(4);
  TQOpenDumpFiles(4, (dir / "run1").c_str(), 7);
  tq::CBoardPort* port = tq::FindOpenPort(4);
  ASSERT_TRUE(port->m_outFile.IsOpen());
  board.Send(tqtest::Concat({StrokeBytes(false, 900, 900, 20), StrokeBytes(false, 1200, 900, 20)}));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == 42; }, 5000));
  EXPECT_GT(port->m_rawFile.FailedWrites(), 0u);
  EXPECT_GT(port->m_outFile.FailedWrites(), 0u);
  EXPECT_EQ(fs::file_size(dir / "run1.out"), 0u);
  EXPECT_EQ(TQClose(4), TQ_SUCCESS);

  // A replay whose captures cannot grow reports what one with room does.
  const std::vector<std::string> want = Replay(roomy);
  EXPECT_FALSE(want.empty());
  EXPECT_EQ(Replay(dir / "run2.raw"), want);
  EXPECT_EQ(fs::file_size(dir / "run2.out"), 0u);
}

// ---- Damaged capture files -------------------------------------------------

TEST(DamagedReplay, TruncatedFilesReplayWhatTheyHold) {
  const fs::path dir = FreshDir("truncated");
  for (const bool shortForm : {false, true}) {
    const int packet = shortForm ? 5 : 9;
    Bytes file = shortForm ? CaptureHeader(1.0, 1.0) : CaptureHeader(2.0, 2.1);
    for (int s = 0; s < 3; ++s) file = tqtest::Concat({file, StrokeBytes(shortForm, 900 + 200 * s, 900, 30)});
    const fs::path whole = dir / "whole.raw";
    WriteAll(whole, file);
    const std::vector<std::string> all = Replay(whole);
    ASSERT_GT(all.size(), 60u);
    // Cuts in the header, at packet boundaries and inside packets.
    const size_t cuts[] = {0, 1, 8, 16, 19, 20, 21, 20 + 4u * packet, 20 + 30u * packet + 1,
                           20 + 47u * packet + packet - 1, file.size() - 1};
    for (const size_t cut : cuts) {
      const fs::path path = dir / ("cut" + std::to_string(cut) + ".raw");
      WriteAll(path, Bytes(file.begin(), file.begin() + static_cast<long>(cut)));
      bool threw = false;
      const std::vector<std::string> lines = Replay(path, &threw);
      EXPECT_FALSE(threw) << cut;
      EXPECT_EQ(fs::exists(dir / ("cut" + std::to_string(cut) + ".out")), cut >= 20) << cut;
      if (cut < 20) {
        EXPECT_TRUE(lines.empty()) << cut;
        continue;
      }
      // What a file holds up to its last whole packet, and nothing more.
      const size_t boundary = 20 + (cut - 20) / packet * packet;
      WriteAll(dir / "boundary.raw", Bytes(file.begin(), file.begin() + static_cast<long>(boundary)));
      EXPECT_EQ(lines, Replay(dir / "boundary.raw")) << cut;
      ASSERT_LE(lines.size(), all.size()) << cut;
      EXPECT_TRUE(std::equal(lines.begin(), lines.end(), all.begin())) << cut;
    }
  }
}

TEST(DamagedReplay, ADirectoryIsRefusedLikeAFileThatCannotBeOpened) {
  const fs::path dir = FreshDir("folder.raw");
  RecordingWindow window;
  CFileDialog dialog(dir.c_str());
  try {
    TQReadFileData(window.Handle(), &dialog);
    ADD_FAILURE() << "a directory was replayed";
  } catch (const CFileException& error) {
    EXPECT_EQ(error.m_cause, CFileException::accessDenied);
    EXPECT_NE(error.m_lOsError, 0);
  }
  EXPECT_FALSE(fs::exists(dir.parent_path() / "folder.val"));
}

TEST(DamagedReplay, RandomBytesNeitherCrashNorBreakTheMessages) {
  const fs::path dir = FreshDir("random");
  std::mt19937 random(9);
  const double versions[][2] = {{1.0, 1.0}, {2.0, 2.1}, {2.0, 3.0}, {2.0, 4.0}};
  for (int k = 0; k < 40; ++k) {
    Bytes file(random() % 3000);
    for (uint8_t& b : file) b = static_cast<uint8_t>(random());
    // Half carry a header a board could have written, so the body is decoded.
    if (k % 2 == 1) file = tqtest::Concat({CaptureHeader(versions[k / 2 % 4][0], versions[k / 2 % 4][1]), file});
    const fs::path path = dir / ("r" + std::to_string(k) + ".raw");
    WriteAll(path, file);
    bool threw = false;
    const std::vector<Received> events = ReplayEvents(path, &threw);
    EXPECT_FALSE(threw) << k;
    UINT last = TQ_MSG_PEN_UP;
    size_t pens = 0;
    for (const Received& e : events) {
      // The decoders' messages only: nothing of a line or a watchdog.
      EXPECT_TRUE(IsPen(e.message) || e.message == TQ_MSG_BOARD_EVENT || e.message == TQ_MSG_BOARD_CHECK ||
                  e.message == TQ_MSG_BOARD_0x90)
          << k << " message " << e.message;
      if (!IsPen(e.message)) continue;
      ++pens;
      if (e.message == TQ_MSG_PEN_MOVE) {
        EXPECT_NE(last, TQ_MSG_PEN_UP) << k << ": a move follows a down";
      }
      last = e.message;
    }
    const fs::path out = dir / ("r" + std::to_string(k) + ".out");
    // A header a board could have written opens the captures; every pen
    // message is one record of the .out file.
    EXPECT_EQ(fs::exists(out), k % 2 == 1 || fs::exists(dir / ("r" + std::to_string(k) + ".val"))) << k;
    if (fs::exists(out)) {
      EXPECT_EQ(fs::file_size(out), 20 + 5 * pens) << k;
    }
  }
}

// ---- Devices that are missing or are no terminals ---------------------------

TEST(OpenFaults, AThousandOpensOfDevicesThatAreNoBoards) {
  const fs::path dir = FreshDir("devices");
  WriteAll(dir / "plain", Bytes(64, 0x90));
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "loop2", dir / "loop1");
  fs::create_symlink(dir / "loop1", dir / "loop2");
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (dir / "sock").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  struct Case {
    const char* name;
    std::string path;
  } const cases[] = {
      {"missing", "/nonexistent/tq-board"},   {"plain_file", (dir / "plain").string()},
      {"dev_null", "/dev/null"},              {"directory", dir.string()},
      {"fifo", (dir / "fifo").string()},      {"symlink_loop", (dir / "loop1").string()},
      {"socket", socketPath},                 {"name_too_long", "/tmp/" + std::string(5000, 'x')},
  };
  RecordingWindow window;
  const size_t fds = Entries("/proc/self/fd");
  const size_t threads = Entries("/proc/self/task");
  std::map<std::string, int> wrong;
  const uint32_t start = tqp::TickCount();
  for (int i = 0; i < 1000; ++i) {
    const Case& c = cases[static_cast<size_t>(i) % std::size(cases)];
    const TQ_PORT port = 1 + i % 8;
    setenv(("TQ_COM" + std::to_string(port)).c_str(), c.path.c_str(), 1);
    if (TQOpenPort(port, window.Handle()) != TQ_ERR_OPEN_FAILED) ++wrong[c.name];
    if (i % 100 == 0 && TQOpenPort(i % 200 == 0 ? 0 : 9, window.Handle()) != TQ_ERR_BAD_PORT) ++wrong["port"];
  }
  const uint32_t took = tqp::TickCount() - start;
  EXPECT_TRUE(wrong.empty()) << wrong.begin()->first << " gave another result " << wrong.begin()->second << " times";
  EXPECT_LT(took, 10000u) << "a device that is no board is refused at once";
  for (TQ_PORT port = 1; port <= 8; ++port) EXPECT_EQ(TQClose(port), TQ_ERR_NOT_OPEN) << port;
  EXPECT_EQ(Entries("/proc/self/fd"), fds);
  EXPECT_EQ(Entries("/proc/self/task"), threads);
  RecordingWindow::Pump(50);
  EXPECT_TRUE(window.Events().empty()) << "a device that cannot be opened is not notified";
  close(sock);
}

}  // namespace

