// The board's width and largest height for a sensor baseline: the one rule
// the port reports and the tools draw with, and the square a board without a
// height is drawn as.
#include <gtest/gtest.h>

#include <cstdint>

#include "api/BoardPort.h"
#include "ink/BoardArea.h"
#include "ink/StrokeModel.h"
#include "protocol/HostMapping.h"

namespace {

TEST(BoardArea, WidthAndHeightForABaselineAreWhatThePortReports) {
  struct {
    uint32_t baseline;
    unsigned width, height;  // floor(sqrt(5500^2 - baseline^2)), 0 outside 1..4999
  } const cases[] = {
      {0, 340, 0},          {1, 341, 5499},    {499, 839, 5477},   {500, 840, 5477},
      {3000, 3340, 4609},   {4999, 5339, 2293}, {5000, 5340, 0},
      {0xFFFFFFFFu, 339, 0},  // the width wraps as the port's always has
  };
  for (const auto& c : cases) {
    tq::CBoardPort port(nullptr);
    port.m_receiverSpacing = c.baseline;
    EXPECT_EQ(tq::BoardWidth(c.baseline), c.width) << c.baseline;
    EXPECT_EQ(tq::MaxBoardHeight(c.baseline), c.height) << c.baseline;
    EXPECT_EQ(port.GetBoardWidth(), tq::BoardWidth(c.baseline)) << c.baseline;
    EXPECT_EQ(port.GetMaxBoardHeight(), tq::MaxBoardHeight(c.baseline)) << c.baseline;
    // A drawing covers the board; one without a height is drawn square.
    const tqtool::BoardArea area = tqtool::BaselineArea(c.baseline);
    EXPECT_EQ(area, (tqtool::BoardArea{c.width, c.height != 0 ? c.height : c.width})) << c.baseline;
  }
}

TEST(BoardArea, TheStrokeModelDrawsABoardWithoutAHeightSquare) {
  struct {
    unsigned width, height;
    tqtool::BoardArea drawn;
  } const cases[] = {{3340, 4609, {3340, 4609}}, {5340, 0, {5340, 5340}}, {0, 0, {0, 0}}};
  for (const auto& c : cases) {
    tqtool::StrokeModel model;
    model.SetBoard(c.width, c.height);
    EXPECT_EQ(model.Area(), c.drawn) << c.width << "x" << c.height;
    EXPECT_EQ(model.Height(), c.height);  // the port's own figure is kept
  }
}

}  // namespace
