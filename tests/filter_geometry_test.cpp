#include "filter/Geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "filter/SampleQueue.h"

namespace {

using tq::SPenSample;

SPenSample P(double x, double y, uint8_t valid = 0) {
  SPenSample s;
  s.kind = tq::kKindPenDown;
  s.x = x;
  s.y = y;
  s.valid = valid;
  return s;
}

struct SThreePointCase {
  const char* name;
  SPenSample a, b, c;
  double expected;
};

TEST(FilterGeometry, SegmentDistance) {
  const SThreePointCase kCases[] = {
      {"whole cross product", P(0, 0), P(10, 0), P(5, 3), 3},
      {"cross product 39", P(0, 0), P(10, 0), P(5, 3.9), 3.9},
      {"cross product truncated", P(0, 0), P(3, 0), P(1, 2.5), 7.0 / 3},
      {"negative cross truncated toward zero", P(0, 0), P(3, 0), P(1, -2.5), 7.0 / 3},
      {"beyond the far end", P(0, 0), P(10, 0), P(13, 4), 5},
      {"before the near end", P(0, 0), P(10, 0), P(-3, 4), 5},
      {"exactly above the far end", P(0, 0), P(10, 0), P(10, 7), 7},
      {"exactly above the near end", P(0, 0), P(10, 0), P(0, 7), 7},
      {"coinciding ends", P(2, 2), P(2, 2), P(5, 6), 5},
  };
  for (const SThreePointCase& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_DOUBLE_EQ(tq::SegmentDistance(c.a, c.b, c.c), c.expected);
  }
}

TEST(FilterGeometry, SegmentDistanceOfHugeOrNaNCrossProduct) {
  // The truncated cross product is -2147483648 here; its magnitude must not
  // overflow into a negative distance.
  const double d = tq::SegmentDistance(P(0, 0), P(1, 0), P(0.5, 1e12));
  EXPECT_DOUBLE_EQ(d, 2147483648.0);
  const double n = tq::SegmentDistance(P(0, 0), P(1, 0), P(0.5, std::nan("")));
  EXPECT_TRUE(std::isnan(n));
}

TEST(FilterGeometry, ExtensionDistanceAndOnExtension) {
  const SThreePointCase kCases[] = {
      {"evenly spaced", P(0, 0), P(10, 0), P(20, 0), 0},
      {"beyond the continuation", P(0, 0), P(10, 0), P(30, 0), 10},
      {"59 off", P(0, 0), P(10, 0), P(20, 59), 59},
      {"60 off", P(0, 0), P(10, 0), P(20, 60), 60},
  };
  for (const SThreePointCase& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_DOUBLE_EQ(tq::ExtensionDistance(c.a, c.b, c.c), c.expected);
    EXPECT_EQ(tq::OnExtension(c.a, c.b, c.c), c.expected < 60);
  }
}

TEST(FilterGeometry, IsStraightTriple) {
  EXPECT_TRUE(tq::IsStraightTriple(P(0, 0), P(10, 0), P(20, 0)));
  EXPECT_FALSE(tq::IsStraightTriple(P(0, 0), P(10, 70), P(20, 0)));
  EXPECT_TRUE(tq::IsStraightTriple(P(0, 0), P(10, 49.9), P(20, 0)));
  EXPECT_FALSE(tq::IsStraightTriple(P(0, 0), P(10, 50), P(20, 0)));  // 50 from the chord fails
}

TEST(FilterGeometry, IsConsistentMiddle) {
  struct SCase {
    const char* name;
    double spacing;  // of five samples on the x axis
    double offset;   // of the middle one from the axis
    bool expected;
  };
  const SCase kCases[] = {
      {"on the line", 10, 0, true},
      {"10 apart, 39 off passes", 10, 39, true},
      {"10 apart, 40 off fails (tolerance 40)", 10, 40, false},
      {"10 apart, 45 off fails", 10, 45, false},
      {"60 apart, 79 off passes", 60, 79, true},
      {"60 apart, 80 off fails (tolerance capped at 80)", 60, 80, false},
  };
  for (const SCase& c : kCases) {
    SCOPED_TRACE(c.name);
    tq::CSampleQueue window;
    window.push_back(P(-100, -100));  // judged with a = 1: the front sample is not looked at
    for (int i = 0; i < 5; ++i) window.push_back(P(i * c.spacing, i == 2 ? c.offset : 0));
    EXPECT_EQ(tq::IsConsistentMiddle(window, 1), c.expected);
  }
}

TEST(FilterGeometry, PropagateValidity) {
  struct SCase {
    const char* name;
    SPenSample p, q, r, s;
    uint8_t expectR, expectS;
  };
  const SCase kCases[] = {
      {"both anchors valid, on the line", P(0, 0, 1), P(10, 0, 1), P(20, 0), P(30, 0), 1, 1},
      {"both valid, r off, s on the continuation of p-q", P(0, 0, 1), P(10, 0, 1), P(20, 90),
       P(20, 0), 0, 1},
      {"both valid, r on, s off", P(0, 0, 1), P(10, 0, 1), P(20, 0), P(30, 80), 1, 0},
      {"both valid clears marks", P(0, 0, 1), P(10, 0, 1), P(20, 200, 1), P(20, 300, 1), 0, 0},
      {"only q valid: 44 close, 45 not", P(0, 0), P(0, 0, 1), P(44, 0), P(45, 0), 1, 0},
      {"only q valid never clears", P(0, 0), P(0, 0, 1), P(400, 0, 1), P(45, 0, 1), 1, 1},
      {"only p valid", P(0, 0, 1), P(900, 0), P(0, 44), P(0, 45), 1, 0},
      {"neither valid, 44 apart", P(0, 0), P(0, 0), P(0, 0), P(44, 0), 1, 1},
      {"neither valid, 45 apart", P(0, 0), P(0, 0), P(0, 0, 1), P(45, 0, 1), 0, 0},
  };
  for (const SCase& c : kCases) {
    SCOPED_TRACE(c.name);
    SPenSample r = c.r;
    SPenSample s = c.s;
    tq::PropagateValidity(c.p, c.q, r, s);
    EXPECT_EQ(r.valid, c.expectR);
    EXPECT_EQ(s.valid, c.expectS);
  }
}

// The comparisons that skip the square root must answer exactly as the
// distance does, also at the limit itself, for whole and fractional
// positions, far-off and non-finite ones.
TEST(FilterGeometry, ShortcutComparisonsAgreeWithTheDistance) {
  const double kInf = std::numeric_limits<double>::infinity();
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kLimits[] = {30.0, 30.5, 45.0, 50.0, 60.0, 79.99999999999999, 80.0, 100.0};
  struct SCase {
    const char* name;
    SPenSample a, b, c;
  };
  const SCase kFixed[] = {
      {"exactly 50 from the chord", P(0, 0), P(100, 0), P(50, 50)},
      {"exactly 60 beyond the end", P(0, 0), P(10, 0), P(80, 0)},
      {"exactly 100 off a step", P(0, 0), P(3, 4), P(6, 108)},
      {"3-4-5 at the end", P(0, 0), P(10, 0), P(-30, 40)},
      {"zero-length chord", P(7, 7), P(7, 7), P(7, 57)},
      {"huge cross product", P(0, 0), P(1, 0), P(0.5, 1e12)},
      {"huge positions", P(-1e200, 0), P(1e200, 1), P(0, 1e200)},
      {"NaN middle", P(0, 0), P(10, 0), P(kNaN, 1)},
      {"NaN end", P(0, 0), P(kNaN, 0), P(5, 1)},
      {"infinite end", P(0, 0), P(kInf, 0), P(5, 1)},
      {"infinite middle", P(0, 0), P(10, 0), P(5, -kInf)},
  };
  auto check = [&](const SPenSample& a, const SPenSample& b, const SPenSample& c) {
    for (double limit : kLimits) {
      ASSERT_EQ(tq::SegmentDistanceBelow(a, b, c, limit), tq::SegmentDistance(a, b, c) < limit)
          << a.x << "," << a.y << " " << b.x << "," << b.y << " " << c.x << "," << c.y << " limit " << limit;
      ASSERT_EQ(tq::ExtensionDistanceAbove(a, b, c, limit), tq::ExtensionDistance(a, b, c) > limit)
          << a.x << "," << a.y << " " << b.x << "," << b.y << " " << c.x << "," << c.y << " limit " << limit;
    }
    ASSERT_EQ(tq::OnExtension(a, b, c), tq::ExtensionDistance(a, b, c) < tq::kExtensionTolerance);
  };
  for (const SCase& c : kFixed) {
    SCOPED_TRACE(c.name);
    check(c.a, c.b, c.c);
    check(c.c, c.b, c.a);
  }
  // Positions as boards give them (whole units, small steps) and as the
  // smoothing leaves them, many of them close to a limit.
  std::mt19937_64 random(12345);
  std::uniform_int_distribution<int> whole(-200, 200);
  std::uniform_real_distribution<double> fraction(-200.0, 200.0);
  for (int i = 0; i < 200000; ++i) {
    const bool fractional = i % 2 == 1;
    auto coordinate = [&] { return fractional ? fraction(random) : static_cast<double>(whole(random)); };
    const SPenSample a = P(coordinate(), coordinate());
    const SPenSample b = P(coordinate(), coordinate());
    const SPenSample c = P(coordinate(), coordinate());
    check(a, b, c);
  }
}

// The middle test written out as the rule reads: every distance worked out,
// the closest spacing plus 30 (at most 80) as the tolerance, three chords of
// four within it.
bool ConsistentMiddleByTheRule(const tq::CSampleQueue& w, std::size_t a) {
  double closest = 1000000.0;
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t j = i + 1; j < 5; ++j) closest = std::min(closest, tq::Distance(w[a + i], w[a + j]));
  }
  double tolerance = closest + 30.0;
  if (tolerance >= 80.0) tolerance = 80.0;
  int passing = 0;  // not "near": a Windows header takes that word
  for (std::size_t from : {a, a + 1}) {
    for (std::size_t to : {a + 3, a + 4}) passing += tq::SegmentDistance(w[from], w[to], w[a + 2]) < tolerance ? 1 : 0;
  }
  return passing >= 3;
}

TEST(FilterGeometry, ConsistentMiddleAgreesWithTheRuleWrittenOut) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  // Middles at chord distances on and around 30, 80 and a tolerance between
  // them (closest spacing 20 gives 50), a NaN and a coinciding pair.
  const std::vector<std::vector<SPenSample>> kFixed = {
      {P(0, 0), P(100, 0), P(100, 30), P(200, 0), P(300, 0)},
      {P(0, 0), P(100, 0), P(100, 80), P(200, 0), P(300, 0)},
      {P(0, 0), P(20, 0), P(40, 50), P(60, 0), P(80, 0)},
      {P(0, 0), P(20, 0), P(40, 49.99), P(60, 0), P(80, 0)},
      {P(0, 0), P(20, 0), P(40, 50.01), P(60, 0), P(80, 0)},
      {P(0, 0), P(200, 0), P(400, 79.9), P(600, 0), P(800, 0)},
      {P(0, 0), P(10, 0), P(kNaN, 5), P(30, 0), P(40, 0)},
      {P(0, 0), P(0, 0), P(5, 31), P(10, 0), P(10, 0)},
      {P(0, 0), P(0, 0), P(5, 30.2), P(10, 0), P(10, 0)},  // spacing 0: the tolerance is 30
      {P(0, 0), P(0, 0), P(5, 29.9), P(10, 0), P(10, 0)},
  };
  for (const auto& five : kFixed) {
    tq::CSampleQueue window;
    for (const SPenSample& s : five) window.push_back(s);
    EXPECT_EQ(tq::IsConsistentMiddle(window, 0), ConsistentMiddleByTheRule(window, 0)) << five[2].x << "," << five[2].y;
  }
  // Random windows tight enough that spacing and chord distances meet
  // around the limits.
  std::mt19937_64 random(2026);
  std::uniform_int_distribution<int> whole(-70, 70);
  std::uniform_real_distribution<double> fraction(-70.0, 70.0);
  int consistent = 0;
  for (int i = 0; i < 100000; ++i) {
    tq::CSampleQueue window;
    window.push_back(P(999, 999));  // the test starts at position 1, as the streaming stroke does
    for (int k = 0; k < 5; ++k) {
      const double x = i % 2 ? fraction(random) : whole(random);
      const double y = i % 2 ? fraction(random) : whole(random);
      window.push_back(P(x + 30.0 * k, y));
    }
    const bool expected = ConsistentMiddleByTheRule(window, 1);
    ASSERT_EQ(tq::IsConsistentMiddle(window, 1), expected) << "window " << i;
    consistent += expected ? 1 : 0;
  }
  // Both answers occur often, or the comparison proves little.
  EXPECT_GT(consistent, 10000);
  EXPECT_LT(consistent, 90000);
}

}  // namespace
