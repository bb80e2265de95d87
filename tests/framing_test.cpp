// Framing and packet parsing, driven with crafted byte streams: no port, no
// window, just the receive buffer and what each candidate packet means.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "geometry/PositionV4.h"
#include "protocol/Framing.h"
#include "protocol/Packets.h"
#include "support/Packets.h"

namespace {

using tq::EPacketAction;
using tq::SPacket;
using tq::SPacketView;
using tqtest::Bytes;
using tqtest::Concat;
using tqtest::PenPacket;
using tqtest::PenPacketV4;
using tqtest::ShortPacket;

enum class EBoard { kV1, kV2, kV4 };

constexpr double kBaseline = 1000.0;
// A pen at (360, 480) of the receiver frame: distance 800 to (1000, 0) and
// 600 to (0, 0).
constexpr unsigned kToR1 = 800;
constexpr unsigned kToR0 = 600;
// Circles that do not meet.
constexpr unsigned kBad = 100;

struct SExamined {
  uint32_t pos;
  SPacket packet;
};

// The receive buffer of one port, fed chunk by chunk the way the decoders
// feed theirs.
class CFramer {
 public:
  CFramer(EBoard board, uint32_t packetLength) : m_board(board), m_packetLength(packetLength) {}

  std::vector<SExamined> Feed(const Bytes& chunk) {
    const uint32_t length = static_cast<uint32_t>(chunk.size());
    m_count = tq::AppendReceived(m_buffer, sizeof m_buffer, m_count, chunk.data(), length);
    const uint32_t start = m_board == EBoard::kV1 ? 0 : tq::SkipHeartbeats(m_buffer, m_count, length);
    m_heartbeats += start;
    std::vector<SExamined> examined;
    m_count = tq::FramePackets(m_buffer, m_count, start, m_packetLength, [&](const SPacketView& view) {
      SPacket packet = m_board == EBoard::kV1   ? tq::ParseV1(view, kBaseline)
                       : m_board == EBoard::kV2 ? tq::ParseV2(view, kBaseline)
                                                : tq::ParseV4(view);
      examined.push_back({view.pos, packet});
      return packet.action == EPacketAction::kResync ? 1u : m_packetLength;
    });
    return examined;
  }
  uint32_t Count() const { return m_count; }
  uint32_t Heartbeats() const { return m_heartbeats; }
  const uint8_t* Buffer() const { return m_buffer; }

 private:
  EBoard m_board;
  uint32_t m_packetLength;
  uint8_t m_buffer[4096] = {};
  uint32_t m_count = 0;
  uint32_t m_heartbeats = 0;
};

// One letter per examined candidate: R resync (one byte), S skipped packet,
// P sample, C board check, G the 0x90 signal, B pen button, E eraser,
// K command.
std::string Trace(const std::vector<SExamined>& examined) {
  std::string trace;
  for (const SExamined& e : examined) trace += "RSPCGBEK"[static_cast<int>(e.packet.action)];
  return trace;
}

TEST(Framing, Field14TakesTheHighByteWholeAndMasksTheLowByte) {
  struct {
    uint8_t hi, lo;
    uint32_t value;
  } const cases[] = {
      {0x00, 0x00, 0}, {0x01, 0x7F, 255}, {0x7F, 0x7F, 16383},
      {0x00, 0xFF, 127},      // bit 7 of the low byte is dropped
      {0x81, 0x00, 0x81 * 128},  // the high byte is not masked
  };
  for (const auto& c : cases) EXPECT_EQ(tq::Field14(c.hi, c.lo), c.value) << int(c.hi) << " " << int(c.lo);
}

TEST(Framing, BytesPastTheReceiveCountReadAsZero) {
  const uint8_t buffer[12] = {0xA0, 1, 2, 3, 4, 60, 7, 7, 7, 9, 9, 9};
  const SPacketView view{buffer, 7, 2};
  EXPECT_EQ(view[0], 2);
  EXPECT_EQ(view[4], 7);
  EXPECT_EQ(view[5], 0);  // index 7: at the count, whatever the buffer holds
  EXPECT_EQ(view[8], 0);
  EXPECT_EQ(view.Field(4), 7u * 128);
}

// Chunks of one stream, and what the framing made of each.
struct SChunkCase {
  const char* name;
  std::vector<Bytes> chunks;
  std::vector<std::string> traces;  // per chunk
  std::vector<uint32_t> counts;     // receive count after each chunk
};

TEST(Framing, ShortPacketsAcrossChunks) {
  const Bytes pen = ShortPacket(0x80, kToR1, kToR0);
  const Bytes head(pen.begin(), pen.begin() + 2);
  const Bytes rest(pen.begin() + 2, pen.end());
  const std::vector<SChunkCase> cases = {
      {"split 2 + 3", {head, rest}, {"", "P"}, {2, 0}},
      {"three packets and two bytes", {Concat({pen, pen, pen, head})}, {"PPP"}, {2}},
      {"four bytes wait", {Bytes(pen.begin(), pen.begin() + 4)}, {""}, {4}},
      {"tail completed by the next chunk", {Concat({pen, head}), Concat({rest, pen})}, {"P", "PP"}, {2, 0}},
      {"empty chunk changes nothing", {head, Bytes{}}, {"", ""}, {2, 2}},
  };
  for (const SChunkCase& c : cases) {
    CFramer framer(EBoard::kV1, 5);
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      EXPECT_EQ(Trace(framer.Feed(c.chunks[i])), c.traces[i]) << c.name << " chunk " << i;
      EXPECT_EQ(framer.Count(), c.counts[i]) << c.name << " chunk " << i;
    }
  }
}

TEST(Framing, HeldTailMovesToTheFrontOfTheBuffer) {
  CFramer framer(EBoard::kV1, 5);
  framer.Feed(Concat({ShortPacket(0x80, kToR1, kToR0), Bytes{0x81, 0x06, 0x20}}));
  ASSERT_EQ(framer.Count(), 3u);
  EXPECT_EQ(framer.Buffer()[0], 0x81);
  EXPECT_EQ(framer.Buffer()[2], 0x20);
}

TEST(ParseV1, HeadersAndTheirAdvance) {
  struct {
    const char* name;
    Bytes stream;
    std::string trace;
    uint32_t count;
  } const cases[] = {
      {"pen", ShortPacket(0x80, kToR1, kToR0), "P", 0},
      {"hover", ShortPacket(0x8B, kToR1, kToR0), "P", 0},
      {"hover that fails triangulation is skipped whole", ShortPacket(0x8B, kBad, kBad), "S", 0},
      {"v posts a check", ShortPacket('v', kToR1, kToR0), "C", 0},
      {"v with distances that fail posts nothing", ShortPacket('v', kBad, kBad), "S", 0},
      {"0x90 signal", ShortPacket(0x90, kToR1, kToR0), "G", 0},
      {"0x60", ShortPacket(0x60, kToR1, kToR0), "S", 0},
      {"0x70 is skipped whole", ShortPacket(0x70, kToR1, kToR0), "S", 0},
      {"0x77 is skipped whole", ShortPacket(0x77, kToR1, kToR0), "S", 0},
      {"0x75 has low code 5", ShortPacket(0x75, kToR1, kToR0), "S", 0},
      {"low code 5 even on a pen type", ShortPacket(0x85, kToR1, kToR0), "S", 0},
      // A stray in front of a pen packet costs one byte, whether or not the
      // four bytes behind it happen to make a position.
      {"stray 0x41 before a pen packet", Concat({{0x41}, ShortPacket(0x80, kToR1, kToR0)}), "RP", 0},
      // The stray and the four bytes behind it happen to make a position.
      {"stray 0x41, next bytes pass", Concat({{0x41, 6, 32, 4, 88}, ShortPacket(0x80, kToR1, kToR0)}),
       "RRRRRP", 0},
      {"stray 0x41, next bytes fail", Concat({{0x41, 1, 0, 1, 0}, ShortPacket(0x80, kToR1, kToR0)}),
       "RRRRRP", 0},
      // A stray with low code 101 reads as a whole packet of its own.
      {"stray 0x25 takes four bytes", Concat({{0x25}, ShortPacket(0x80, kToR1, kToR0)}), "S", 1},
      {"unknown header 0xC8 with passing bytes", Concat({{0xC8}, ShortPacket(0x88, kToR1, kToR0)}), "RP", 0},
  };
  for (const auto& c : cases) {
    CFramer framer(EBoard::kV1, 5);
    EXPECT_EQ(Trace(framer.Feed(c.stream)), c.trace) << c.name;
    EXPECT_EQ(framer.Count(), c.count) << c.name;
  }
}

TEST(ParseV1, SampleCarriesTypeLowCodeAndPosition) {
  const uint8_t buffer[5] = {0x8B, 6, 32, 4, 88};  // 800, 600
  const SPacket packet = tq::ParseV1(SPacketView{buffer, 5, 0}, kBaseline);
  ASSERT_EQ(packet.action, EPacketAction::kSample);
  EXPECT_EQ(packet.sample.kind, 0x88);
  EXPECT_EQ(packet.sample.penCode, 3);
  EXPECT_DOUBLE_EQ(packet.sample.x, 360.0);
  EXPECT_DOUBLE_EQ(packet.sample.y, 480.0);
  EXPECT_EQ(packet.sample.valid, 0);
  EXPECT_FALSE(packet.breakFirst);
}

TEST(ParseV1, NinebytePacketsAreSteppedOverWhole) {
  CFramer framer(EBoard::kV1, 9);
  const Bytes packet = Concat({ShortPacket(0x80, kToR1, kToR0), Bytes{1, 2, 3, 4}});
  EXPECT_EQ(Trace(framer.Feed(Concat({packet, packet}))), "PP");
  EXPECT_EQ(framer.Count(), 0u);
}

TEST(ParseV2, PacketsAndTheirAdvance) {
  struct {
    const char* name;
    Bytes stream;
    std::string trace;
  } const cases[] = {
      {"pen", PenPacket(0xA0, kToR1, kToR0, 60), "P"},
      {"first distance 19", PenPacket(0xA0, 19, 5000, 60), "S"},
      {"second distance 19", PenPacket(0xA0, kToR1, 19, 60), "S"},
      {"distances that fail", PenPacket(0xA0, kBad, kBad, 60), "S"},
      {"unknown code byte 34", PenPacket(0xA0, kToR1, kToR0, 34), "S"},
      {"pen button", PenPacket(0xA0, kToR1, kToR0, 85), "B"},
      {"eraser emitter 1", PenPacket(0xA0, kToR1, kToR0, 100), "E"},
      {"eraser emitter 2 active", PenPacket(0xA0, kToR1, kToR0, 130), "E"},
      {"command", tqtest::CommandPacket(0x102), "K"},
      {"0xD0 is skipped whole", PenPacket(0xD3, kToR1, kToR0, 60), "S"},
      {"0xB0 is one byte", Concat({{0xB0}, PenPacket(0xA0, kToR1, kToR0, 60)}), "RP"},
      {"heartbeat between packets is one byte",
       Concat({PenPacket(0xA0, kToR1, kToR0, 60), {0xF0}, PenPacket(0xA0, kToR1, kToR0, 60)}), "PRP"},
  };
  for (const auto& c : cases) {
    CFramer framer(EBoard::kV2, 9);
    EXPECT_EQ(Trace(framer.Feed(c.stream)), c.trace) << c.name;
    EXPECT_EQ(framer.Count(), 0u) << c.name;
  }
}

TEST(ParseV2, CodeByteAndHeaderNibbleShapeTheSample) {
  struct {
    uint8_t header;
    uint8_t code;
    uint8_t kind;
    int32_t penCode;
    bool breakFirst;
  } const cases[] = {
      {0xA0, 60, 0x80, 0, false}, {0xA0, 30, 0x80, 1, false}, {0xA0, 40, 0x80, 3, false},
      {0xA0, 50, 0x80, 2, false}, {0xA0, 70, 0x80, 4, false}, {0xA0, 15, 0x88, 0, false},
      {0xA5, 60, 0x80, 0, false}, {0xA6, 60, 0x80, 0, true},  {0xAF, 15, 0x88, 0, true},
  };
  for (const auto& c : cases) {
    const Bytes bytes = PenPacket(c.header, kToR1, kToR0, c.code);
    const SPacket packet = tq::ParseV2(SPacketView{bytes.data(), 9, 0}, kBaseline);
    ASSERT_EQ(packet.action, EPacketAction::kSample) << int(c.header) << "/" << int(c.code);
    EXPECT_EQ(packet.sample.kind, c.kind) << int(c.code);
    EXPECT_EQ(packet.sample.penCode, c.penCode) << int(c.code);
    EXPECT_EQ(packet.breakFirst, c.breakFirst) << int(c.header);
    EXPECT_DOUBLE_EQ(packet.sample.x, 360.0);
    EXPECT_DOUBLE_EQ(packet.sample.y, 480.0);
  }
}

TEST(ParseV2, EraserAndCommandPacketsCarryTheirFields) {
  const Bytes eraser = PenPacket(0xA0, kToR1, kToR0, 117);
  const SPacket e = tq::ParseV2(SPacketView{eraser.data(), 9, 0}, kBaseline);
  EXPECT_EQ(e.action, EPacketAction::kEraser);
  EXPECT_EQ(e.first, kToR1);
  EXPECT_EQ(e.second, kToR0);
  EXPECT_EQ(e.penCode, 7);

  const Bytes command = tqtest::CommandPacket(0x101);
  EXPECT_EQ(tq::ParseV2(SPacketView{command.data(), 9, 0}, kBaseline).first, 0x101u);
}

TEST(Heartbeats, LeadingRunIsSkippedUpToTheChunkLength) {
  const Bytes pen = PenPacket(0xA0, kToR1, kToR0, 60);
  {
    CFramer framer(EBoard::kV2, 9);
    EXPECT_EQ(Trace(framer.Feed(Concat({tqtest::Heartbeats(3), pen}))), "P");
    EXPECT_EQ(framer.Heartbeats(), 3u);
  }
  {
    // A run that fills the whole chunk, then the packet.
    CFramer framer(EBoard::kV2, 9);
    framer.Feed(tqtest::Heartbeats(4));
    EXPECT_EQ(framer.Heartbeats(), 4u);
    EXPECT_EQ(framer.Count(), 0u);
    EXPECT_EQ(Trace(framer.Feed(pen)), "P");
  }
  {
    // Heartbeats held in the tail: the skip takes at most as many bytes as
    // the new chunk brought.
    CFramer framer(EBoard::kV2, 9);
    framer.Feed(Concat({pen, tqtest::Heartbeats(3)}));
    ASSERT_EQ(framer.Count(), 3u);
    EXPECT_EQ(Trace(framer.Feed(tqtest::Heartbeats(2))), "");
    EXPECT_EQ(framer.Heartbeats(), 2u);
    EXPECT_EQ(framer.Count(), 3u);
    EXPECT_EQ(Trace(framer.Feed(pen)), "P");
    EXPECT_EQ(framer.Heartbeats(), 5u);
  }
  {
    // Boards below 2.0 have no heartbeat: 0xF0 is an unknown header.
    CFramer framer(EBoard::kV1, 5);
    EXPECT_EQ(Trace(framer.Feed(Concat({{0xF0}, ShortPacket(0x80, kToR1, kToR0)}))), "RP");
  }
}

TEST(ParseV4, PacketsAndTheirAdvance) {
  // Path difference 140 (bytes 65, 12), phase value 8192 (bytes 128, 0).
  struct {
    const char* name;
    Bytes stream;
    std::string trace;
  } const cases[] = {
      {"pen", PenPacketV4(0xA0, 762, 300, 65, 12, 128, 0), "P"},
      {"0xD3 is one byte", Concat({{0xD3}, PenPacketV4(0xA0, 762, 300, 65, 12, 128, 0)}), "RP"},
      {"code byte 34 is skipped whole", PenPacketV4(0xA0, 762, 300, 34, 12, 128, 0), "S"},
      {"second distance 19", PenPacketV4(0xA0, 762, 19, 65, 12, 128, 0), "S"},
      {"command", tqtest::CommandPacket(0x100), "K"},
  };
  for (const auto& c : cases) {
    CFramer framer(EBoard::kV4, 9);
    EXPECT_EQ(Trace(framer.Feed(c.stream)), c.trace) << c.name;
    EXPECT_EQ(framer.Count(), 0u) << c.name;
  }
}

TEST(ParseV4, PathDifferenceAndPosition) {
  const Bytes phaseExample = PenPacketV4(0xA0, 1000, 1000, 0x40, 0x05, 0x40, 0x00);
  EXPECT_NEAR(tq::PathDifferenceV4(SPacketView{phaseExample.data(), 9, 0}), 6.250125347, 5e-10);

  struct {
    const char* name;
    Bytes packet;
    uint8_t kind;
    double x, y;
  } const cases[] = {
      {"pen at 762, 137", PenPacketV4(0xA0, 762, 300, 65, 12, 128, 0), 0x80, 4299.674, 131.688},
      {"equal distances", PenPacketV4(0xA6, 1000, 300, 64, 3, 128, 0), 0x80, 4098.126, 0.0},
      {"hover", PenPacketV4(0xA0, 1000, 300, 15, 0, 64, 0), 0x88, NAN, NAN},
      // The extra path comes out negative: the pen is put on the midline.
      {"negative y", PenPacketV4(0xA0, 1000, 300, 64, 0, 127, 127), 0x80, NAN, 0.0},
  };
  for (const auto& c : cases) {
    const SPacket packet = tq::ParseV4(SPacketView{c.packet.data(), 9, 0});
    ASSERT_EQ(packet.action, EPacketAction::kSample) << c.name;
    EXPECT_EQ(packet.sample.kind, c.kind) << c.name;
    EXPECT_EQ(packet.sample.penCode, 0) << c.name;
    if (!std::isnan(c.x)) {
      EXPECT_NEAR(packet.sample.x, c.x, 5e-4) << c.name;
    }
    if (!std::isnan(c.y)) {
      EXPECT_NEAR(packet.sample.y, c.y, 5e-4) << c.name;
    }
    EXPECT_GE(packet.sample.y, 0.0) << c.name;
  }
}

TEST(PositionV4, WorkedPositions) {
  struct {
    float a, c;
    double x, y;
  } const cases[] = {
      {1000, 0, 4098.126, 0.0},  // equal distances: on the perpendicular through the midpoint
      {762, 137, 4299.674, 131.688},
  };
  for (const auto& c : cases) {
    double x = 0;
    double y = 0;
    tq::PositionV4(c.a, c.c, x, y);
    EXPECT_NEAR(x, c.x, 5e-4) << c.a << " " << c.c;
    EXPECT_NEAR(y, c.y, 5e-4) << c.a << " " << c.c;
  }
}

TEST(ParseV4, PenCodesAreNotReported) {
  for (uint8_t code : {uint8_t{60}, uint8_t{30}, uint8_t{85}, uint8_t{117}}) {
    const Bytes bytes = PenPacketV4(0xA0, 1000, 300, code, 0, 128, 0);
    const SPacket packet = tq::ParseV4(SPacketView{bytes.data(), 9, 0});
    EXPECT_EQ(packet.action, EPacketAction::kSample) << int(code);
    EXPECT_EQ(packet.sample.penCode, 0) << int(code);
  }
}

}  // namespace
