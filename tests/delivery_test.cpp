// Delivery of filtered samples: host coordinates by pod location and board
// height, the choice of pen message, and the .out record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "platform/Platform.h"
#include "protocol/HostMapping.h"
#include "support/RecordingWindow.h"

namespace {

using tq::SPenSample;
using tqtest::RecordingWindow;

SPenSample At(double x, double y, uint8_t kind = tq::kKindPenDown, int32_t penCode = 0) {
  SPenSample s;
  s.kind = kind;
  s.x = x;
  s.y = y;
  s.penCode = penCode;
  return s;
}

TEST(HostMapping, PodLocationsAndBoardHeight) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Baseline 1000: board width W = 1340.
  struct {
    const char* name;
    int pod;
    int height;
    double x, y;
    int16_t hostX, hostY;
  } const cases[] = {
      {"plain", 0, 0, 360, 480, 500, 380},
      {"fractions truncate", 0, 0, 360.99, 480.99, 500, 380},
      {"before the first receiver", 0, 0, -200, 50, 0, 0},
      {"beyond the far edge", 0, 0, 1500, 300, 1340, 200},
      {"exactly at the edge", 0, 0, 1200, 300, 1340, 200},
      {"just inside the edge", 0, 0, 1199.5, 300, 1339, 200},
      // x is cut to 16 bits before the edge test: 65536 + 500 reads as 500.
      {"16-bit wrap inside", 0, 0, 65536 + 360, 300, 500, 200},
      {"16-bit wrap negative", 0, 0, 40000, 300, 1340, 200},
      {"break marker", 0, 0, 0, 0, 140, 0},
      {"mirrored", 1, 2000, 360, 480, 840, 1620},
      {"mirrored past the height", 1, 0, 360, 300, 840, -200},
      {"mirrored, fraction of H - Y0", 1, 100, 360, 150.5, 840, 49},
      {"turned", 2, 0, 360, 480, 380, 840},
      {"turned and mirrored", 3, 2000, 360, 480, 1620, 500},
      {"turned, past the height", 3, 100, 360, 300, 0, 500},
      // Positions without a value reach the host as defined numbers.
      {"NaN", 0, 0, kNaN, kNaN, 0, 0},
      {"NaN mirrored", 1, 500, kNaN, kNaN, 1340, 500},
      {"infinite", 0, 0, kInf, kInf, 0, 0},
      {"huge y", 2, 0, 360, 1e300, 0, 840},
  };
  for (const auto& c : cases) {
    const SPenPoint point = tq::MapToHost(At(c.x, c.y, tq::kKindPenDown, 4), 1000, c.height, c.pod);
    EXPECT_EQ(point.x, c.hostX) << c.name;
    EXPECT_EQ(point.y, c.hostY) << c.name;
    EXPECT_EQ(point.code, 4) << c.name;
  }
}

// The width W = baseline + 340 is compared as the unsigned number it is, for
// every baseline a replayed header may carry.
TEST(HostMapping, WidthIsUnsignedForEveryBaseline) {
  struct {
    uint32_t baseline;
    double x;
    int16_t hostX;
  } const cases[] = {
      {1000, 360, 500},
      {2147483307, 360, 500},        // W = 2^31 - 1
      {2147483308, 360, 500},        // W = 2^31: was negative as a signed number
      {4000000000u, 360, 500},
      {4294967295u - 340, 360, 500},  // W = 2^32 - 1
      {4294967295u - 339, 360, 0},    // W wraps to 0: every position is held at it
      {2147483408, 40000, 100},       // low 16 bits read negative: held at W's low 16 bits
  };
  for (const auto& c : cases) {
    const SPenPoint point = tq::MapToHost(At(c.x, 480, tq::kKindPenDown, 1), c.baseline, 0, 0);
    EXPECT_EQ(point.x, c.hostX) << c.baseline;
    EXPECT_EQ(point.y, 380) << c.baseline;
  }
}

class CDeliveryPort {
 public:
  CDeliveryPort() : port(window.Handle()) { port.m_receiverSpacing = 1000; }
  RecordingWindow window;
  tq::CBoardPort port;
};

TEST(DeliverSample, KindAndPredecessorChooseTheMessage) {
  CDeliveryPort board;
  const SPenSample samples[] = {
      At(360, 480, 0x80, 2), At(361, 480, 0x80, 2), At(362, 480, 0x88, 2),
      At(363, 480, 0x80, 1), At(0, 0, 0xFE),        At(364, 480, 0x80, 0),
  };
  for (const SPenSample& s : samples) board.port.DeliverSample(s);
  EXPECT_EQ(board.window.EventLines(), (std::vector<std::string>{
                                           "down 500 380 2 2",
                                           "move 501 380 2 2",
                                           "up 502 380 2 0",
                                           "down 503 380 1 1",
                                           "up 140 0 0 0",
                                           "down 504 380 0 0",
                                       }));
  EXPECT_EQ(board.port.m_lastSample.x, 364.0);
}

TEST(DeliverSample, SettingsAreReadAtEachSample) {
  CDeliveryPort board;
  RecordingWindow other;
  board.port.DeliverSample(At(360, 480));
  board.port.SetWindow(other.Handle());
  board.port.SetPodLocation(2);
  board.port.DeliverSample(At(360, 480));
  EXPECT_EQ(board.window.EventLines(), (std::vector<std::string>{"down 500 380 0 0"}));
  EXPECT_EQ(other.EventLines(), (std::vector<std::string>{"move 380 840 0 0"}));
}

TEST(DeliverSample, WritesTheBoardPositionToTheOutCapture) {
  CDeliveryPort board;
  board.port.SetPodLocation(3);  // the record is taken before any mapping
  const std::string path = tqp::TempPath() + "tq_delivery_test_" + std::to_string(reinterpret_cast<uintptr_t>(&board)) + ".out";
  ASSERT_TRUE(board.port.m_outFile.Create(path.c_str(), tq::SCaptureHeader{2.0, 2.1, 1000}));
  board.port.DeliverSample(At(300.9, -5.5));
  board.port.DeliverSample(At(1000.7, 20.2, 0x88));
  board.port.m_outFile.Close();

  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  std::remove(path.c_str());
  ASSERT_EQ(bytes.size(), tq::kCaptureHeaderSize + 2 * tq::kSampleRecordSize);
  const std::vector<uint8_t> records(bytes.begin() + tq::kCaptureHeaderSize, bytes.end());
  EXPECT_EQ(records, (std::vector<uint8_t>{0x80, 0x2C, 0x01, 0xFB, 0xFF, 0x88, 0xE8, 0x03, 0x14, 0x00}));
}

}  // namespace
