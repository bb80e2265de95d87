// The eraser pipeline: pairing of packets into readings, the spacing check,
// the repair of failing readings, and the footprint outline.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "api/BoardPort.h"
#include "geometry/Eraser.h"
#include "support/RecordingWindow.h"

namespace {

using tq::SEraserReading;
using tq::SVector2;

constexpr double kNear = 1e-6;

// A complete reading of emitters at e1 and e2 of the eraser frame: first
// field the distance to (0, 0), second the distance to (baseline, 0).
SEraserReading ReadingAt(SVector2 e1, SVector2 e2, double baseline) {
  SEraserReading r;
  r.firstDistance1 = std::hypot(e1.x, e1.y);
  r.secondDistance1 = std::hypot(baseline - e1.x, e1.y);
  r.firstDistance2 = std::hypot(e2.x, e2.y);
  r.secondDistance2 = std::hypot(baseline - e2.x, e2.y);
  r.has1 = r.has2 = 1;
  r.active1 = r.active2 = 1;
  return r;
}

void ExpectAt(SVector2 actual, SVector2 expected, double tolerance, const char* what) {
  EXPECT_NEAR(actual.x, expected.x, tolerance) << what;
  EXPECT_NEAR(actual.y, expected.y, tolerance) << what;
}

class CEraserPort {
 public:
  explicit CEraserPort(uint32_t baseline) : port(nullptr) { port.m_receiverSpacing = baseline; }
  void Resolve(const SEraserReading& r) {
    port.m_pendingReadings.push_back(r);
    tq::ResolveEraserReading(port);
  }
  tq::CBoardPort port;
};

TEST(EraserPairing, PacketsFillReadings) {
  // Emitters at (360, 480) and (500, 375) of the eraser frame, baseline 1000.
  struct SPacket {
    int penCode;
    unsigned first, second;
  };
  constexpr SPacket k1{6, 600, 800}, k1Active{7, 600, 800}, k2{8, 625, 625}, k2Active{9, 625, 625};
  constexpr SPacket k2Far{8, 300, 1200};  // an emitter 2 heard far from emitter 1
  struct {
    const char* name;
    std::vector<SPacket> packets;
    size_t pending, history;
    bool anchored;
  } const cases[] = {
      {"one emitter waits", {k1}, 1, 0, false},
      {"emitter 1 then 2 completes a reading", {k1, k2Active}, 0, 1, true},
      {"either order", {k2, k1Active}, 0, 1, true},
      // The first reading lacks emitter 2 and is dropped when a second opens.
      {"emitter 1 twice", {k1, k1}, 1, 0, false},
      {"emitter 2 twice, then 1", {k2, k2, k1}, 0, 1, true},
      {"a failing reading waits", {k1, k2Far}, 0, 1, false},
      {"failing after a good one", {k1, k2, k1, k2Far}, 0, 2, true},
  };
  for (const auto& c : cases) {
    CEraserPort eraser(1000);
    for (const SPacket& p : c.packets) tq::PairEraserPacket(eraser.port, p.first, p.second, p.penCode);
    EXPECT_EQ(eraser.port.m_pendingReadings.size(), c.pending) << c.name;
    EXPECT_EQ(eraser.port.m_readingHistory.size(), c.history) << c.name;
    EXPECT_TRUE(eraser.port.m_resolvedReadings.empty()) << c.name;  // all drawn
    if (c.history != 0) {
      EXPECT_EQ(eraser.port.m_readingHistory.front().measured != 0, c.anchored) << c.name;
    }
  }
}

TEST(EraserPairing, FlagsAndDistancesOfTheReading) {
  CEraserPort eraser(1000);
  tq::PairEraserPacket(eraser.port, 600, 800, 7);
  tq::PairEraserPacket(eraser.port, 625, 625, 8);
  ASSERT_EQ(eraser.port.m_readingHistory.size(), 1u);
  const SEraserReading& r = eraser.port.m_readingHistory.front();
  EXPECT_EQ(r.firstDistance1, 600.0);
  EXPECT_EQ(r.secondDistance1, 800.0);
  EXPECT_EQ(r.firstDistance2, 625.0);
  EXPECT_EQ(r.secondDistance2, 625.0);
  EXPECT_EQ(r.active1, 1);
  EXPECT_EQ(r.active2, 0);
  ExpectAt(tq::Emitter1(r), {360, 480}, kNear, "emitter 1");
  ExpectAt(tq::Emitter2(r), {500, 375}, kNear, "emitter 2");
}

TEST(EraserResolution, SpacingLimits) {
  // Emitters on the receiver line of a 1024 baseline, where the positions
  // come out exact.
  struct {
    double apart;
    bool passes;
  } const cases[] = {{147, false}, {148, true}, {210, true}, {272, true}, {273, false}};
  for (const auto& c : cases) {
    CEraserPort eraser(1024);
    eraser.Resolve(ReadingAt({100, 0}, {100 + c.apart, 0}, 1024));
    EXPECT_EQ(eraser.port.m_resolvedReadings.size(), c.passes ? 1u : 0u) << c.apart;
    ASSERT_EQ(eraser.port.m_readingHistory.size(), 1u) << c.apart;
    EXPECT_EQ(eraser.port.m_readingHistory.front().measured != 0, c.passes) << c.apart;
  }
}

TEST(EraserResolution, IncompleteReadingIsDropped) {
  CEraserPort eraser(1000);
  SEraserReading r = ReadingAt({310, 500}, {520, 500}, 1000);
  r.has2 = 0;
  eraser.Resolve(r);
  EXPECT_TRUE(eraser.port.m_pendingReadings.empty());
  EXPECT_TRUE(eraser.port.m_resolvedReadings.empty());
  EXPECT_TRUE(eraser.port.m_readingHistory.empty());
}

TEST(EraserResolution, GapIsRepairedFromItsOwnDistances) {
  // Emitters truly at (310, 500) and (520, 500); in the failing readings
  // emitter 1's second distance came out 120 too long. The repair keeps
  // emitter 2 and puts emitter 1 back where its distances say.
  const SEraserReading good = ReadingAt({310, 500}, {520, 500}, 1000);
  SEraserReading bad = good;
  bad.secondDistance1 += 120;
  struct {
    const char* name;
    bool anchorFirst;
    int failing;
  } const cases[] = {
      {"one failing between two good", true, 1},
      {"three failing between two good", true, 3},
      {"failing before the first good", false, 2},
  };
  for (const auto& c : cases) {
    CEraserPort eraser(1000);
    if (c.anchorFirst) eraser.Resolve(good);
    for (int i = 0; i < c.failing; ++i) eraser.Resolve(bad);
    eraser.Resolve(good);

    auto& resolved = eraser.port.m_resolvedReadings;
    ASSERT_EQ(resolved.size(), static_cast<size_t>(c.failing + (c.anchorFirst ? 2 : 1))) << c.name;
    if (c.anchorFirst) {
      EXPECT_EQ(resolved.front().measured, 1) << c.name;
      resolved.pop_front();
    }
    for (int i = 0; i < c.failing; ++i) {
      EXPECT_EQ(resolved.front().measured, 0) << c.name;
      ExpectAt(tq::Emitter1(resolved.front()), {310, 500}, kNear, c.name);
      ExpectAt(tq::Emitter2(resolved.front()), {520, 500}, kNear, c.name);
      resolved.pop_front();
    }
    EXPECT_EQ(resolved.front().measured, 1) << c.name;
    ASSERT_EQ(eraser.port.m_readingHistory.size(), 1u) << c.name;
    EXPECT_EQ(eraser.port.m_readingHistory.front().measured, 1) << c.name;
  }
}

TEST(EraserResolution, ReadingWithoutEligibleCandidateIsDropped) {
  // Both emitters' distances hopeless: no proposal lies within reach.
  const SEraserReading good = ReadingAt({310, 500}, {520, 500}, 1000);
  SEraserReading bad = good;
  bad.firstDistance1 = bad.secondDistance1 = 30;
  bad.firstDistance2 = bad.secondDistance2 = 30;
  CEraserPort eraser(1000);
  eraser.Resolve(good);
  eraser.Resolve(bad);
  eraser.Resolve(good);
  EXPECT_EQ(eraser.port.m_resolvedReadings.size(), 2u);
}

TEST(EraserResolution, WaitingReadingsAreBounded) {
  const SEraserReading good = ReadingAt({310, 500}, {520, 500}, 1000);
  for (const bool anchored : {true, false}) {
    CEraserPort eraser(1000);
    if (anchored) eraser.Resolve(good);
    for (int i = 0; i < 1100; ++i) {
      SEraserReading bad = good;
      bad.secondDistance1 += 120;
      bad.firstDistance2 = 1000 + i;  // tells the readings apart
      eraser.Resolve(bad);
    }
    const auto& history = eraser.port.m_readingHistory;
    ASSERT_EQ(history.size(), tq::kMaxWaitingReadings + (anchored ? 1 : 0)) << anchored;
    const size_t oldest = anchored ? 1 : 0;
    if (anchored) {
      EXPECT_EQ(history.front().measured, 1);
    }
    EXPECT_EQ(history[oldest].firstDistance2, 1000.0 + 1100 - tq::kMaxWaitingReadings) << anchored;
    EXPECT_EQ(history.back().firstDistance2, 1000.0 + 1099) << anchored;
  }
}

TEST(RecoverEmitter, WorkedReadings) {
  // Baseline 1000; emitter 2 at (600, 800): first distance 1000, second
  // √800000. Mode 0 keeps emitter 2 and places emitter 1 by its second
  // distance, its distance to (1000, 0).
  CEraserPort eraser(1000);
  SEraserReading r;
  r.firstDistance2 = 1000;
  r.secondDistance2 = std::sqrt(800000.0);
  r.firstDistance1 = 700;
  r.has1 = r.has2 = 1;
  struct {
    double second1;
    double cost;
    SVector2 first, second;
  } const cases[] = {
      // The two circles meet: one proposal on either side of the line.
      {1000, 0, {390.133814, 792.504407}, {731.916186, 963.395593}},
      // They cannot meet at 210: the emitter goes on the line towards
      // (1000, 0), on the side its distance says.
      {500, 184.427191, {693.914855, 612.170290}, {693.914855, 612.170290}},
  };
  for (const auto& c : cases) {
    r.secondDistance1 = c.second1;
    SEraserReading first, second;
    const double cost = tq::RecoverEmitter(eraser.port, r, 0, first, second);
    EXPECT_NEAR(cost, c.cost, kNear) << c.second1;
    ExpectAt(tq::Emitter1(first), c.first, kNear, "first");
    ExpectAt(tq::Emitter1(second), c.second, kNear, "second");
    ExpectAt(tq::Emitter2(first), {600, 800}, kNear, "anchor");
    ExpectAt(tq::Emitter2(second), {600, 800}, kNear, "anchor");
    EXPECT_EQ(first.firstDistance1, 700.0);
  }
}

TEST(RecoverEmitter, ProposalsKeepTheSpacingAndTheirOwnDistance) {
  // Every mode: the kept emitter stays, the other lands 210 from it and at
  // its own distance from the receiver of the mode.
  const double baseline = 1000;
  const SEraserReading truth = ReadingAt({310, 500}, {520, 500}, baseline);
  SEraserReading noisy = truth;
  noisy.secondDistance1 += 30;
  noisy.firstDistance2 -= 20;
  CEraserPort eraser(1000);
  for (int mode = 0; mode < 4; ++mode) {
    const bool keep1 = mode >= 2;
    const bool origin = mode == 1 || mode == 3;
    const SVector2 receiver = origin ? SVector2{0, 0} : SVector2{baseline, 0};
    SEraserReading first, second;
    const double cost = tq::RecoverEmitter(eraser.port, noisy, mode, first, second);
    ASSERT_EQ(cost, 0.0) << mode;
    for (const SEraserReading* p : {&first, &second}) {
      const SVector2 kept = keep1 ? tq::Emitter1(*p) : tq::Emitter2(*p);
      const SVector2 placed = keep1 ? tq::Emitter2(*p) : tq::Emitter1(*p);
      const double own = keep1 ? (origin ? noisy.firstDistance2 : noisy.secondDistance2)
                               : (origin ? noisy.firstDistance1 : noisy.secondDistance1);
      EXPECT_NEAR(tq::Length(placed - kept), 210, kNear) << mode;
      EXPECT_NEAR(tq::Length(placed - receiver), own, kNear) << mode;
    }
  }
}

TEST(RecoverEmitter, NoProposalWithoutARealSolution) {
  struct {
    const char* name;
    SEraserReading reading;
    int mode;
  } cases[] = {
      // Emitter 2's distances do not meet: there is no anchor.
      {"anchor rejected", {}, 0},
      // Emitter 2 50 from (1000, 0), emitter 1 60 from it: the circles are
      // too small to be 210 apart.
      {"circles do not meet", {}, 0},
      // Emitter 2 on the receiver itself: the line to it has no direction.
      {"anchor on the receiver, circles", {}, 0},
      {"anchor on the receiver, line", {}, 0},
  };
  cases[0].reading = {700, 700, 100, 100, 1, 1};
  cases[1].reading = {940, 60, 950, 50, 1, 1};
  cases[2].reading = {900, 100, 1000, 0, 1, 1};
  cases[3].reading = {700, 300, 1000, 0, 1, 1};
  CEraserPort eraser(1000);
  for (const auto& c : cases) {
    SEraserReading first, second;
    first.x1 = second.x1 = -7;
    EXPECT_EQ(tq::RecoverEmitter(eraser.port, c.reading, c.mode, first, second), tq::kRecoveryFailed)
        << c.name;
    EXPECT_EQ(first.x1, -7) << c.name;
    EXPECT_EQ(second.x1, -7) << c.name;
  }
}

TEST(EraserFootprint, Corners) {
  struct {
    const char* name;
    uint8_t active1, active2;
    SVector2 c1, c2, c3, c4;
  } const cases[] = {
      {"both ends", 1, 1, {174, -47.5}, {174, -152.5}, {436, -152.5}, {436, -47.5}},
      {"emitter 1's end", 1, 0, {174, -47.5}, {174, -152.5}, {239.5, -152.5}, {239.5, -47.5}},
      {"emitter 2's end", 0, 1, {370.5, -47.5}, {370.5, -152.5}, {436, -152.5}, {436, -47.5}},
  };
  for (const auto& c : cases) {
    SEraserReading r;
    r.x1 = 0;
    r.y1 = 0;
    r.x2 = 210;
    r.y2 = 0;
    r.active1 = c.active1;
    r.active2 = c.active2;
    tq::SPenSample outline[tq::kFootprintOutlineLength];
    ASSERT_TRUE(tq::FootprintOutline(r, outline)) << c.name;
    const SVector2 order[8] = {c.c1, c.c2, c.c3, c.c1, c.c4, c.c3, c.c4, c.c2};
    for (size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(outline[i].kind, tq::kKindPenDown);
      EXPECT_EQ(outline[i].penCode, 0);
      ExpectAt({outline[i].x, outline[i].y}, order[i], 1e-9, c.name);
    }
  }
}

TEST(EraserFootprint, NothingToDrawConsumesTheReading) {
  tqtest::RecordingWindow window;
  tq::CBoardPort port(window.Handle());
  port.m_receiverSpacing = 1000;
  SEraserReading idle;
  idle.x2 = 210;
  SEraserReading onePoint;  // both emitters at one point
  onePoint.active1 = onePoint.active2 = 1;
  onePoint.x1 = onePoint.x2 = 400;
  for (const SEraserReading& r : {idle, onePoint}) {
    port.m_resolvedReadings.push_back(r);
    tq::EmitEraserFootprint(port);
    EXPECT_TRUE(port.m_resolvedReadings.empty());
  }
  EXPECT_TRUE(window.Events().empty());
}

}  // namespace
