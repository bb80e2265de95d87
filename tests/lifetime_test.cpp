// The life of a port object while the host re-enters the library: a window
// procedure closes or reopens a port (its own or another) from inside any
// message, the watchdog's waits run host code, posted messages pile up,
// and ports are closed from a thread that did not open them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/BoardPort.h"
#include "platform/Platform.h"
#include "support/Packets.h"
#include "support/PtyBoard.h"
#include "support/RecordingWindow.h"

using tqtest::Bytes;
using tqtest::PtyBoard;
using tqtest::Received;
using tqtest::RecordingWindow;

namespace {

constexpr unsigned kBaseline = 3056;
#ifdef _WIN32
constexpr size_t kQueuedSendDelivered = 1;
#else
constexpr size_t kQueuedSendDelivered = 0;
#endif

bool IsPen(UINT message) {
  return message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP;
}

// One stroke of `points` pen-down packets and a hover packet, version 2 form.
Bytes Stroke(double x0, int points) {
  Bytes bytes;
  for (int i = 0; i <= points; ++i) {
    const auto [first, second] = tqtest::PenDistances(x0 + 3.0 * (i < points ? i : points - 1), 900, kBaseline);
    const Bytes packet = tqtest::PenPacket(0xA0, first, second, i < points ? 60 : 15);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  return bytes;
}

// A board that streams strokes until it is destroyed.
class Streamer {
 public:
  explicit Streamer(PtyBoard& board, Bytes extra = {}) {
    m_thread = std::thread([this, &board, extra] {
      for (int n = 0; !m_stop.load(); ++n) {
        if (!m_paused.load()) board.Send(n % 4 == 3 && !extra.empty() ? extra : Stroke(600 + n % 50, 8));
        tqp::SleepMs(10);
      }
    });
  }
  // A board being probed answers; it draws again afterwards.
  void Pause(bool paused) {
    m_paused.store(paused);
    if (paused) tqp::SleepMs(30);
  }
  ~Streamer() {
    m_stop.store(true);
    m_thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_paused{false};
  std::thread m_thread;
};

// The host's loop. It marks the dispatch of timers, so a window procedure
// can tell that it runs inside the watchdog's tick.
thread_local bool g_inTimer = false;
thread_local int t_timers = 0;

bool Loop(const std::function<bool()>& done, int timeoutMs) {
  const uint32_t start = tqp::TickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      g_inTimer = msg.message == WM_TIMER;
      t_timers += g_inTimer ? 1 : 0;
      DispatchMessageA(&msg);
      g_inTimer = false;
    }
    if (done()) return true;
    if (static_cast<int>(tqp::TickCount() - start) >= timeoutMs) return false;
    tqp::PumpSentMessages(2);
  }
}

void AllStagesOff(TQ_PORT port) {
  TQSetValidateStatus(port, VALIDATION_OFF);
  TQSetAntiStreakStatus(port, ANTISTREAK_OFF);
  TQSetFilterStatus(port, FILTER_OFF);
}

// ---- Close or reopen from inside a message --------------------------------

enum class Board { kStreaming, kSilent, kFlushing };

struct ReentryCase {
  const char* name;
  Board first;       // the board of port 1 (port 2 always streams)
  int from;          // the port whose message triggers the call
  UINT trigger;      // that message
  bool inTimer;      // only while the watchdog's tick runs
  int target;        // the port closed or reopened
  bool reopen;
};

tqtest::BoardScript ScriptOf(Board board) {
  tqtest::BoardScript script = tqtest::LongFormBoard("2.0", "2.1", kBaseline);
  if (board == Board::kSilent) script.questionReply = {};
  return script;
}

class Reentry : public ::testing::TestWithParam<ReentryCase> {};

TEST_P(Reentry, NoCrashNoOtherReaderReleasedNothingAfterTheStop) {
  const ReentryCase& c = GetParam();
  PtyBoard board1(1, ScriptOf(c.first));
  PtyBoard board2(2, ScriptOf(Board::kStreaming));
  RecordingWindow window1, window2;
  RecordingWindow* windows[3] = {nullptr, &window1, &window2};
  Streamer* streams[3] = {nullptr, nullptr, nullptr};
  int calls = 0;
  int result = -1;
  size_t nestedOfSender = 0, nestedOfTarget = 0, afterStop = 0;
  bool pointKept = true;
  bool inCall = false, closed = false;
  auto hook = [&](int port) {
    return [&, port](const Received& e) {
      if (inCall && port == c.from && port != c.target) ++nestedOfSender;
      if (inCall && port == c.target && !c.reopen) ++nestedOfTarget;
      if (closed && port == c.target && !c.reopen) ++afterStop;
      if (calls > 0 || port != c.from || e.message != c.trigger || (c.inTimer && !g_inTimer)) return;
      ++calls;
      const SPenPoint before = e.point;
      const auto* live = IsPen(e.message) ? reinterpret_cast<const SPenPoint*>(e.wParam) : nullptr;
      inCall = true;
      if (c.reopen && streams[c.target] != nullptr) streams[c.target]->Pause(true);
      result = c.reopen ? TQOpenPort(c.target, windows[c.target]->Handle()) : TQClose(c.target);
      if (c.reopen && streams[c.target] != nullptr) streams[c.target]->Pause(false);
      inCall = false;
      closed = !c.reopen;
      if (live != nullptr && c.target != c.from) {
        pointKept = live->x == before.x && live->y == before.y && live->code == before.code;
      }
    };
  };
  window1.OnMessage(hook(1));
  window2.OnMessage(hook(2));
  ASSERT_EQ(TQOpenPort(1, window1.Handle()), TQ_SUCCESS);
  ASSERT_EQ(TQOpenPort(2, window2.Handle()), TQ_SUCCESS);
  AllStagesOff(1);
  AllStagesOff(2);
  Streamer stream2(board2);
  std::unique_ptr<Streamer> stream1;
  if (c.first == Board::kStreaming) stream1 = std::make_unique<Streamer>(board1);
  if (c.first == Board::kFlushing) stream1 = std::make_unique<Streamer>(board1, tqtest::CommandPacket(0x102));
  streams[1] = stream1.get();
  streams[2] = &stream2;
  ASSERT_TRUE(Loop([&] { return result >= 0; }, 12000)) << "the trigger came and the call returned";
  EXPECT_EQ(result, TQ_SUCCESS);
  Loop([] { return false; }, 300);
  EXPECT_EQ(nestedOfSender, 0u) << "the sender of the message being handled stays blocked";
  EXPECT_TRUE(pointKept) << "the handled message's point is not overwritten";
  // Windows delivers a message the reader had sent before the stop.
  EXPECT_LE(nestedOfTarget, kQueuedSendDelivered) << "nothing of the closing port once its stop is signalled";
  EXPECT_EQ(afterStop, 0u) << "nothing of the closed port after TQClose returned";
  const int other = c.target == 1 ? 2 : 1;
  const size_t before = windows[other]->Events().size();
  if (other == 2 || c.first != Board::kSilent) {
    EXPECT_TRUE(Loop([&] { return windows[other]->Events().size() > before + 5; }, 3000))
        << "the other port still delivers";
  }
  if (c.reopen) {
    const size_t got = windows[c.target]->Events().size();
    if (c.target == 2 || c.first != Board::kSilent) {
      EXPECT_TRUE(Loop([&] { return windows[c.target]->Events().size() > got + 5; }, 3000))
          << "the reopened port delivers";
    }
    EXPECT_EQ(TQClose(c.target), TQ_SUCCESS);
  } else {
    EXPECT_EQ(TQClose(c.target), TQ_ERR_NOT_OPEN);
  }
  EXPECT_EQ(TQClose(other), TQ_SUCCESS);
}

const ReentryCase kReentryCases[] = {
    // Port 1's watchdog waits for its mailbox, handling port 2's pen messages.
    {"watchdog_wait_pen_of_other_closes", Board::kSilent, 2, TQ_MSG_PEN_MOVE, true, 1, false},
    {"watchdog_wait_pen_of_other_reopens", Board::kSilent, 2, TQ_MSG_PEN_MOVE, true, 1, true},
    // The watchdog's check of a silent board.
    {"board_check_closes_its_port", Board::kSilent, 1, TQ_MSG_BOARD_CHECK, false, 1, false},
    {"board_check_closes_the_other", Board::kSilent, 1, TQ_MSG_BOARD_CHECK, false, 2, false},
    // Pen messages of one port, the same or the other port closed.
    {"pen_down_closes_the_other", Board::kStreaming, 1, TQ_MSG_PEN_DOWN, false, 2, false},
    {"pen_move_closes_the_other", Board::kStreaming, 1, TQ_MSG_PEN_MOVE, false, 2, false},
    {"pen_up_closes_its_port", Board::kStreaming, 1, TQ_MSG_PEN_UP, false, 1, false},
    {"pen_move_closes_its_port", Board::kStreaming, 1, TQ_MSG_PEN_MOVE, false, 1, false},
    {"pen_down_reopens_its_port", Board::kStreaming, 1, TQ_MSG_PEN_DOWN, false, 1, true},
    {"pen_down_reopens_the_other", Board::kStreaming, 1, TQ_MSG_PEN_DOWN, false, 2, true},
    // A board event.
    {"board_event_closes_its_port", Board::kFlushing, 1, TQ_MSG_BOARD_EVENT, false, 1, false},
    {"board_event_closes_the_other", Board::kFlushing, 1, TQ_MSG_BOARD_EVENT, false, 2, false},
};
INSTANTIATE_TEST_SUITE_P(Messages, Reentry, ::testing::ValuesIn(kReentryCases),
                         [](const ::testing::TestParamInfo<ReentryCase>& p) { return std::string(p.param.name); });

// ---- Posted messages --------------------------------------------------------

// A board below version 2.0 posts a check for each "v" packet and a signal
// for each 0x90 packet.
tqtest::BoardScript ShortBoard() { return tqtest::ShortFormBoard("1.0", "1.5", kBaseline); }

Bytes Posts(size_t packets) {
  const auto [first, second] = tqtest::PenDistances(1000, 900, kBaseline);
  return tqtest::Concat({tqtest::Repeat(tqtest::ShortPacket(0x76, first, second), packets),
                         tqtest::Repeat(tqtest::ShortPacket(0x90, first, second), packets)});
}

// A pen-down and a hover packet: their pen messages are sent, so once the
// window has the pen-up, everything the board sent before it is decoded.
Bytes PenTap() {
  const auto [first, second] = tqtest::PenDistances(1200, 900, kBaseline);
  return tqtest::Concat({tqtest::ShortPacket(0x80, first, second), tqtest::ShortPacket(0x8B, first, second)});
}

// Takes the posted messages out of the calling thread's queue without
// handing them to a window, counted by number and port.
std::map<std::pair<UINT, LPARAM>, size_t> TakeQueued() {
  std::map<std::pair<UINT, LPARAM>, size_t> counts;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.hwnd == nullptr) {
      DispatchMessageA(&msg);  // a timer
    } else {
      ++counts[{msg.message, msg.lParam}];
    }
  }
  return counts;
}

TEST(PostedMessages, EqualPostsOfAPortWaitUpToTheBound) {
  constexpr size_t kBound = tq::CBoardPort::kPostsWaiting;
  PtyBoard board3(3, ShortBoard());
  PtyBoard board4(4, ShortBoard());
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(3, window.Handle()), TQ_SUCCESS);
  ASSERT_EQ(TQOpenPort(4, window.Handle()), TQ_SUCCESS);
  AllStagesOff(3);
  AllStagesOff(4);
  auto waitForPenUps = [&](size_t count) {
    // Only sent messages are handled meanwhile: the posts stay queued.
    const uint32_t start = tqp::TickCount();
    while (window.Count(TQ_MSG_PEN_UP) < count && tqp::TickCount() - start < 5000) tqp::PumpSentMessages(5);
    return window.Count(TQ_MSG_PEN_UP) == count;
  };
  board3.Send(tqtest::Concat({Posts(kBound + 100), PenTap()}));
  board4.Send(tqtest::Concat({Posts(kBound + 7), PenTap()}));
  ASSERT_TRUE(waitForPenUps(2));
  std::map<std::pair<UINT, LPARAM>, size_t> want = {{{TQ_MSG_BOARD_CHECK, 3}, kBound},
                                                    {{TQ_MSG_BOARD_CHECK, 4}, kBound}};
  // Windows refuses the signal's number; only the checks arrive there.
  if (tqtest::kPostsAboveFFFFArrive) {
    want[{TQ_MSG_BOARD_0x90, 3}] = kBound;
    want[{TQ_MSG_BOARD_0x90, 4}] = kBound;
  }
  EXPECT_EQ(TakeQueued(), want) << "each port's check and signal wait up to the bound, no further";

  // Taken out of the queue, they leave room: each packet is posted again.
  board3.Send(tqtest::Concat({Posts(3), PenTap()}));
  board4.Send(tqtest::Concat({Posts(5), PenTap()}));
  ASSERT_TRUE(waitForPenUps(4));
  RecordingWindow::Pump(50);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK), 8u);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_0x90), tqtest::kPostsAboveFFFFArrive ? 8u : 0u);
  EXPECT_EQ(TQClose(3), TQ_SUCCESS);
  EXPECT_EQ(TQClose(4), TQ_SUCCESS);
}

TEST(PostedMessages, NoneOfAClosedPortArrivesAfterTQClose) {
  PtyBoard board(4, ShortBoard());
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(4, window.Handle()), TQ_SUCCESS);
  board.Send(Posts(20));
  tqp::PumpSentMessages(500);
  EXPECT_EQ(TQClose(4), TQ_SUCCESS);
  RecordingWindow::Pump(200);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK) + window.Count(TQ_MSG_BOARD_0x90), 0u);
}

TEST(PostedMessages, AThreadsQueueIsBounded) {
  if (!tqtest::kPostsAboveFFFFArrive) GTEST_SKIP() << "the system's own bound applies";
  RecordingWindow window;
  size_t accepted = 0;
  for (size_t i = 0; i < tqp::kPostedQueueLimit + 50; ++i) {
    accepted += PostMessageA(window.Handle(), WM_APP, i, 0) != 0 ? 1 : 0;
  }
  EXPECT_EQ(accepted, tqp::kPostedQueueLimit);
  RecordingWindow::Pump(50);
  EXPECT_EQ(window.Count(WM_APP), tqp::kPostedQueueLimit);
  EXPECT_NE(PostMessageA(window.Handle(), WM_APP, 0, 0), 0) << "an emptied queue takes posts again";
  RecordingWindow::Pump(20);
}

// ---- Threads ----------------------------------------------------------------

// Two host threads each open, watch and close their own boards while the
// other's ticks run; the main thread closes a port it did not open.
TEST(HostThreads, WatchdogsOfSeveralThreadsAndACloseFromAnotherThread) {
  PtyBoard board5(5, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  PtyBoard board6(6, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  std::atomic<int> opened{0};
  std::atomic<bool> closedElsewhere{false};
  std::atomic<int> ticksAfter{-1};
  auto host = [&](int port) {
    RecordingWindow window;
    ASSERT_EQ(TQOpenPort(port, window.Handle()), TQ_SUCCESS);
    ++opened;
    if (port == 6) {
      // Port 6's entry changes under port 5's ticks.
      for (int cycle = 0; cycle < 40; ++cycle) {
        Loop([] { return false; }, 100);
        EXPECT_EQ(TQClose(6), TQ_SUCCESS);
        ASSERT_EQ(TQOpenPort(6, window.Handle()), TQ_SUCCESS);
      }
      EXPECT_EQ(TQClose(6), TQ_SUCCESS);
      return;
    }
    Loop([&] { return closedElsewhere.load(); }, 15000);
    // The timer of the closed port lives here: it may tick once more, to end.
    t_timers = 0;
    Loop([] { return false; }, 6500);
    ticksAfter = t_timers;
  };
  std::thread first(host, 5);
  std::thread second(host, 6);
  while (opened.load() < 2) tqp::SleepMs(5);
  EXPECT_TRUE(board5.WaitForReceived('?', 1, 9000)) << "port 5's watchdog ran";
  EXPECT_EQ(TQClose(5), TQ_SUCCESS) << "closed from a thread that did not open it";
  closedElsewhere = true;
  second.join();
  first.join();
  EXPECT_LE(ticksAfter.load(), 1) << "no orphan timer goes on ticking";
  EXPECT_EQ(tq::WatchdogPort(5), nullptr);
  EXPECT_EQ(tq::WatchdogPort(6), nullptr);
}

}  // namespace
