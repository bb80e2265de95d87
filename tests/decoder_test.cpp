// Whole byte streams through a port object's DispatchReceived, checked
// against the messages its window receives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "support/Packets.h"
#include "support/RecordingWindow.h"

namespace {

using tqtest::Bytes;
using tqtest::CommandPacket;
using tqtest::Concat;
using tqtest::Heartbeats;
using tqtest::PenPacket;
using tqtest::PenPacketV4;
using tqtest::RecordingWindow;
using tqtest::Repeat;
using tqtest::ShortPacket;
using Lines = std::vector<std::string>;

constexpr int kPort = 3;

// Pens at exact positions of the receiver frame (baseline 1000), as
// (distance to (1000, 0), distance to (0, 0)); host point = (x + 140, y - 100).
struct SPen {
  unsigned toR1, toR0;
};
constexpr SPen kPenA{800, 600};  // (360, 480) -> host (500, 380)
constexpr SPen kPenB{1200, 1000};  // (280, 960) -> host (420, 860)
constexpr SPen kPenC{625, 625};  // (500, 375) -> host (640, 275)

class CBoard {
 public:
  CBoard(double version, uint32_t packetLength, uint32_t baseline = 1000) : port(window.Handle()) {
    port.m_boardVersion = version;
    port.m_packetLength = packetLength;
    port.m_receiverSpacing = baseline;
    port.m_port = kPort;
  }
  void FilterOff() {
    port.m_filter.SetValidation(0);
    port.m_filter.SetAntiStreak(0);
    port.m_filter.SetFilter(0);
  }
  void Feed(const Bytes& bytes) { port.DispatchReceived(bytes.data(), static_cast<int>(bytes.size())); }
  // Every message so far; posted ones arrive when the loop runs.
  Lines Events() {
    RecordingWindow::Pump(0);
    return window.EventLines();
  }
  size_t PenSamples() const { return window.Count(TQ_MSG_PEN_DOWN) + window.Count(TQ_MSG_PEN_MOVE); }

  RecordingWindow window;
  tq::CBoardPort port;
};

Bytes V1(uint8_t header, SPen pen) { return ShortPacket(header, pen.toR1, pen.toR0); }
Bytes V2(uint8_t header, SPen pen, uint8_t code) { return PenPacket(header, pen.toR1, pen.toR0, code); }

TEST(Dispatch, BoardVersionChoosesTheDecoder) {
  // A pen packet with pen code 5 and one byte more: boards 2 and 3 report
  // the pen button, boards of version 4 take it for a pen, boards below 2.0
  // skip a packet of type 0xA0, and later boards keep nothing at all.
  const Bytes stream = Concat({V2(0xA0, kPenA, 85), {0xA0}});
  struct {
    double version;
    UINT message;  // 0: none
    uint32_t held;
  } const cases[] = {
      {1.0, 0, 1},
      {1.99, 0, 1},
      {2.0, TQ_MSG_BOARD_EVENT, 1},
      {3.9, TQ_MSG_BOARD_EVENT, 1},
      {4.0, TQ_MSG_PEN_DOWN, 1},
      {4.99, TQ_MSG_PEN_DOWN, 1},
      {5.0, 0, 0},
  };
  for (const auto& c : cases) {
    CBoard board(c.version, 9);
    board.FilterOff();
    board.Feed(stream);
    const std::vector<tqtest::Received> events = board.window.Events();
    EXPECT_EQ(events.size(), c.message == 0 ? 0u : 1u) << c.version;
    if (!events.empty()) {
      EXPECT_EQ(events[0].message, c.message) << c.version;
    }
    EXPECT_EQ(board.port.m_rxCount, c.held) << c.version;
  }
}

TEST(Dispatch, EmptyChunkChangesNothing) {
  CBoard board(2.0, 9);
  board.Feed(Bytes{0xA0, 1});
  board.port.m_dataSeen = 0;
  board.port.DispatchReceived(nullptr, 0);
  EXPECT_EQ(board.port.m_rxCount, 2u);
  EXPECT_EQ(board.port.m_dataSeen.load(), 0);
}

TEST(DecoderV1, StreamBecomesMessages) {
  CBoard board(1.0, 5);
  board.FilterOff();
  board.Feed(Concat({
      V1(0x80, kPenA), V1(0x82, kPenB),  // down, move with low code 2
      V1('v', kPenA),                    // board check, posted
      V1(0x8B, kPenC),                   // hover ends the stroke
      V1(0x90, kPenA),                   // posted signal
      V1(0x85, kPenA),                   // low code 5: nothing
      V1(0x80, {100, 100}),              // no position: skipped whole
      V1(0x87, kPenC),                   // a new stroke with low code 7
  }));
  // The two posted messages arrive after the sent ones.
  Lines expected = {
      "down 500 380 0 0", "move 420 860 2 2", "up 640 275 3 0", "down 640 275 7 7", "check 0 3",
  };
  if (tqtest::kPostsAboveFFFFArrive) expected.push_back("ffff 0 3");
  EXPECT_EQ(board.Events(), expected);
}

TEST(DecoderV1, DoesNotMarkTheBoardAlive) {
  CBoard board(1.0, 5);
  board.port.m_dataSeen = 0;
  board.Feed(Repeat(V1(0x80, kPenA), 3));
  EXPECT_EQ(board.port.m_dataSeen.load(), 0);
}

TEST(DecoderV1, OneStrayByteCostsOnlyItself) {
  const Bytes pen = V1(0x80, kPenA);
  for (const uint8_t stray : {uint8_t{0x41}, uint8_t{0x00}, uint8_t{0xC3}}) {
    CBoard board(1.0, 5);
    board.FilterOff();
    board.Feed(Concat({Repeat(pen, 20), {stray}, Repeat(pen, 380)}));
    EXPECT_EQ(board.PenSamples(), 400u) << int(stray);
    EXPECT_EQ(board.port.m_rxCount, 0u);
  }
}

TEST(DecoderV2, StreamBecomesMessages) {
  CBoard board(2.1, 9);
  board.FilterOff();
  board.port.m_dataSeen = 0;
  board.Feed(Concat({
      Heartbeats(3),
      V2(0xA0, kPenA, 60),            // down, pen code 0
      V2(0xA0, kPenB, 60),            // move
      V2(0xA6, kPenC, 30),            // new stroke: up at the marker, down with pen code 1
      PenPacket(0xA0, 19, 600, 60),   // echo: skipped
      V2(0xA0, kPenA, 34),            // unknown code byte: skipped
      V2(0xA0, kPenA, 85),            // pen button
      {0xB0},                         // one stray byte
      V2(0xA5, kPenB, 15),            // hover: up at the point, no marker
      CommandPacket(0x103),           // unknown command
      PenPacket(0xD2, 1, 2, 3),       // skipped whole
  }));
  EXPECT_EQ(board.Events(), (Lines{
                                "down 500 380 0 0",
                                "move 420 860 0 0",
                                "up 140 0 0 0",
                                "down 640 275 1 1",
                                "board 2 3",
                                "up 420 860 0 0",
                            }));
  EXPECT_EQ(board.port.m_dataSeen.load(), 1);
  EXPECT_EQ(board.port.m_rxCount, 0u);
}

TEST(DecoderV2, HeartbeatsAloneMarkTheBoardAlive) {
  CBoard board(2.1, 9);
  board.port.m_dataSeen = 0;
  board.Feed(Heartbeats(2));
  EXPECT_EQ(board.port.m_dataSeen.load(), 1);
  EXPECT_TRUE(board.Events().empty());
}

TEST(DecoderV2, CommandPacketsResetTheFilter) {
  struct {
    const char* name;
    unsigned command;
    Lines events;
  } const cases[] = {
      // Flush: the stroke in the filter is thrown away, the host hears of
      // it at once, the next five samples are dropped, and the marker goes
      // out with the drain after the first of them.
      {"flush", 0x102, {"down 500 380 0 0", "board 0 3", "up 140 0 0 0", "down 640 275 0 0"}},
      {"skip five", 0x101, {"down 500 380 0 0", "up 140 0 0 0", "down 640 275 0 0"}},
      {"skip one", 0x100,
       {"down 500 380 0 0", "up 140 0 0 0", "down 640 275 0 0", "move 640 275 0 0", "move 640 275 0 0",
        "move 640 275 0 0", "move 640 275 0 0"}},
      {"unknown", 0x103,
       {"down 500 380 0 0", "move 640 275 0 0", "move 640 275 0 0", "move 640 275 0 0", "move 640 275 0 0",
        "move 640 275 0 0", "move 640 275 0 0"}},
  };
  for (const auto& c : cases) {
    CBoard board(3.0, 9);
    board.FilterOff();
    board.Feed(Concat({V2(0xA0, kPenA, 60), CommandPacket(c.command), Repeat(V2(0xA0, kPenC, 60), 6)}));
    EXPECT_EQ(board.Events(), c.events) << c.name;
  }
}

TEST(DecoderV2, ShortFramingReadsTheBytesBehindThePacket) {
  // A replayed file may pair a version-2 board with 5-byte framing: the code
  // byte is then the next byte received, or 0 past the received bytes, never
  // whatever an earlier packet left in the buffer.
  CBoard board(2.0, 5);
  board.FilterOff();
  std::memset(board.port.m_rxBuffer, 60, sizeof board.port.m_rxBuffer);
  board.Feed(ShortPacket(0xA0, kPenA.toR1, kPenA.toR0));  // code byte reads 0: unknown
  EXPECT_TRUE(board.Events().empty());
  EXPECT_EQ(board.port.m_rxCount, 0u);
  // Behind this one come 60 (pen code 0) and four more bytes.
  board.Feed(Concat({ShortPacket(0xA0, kPenA.toR1, kPenA.toR0), {60, 0, 0, 0, 0}}));
  EXPECT_EQ(board.Events(), (Lines{"down 500 380 0 0"}));
}

TEST(DecoderV2, OverlongChunkIsDecodedWhole) {
  CBoard board(2.0, 9);
  board.FilterOff();
  board.Feed(Concat({Repeat(V2(0xA0, kPenA, 60), 2000), {0xA0, 1}}));
  EXPECT_EQ(board.PenSamples(), 2000u);
  EXPECT_EQ(board.port.m_rxCount, 2u);
}

TEST(DecoderV2, FilterStagesOnMakeOneStroke) {
  // A straight, evenly sampled line, then hover: with every stage on the
  // host sees one stroke that begins with a pen-down and ends with a pen-up.
  CBoard board(2.0, 9);
  Bytes stream;
  for (int i = 0; i < 30; ++i) {
    const auto [toR1, toR0] = tqtest::PenDistances(300 + 4 * i, 500, 1000);
    stream = Concat({stream, PenPacket(0xA0, toR1, toR0, 60)});
  }
  const auto [hoverR1, hoverR0] = tqtest::PenDistances(420, 500, 1000);
  stream = Concat({stream, Repeat(PenPacket(0xA0, hoverR1, hoverR0, 15), 8)});
  board.Feed(stream);
  const std::vector<tqtest::Received> events = board.window.Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front().message, TQ_MSG_PEN_DOWN);
  EXPECT_EQ(board.window.Count(TQ_MSG_PEN_DOWN), 1u);
  EXPECT_GE(board.window.Count(TQ_MSG_PEN_MOVE), 20u);
  size_t lastMove = 0;
  size_t firstUp = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].message == TQ_MSG_PEN_MOVE) lastMove = i;
    if (events[i].message == TQ_MSG_PEN_UP && firstUp == events.size()) firstUp = i;
  }
  EXPECT_LT(lastMove, firstUp);
  EXPECT_LT(firstUp, events.size());
}

TEST(DecoderV2, EraserStreamDrawsFootprints) {
  // Eraser emitters at (360, 480) and (500, 375) of the eraser frame, 175
  // apart, both ends pressed: emitter 1 with code 117 (pen code 7), emitter
  // 2 with code 137 (pen code 9). In the eraser frame the first field is the
  // distance to (0, 0).
  const Bytes emitter1 = PenPacket(0xA0, 600, 800, 117);
  const Bytes emitter2 = PenPacket(0xA0, 625, 625, 137);
  const Lines footprint = {
      "down 696 348 0 0", "move 633 264 0 0", "move 843 106 0 0", "move 696 348 0 0", "move 906 190 0 0",
      "move 843 106 0 0", "move 906 190 0 0", "move 633 264 0 0", "up 140 0 0 0",
  };
  {
    CBoard board(2.0, 9);
    board.Feed(Concat({emitter1, emitter2, emitter2, emitter1}));
    Lines twice = footprint;
    twice.insert(twice.end(), footprint.begin(), footprint.end());
    EXPECT_EQ(board.Events(), twice);
  }
  {
    // A pen stroke still open at the host ends before the eraser is drawn
    // (filter off: the pen-down went out at once).
    CBoard board(2.0, 9);
    board.FilterOff();
    board.Feed(Concat({V2(0xA0, kPenA, 60), emitter1, emitter2}));
    Lines expected = {"down 500 380 0 0", "up 140 0 0 0"};
    expected.insert(expected.end(), footprint.begin(), footprint.end());
    EXPECT_EQ(board.Events(), expected);
  }
  {
    // The same with a smoothing stage that holds nothing and so swallows
    // the marker: the marker is delivered directly.
    CBoard board(2.0, 9);
    board.FilterOff();
    board.port.m_lastSample.kind = tq::kKindPenDown;
    board.port.m_filter.SetFilter(1);
    board.Feed(Concat({emitter1, emitter2}));
    Lines expected = {"up 140 0 0 0"};
    expected.insert(expected.end(), footprint.begin(), footprint.end());
    EXPECT_EQ(board.Events(), expected);
  }
}

TEST(DecoderV4, StreamBecomesMessages) {
  CBoard board(4.0, 9, 5000);
  board.FilterOff();
  board.port.m_dataSeen = 0;
  board.Feed(Concat({
      Heartbeats(2),
      PenPacketV4(0xA0, 762, 300, 65, 12, 128, 0),   // (4299.674, 131.688), pen code 4 not reported
      PenPacketV4(0xA6, 1000, 300, 64, 3, 128, 0),   // new stroke at (4098.126, 0)
      PenPacketV4(0xA0, 1000, 19, 64, 3, 128, 0),    // echo: skipped
      PenPacketV4(0xA0, 1000, 300, 34, 3, 128, 0),   // unknown code byte: skipped
      PenPacketV4(0xA0, 1000, 300, 85, 3, 128, 0),   // pen code 5 is a pen here
      {0xD3},                                        // one stray byte
      PenPacketV4(0xA0, 1000, 300, 15, 0, 64, 0),    // hover
  }));
  const Lines events = board.Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0], "down 4439 31 0 0");
  EXPECT_EQ(events[1], "up 140 0 0 0");
  EXPECT_EQ(events[2], "down 4238 0 0 0");
  EXPECT_EQ(events[3], "move 0 0 0 0");  // no solution: x is NaN
  EXPECT_EQ(events[4].substr(0, 3), "up ");
  EXPECT_EQ(board.port.m_dataSeen.load(), 1);
}

TEST(DecoderV4, FlushCommandAsOnVersion2) {
  CBoard board(4.5, 9, 5000);
  board.FilterOff();
  board.Feed(Concat({PenPacketV4(0xA0, 762, 300, 65, 12, 128, 0), CommandPacket(0x102),
                     Repeat(PenPacketV4(0xA0, 762, 300, 65, 12, 128, 0), 6)}));
  EXPECT_EQ(board.Events(), (Lines{"down 4439 31 0 0", "board 0 3", "up 140 0 0 0", "down 4439 31 0 0"}));
}

TEST(DecoderV4, BrokenSolutionsReachTheHostDefined) {
  // Path differences far beyond the receivers' distance give no real
  // solution (NaN); they go through the filter and out without harm.
  const Bytes broken = PenPacketV4(0xA0, 20, 300, 127, 0, 64, 0);
  for (const bool stagesOn : {false, true}) {
    CBoard board(4.0, 9, 5000);
    if (!stagesOn) board.FilterOff();
    board.Feed(Concat({Repeat(broken, 12), Repeat(PenPacketV4(0xA0, 20, 300, 15, 0, 64, 0), 8)}));
    for (const tqtest::Received& e : board.window.Events()) {
      if (e.message == TQ_MSG_PEN_DOWN || e.message == TQ_MSG_PEN_MOVE) {
        EXPECT_EQ(e.point.x, 0) << stagesOn;
        EXPECT_EQ(e.point.y, 0) << stagesOn;
      }
    }
    if (!stagesOn) {
      EXPECT_EQ(board.PenSamples(), 12u);
    }
  }
}

}  // namespace
