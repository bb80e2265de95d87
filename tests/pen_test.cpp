// The pen tablet's frames, its evemu text read back by evemu itself, and the
// perspective mapping onto a screen.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "pen/Calibration.h"
#include "pen/PenDevice.h"
#include "pen/PenFrames.h"

#ifdef TQ_HAVE_EVEMU
extern "C" {
#include <evemu.h>
}
#endif

namespace {

using tqpen::Frame;

// One frame in short: "X10 Y20 PEN1 TOUCH1 SER2"; frames joined by " | ".
std::string Describe(const std::vector<Frame>& frames) {
  std::string text;
  for (const Frame& frame : frames) {
    if (!text.empty()) text += " | ";
    std::string line;
    for (size_t i = 0; i + 1 < frame.size(); ++i) {
      const tqpen::InputEvent& e = frame[i];
      const char* name = e.code == ABS_X && e.type == EV_ABS   ? "X"
                         : e.code == ABS_Y && e.type == EV_ABS ? "Y"
                         : e.type == EV_ABS                    ? "P"
                         : e.type == EV_MSC                    ? "SER"
                         : e.code == BTN_TOOL_PEN              ? "PEN"
                         : e.code == BTN_TOOL_RUBBER           ? "RUB"
                                                               : "TOUCH";
      line += (line.empty() ? "" : " ") + std::string(name) + std::to_string(e.value);
    }
    const bool synced = !frame.empty() && frame.back().type == EV_SYN && frame.back().code == SYN_REPORT;
    text += synced ? line : line + " (no SYN_REPORT)";
  }
  return text;
}

struct Step {
  char kind;  // d down, m move, u up, t tick (x = microseconds), r release
  int x, y, code;
};

std::vector<Step> Footprint(int x, int y) {
  const Step c1{'m', x, y, 0}, c2{'m', x + 100, y, 0}, c3{'m', x + 100, y + 200, 0}, c4{'m', x, y + 200, 0};
  return {{'d', x, y, 0}, c2, c3, c1, c4, c3, c4, c2, {'u', 0, 0, 0}};
}

std::vector<Step> Join(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string RunSteps(const std::vector<Step>& steps, bool eraserPossible, bool pressure) {
  std::vector<Frame> frames;
  tqpen::FrameSettings settings;
  settings.eraserPossible = eraserPossible;
  settings.pressure = pressure;
  settings.map = [](int32_t x, int32_t y) {
    return tqpen::TabletPoint{tqpen::ClampToRange(x, 1000), tqpen::ClampToRange(y, 1000)};
  };
  tqpen::PenFrames pen(settings, [&frames](const Frame& f) { frames.push_back(f); });
  const UINT messages[] = {TQ_MSG_PEN_DOWN, TQ_MSG_PEN_MOVE, TQ_MSG_PEN_UP};
  for (const Step& s : steps) {
    const SPenPoint point{s.code, static_cast<int16_t>(s.x), static_cast<int16_t>(s.y)};
    if (s.kind == 't') pen.Tick(s.x);
    else if (s.kind == 'r') pen.Release();
    else pen.OnMessage(messages[std::string("dmu").find(s.kind)], point, s.code, 0);
  }
  return Describe(frames);
}

TEST(PenFrames, MessagesBecomeTabletFrames) {
  const std::string rubber = "X150 Y200 RUB1 TOUCH1 SER100";
  const std::string hold = std::to_string(tqpen::kEraserHoldUs);
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool eraser, pressure;
    std::string frames;
  } cases[] = {
      {"a stroke enters, touches, moves what changed, lifts and leaves",
       {{'u', 0, 0, 0}, {'d', 10, 20, 1}, {'m', 11, 20, 1}, {'m', 11, 20, 1}, {'u', 0, 0, 0}, {'u', 0, 0, 0}},
       true, false, "X10 Y20 PEN1 TOUCH1 SER2 | X11 | TOUCH0 PEN0"},
      {"a new pen code leaves and enters under the new serial",
       {{'d', 10, 20, 1}, {'m', 12, 22, 3}, {'u', 0, 0, 0}}, true, false,
       "X10 Y20 PEN1 TOUCH1 SER2 | TOUCH0 PEN0 | X12 Y22 PEN1 TOUCH1 SER4 | TOUCH0 PEN0"},
      {"pen 0 moving is held back three samples at most",
       {{'d', 10, 10, 0}, {'m', 20, 10, 0}, {'m', 30, 10, 0}, {'m', 40, 10, 0}, {'m', 50, 10, 0}, {'u', 0, 0, 0}},
       true, false, "X10 Y10 PEN1 TOUCH1 SER1 | X20 | X30 | X40 | X50 | TOUCH0 PEN0"},
      {"pen 0 held still is a pen", {{'d', 5, 5, 0}, {'m', 5, 5, 0}, {'m', 5, 5, 0}, {'u', 0, 0, 0}}, true,
       false, "X5 Y5 PEN1 TOUCH1 SER1 | TOUCH0 PEN0"},
      {"footprints: the rubber at their centres until the hold has passed",
       Join({Footprint(100, 100), {{'t', 1000, 0, 0}}, Footprint(110, 100),
             {{'t', static_cast<int>(tqpen::kEraserHoldUs) - 1, 0, 0}, {'t', static_cast<int>(tqpen::kEraserHoldUs), 0, 0}}}),
       true, false, rubber + " | X160 | TOUCH0 RUB0"},
      {"a pen stroke ends the rubber first", Join({Footprint(100, 100), {{'d', 50, 50, 2}, {'u', 0, 0, 0}}}),
       true, false, rubber + " | TOUCH0 RUB0 | X50 Y50 PEN1 TOUCH1 SER3 | TOUCH0 PEN0"},
      {"a footprint on a board without an eraser is drawn", Footprint(100, 100), false, false,
       "X100 Y100 PEN1 TOUCH1 SER1 | X200 | Y300 | X100 Y100 | Y300 | X200 | X100 | X200 Y100 | TOUCH0 PEN0"},
      {"an outline broken at its last corner is a pen",
       {{'d', 100, 100, 0}, {'m', 200, 100, 0}, {'m', 200, 300, 0}, {'m', 100, 100, 0}, {'m', 100, 300, 0},
        {'m', 200, 300, 0}, {'m', 100, 300, 0}, {'m', 201, 100, 0}, {'u', 0, 0, 0}},
       true, false,
       "X100 Y100 PEN1 TOUCH1 SER1 | X200 | Y300 | X100 Y100 | Y300 | X200 | X100 | X201 Y100 | TOUCH0 PEN0"},
      {"a release lifts an open stroke, whose next move enters again",
       {{'d', 10, 10, 1}, {'r', 0, 0, 0}, {'r', 0, 0, 0}, {'m', 12, 12, 1}, {'u', 0, 0, 0}}, true, false,
       "X10 Y10 PEN1 TOUCH1 SER2 | TOUCH0 PEN0 | X12 Y12 PEN1 TOUCH1 SER2 | TOUCH0 PEN0"},
      {"a release drops a held stroke unseen", {{'d', 10, 10, 0}, {'r', 0, 0, 0}, {'u', 0, 0, 0}}, true, false, ""},
      {"pressure while touching", {{'d', 1, 1, 1}, {'u', 0, 0, 0}}, true, true,
       "X1 Y1 P512 PEN1 TOUCH1 SER2 | P0 TOUCH0 PEN0"},
      {"positions are clamped to the range", {{'d', -5, 2000, 1}, {'m', 1500, -3, 1}}, true, false,
       "X0 Y1000 PEN1 TOUCH1 SER2 | X1000 Y0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RunSteps(c.steps, c.eraser, c.pressure), c.frames) << c.name;
  }
}

#ifdef TQ_HAVE_EVEMU
// evemu's own reader takes our text for the device we describe and the
// events we wrote.
TEST(PenDevice, EvemuReadsTheDescriptionAndEventsBack) {
  for (const bool pointer : {false, true}) {
    tqpen::DeviceLayout layout;
    layout.xMax = 3396;
    layout.yMax = 4512;
    layout.resolution = 3;
    layout.pointer = pointer;
    layout.pressure = pointer;
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    tqpen::EvemuSink sink(file, layout);
    const Frame frames[] = {{{EV_ABS, ABS_X, 298}, {EV_ABS, ABS_Y, 956}, {EV_KEY, BTN_TOOL_PEN, 1},
                             {EV_KEY, BTN_TOUCH, 1}, {EV_MSC, MSC_SERIAL, 2}, {EV_SYN, SYN_REPORT, 0}},
                            {{EV_ABS, ABS_X, 310}, {EV_SYN, SYN_REPORT, 0}}};
    sink.Write(frames[0], 1000);
    sink.Write(frames[1], 2501234);
    std::rewind(file);
    evemu_device* device = evemu_new(nullptr);
    ASSERT_GT(evemu_read(device, file), 0) << "evemu did not take the description";
    EXPECT_STREQ(evemu_get_name(device), layout.name.c_str());
    EXPECT_EQ(evemu_get_abs_maximum(device, ABS_X), 3396);
    EXPECT_EQ(evemu_get_abs_maximum(device, ABS_Y), 4512);
    EXPECT_EQ(evemu_get_abs_resolution(device, ABS_Y), 3);
    EXPECT_EQ(evemu_has_event(device, EV_ABS, ABS_PRESSURE) != 0, pointer);
    for (const int code : {BTN_TOOL_PEN, BTN_TOOL_RUBBER, BTN_TOUCH}) EXPECT_TRUE(evemu_has_event(device, EV_KEY, code));
    EXPECT_FALSE(evemu_has_event(device, EV_KEY, BTN_LEFT));
    EXPECT_TRUE(evemu_has_event(device, EV_MSC, MSC_SERIAL));
    EXPECT_EQ(evemu_has_prop(device, INPUT_PROP_POINTER) != 0, pointer);
    EXPECT_EQ(evemu_has_prop(device, INPUT_PROP_DIRECT) != 0, !pointer);
    std::vector<tqpen::InputEvent> read;
    input_event event{};
    while (evemu_read_event(file, &event) > 0) {
      read.push_back({event.type, event.code, event.value});
      if (read.size() == 7) {
        EXPECT_EQ(event.input_event_sec * 1000000 + event.input_event_usec, 2500234);
      }
    }
    std::vector<tqpen::InputEvent> written(frames[0].begin(), frames[0].end());
    written.insert(written.end(), frames[1].begin(), frames[1].end());
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(read[i].type, written[i].type);
      EXPECT_EQ(read[i].code, written[i].code);
      EXPECT_EQ(read[i].value, written[i].value) << i;
    }
    evemu_delete(device);
    std::fclose(file);
  }
}
#else
TEST(PenDevice, EvemuReadsTheDescriptionAndEventsBack) { GTEST_SKIP() << "libevemu-dev is not installed"; }
#endif

// How the projected picture lies on the board: board = P(screen), P a
// projective map written out by hand (h8 = 1).
struct Placement {
  const char* name;
  tqpen::Homography truth;
  bool affine;
};

constexpr double kPi = 3.14159265358979323846;

tqpen::Homography Similarity(double degrees, double scale, bool mirrored, double tx, double ty) {
  const double c = std::cos(degrees * kPi / 180) * scale, s = std::sin(degrees * kPi / 180) * scale;
  const double m = mirrored ? -1.0 : 1.0;
  return {{m * c, -s, tx, m * s, c, ty, 0, 0, 1}};
}

TEST(Calibration, MapsRotatedMirroredAndKeystonedPicturesWithinAPixel) {
  const Placement placements[] = {
      {"straight", Similarity(0, 1.5, false, 200, 300), true},
      {"rotated 7 degrees", Similarity(7, 1.4, false, 400, 150), true},
      {"mirrored (pod on the other side)", Similarity(0, 1.5, true, 3100, 300), true},
      {"rotated a quarter turn", Similarity(90, 1.6, false, 2000, 100), true},
      {"mirrored and rotated 183 degrees", Similarity(183, 1.3, true, 300, 1700), true},
      {"keystoned (projector below the board)", {{1.5, 0.1, 200, 0, 1.3, 300, 0, 2e-4, 1}}, false},
      {"keystoned sideways and rotated", {{1.4, -0.2, 500, 0.15, 1.5, 200, 1.5e-4, -0.8e-4, 1}}, false},
  };
  const int32_t width = 1920, height = 1080;
  const tqpen::Quad targets = tqpen::CalibrationTargets(width, height, 0.1);
  for (const Placement& p : placements) {
    SCOPED_TRACE(p.name);
    tqpen::Quad touched;
    for (size_t i = 0; i < 4; ++i) touched[i] = p.truth.Apply(targets[i]);
    tqpen::Calibration calibration;
    std::string error;
    ASSERT_TRUE(tqpen::MakeCalibration(width, height, touched, targets, calibration, error)) << error;
    tqpen::Calibration reread;
    ASSERT_TRUE(tqpen::ParseCalibration(tqpen::FormatCalibration(calibration), reread, error)) << error;
    // libinput's affine matrix, on a device whose range is the board's.
    const double boardW = 4000, boardH = 4000;
    const auto m = tqpen::NearestAffineMatrix(calibration, boardW, boardH);
    double worst = 0, worstAffine = 0;
    for (int gx = 0; gx <= 16; ++gx) {
      for (int gy = 0; gy <= 9; ++gy) {
        const tqpen::PlanePoint screen{gx * width / 16.0, gy * height / 9.0};
        const tqpen::PlanePoint board = p.truth.Apply(screen);
        const tqpen::PlanePoint mapped = reread.mapping.Apply(board);
        worst = std::max(worst, std::hypot(mapped.x - screen.x, mapped.y - screen.y));
        const double nx = board.x / boardW, ny = board.y / boardH;
        const double ax = (m[0] * nx + m[1] * ny + m[2]) * width, ay = (m[3] * nx + m[4] * ny + m[5]) * height;
        worstAffine = std::max(worstAffine, std::hypot(ax - screen.x, ay - screen.y));
      }
    }
    EXPECT_LT(worst, 1.0);
    if (p.affine) EXPECT_LT(worstAffine, 1.0);
    else EXPECT_GT(worstAffine, 1.0) << "a keystone that an affine matrix fits is no test";
  }
}

TEST(Calibration, RefusesWhatGivesNoMapping) {
  const std::string good = "screen 1920 1080\npair 0 0 0 0\npair 100 0 1 0\npair 100 100 1 1\n";
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"three pairs", good},
      {"five pairs", good + "pair 0 100 0 1\npair 1 1 1 1\n"},
      {"three board points on a line", "screen 10 10\npair 0 0 0 0\npair 50 0 1 0\npair 100 0 1 1\npair 0 9 0 1\n"},
      {"a touch given twice", "screen 10 10\npair 0 0 0 0\npair 0 0 1 0\npair 100 100 1 1\npair 0 100 0 1\n"},
      {"no screen size", "pair 0 0 0 0\npair 100 0 1 0\npair 100 100 1 1\npair 0 100 0 1\n"},
      {"junk after a pair", good + "pair 0 100 0 1 7\n"},
      {"an unknown line", good + "pair 0 100 0 1\nmatrix 1 0 0\n"},
  };
  for (const auto& c : cases) {
    tqpen::Calibration calibration;
    std::string error;
    EXPECT_FALSE(tqpen::ParseCalibration(c.text, calibration, error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
  tqpen::Calibration calibration;
  std::string error;
  EXPECT_TRUE(tqpen::ParseCalibration("# a comment\n" + good + "pair 0 100 0 1  # last\n", calibration, error))
      << error;
}

}  // namespace
