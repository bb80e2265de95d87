// The live link end to end: a scripted board on a pseudo-terminal streams
// packets into an open port while the test runs an ordinary message loop.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "platform/Platform.h"
#include "support/Packets.h"
#include "support/PtyBoard.h"
#include "support/RecordingWindow.h"

using tqtest::Bytes;
using tqtest::PtyBoard;
using tqtest::RecordingWindow;

namespace {

constexpr unsigned kBaseline = 3056;

// A straight stroke of `count` pen-down points from (x0, y) to the right.
std::vector<std::pair<double, double>> Stroke(double x0, double y, int count) {
  std::vector<std::pair<double, double>> points;
  for (int i = 0; i < count; ++i) points.emplace_back(x0 + 3.0 * i, y);
  return points;
}

Bytes V2Stroke(const std::vector<std::pair<double, double>>& points, uint8_t code = 60) {
  Bytes bytes;
  for (const auto& [x, y] : points) {
    const auto [first, second] = tqtest::PenDistances(x, y, kBaseline);
    const Bytes packet = tqtest::PenPacket(0xA0, first, second, code);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  const auto [first, second] = tqtest::PenDistances(points.back().first, points.back().second, kBaseline);
  const Bytes hover = tqtest::PenPacket(0xA0, first, second, 15);
  bytes.insert(bytes.end(), hover.begin(), hover.end());
  return bytes;
}

Bytes V1Stroke(const std::vector<std::pair<double, double>>& points, uint8_t lowCode = 2) {
  Bytes bytes;
  for (const auto& [x, y] : points) {
    const auto [first, second] = tqtest::PenDistances(x, y, kBaseline);
    const Bytes packet = tqtest::ShortPacket(static_cast<uint8_t>(0x80 | lowCode), first, second);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  const auto [first, second] = tqtest::PenDistances(points.back().first, points.back().second, kBaseline);
  const Bytes hover = tqtest::ShortPacket(static_cast<uint8_t>(0x88 | lowCode), first, second);
  bytes.insert(bytes.end(), hover.begin(), hover.end());
  return bytes;
}

void AllStagesOff(TQ_PORT port) {
  TQSetValidateStatus(port, VALIDATION_OFF);
  TQSetAntiStreakStatus(port, ANTISTREAK_OFF);
  TQSetFilterStatus(port, FILTER_OFF);
}

// The expected host point of a receiver-frame position at pod location 0.
SPenPoint HostPoint(double x, double y, int code) {
  SPenPoint point;
  point.code = code;
  point.x = static_cast<int16_t>(static_cast<int>(x + 140.0));
  point.y = static_cast<int16_t>(static_cast<int>(y - 100.0));
  return point;
}

struct LiveCase {
  const char* name;
  bool shortForm;
};

class LiveStrokes : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveStrokes, ArriveAsDownMoveUpInOrder) {
  const bool shortForm = GetParam().shortForm;
  PtyBoard board(1, shortForm ? tqtest::ShortFormBoard("1.0", "1.5", kBaseline)
                              : tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(1, window.Handle()), TQ_SUCCESS);
  AllStagesOff(1);
  const auto first = Stroke(1000, 800, 6);
  const auto second = Stroke(1500, 1200, 4);
  board.Send(shortForm ? V1Stroke(first) : V2Stroke(first));
  board.Send(shortForm ? V1Stroke(second) : V2Stroke(second));
  const size_t expected = first.size() + second.size() + 2;
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Events().size() >= expected; }, 5000))
      << window.Events().size();
  const auto events = window.Events();
  size_t i = 0;
  const int code = shortForm ? 2 : 0;
  for (const auto* stroke : {&first, &second}) {
    for (size_t k = 0; k < stroke->size(); ++k, ++i) {
      EXPECT_EQ(events[i].message, k == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE) << i;
      const SPenPoint want = HostPoint((*stroke)[k].first, (*stroke)[k].second, code);
      EXPECT_NEAR(events[i].point.x, want.x, 1) << i;
      EXPECT_NEAR(events[i].point.y, want.y, 1) << i;
      EXPECT_EQ(events[i].point.code, code);
      EXPECT_EQ(events[i].lParam, code);
    }
    EXPECT_EQ(events[i].message, TQ_MSG_PEN_UP);
    EXPECT_EQ(events[i].lParam, 0);
    ++i;
  }
  EXPECT_EQ(TQClose(1), TQ_SUCCESS);
  const size_t count = window.Events().size();
  board.Send(shortForm ? V1Stroke(first) : V2Stroke(first));
  RecordingWindow::Pump(200);
  EXPECT_EQ(window.Events().size(), count) << "nothing arrives after TQClose";
}

const LiveCase kLiveCases[] = {{"version_1_board", true}, {"version_2_board", false}};
INSTANTIATE_TEST_SUITE_P(Boards, LiveStrokes, ::testing::ValuesIn(kLiveCases),
                         [](const ::testing::TestParamInfo<LiveCase>& p) { return std::string(p.param.name); });

TEST(Live, DefaultFilterDeliversAWholeStroke) {
  PtyBoard board(2, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(2, window.Handle()), TQ_SUCCESS);
  // The stroke ends at the second hover sample in a row.
  const Bytes stroke = V2Stroke(Stroke(1000, 900, 30));
  board.Send(tqtest::Concat({stroke, Bytes(stroke.end() - 9, stroke.end())}));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_UP) >= 1; }, 5000));
  const auto events = window.Events();
  ASSERT_GE(events.size(), 10u);
  EXPECT_EQ(events.front().message, TQ_MSG_PEN_DOWN);
  for (size_t i = 1; i + 1 < events.size(); ++i) EXPECT_EQ(events[i].message, TQ_MSG_PEN_MOVE) << i;
  EXPECT_EQ(events.back().message, TQ_MSG_PEN_UP);
  TQND counters{};
  ASSERT_EQ(TQGetTQND(2, &counters), TQ_SUCCESS);
  EXPECT_EQ(counters.pushed, 32u);
  EXPECT_EQ(TQClose(2), TQ_SUCCESS);
}

TEST(Live, BurstLongerThanOneReadArrivesWholeAndInOrder) {
  PtyBoard board(3, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(3, window.Handle()), TQ_SUCCESS);
  AllStagesOff(3);
  // 300 packets (2700 bytes) in one write: several 512-byte reads.
  const auto points = Stroke(500, 700, 300);
  board.Send(V2Stroke(points));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_UP) >= 1; }, 10000));
  const auto events = window.Events();
  ASSERT_EQ(events.size(), points.size() + 1);
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_NEAR(events[i].point.x, HostPoint(points[i].first, points[i].second, 0).x, 1) << i;
  }
  EXPECT_EQ(TQClose(3), TQ_SUCCESS);
}

TEST(Live, SlowWindowAndCloseFromInsideTheLoop) {
  // The window takes its time with every pen message, and the host closes
  // the port while the reader is in the middle of sending: the close must
  // neither hang nor let a message through afterwards.
  PtyBoard board(4, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  window.OnMessage([](const tqtest::Received&) { tqp::SleepMs(2); });
  ASSERT_EQ(TQOpenPort(4, window.Handle()), TQ_SUCCESS);
  AllStagesOff(4);
  board.Send(V2Stroke(Stroke(500, 700, 400)));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Events().size() >= 20; }, 5000));
  const uint32_t start = tqp::TickCount();
  EXPECT_EQ(TQClose(4), TQ_SUCCESS);
  EXPECT_LT(tqp::TickCount() - start, 2000u);
  const size_t count = window.Events().size();
  RecordingWindow::Pump(100);
  EXPECT_EQ(window.Events().size(), count);
}

TEST(Live, VanishedDeviceIsReportedOnceAndCloseReturns) {
  PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(5, window.Handle()), TQ_SUCCESS);
  AllStagesOff(5);
  board.Send(V2Stroke(Stroke(500, 700, 5)));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_PEN_UP) >= 1; }, 5000));
  board.Vanish();
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_COMM_ERROR) >= 1; }, 3000));
  RecordingWindow::Pump(300);
  EXPECT_LE(window.Count(TQ_MSG_COMM_ERROR), 2u) << "a gone device is not reported over and over";
  EXPECT_EQ(TQClose(5), TQ_SUCCESS);
}

// ---- The watchdog --------------------------------------------------------

TEST(Watchdog, LevelOneBoardHasNone) {
  PtyBoard board(6, tqtest::ShortFormBoard("1.0", "1.5", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(6, window.Handle()), TQ_SUCCESS);
  EXPECT_EQ(tq::FindOpenPort(6)->m_timerId, 0u);
  EXPECT_EQ(tq::WatchdogPort(6), nullptr);
  RecordingWindow::Pump(4500);
  EXPECT_EQ(board.CountReceived('?'), 0u);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK), 0u);
  EXPECT_EQ(TQClose(6), TQ_SUCCESS);
}

TEST(Watchdog, HeartbeatsKeepItQuiet) {
  PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(7, window.Handle()), TQ_SUCCESS);
  EXPECT_EQ(tq::WatchdogPort(7), tq::FindOpenPort(7));
  for (int i = 0; i < 14; ++i) {
    board.Send({0xF0});
    RecordingWindow::Pump(500);
  }
  EXPECT_EQ(board.CountReceived('?'), 0u);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK), 0u);
  EXPECT_EQ(TQClose(7), TQ_SUCCESS);
}

TEST(Watchdog, SilentBoardIsAskedOnceThenReported) {
  PtyBoard board(8, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  const uint32_t opened = tqp::TickCount();
  ASSERT_EQ(TQOpenPort(8, window.Handle()), TQ_SUCCESS);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return board.CountReceived('?') >= 1; }, 9000));
  const uint32_t asked = tqp::TickCount() - opened;
  // The open's own activity is consumed at the first acting tick (~2 s); the
  // question follows at the next (~4 s, or ~6 s after an early tick).
  EXPECT_GE(asked, 3500u);
  EXPECT_LE(asked, 6600u);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK), 0u);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return window.Count(TQ_MSG_BOARD_CHECK) >= 2; }, 9000));
  EXPECT_EQ(board.CountReceived('?'), 1u) << "the question is not repeated";
  for (const auto& e : window.Events()) {
    if (e.message != TQ_MSG_BOARD_CHECK) continue;
    EXPECT_EQ(e.wParam, 0u);
    EXPECT_EQ(e.lParam, 0);
  }
  EXPECT_EQ(TQClose(8), TQ_SUCCESS);
  EXPECT_EQ(tq::WatchdogPort(8), nullptr);
  const size_t checks = window.Count(TQ_MSG_BOARD_CHECK);
  RecordingWindow::Pump(4500);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK), checks);
}

TEST(Watchdog, BoardAnsweringTheQuestionIsNotReported) {
  tqtest::BoardScript script = tqtest::LongFormBoard("2.0", "2.1", kBaseline);
  script.questionReply = {0xF0};
  PtyBoard board(1, script);
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(1, window.Handle()), TQ_SUCCESS);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return board.CountReceived('?') >= 1; }, 9000));
  RecordingWindow::Pump(2600);
  EXPECT_EQ(window.Count(TQ_MSG_BOARD_CHECK), 0u);
  EXPECT_EQ(TQClose(1), TQ_SUCCESS);
}

TEST(Mailbox, SecondCommandIsRefusedWhileTheFirstWaits) {
  tq::CBoardPort port(nullptr);
  port.m_writeEvent = std::make_unique<tqp::Event>();
  port.m_mailbox = std::make_unique<char[]>(tq::kMailboxSize);
  port.m_mailboxSize = tq::kMailboxSize;
  uint32_t start = tqp::TickCount();
  EXPECT_TRUE(port.PostCommand("?"));
  EXPECT_GE(tqp::TickCount() - start, 95u) << "a free mailbox is taken after the full wait";
  EXPECT_TRUE(port.m_writeEvent->IsSet());
  start = tqp::TickCount();
  EXPECT_FALSE(port.PostCommand("!"));
  EXPECT_LT(tqp::TickCount() - start, 50u) << "refused as soon as the event is seen";
  EXPECT_STREQ(port.m_mailbox.get(), "?");
  std::string tooLong(tq::kMailboxSize, 'x');
  port.m_writeEvent->Reset();
  EXPECT_FALSE(port.PostCommand(tooLong.c_str()));
}

}  // namespace
