// The stroke model's rules, case by case: where a stroke starts and ends,
// where a page breaks, what the eraser leaves on the board.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ink/StrokeModel.h"

namespace {

using tqtool::Footprint;
using tqtool::InkPoint;
using tqtool::InkStroke;
using tqtool::StrokeModel;

// One step of a session: 'd' down, 'm' move, 'u' up at (x, y) with pen code
// c; 'f' the board's flush; 'e' an eraser footprint over the rectangle from
// (x, y) to (x + c, y + c).
struct Step {
  char kind;
  int x = 0, y = 0, c = 0;
};

void Feed(StrokeModel& model, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    if (s.kind == 'd') model.Pen(TQ_MSG_PEN_DOWN, s.x, s.y, s.c);
    if (s.kind == 'm') model.Pen(TQ_MSG_PEN_MOVE, s.x, s.y, s.c);
    if (s.kind == 'u') model.Pen(TQ_MSG_PEN_UP, s.x, s.y, s.c);
    if (s.kind == 'f') model.BoardEvent(0);
    if (s.kind == 'e') {
      // The outline as the library sends it: corners 1, 2, 3, 1, 4, 3, 4, 2
      // of a rectangle whose corners 1 to 4 lie in order around it.
      const InkPoint c[4] = {{s.x, s.y}, {s.x + s.c, s.y}, {s.x + s.c, s.y + s.c}, {s.x, s.y + s.c}};
      const int walk[8] = {0, 1, 2, 0, 3, 2, 3, 1};
      for (int i = 0; i < 8; ++i) {
        model.Pen(i == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, c[walk[i]].x, c[walk[i]].y, 0);
      }
      model.Pen(TQ_MSG_PEN_UP, 140, 0, 0);
    }
  }
}

// A page's strokes as text: "pen:x,y x,y|pen:..." in order.
std::string Describe(const std::vector<InkStroke>& strokes) {
  std::string text;
  for (const InkStroke& stroke : strokes) {
    if (!text.empty()) text += '|';
    text += std::to_string(stroke.pen) + ':';
    for (size_t i = 0; i < stroke.points.size(); ++i) {
      if (i) text += ' ';
      text += std::to_string(stroke.points[i].x) + ',' + std::to_string(stroke.points[i].y);
    }
  }
  return text;
}

std::vector<Step> Line(int pen, int y, std::vector<int> xs) {
  std::vector<Step> steps;
  for (size_t i = 0; i < xs.size(); ++i) steps.push_back({i == 0 ? 'd' : 'm', xs[i], y, pen});
  steps.push_back({'u', xs.back(), y, pen});
  return steps;
}

std::vector<Step> Then(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Case {
  const char* name;
  std::vector<Step> steps;
  bool pageAtFlush;
  // Per page: what was written, then what is left.
  std::vector<std::string> written;
  std::vector<std::string> left;
  std::vector<size_t> footprints;
};

TEST(StrokeModel, StrokesPagesAndErasing) {
  const Case cases[] = {
      {"one stroke", Line(2, 5, {0, 10, 20}), true, {"2:0,5 10,5 20,5"}, {"2:0,5 10,5 20,5"}, {0}},
      {"pen codes kept apart",
       Then(Line(1, 0, {0, 1}), Line(0, 9, {3})),
       true,
       {"1:0,0 1,0|0:3,9"},
       {"1:0,0 1,0|0:3,9"},
       {0}},
      {"a move without a down starts a stroke", {{'m', 4, 4, 3}, {'m', 5, 4, 3}, {'u', 5, 4, 3}}, true,
       {"3:4,4 5,4"}, {"3:4,4 5,4"}, {0}},
      {"a down without an up ends the stroke before it",
       {{'d', 0, 0, 1}, {'m', 1, 0, 1}, {'d', 7, 7, 1}, {'u', 7, 7, 1}}, true,
       {"1:0,0 1,0|1:7,7"}, {"1:0,0 1,0|1:7,7"}, {0}},
      {"a footprint is not ink", Then(Line(1, 0, {0, 500}), {{'e', 1000, 1000, 40}}), true,
       {"1:0,0 500,0"}, {"1:0,0 500,0"}, {1}},
      {"a later footprint cuts a stroke in two",
       Then(Line(1, 50, {0, 10, 20, 30, 40}), {{'e', 15, 40, 10}}), true,
       {"1:0,50 10,50 20,50 30,50 40,50"}, {"1:0,50 10,50|1:30,50 40,50"}, {1}},
      {"points on the footprint's edge are erased",
       Then(Line(1, 50, {0, 10, 20, 30}), {{'e', 10, 40, 10}}), true,
       {"1:0,50 10,50 20,50 30,50"}, {"1:0,50|1:30,50"}, {1}},
      {"a stroke written after the footprint stays",
       Then(std::vector<Step>{{'e', 0, 0, 100}}, Line(1, 50, {10, 20})), true,
       {"1:10,50 20,50"}, {"1:10,50 20,50"}, {1}},
      {"a stroke wholly erased leaves nothing",
       Then(Line(4, 5, {1, 2, 3}), {{'e', 0, 0, 10}}), true, {"4:1,5 2,5 3,5"}, {""}, {1}},
      {"the flush starts a page",
       Then(Then(Line(1, 0, {0, 1}), {{'f'}}), Line(2, 0, {5, 6})), true,
       {"1:0,0 1,0", "2:5,0 6,0"}, {"1:0,0 1,0", "2:5,0 6,0"}, {0, 0}},
      {"a flush of an empty page starts none",
       Then(std::vector<Step>{{'f'}, {'f'}}, Then(Line(1, 0, {0, 1}), {{'f'}, {'f'}})), true,
       {"1:0,0 1,0", ""}, {"1:0,0 1,0", ""}, {0, 0}},
      {"a footprint erases only on its own page",
       Then(Then(Line(1, 5, {1, 2}), {{'f'}}), {{'e', 0, 0, 10}}), true, {"1:1,5 2,5", ""},
       {"1:1,5 2,5", ""}, {0, 1}},
      {"without paging the flush changes nothing",
       Then(Then(Line(1, 0, {0, 1}), {{'f'}}), Line(2, 0, {5})), false, {"1:0,0 1,0|2:5,0"},
       {"1:0,0 1,0|2:5,0"}, {0}},
      {"the flush ends an open stroke",
       {{'d', 0, 0, 1}, {'m', 1, 0, 1}, {'f'}, {'m', 2, 0, 1}, {'u', 2, 0, 1}}, true,
       {"1:0,0 1,0", "1:2,0"}, {"1:0,0 1,0", "1:2,0"}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StrokeModel model(c.pageAtFlush);
    Feed(model, c.steps);
    // A stroke still open counts once it ends; end it with an up.
    model.Pen(TQ_MSG_PEN_UP, 0, 0, 0);
    ASSERT_EQ(model.Pages().size(), c.written.size());
    for (size_t i = 0; i < c.written.size(); ++i) {
      EXPECT_EQ(Describe(model.Pages()[i].strokes), c.written[i]) << "page " << i;
      EXPECT_EQ(Describe(tqtool::Remaining(model.Pages()[i])), c.left[i]) << "page " << i;
      EXPECT_EQ(model.Pages()[i].footprints.size(), c.footprints[i]) << "page " << i;
    }
  }
}

// The live page keeps what is left as pieces and cuts them, footprint by
// footprint, at the places ErasedBy names: that must come to Remaining.
TEST(StrokeModel, CuttingAtWhatEachFootprintTakesLeavesWhatRemains) {
  struct {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> gone;  // per footprint, "x,y x,y"
  } const cases[] = {
      {"one cut", Then(Line(1, 50, {0, 10, 20, 30, 40}), {{'e', 15, 40, 10}}), {"20,50"}},
      {"a place written twice is named once",
       Then(Then(Line(1, 5, {1, 2}), Line(3, 5, {2, 1})), {{'e', 0, 0, 10}}), {"1,5 2,5"}},
      {"a footprint takes only ink written before it",
       Then(Then(Then(Line(1, 5, {0, 5, 20}), {{'e', 0, 0, 10}}), Line(2, 5, {5, 30})), {{'e', 0, 0, 40}}),
       {"0,5 5,5", "0,5 5,5 20,5 30,5"}},
      {"a footprint over nothing takes nothing", Then(Line(1, 0, {0, 500}), {{'e', 1000, 1000, 40}}), {""}},
      {"ink already gone is named again",
       Then(Line(1, 5, {0, 5, 20}), {{'e', 0, 0, 10}, {'e', 0, 0, 10}}), {"0,5 5,5", "0,5 5,5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StrokeModel model;
    Feed(model, c.steps);
    const tqtool::InkPage& page = model.Pages().back();
    ASSERT_EQ(page.footprints.size(), c.gone.size());
    std::vector<InkStroke> pieces;
    size_t stroke = 0;
    for (size_t f = 0; f <= page.footprints.size(); ++f) {
      const size_t until = f < page.footprints.size() ? page.footprints[f].order : SIZE_MAX;
      for (; stroke < page.strokes.size() && page.strokes[stroke].order < until; ++stroke) {
        pieces.push_back(page.strokes[stroke]);
      }
      if (f == page.footprints.size()) break;
      const std::vector<InkPoint> gone = tqtool::ErasedBy(page, page.footprints[f]);
      std::string named;
      for (const InkPoint& p : gone) named += (named.empty() ? "" : " ") + std::to_string(p.x) + ',' + std::to_string(p.y);
      EXPECT_EQ(named, c.gone[f]) << "footprint " << f;
      std::vector<InkStroke> cut;
      for (const InkStroke& piece : pieces) {
        InkStroke run{piece.pen, piece.order, {}};
        for (const InkPoint& p : piece.points) {
          if (std::find(gone.begin(), gone.end(), p) == gone.end()) {
            run.points.push_back(p);
          } else if (!run.points.empty()) {
            cut.push_back(run);
            run.points.clear();
          }
        }
        if (!run.points.empty()) cut.push_back(run);
      }
      pieces = cut;
    }
    EXPECT_EQ(Describe(pieces), Describe(tqtool::Remaining(page)));
  }
}

TEST(StrokeModel, FootprintOutlineIsToldFromInkByItsShape) {
  const std::vector<InkPoint> outline = {{0, 0}, {9, 0}, {9, 9}, {0, 0}, {0, 9}, {9, 9}, {0, 9}, {9, 0}};
  EXPECT_TRUE(tqtool::IsFootprintOutline(outline));
  std::vector<InkPoint> ink = outline;
  ink[7] = {9, 1};  // eight points of a pen that happen to revisit places
  EXPECT_FALSE(tqtool::IsFootprintOutline(ink));
  EXPECT_FALSE(tqtool::IsFootprintOutline({outline.begin(), outline.end() - 1}));
  std::vector<InkPoint> collapsed(8, InkPoint{3, 3});
  EXPECT_FALSE(tqtool::IsFootprintOutline(collapsed));
}

TEST(StrokeModel, InsideARotatedFootprint) {
  // A diamond: the eraser held at 45 degrees.
  const Footprint diamond{0, {InkPoint{10, 0}, InkPoint{20, 10}, InkPoint{10, 20}, InkPoint{0, 10}}};
  const struct {
    InkPoint p;
    bool inside;
  } points[] = {{{10, 10}, true}, {{10, 0}, true}, {{15, 5}, true},  {{1, 1}, false},
                {{19, 19}, false}, {{20, 10}, true}, {{21, 10}, false}, {{5, 16}, false}};
  for (const auto& t : points) {
    EXPECT_EQ(tqtool::InsideFootprint(diamond, t.p), t.inside) << t.p.x << "," << t.p.y;
  }
}

TEST(StrokeModel, MessagesCarryTheirPointAndCode) {
  StrokeModel model;
  model.SetBoard(1340, 1000);
  SPenPoint a{};
  a.x = 3;
  a.y = 4;
  model.Add(TQ_MSG_PEN_DOWN, reinterpret_cast<WPARAM>(&a), 2);
  a.x = 5;
  model.Add(TQ_MSG_PEN_MOVE, reinterpret_cast<WPARAM>(&a), 2);
  model.Add(TQ_MSG_PEN_UP, reinterpret_cast<WPARAM>(&a), 2);
  model.Add(TQ_MSG_BOARD_EVENT, 0, 1);
  model.Add(TQ_MSG_COMM_ERROR, 8, 1);
  EXPECT_EQ(model.Width(), 1340u);
  EXPECT_EQ(model.Height(), 1000u);
  ASSERT_EQ(model.Pages().size(), 2u);
  EXPECT_EQ(Describe(model.Pages()[0].strokes), "2:3,4 5,4");
  EXPECT_EQ(model.Count(TQ_MSG_PEN_DOWN), 1u);
  EXPECT_EQ(model.Count(TQ_MSG_PEN_MOVE), 1u);
  EXPECT_EQ(model.Count(TQ_MSG_PEN_UP), 1u);
}

}  // namespace
