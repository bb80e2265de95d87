#include "filter/StrokeFilter.h"
#include "geometry/Truncate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using tq::CStrokeFilter;
using tq::SPenSample;

SPenSample Down(double x, double y, int pen = 1) {
  SPenSample s;
  s.kind = tq::kKindPenDown;
  s.x = x;
  s.y = y;
  s.penCode = pen;
  return s;
}

SPenSample Hover(double x, double y) {
  SPenSample s = Down(x, y);
  s.kind = tq::kKindHover;
  return s;
}

SPenSample Marker() { return tq::MakeBreakMarker(); }

SPenSample UnknownKind(uint8_t kind, double x, double y) {
  SPenSample s = Down(x, y, 3);
  s.kind = kind;
  return s;
}

// Samples (x0 + i * step, y) for i = 0 .. count - 1.
std::vector<SPenSample> Line(int count, double step = 10, double x0 = 0, double y = 0) {
  std::vector<SPenSample> line;
  for (int i = 0; i < count; ++i) line.push_back(Down(x0 + i * step, y));
  return line;
}

std::vector<SPenSample> Join(std::initializer_list<std::vector<SPenSample>> parts) {
  std::vector<SPenSample> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// "x,y" for pen 1 down, "x,y/p" for another pen, "h:x,y" hover, "|" marker.
std::string Describe(const std::vector<SPenSample>& samples) {
  std::string text;
  for (const SPenSample& s : samples) {
    if (!text.empty()) text += ' ';
    char buffer[96];
    if (s.kind == tq::kKindBreak) {
      std::snprintf(buffer, sizeof buffer, "|");
    } else if (s.kind == tq::kKindHover) {
      std::snprintf(buffer, sizeof buffer, "h:%g,%g", s.x, s.y);
    } else if (s.kind != tq::kKindPenDown) {
      std::snprintf(buffer, sizeof buffer, "k%02x", s.kind);
    } else if (s.penCode != 1) {
      std::snprintf(buffer, sizeof buffer, "%g,%g/%d", s.x, s.y, s.penCode);
    } else {
      std::snprintf(buffer, sizeof buffer, "%g,%g", s.x, s.y);
    }
    text += buffer;
  }
  return text;
}

// Pushes each sample and drains the output after it, as the decoders do.
std::vector<SPenSample> PushAll(CStrokeFilter& filter, const std::vector<SPenSample>& input,
                                std::vector<unsigned>* releasedPerPush = nullptr) {
  std::vector<SPenSample> out;
  for (const SPenSample& s : input) {
    filter.Push(s);
    if (releasedPerPush) releasedPerPush->push_back(filter.OutputCount());
    while (filter.OutputCount() != 0) out.push_back(filter.Pop());
  }
  return out;
}

enum EStages { kValidate = 1, kAntiStreak = 2, kSmooth = 4, kAll = 7 };

void Configure(CStrokeFilter& filter, int stages) {
  filter.SetValidation((stages & kValidate) ? 1 : 0);
  filter.SetAntiStreak((stages & kAntiStreak) ? 1 : 0);
  filter.SetFilter((stages & kSmooth) ? 1 : 0);
}

class CRecordingSink : public tq::ISampleRecordSink {
 public:
  void WriteSampleRecord(const SPenSample& sample) override { records.push_back(sample); }
  std::vector<SPenSample> records;
};

struct SStreamCase {
  const char* name;
  int stages;
  std::vector<SPenSample> input;
  const char* expected;
};

void RunCases(const std::vector<SStreamCase>& cases) {
  for (const SStreamCase& c : cases) {
    SCOPED_TRACE(c.name);
    CStrokeFilter filter;
    Configure(filter, c.stages);
    EXPECT_EQ(Describe(PushAll(filter, c.input)), c.expected);
  }
}

TEST(StrokeFilter, Switches) {
  CStrokeFilter filter;
  EXPECT_EQ(filter.SetValidation(0), 1);
  EXPECT_EQ(filter.SetValidation(0), 0);
  EXPECT_EQ(filter.SetValidation(1), 0);
  EXPECT_EQ(filter.SetValidation(1), 1);
  EXPECT_EQ(filter.SetFilter(2), 1);  // only 1 means on
  EXPECT_EQ(filter.SetFilter(1), 0);
  EXPECT_EQ(filter.SetAntiStreak(-1), 1);
  EXPECT_EQ(filter.SetAntiStreak(0), 0);
}

TEST(StrokeFilter, PopOnEmptyOutputReturnsZeroRecord) {
  CStrokeFilter filter;
  const SPenSample s = filter.Pop();
  EXPECT_EQ(s.kind, 0);
  EXPECT_EQ(s.x, 0);
  EXPECT_EQ(s.y, 0);
  EXPECT_EQ(s.penCode, 0);
  EXPECT_EQ(s.valid, 0);
  EXPECT_EQ(filter.OutputCount(), 0u);
}

TEST(StrokeFilter, AllStagesOffPassesEverythingAndCapturesIt) {
  CStrokeFilter filter;
  Configure(filter, 0);
  CRecordingSink sink;
  filter.StartValCapture(&sink);
  const std::vector<SPenSample> input = {Down(1, 2, 3), Hover(4, 5), Marker(), Down(-6, 7)};
  EXPECT_EQ(Describe(PushAll(filter, input)), "1,2/3 h:4,5 | -6,7");
  EXPECT_EQ(Describe(sink.records), "1,2/3 h:4,5 | -6,7");
  filter.StopValCapture();
  PushAll(filter, {Down(8, 8)});
  EXPECT_EQ(sink.records.size(), 4u);
}

TEST(StrokeFilter, ResetSkipsSamplesAtTheDoor) {
  CStrokeFilter filter;
  Configure(filter, 0);
  filter.Reset(5, false);
  EXPECT_EQ(filter.OutputCount(), 1u);  // the marker, waiting for the next drain
  const auto out = PushAll(filter, Join({Line(3, 1, 1), {Marker()}, Line(4, 1, 4)}));
  EXPECT_EQ(Describe(out), "| | 6,0 7,0");
  EXPECT_EQ(filter.PushedCount(), 8u);
}

TEST(StrokeFilter, DiscardingResetLeavesOnlyTheMarker) {
  CStrokeFilter filter;
  CRecordingSink sink;
  PushAll(filter, Line(10));  // every window now holds part of the stroke
  filter.StartValCapture(&sink);
  filter.Reset(5, true);
  ASSERT_EQ(filter.OutputCount(), 1u);
  const SPenSample marker = filter.Pop();
  EXPECT_EQ(Describe({marker}), "|");
  EXPECT_EQ(marker.valid, 0);
  EXPECT_TRUE(sink.records.empty());
  // Nothing of the old stroke comes back.
  const auto out = PushAll(filter, Join({Line(5, 1, 500), {Hover(0, 0)}, Line(3, 10, 500), {Marker()}}));
  EXPECT_EQ(Describe(out), "h:0,0 500,0 510,0 520,0 |");
}

TEST(StrokeFilter, NonDiscardingResetOnIdleFilter) {
  CStrokeFilter all;
  all.Reset(1, false);
  EXPECT_EQ(all.OutputCount(), 0u);  // the smoothing stage has no stroke to end
  CStrokeFilter unsmoothed;
  unsmoothed.SetFilter(0);
  unsmoothed.Reset(1, false);
  ASSERT_EQ(unsmoothed.OutputCount(), 1u);
  EXPECT_EQ(unsmoothed.Pop().kind, tq::kKindBreak);
}

TEST(StrokeFilter, ValidationStage) {
  std::vector<SPenSample> movedSixth = Line(10);
  movedSixth[5] = Down(50, 100);
  movedSixth.push_back(Marker());
  RunCases({
      {"lone sample", kValidate, {Down(0, 0), Marker()}, "|"},
      {"two close samples", kValidate, {Down(0, 0), Down(30, 0), Marker()}, "0,0 30,0 |"},
      {"two samples 45 apart", kValidate, {Down(0, 0), Down(45, 0), Marker()}, "|"},
      {"two samples just under 45", kValidate, {Down(0, 0), Down(44.5, 0), Marker()},
       "0,0 44.5,0 |"},
      {"straight three", kValidate, Join({Line(3), {Marker()}}), "0,0 10,0 20,0 |"},
      {"bent three", kValidate, {Down(0, 0), Down(10, 70), Down(20, 0), Marker()}, "|"},
      {"three, middle 49.9 off the chord", kValidate,
       {Down(0, 0), Down(10, 49.9), Down(20, 0), Marker()}, "0,0 10,49.9 20,0 |"},
      {"three, middle 50 off the chord", kValidate,
       {Down(0, 0), Down(10, 50), Down(20, 0), Marker()}, "|"},
      {"four, one off", kValidate, {Down(0, 0), Down(10, 0), Down(20, 300), Down(30, 0), Marker()},
       "0,0 10,0 30,0 |"},
      {"five straight", kValidate, Join({Line(5), {Marker()}}), "0,0 10,0 20,0 30,0 40,0 |"},
      // The first sample is judged from the middle one only, 20 away here.
      {"five, the first lost", kValidate, Join({Line(5, 25), {Marker()}}),
       "25,0 50,0 75,0 100,0 |"},
      {"ten straight", kValidate, Join({Line(10), {Marker()}}),
       "0,0 10,0 20,0 30,0 40,0 50,0 60,0 70,0 80,0 90,0 |"},
      {"ten, sixth moved", kValidate, movedSixth, "0,0 10,0 20,0 30,0 40,0 60,0 70,0 80,0 90,0 |"},
      {"one hover inside a stroke", kValidate,
       {Down(0, 0), Down(10, 0), Hover(15, 0), Down(20, 0), Marker()}, "0,0 10,0 20,0 |"},
      {"closing sample toward the hover", kValidate, Join({Line(6), {Hover(80, 0), Hover(90, 0)}}),
       "0,0 10,0 20,0 30,0 40,0 50,0 60,0 h:90,0"},
      {"closing sample at a near hover", kValidate, Join({Line(6), {Hover(80, 0), Hover(55, 0)}}),
       "0,0 10,0 20,0 30,0 40,0 50,0 55,0 h:55,0"},
      {"no closing sample at a marker", kValidate, Join({Line(6), {Hover(80, 0), Marker()}}),
       "0,0 10,0 20,0 30,0 40,0 50,0 |"},
      {"pen change cuts the stroke and skips two", kValidate,
       {Down(0, 0), Down(10, 0), Down(20, 0), Down(30, 0), Down(40, 0, 2), Down(50, 0, 2),
        Down(60, 0, 2), Down(70, 0, 2), Marker()},
       "0,0 10,0 20,0 30,0 | 40,0/2 70,0/2 |"},
      {"hover and marker with nothing held", kValidate, {Hover(5, 5), Marker()}, "h:5,5 |"},
      {"other kinds end the stroke like a marker", kValidate,
       Join({Line(3), {UnknownKind(0x10, 1, 2)}}), "0,0 10,0 20,0 k10"},
  });
}

TEST(StrokeFilter, ValidationTiming) {
  CStrokeFilter filter;
  Configure(filter, kValidate);
  std::vector<unsigned> released;
  PushAll(filter, Join({Line(10), {Marker()}}), &released);
  EXPECT_EQ(released, (std::vector<unsigned>{0, 0, 0, 0, 0, 4, 1, 1, 1, 1, 3}));
}

TEST(StrokeFilter, ValidMarks) {
  CStrokeFilter filter;
  Configure(filter, kValidate);
  const auto out = PushAll(filter, Join({Line(6), {Hover(80, 0), Hover(90, 0)}}));
  ASSERT_EQ(out.size(), 8u);
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(out[i].valid, 1) << i;
  EXPECT_EQ(out[7].valid, 0);  // the hover sample passes as it came
  // Short strokes are accepted as a whole without marks.
  const auto shortStroke = PushAll(filter, {Down(0, 0), Down(30, 0), Marker()});
  ASSERT_EQ(shortStroke.size(), 3u);
  EXPECT_EQ(shortStroke[0].valid, 0);
}

TEST(StrokeFilter, PenChangeMarkerSettlesBeforeTheNewStroke) {
  // The cut happens inside a step of the validation stage; what the cut
  // releases must pass every stage before the new pen's samples.
  CStrokeFilter filter;
  CRecordingSink sink;
  filter.StartValCapture(&sink);
  std::vector<SPenSample> input = Line(8);
  for (int i = 0; i < 8; ++i) input.push_back(Down(100 + 10 * i, 0, 2));
  input.push_back(Marker());
  std::vector<unsigned> released;
  const auto out = PushAll(filter, input, &released);
  EXPECT_EQ(Describe(out),
            "0,0 10,0 20,0 30,0 40,0 50,0 60,0 70,0 | "
            "100,0/2 126,0/2 138,0/2 150,0/2 160,0/2 170,0/2 |");
  EXPECT_EQ(Describe(sink.records),
            "0,0 10,0 20,0 30,0 40,0 50,0 60,0 70,0 | "
            "100,0/2 130,0/2 140,0/2 150,0/2 160,0/2 170,0/2 |");
  // The first sample of pen 2 releases the rest of pen 1's stroke and the
  // marker (the two held by validation, the three held back by smoothing).
  EXPECT_EQ(released[8], 5u);
  EXPECT_EQ(filter.PushedCount(), 17u);
}

TEST(StrokeFilter, SixRejectionsInARowCutTheStroke) {
  // After a straight start the pen jumps about wildly: each judged sample
  // is off every chord.
  const std::vector<SPenSample> jumps = {
      Down(-2212, 2027), Down(261, -2989), Down(1826, 2380), Down(-2954, -521),
      Down(2530, -1612), Down(-776, 2898), Down(-1385, -2661), Down(2819, 1026)};
  CStrokeFilter filter;
  Configure(filter, kValidate);
  std::vector<unsigned> released;
  const auto out = PushAll(filter, Join({Line(6), jumps, Line(6, 10, 1000), Line(3, 10, 2000),
                                         {Marker()}}),
                           &released);
  EXPECT_EQ(Describe(out), "0,0 10,0 20,0 30,0 40,0 50,0 | 2000,0 2010,0 2020,0 |");
  EXPECT_EQ(released[13], 1u) << "the marker leaves with the sixth rejection";
  EXPECT_EQ(filter.RejectedCount(), 8u);  // six jumps, and the two settled at the cut
}

TEST(StrokeFilter, AntiStreakStage) {
  std::vector<SPenSample> jump = Join({Line(10), {Marker()}});
  jump[5] = Down(50, 300);
  std::vector<SPenSample> badStart = Join({Line(6), {Marker()}});
  badStart[0] = Down(0, 300);
  RunCases({
      {"a jump becomes a stroke of its own", kAntiStreak, jump,
       "0,0 10,0 20,0 30,0 40,0 | 50,300 | 60,0 70,0 80,0 90,0 |"},
      {"a stray first sample is detached", kAntiStreak, badStart,
       "0,300 | 10,0 20,0 30,0 40,0 50,0 |"},
      {"100 from the continuation does not cut", kAntiStreak,
       {Down(0, 0), Down(10, 0), Down(20, 100), Marker()}, "0,0 10,0 20,100 |"},
      {"above 100 cuts", kAntiStreak, {Down(0, 0), Down(10, 0), Down(20, 100.5), Marker()},
       "0,0 10,0 | 20,100.5 | |"},
      {"hover ends the stroke", kAntiStreak,
       {Down(0, 0), Down(10, 0), Down(20, 0), Hover(25, 0), Down(500, 500), Down(0, 0), Marker()},
       "0,0 10,0 20,0 h:25,0 500,500 0,0 |"},
  });
}

TEST(StrokeFilter, AntiStreakHoldsTheStartOfAStroke) {
  CStrokeFilter filter;
  Configure(filter, kAntiStreak);
  std::vector<unsigned> released;
  EXPECT_EQ(Describe(PushAll(filter, {Down(0, 0), Down(10, 0), Marker()}, &released)),
            "0,0 10,0 |");
  EXPECT_EQ(released, (std::vector<unsigned>{0, 0, 3}));
  PushAll(filter, {Down(0, 0), Down(10, 0), Down(20, 0), Down(30, 0), Down(40, 200)});
  EXPECT_EQ(filter.StreakCutCount(), 1u);
}

TEST(StrokeFilter, SmoothingStage) {
  const std::vector<SPenSample> zigzag = {Down(0, 0),  Down(10, 10), Down(20, 0), Down(30, 10),
                                          Down(40, 0), Down(50, 10), Down(60, 0), Marker()};
  RunCases({
      {"three", kSmooth, {Down(0, 0), Down(10, 10), Down(20, 0), Marker()}, "0,0 10,4 20,0 |"},
      {"four", kSmooth, {Down(0, 0), Down(10, 10), Down(20, 0), Down(30, 10), Marker()},
       "0,0 10,4 20,6 30,10 |"},
      {"zigzag", kSmooth, zigzag, "0,0 10,4 20,4 30,6 40,4 50,4 60,0 |"},
      {"straight line unchanged", kSmooth, Join({Line(8), {Marker()}}),
       "0,0 10,0 20,0 30,0 40,0 50,0 60,0 70,0 |"},
      {"one and two samples pass raw", kSmooth,
       {Down(3, 3), Hover(0, 0), Down(1, 1), Down(7.5, 7.5), Marker()}, "3,3 h:0,0 1,1 7.5,7.5 |"},
      // Rounding adds 0.5 and truncates toward zero: -3.9 becomes -3, and a
      // whole -10 (or just below it) becomes -9.
      {"negative values round toward zero", kSmooth,
       {Down(0, 0), Down(10, -10), Down(20, 0), Marker(), Down(-20, 0), Down(-10, -10), Down(0, 0),
        Marker()},
       "0,0 10,-3 20,0 | -20,0 -9,-3 0,0 |"},
      {"marker with nothing held is dropped", kSmooth, {Marker(), Hover(1, 1), Marker()}, "h:1,1"},
  });
}

// The smoothing of one stroke as the rule reads: every weight worked out
// afresh, three-sample windows next to the ends, five inside.
std::vector<SPenSample> SmoothByTheRule(const std::vector<SPenSample>& stroke) {
  const std::size_t n = stroke.size();
  std::vector<SPenSample> out = stroke;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const std::size_t reach = (i >= 2 && i + 2 < n) ? 2 : 1;
    double sumW = 0, sumX = 0, sumY = 0;
    for (std::size_t j = i - reach; j <= i + reach; ++j) {
      const double w = 1.0 / (std::sqrt((stroke[j].x - stroke[i].x) * (stroke[j].x - stroke[i].x) +
                                        (stroke[j].y - stroke[i].y) * (stroke[j].y - stroke[i].y)) +
                              50.0);
      sumW += w;
      sumX += stroke[j].x * w;
      sumY += stroke[j].y * w;
    }
    out[i].x = tq::TruncateToInt32Portable(sumX / sumW + 0.5);
    out[i].y = tq::TruncateToInt32Portable(sumY / sumW + 0.5);
  }
  return out;
}

TEST(StrokeFilter, SmoothingAgreesWithTheRuleWrittenOut) {
  // Strokes of every length up to 40, with irregular steps and now and then
  // a NaN or infinite position, ended by a marker or a hover sample.
  std::mt19937_64 random(77);
  std::uniform_real_distribution<double> step(-40.0, 40.0);
  std::uniform_int_distribution<int> oddity(0, 60);
  const double kOdd[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(), 1e12};
  CStrokeFilter filter;
  Configure(filter, kSmooth);
  std::vector<SPenSample> input;
  std::vector<SPenSample> expected;
  for (int stroke = 0; stroke < 600; ++stroke) {
    std::vector<SPenSample> samples;
    double x = 500, y = 500;
    for (int i = 0, n = 1 + stroke % 40; i < n; ++i) {
      x += step(random);
      y += step(random);
      const int odd = oddity(random);
      samples.push_back(Down(odd < 4 ? kOdd[odd] : x, odd == 4 ? kOdd[stroke % 4] : y));
    }
    const SPenSample ending = stroke % 3 == 0 ? Hover(x, y) : Marker();
    input.insert(input.end(), samples.begin(), samples.end());
    input.push_back(ending);
    const std::vector<SPenSample> smoothed = SmoothByTheRule(samples);
    expected.insert(expected.end(), smoothed.begin(), smoothed.end());
    expected.push_back(ending);
  }
  EXPECT_EQ(Describe(PushAll(filter, input)), Describe(expected));
}

TEST(StrokeFilter, SmoothingTiming) {
  CStrokeFilter filter;
  Configure(filter, kSmooth);
  std::vector<unsigned> released;
  PushAll(filter,
          {Down(0, 0), Down(10, 10), Down(20, 0), Down(30, 10), Down(40, 0), Down(50, 10),
           Down(60, 0), Marker()},
          &released);
  EXPECT_EQ(released, (std::vector<unsigned>{0, 0, 0, 0, 3, 1, 1, 3}));
}

TEST(StrokeFilter, StageSwitchedOffMidStrokeKeepsItsWindow) {
  struct SCase {
    const char* name;
    int stage;
    std::vector<SPenSample> before;  // held by the stage when it is switched off
    std::vector<SPenSample> bypass;  // pushed while it is off
    std::vector<SPenSample> after;   // pushed once it is on again
    const char* expected;
  };
  const SCase kCases[] = {
      {"validation", kValidate, {Down(0, 0), Down(10, 0)}, {Down(500, 500)},
       {Down(20, 0), Marker()}, "500,500 0,0 10,0 20,0 |"},
      {"anti-streak", kAntiStreak, {Down(0, 0), Down(10, 0)}, {Down(500, 500)}, {Marker()},
       "500,500 0,0 10,0 |"},
      {"smoothing", kSmooth, {Down(0, 0), Down(10, 10), Down(20, 0)}, {Down(100, 100)}, {Marker()},
       "100,100 0,0 10,4 20,0 |"},
  };
  for (const SCase& c : kCases) {
    SCOPED_TRACE(c.name);
    CStrokeFilter filter;
    Configure(filter, c.stage);
    auto out = PushAll(filter, c.before);
    Configure(filter, 0);
    const auto bypassed = PushAll(filter, c.bypass);
    Configure(filter, c.stage);
    const auto released = PushAll(filter, c.after);
    out.insert(out.end(), bypassed.begin(), bypassed.end());
    out.insert(out.end(), released.begin(), released.end());
    EXPECT_EQ(Describe(out), c.expected);
  }
}

TEST(StrokeFilter, NaNAndHugePositionsAreCarriedThrough) {
  // Bad packets of version-4 boards give such positions; they must travel
  // without undefined behaviour and the stroke must still end.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<SPenSample> input = Line(8);
  input[3] = Down(nan, 5);
  input[5] = Down(1e300, -inf);
  input.push_back(Hover(nan, nan));
  input.push_back(Marker());
  for (int stages : {kValidate, kAntiStreak, kSmooth, kAll}) {
    SCOPED_TRACE(stages);
    CStrokeFilter filter;
    Configure(filter, stages);
    const auto out = PushAll(filter, input);
    ASSERT_FALSE(out.empty());
    EXPECT_NE(out.back().kind, tq::kKindPenDown);
  }
  CStrokeFilter smoothing;
  Configure(smoothing, kSmooth);
  const auto out = PushAll(smoothing, {Down(0, 0), Down(nan, 1e12), Down(20, 0), Marker()});
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[1].x, -2147483648.0);
  EXPECT_EQ(out[1].y, -2147483648.0);
}

}  // namespace
