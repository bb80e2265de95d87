#include "geometry/Triangulate.h"
#include "geometry/Truncate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct STriangulateCase {
  const char* name;
  double distToR1;
  double distToR0;
  double spacing;
  bool accepted;
  double x;
  double y;  // checked only when accepted
};

TEST(Triangulate, AcceptsAndRejectsReadings) {
  // With spacing 1024 the distances 64m and 64n give x = 2n^2 - 2m^2 + 512
  // exactly, which puts x right on the limits of the window.
  const STriangulateCase kCases[] = {
      {"right triangle", 800, 600, 1000, true, 360, 480},
      {"on the receiver line", 700, 300, 1000, true, 300, 0},
      {"at R0", 1000, 0, 1000, true, 0, 0},
      {"at R1", 0, 1000, 1000, true, 1000, 0},
      {"circles do not meet", 100, 100, 1000, false, 500, 0},
      {"280 before R0 passes", 6400, 6272, 1024, true, -280, std::sqrt(6272.0 * 6272 - 280 * 280)},
      {"282 before R0 fails", 12736, 12672, 1024, false, -282, 0},
      {"400 beyond R1 passes", 7232, 7360, 1024, true, 1424, std::sqrt(7360.0 * 7360 - 1424 * 1424)},
      {"402 beyond R1 fails", 14592, 14656, 1024, false, 1426, 0},
  };
  for (const STriangulateCase& c : kCases) {
    SCOPED_TRACE(c.name);
    double x = -1;
    double y = -1;
    EXPECT_EQ(tq::Triangulate(c.distToR1, c.distToR0, c.spacing, x, y), c.accepted);
    EXPECT_EQ(x, c.x);
    if (c.accepted) {
      EXPECT_EQ(y, c.y);
    } else {
      EXPECT_EQ(y, -1) << "y is written only for an accepted reading";
    }
  }
}

TEST(Triangulate, RejectsNaN) {
  double x = 0;
  double y = -1;
  EXPECT_FALSE(tq::Triangulate(kNaN, 500, 1000, x, y));
  EXPECT_TRUE(std::isnan(x));
  EXPECT_EQ(y, -1);
  EXPECT_FALSE(tq::Triangulate(500, std::numeric_limits<double>::infinity(), 1000, x, y));
}

TEST(Triangulate, ExchangedDistancesMirrorTheReading) {
  double x = 0, y = 0, mirroredX = 0, mirroredY = 0;
  ASSERT_TRUE(tq::Triangulate(750, 550, 1000, x, y));
  ASSERT_TRUE(tq::Triangulate(550, 750, 1000, mirroredX, mirroredY));
  EXPECT_DOUBLE_EQ(mirroredX, 1000 - x);
  EXPECT_DOUBLE_EQ(mirroredY, y);
}

TEST(ClassifyPenCode, MapsEveryBandEdge) {
  struct SCase {
    int code;
    int result;
    int penCode;  // expected penCode; 42 means left untouched
  };
  const SCase kCases[] = {
      {-1, 99, 42},  {0, 99, 42},   {10, 99, 42},  {11, 2, 42},   {19, 2, 42},   {20, 99, 42},
      {23, 99, 42},  {24, 1, 1},    {33, 1, 1},    {34, 99, 42},  {35, 1, 3},    {44, 1, 3},
      {45, 1, 2},    {54, 1, 2},    {55, 1, 0},    {64, 1, 0},    {65, 1, 4},    {79, 1, 4},
      {80, 1, 5},    {95, 1, 5},    {96, 1, 6},    {107, 1, 6},   {108, 1, 7},   {117, 1, 7},
      {118, 1, 8},   {127, 1, 8},   {128, 1, 9},   {137, 1, 9},   {138, 99, 42}, {255, 99, 42},
  };
  for (const SCase& c : kCases) {
    SCOPED_TRACE(c.code);
    int penCode = 42;
    EXPECT_EQ(tq::ClassifyPenCode(c.code, penCode), c.result);
    EXPECT_EQ(penCode, c.penCode);
  }
}

TEST(TruncateToInt32, GivesTheTruncationOrTheIntegerIndefinite) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct SCase {
    double value;
    int32_t expected;
  };
  const SCase kCases[] = {
      {0.0, 0},
      {-0.0, 0},
      {0.999, 0},
      {-0.999, 0},
      {2.5, 2},
      {-2.5, -2},
      {2147483647.0, INT32_MAX},
      {2147483647.999, INT32_MAX},
      {2147483648.0, INT32_MIN},
      {-2147483648.0, INT32_MIN},
      {-2147483648.999, INT32_MIN},
      {-2147483649.0, INT32_MIN},
      {1e300, INT32_MIN},
      {-1e300, INT32_MIN},
      {kInf, INT32_MIN},
      {-kInf, INT32_MIN},
      {kNaN, INT32_MIN},
      {-kNaN, INT32_MIN},
      {std::numeric_limits<double>::denorm_min(), 0},
  };
  for (const SCase& c : kCases) {
    EXPECT_EQ(tq::TruncateToInt32(c.value), c.expected) << c.value;
    EXPECT_EQ(tq::TruncateToInt32Portable(c.value), c.expected) << c.value;
  }
  EXPECT_EQ(tq::TruncateToInt16(65535.9), -1);
  EXPECT_EQ(tq::TruncateToInt16(kNaN), 0);  // the low half of -2147483648
}

}  // namespace
