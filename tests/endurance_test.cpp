// A host as it lives on a POSIX system: signals every millisecond, a process
// that ends with its boards streaming, and hundreds of opens and closes.
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "TQApi.h"
#include "platform/Platform.h"
#include "support/Packets.h"
#include "support/PtyBoard.h"
#include "support/RecordingWindow.h"

using tqtest::Bytes;
using tqtest::PtyBoard;
using tqtest::RecordingWindow;

namespace {

constexpr unsigned kBoardBaseline = 3056;

Bytes PenStroke(int n) {
  Bytes bytes;
  for (int i = 0; i < 8; ++i) {
    const auto [first, second] = tqtest::PenDistances(700 + 4.0 * i + n % 40, 800, kBoardBaseline);
    const Bytes packet = tqtest::PenPacket(0xA0, first, second, i < 7 ? 60 : 15);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  return bytes;
}

// A board that keeps drawing until it is destroyed.
class Drawing {
 public:
  explicit Drawing(PtyBoard& board)
      : m_thread([this, &board] {
          for (int n = 0; !m_stop.load(); ++n) {
            board.Send(PenStroke(n));
            tqp::SleepMs(5);
          }
        }) {}
  ~Drawing() {
    m_stop.store(true);
    m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// SIGALRM every `us` microseconds, with a handler that does nothing and no
// restart of interrupted calls: every wait sees EINTR over and over.
class SignalStorm {
 public:
  explicit SignalStorm(long us) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &m_previous);
    const itimerval timer{{0, us}, {0, us}};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~SignalStorm() {
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &m_previous, nullptr);
  }

 private:
  struct sigaction m_previous {};
};

TEST(SignalStorm, WaitsKeepTheirDeadlines) {
  tqtest::BoardScript silent = tqtest::LongFormBoard("2.0", "2.1", kBoardBaseline);
  silent.silent = true;
  PtyBoard quiet(1, silent);
  PtyBoard streaming(2, tqtest::LongFormBoard("2.0", "2.1", kBoardBaseline));
  RecordingWindow window;
  SignalStorm storm(1000);

  uint32_t start = tqp::TickCount();
  EXPECT_EQ(TQOpenPort(1, window.Handle()), TQ_ERR_NO_ANSWER);
  EXPECT_LT(tqp::TickCount() - start, 4500u) << "the open of a silent board ends at its timeouts";

  static std::atomic<int> ticks{0};
  ticks = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) { ++ticks; });
  RecordingWindow::Pump(600);
  KillTimer(nullptr, timer);
  EXPECT_GE(ticks.load(), 5) << "timers fire";

  ASSERT_EQ(TQOpenPort(2, window.Handle()), TQ_SUCCESS);
  Drawing drawing(streaming);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_MOVE) > 20; }, 3000));
  start = tqp::TickCount();
  EXPECT_EQ(TQClose(2), TQ_SUCCESS);
  EXPECT_LT(tqp::TickCount() - start, 2000u) << "the close of a streaming port returns";
}

// The host returns from main (here: calls exit) while two boards stream into
// a window that takes its time: the readers are inside their sends.
TEST(ProcessExit, WithStreamingPortsOpenEndsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        PtyBoard first(3, tqtest::LongFormBoard("2.0", "2.1", kBoardBaseline));
        PtyBoard second(4, tqtest::LongFormBoard("2.0", "2.1", kBoardBaseline));
        RecordingWindow window;
        window.OnMessage([](const tqtest::Received&) { tqp::SleepMs(1); });
        if (TQOpenPort(3, window.Handle()) != TQ_SUCCESS || TQOpenPort(4, window.Handle()) != TQ_SUCCESS) {
          std::_Exit(3);
        }
        Drawing drawFirst(first);
        Drawing drawSecond(second);
        RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_MOVE) > 40; }, 3000);
        std::exit(window.Count(TQ_MSG_PEN_MOVE) > 40 ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
}

size_t Entries(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Soak, TwoHundredOpensAndClosesOfAStreamingBoard) {
  PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", kBoardBaseline));
  RecordingWindow window;
  size_t fds = 0, threads = 0;
  long rss = 0;
  for (int cycle = 0; cycle < 200; ++cycle) {
    ASSERT_EQ(TQOpenPort(5, window.Handle()), TQ_SUCCESS) << cycle;
    // The board streams from the open on; the close comes in the middle.
    board.Send(tqtest::Concat({PenStroke(cycle), PenStroke(cycle + 1), PenStroke(cycle + 2)}));
    RecordingWindow::Pump(3);
    ASSERT_EQ(TQClose(5), TQ_SUCCESS) << cycle;
    if (cycle == 19) {
      RecordingWindow::Pump(50);
      fds = Entries("/proc/self/fd");
      threads = Entries("/proc/self/task");
      rss = ResidentKiB();
    }
  }
  // A reader ends just after it let go of the port.
  EXPECT_TRUE(RecordingWindow::PumpUntil([&] { return Entries("/proc/self/task") <= threads; }, 1000));
  EXPECT_EQ(Entries("/proc/self/fd"), fds);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers keep freed memory aside (their leak check stands in).
  (void)rss;
#else
  EXPECT_LT(ResidentKiB() - rss, 2048) << "resident memory stays flat";
#endif
  EXPECT_GT(window.Count(TQ_MSG_PEN_MOVE), 0u) << "the board was heard";
}

// ---- What the host is told when the line goes ------------------------------

size_t CountCode(const RecordingWindow& window, WPARAM code) {
  size_t n = 0;
  for (const auto& e : window.Events()) n += e.message == TQ_MSG_COMM_ERROR && e.wParam == code ? 1 : 0;
  return n;
}

enum class Loss {
  kVanish,      // the device goes away
  kOutputHeld,  // the line takes no more bytes from the host (flow stopped)
};

struct LineGoneCase {
  const char* name;
  bool streaming;      // pens arrive before the line goes
  WPARAM code;         // the line error the host must see
  int waitMs;
  Loss loss;
};

class LineGone : public ::testing::TestWithParam<LineGoneCase> {};

TEST_P(LineGone, TheHostReceivesTheCode) {
  const LineGoneCase& c = GetParam();
  PtyBoard board(6, tqtest::LongFormBoard("2.0", "2.1", kBoardBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(6, window.Handle()), TQ_SUCCESS);
  if (c.streaming) {
    board.Send(tqtest::Concat({PenStroke(0), PenStroke(1), PenStroke(2)}));
    ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_MOVE) > 0; }, 3000));
  }
  int held = -1;
  if (c.loss == Loss::kVanish) {
    board.Vanish();
  } else {
    held = open(board.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(tcflow(held, TCOOFF), 0);
  }
  EXPECT_TRUE(RecordingWindow::PumpUntil([&] { return CountCode(window, c.code) > 0; }, c.waitMs));
  if (held >= 0) {
    tcflow(held, TCOON);
    close(held);
  }
  for (const auto& e : window.Events()) {
    if (e.message == TQ_MSG_COMM_ERROR) {
      EXPECT_EQ(e.lParam, 0);
    }
  }
  EXPECT_EQ(TQClose(6), TQ_SUCCESS);
}

const LineGoneCase kLineGoneCases[] = {
    {"line_wait_fails", true, 8, 3000, Loss::kVanish},
    // The watchdog asks a silent board "?" at its second look: the write fails.
    {"command_write_fails", false, 1, 9000, Loss::kVanish},
    // The "?" waits for the line to take it and gives up after a second.
    {"command_write_never_completes", false, 9, 9000, Loss::kOutputHeld},
};
INSTANTIATE_TEST_SUITE_P(Codes, LineGone, ::testing::ValuesIn(kLineGoneCases),
                         [](const ::testing::TestParamInfo<LineGoneCase>& p) { return std::string(p.param.name); });

// ---- The line goes in the middle of the open -------------------------------

enum class Break {
  kHangUp,      // the board hangs up while the host waits for its version
  kDeviceGone,  // the device's name goes after the probe, before the second open
};

struct OpenBreakCase {
  const char* name;
  Break what;
  TQ_ERROR_CODE expected;
};

class OpenBreak : public ::testing::TestWithParam<OpenBreakCase> {};

TEST_P(OpenBreak, TheOpenGivesTheStepThatFailed) {
  const OpenBreakCase& c = GetParam();
  // The board answers the protocol question; the version and the geometry
  // come from the test, after the break where there is one.
  tqtest::BoardScript script = tqtest::ShortFormBoard("1.0", "1.5", kBoardBaseline);
  const Bytes versionAndGeometry = tqtest::Concat({script.versionReply, script.geometry});
  script.versionReply.clear();
  script.geometry.clear();
  PtyBoard board(6, script);
  const std::filesystem::path link =
      std::filesystem::temp_directory_path() / ("tq-open-break-" + std::to_string(getpid()));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(board.SlavePath(), link);
  setenv("TQ_COM6", link.c_str(), 1);
  std::thread boardSide([&] {
    if (!board.WaitForReceived(0x24, 1, 3000)) return;
    if (c.what == Break::kHangUp) {
      board.Vanish();
    } else {
      std::filesystem::remove(link);
      board.Send(versionAndGeometry);
    }
  });
  RecordingWindow window;
  EXPECT_EQ(TQOpenPort(6, window.Handle()), c.expected);
  boardSide.join();
  unsigned width = 0;
  EXPECT_EQ(TQGetBoardWidth(6, &width), TQ_ERR_NOT_OPEN) << "a failed open leaves no port";
  EXPECT_EQ(TQClose(6), TQ_ERR_NOT_OPEN);
  std::filesystem::remove(link);
}

const OpenBreakCase kOpenBreakCases[] = {
    {"board_hangs_up_in_the_probe", Break::kHangUp, TQ_ERR_OPEN_FAILED},
    {"device_gone_before_the_second_open", Break::kDeviceGone, TQ_ERR_REOPEN_FAILED},
};
INSTANTIATE_TEST_SUITE_P(Steps, OpenBreak, ::testing::ValuesIn(kOpenBreakCases),
                         [](const ::testing::TestParamInfo<OpenBreakCase>& p) { return std::string(p.param.name); });

}  // namespace
