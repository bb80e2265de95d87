// The virtual board: what it sends must decode back to what it meant to
// draw, its noise must be what it was told, and a tqsim on a pty must look
// to the library like a real board.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "sim/SimBoard.h"
#include "sim/SimDrawing.h"
#include "support/RecordingWindow.h"

namespace {

using tqsim::Intended;

struct Delivered {
  std::vector<tqsim::Point> pen;         // pen-down and pen-move points
  std::vector<tqsim::Point> footprints;  // centres of eraser outlines
};

// Plays the stream into a port object with every filter stage off, so each
// accepted reading comes out as it was decoded.
Delivered DecodeUnfiltered(const tqsim::BoardModel& model, const tqsim::Bytes& bytes) {
  tqtest::RecordingWindow window;
  {
    tq::CBoardPort port(window.Handle());
    port.m_boardVersion = model.version;
    port.m_receiverSpacing = model.baseline;
    port.m_packetLength = model.packetLength;
    port.m_filter.SetValidation(0);
    port.m_filter.SetAntiStreak(0);
    port.m_filter.SetFilter(0);
    port.DispatchReceived(bytes.data(), static_cast<int>(bytes.size()));
  }
  Delivered out;
  std::vector<tqsim::Point> stroke;
  auto finish = [&] {
    // An eraser outline: eight corners, the first repeated as the fourth.
    if (stroke.size() == 8 && stroke[0].x == stroke[3].x && stroke[0].y == stroke[3].y) {
      out.footprints.push_back({(stroke[0].x + stroke[1].x + stroke[2].x + stroke[4].x) / 4.0,
                                (stroke[0].y + stroke[1].y + stroke[2].y + stroke[4].y) / 4.0});
    } else {
      out.pen.insert(out.pen.end(), stroke.begin(), stroke.end());
    }
    stroke.clear();
  };
  for (const tqtest::Received& e : window.Events()) {
    if (e.message == TQ_MSG_PEN_DOWN || e.message == TQ_MSG_PEN_MOVE) {
      stroke.push_back({double(e.point.x), double(e.point.y)});
    } else if (e.message == TQ_MSG_PEN_UP) {
      finish();
    }
  }
  finish();
  return out;
}

tqsim::Drawing TestDrawing(bool withEraser) {
  tqsim::Drawing drawing = tqsim::StrokeFont::BuiltIn().Layout("HI 2", 400, 600, 500, 1);
  drawing.push_back({{{1800, 700}, {2400, 1400}, {2000, 1600}}, 3, false});
  if (withEraser) drawing.push_back({{{600, 500}, {600, 1300}, {1100, 1300}}, 0, true});
  return drawing;
}

TEST(Simulator, PacketsOfEveryBoardVersionDecodeToTheIntendedPositions) {
  struct Case {
    double version;
    double jitter;
    bool eraser;
  };
  const Case cases[] = {{1.2, 0.0, false}, {1.2, 2.0, false}, {2.1, 2.0, false},
                        {3.0, 0.0, true},  {3.0, 2.0, true},  {4.1, 0.0, false},
                        {4.1, 2.0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("version " + std::to_string(c.version) + " jitter " + std::to_string(c.jitter));
    tqsim::BoardModel model;
    ASSERT_TRUE(tqsim::MakeModel(c.version, 3056, model));
    tqsim::NoiseSettings settings = tqsim::NoiseSettings::None();
    settings.jitter = c.jitter;
    tqsim::Noise noise(settings);
    const tqsim::Stream stream = tqsim::MakeStream(model, TestDrawing(c.eraser), {}, noise);
    const Delivered got = DecodeUnfiltered(model, stream.Flatten());

    std::vector<tqsim::Point> pens, centres;
    for (const Intended& i : stream.intended) {
      if (i.kind == Intended::Down) pens.push_back(i.at);
      if (i.kind == Intended::EraserCentre) centres.push_back(i.at);
    }
    // Host points are truncated to integers; the jitter is on each distance.
    const double tolerance = 2.5 + 6.0 * c.jitter;
    ASSERT_EQ(got.pen.size(), pens.size());
    double worst = 0.0;
    for (size_t i = 0; i < pens.size(); ++i) {
      worst = std::max(worst, std::hypot(got.pen[i].x - pens[i].x, got.pen[i].y - pens[i].y));
    }
    EXPECT_LT(worst, tolerance);
    ASSERT_EQ(got.footprints.size(), centres.size());
    for (size_t i = 0; i < centres.size(); ++i) {
      EXPECT_NEAR(got.footprints[i].x, centres[i].x, tolerance + 2.0) << "footprint " << i;
      EXPECT_NEAR(got.footprints[i].y, centres[i].y, tolerance + 2.0) << "footprint " << i;
    }
  }
}

TEST(Simulator, NoiseIsReproducibleAndAsLargeAsAsked) {
  tqsim::BoardModel model;
  ASSERT_TRUE(tqsim::MakeModel(2.1, 3056, model));
  const tqsim::Drawing drawing = TestDrawing(false);
  auto make = [&](const tqsim::NoiseSettings& s) {
    tqsim::Noise noise(s);
    return tqsim::MakeStream(model, drawing, {}, noise);
  };
  tqsim::NoiseSettings base;
  base.seed = 7;
  EXPECT_EQ(make(base).Flatten(), make(base).Flatten());
  tqsim::NoiseSettings other = base;
  other.seed = 8;
  EXPECT_NE(make(base).Flatten(), make(other).Flatten());

  struct Case {
    double drop, stray;
  };
  for (const Case c : {Case{0.0, 0.0}, Case{0.2, 0.0}, Case{0.0, 0.1}, Case{0.1, 0.1}}) {
    SCOPED_TRACE("drop " + std::to_string(c.drop) + " stray " + std::to_string(c.stray));
    tqsim::NoiseSettings s = tqsim::NoiseSettings::None();
    s.drop = c.drop;
    s.stray = c.stray;
    const tqsim::Stream stream = make(s);
    size_t packets = 0, strays = 0;
    for (const tqsim::TimedBytes& chunk : stream.chunks) {
      if (chunk.bytes.size() == 1) continue;  // heartbeat
      ++packets;
      strays += chunk.bytes.size() == model.packetLength + 1;
    }
    const double readings = double(stream.intended.size());
    EXPECT_NEAR(1.0 - double(packets) / readings, c.drop, 0.04);
    EXPECT_NEAR(double(strays) / double(packets), c.stray, 0.04);
  }
}

TEST(Simulator, StreamKeepsThePaceOfA9600BaudLine) {
  tqsim::BoardModel model;
  ASSERT_TRUE(tqsim::MakeModel(3.0, 3056, model));
  tqsim::Timing fast;
  fast.samplePeriod = 0.002;  // asks for more than the line can carry
  tqsim::Noise noise(tqsim::NoiseSettings::None());
  const tqsim::Stream stream = tqsim::MakeStream(model, TestDrawing(true), fast, noise);
  for (size_t i = 1; i < stream.chunks.size(); ++i) {
    const double gap = stream.chunks[i].time - stream.chunks[i - 1].time;
    EXPECT_GE(gap + 1e-9, double(stream.chunks[i - 1].bytes.size()) / 960.0) << "chunk " << i;
  }
}

TEST(Simulator, StrokeFilesAndResampling) {
  struct Case {
    const char* text;
    bool ok;
    size_t strokes;
    bool lastIsEraser;
    int lastPen;
  };
  const Case cases[] = {
      {"10 20\n30 40\n\n50 60\n", true, 2, false, 1},
      {"# a comment\npen 3\n1 2\n3 4 # trailing\n", true, 1, false, 3},
      {"1 1\n2 2\n\neraser\n5 5\n9 9\n", true, 2, true, 1},
      {"1 1\npen 2\n4 4\n", true, 2, false, 2},
      {"1\n", false, 0, false, 0},
      {"1 2 3\n", false, 0, false, 0},
      {"pen 9\n", false, 0, false, 0},
      {"x y\n", false, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::istringstream in(c.text);
    tqsim::Drawing drawing;
    std::string error;
    ASSERT_EQ(tqsim::ParseStrokeFile(in, drawing, error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    ASSERT_EQ(drawing.size(), c.strokes);
    EXPECT_EQ(drawing.back().eraser, c.lastIsEraser);
    EXPECT_EQ(drawing.back().pen, c.lastPen);
  }
  const std::vector<tqsim::Point> path =
      tqsim::Resample({{0, 0}, {100, 0}, {100, 35}}, 20.0);
  ASSERT_EQ(path.size(), 8u);  // every 20 units along 135, and the end
  for (size_t i = 1; i + 1 < path.size(); ++i) {
    EXPECT_NEAR(std::fabs(path[i].x - path[i - 1].x) + std::fabs(path[i].y - path[i - 1].y), 20.0, 1e-9);
  }
  EXPECT_DOUBLE_EQ(path.back().y, 35.0);
}

// Runs a command and returns what it printed.
std::string Output(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text, const char* prefixes) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (std::string(prefixes).find(line.substr(0, line.find(' '))) != std::string::npos) {
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(Simulator, ABoardOnAPtyOpenedByTqLiveDeliversWhatItDrew) {
  if (std::string(TQ_SIM_PATH).empty() || std::string(TQ_TOOL_PATH).empty()) {
    GTEST_SKIP() << "tqsim and tq are Linux programs, not built here";
  }
  struct Case {
    const char* version;
    const char* extra;  // more tqsim options
    int seconds;
    bool expectCheck;   // the board falls silent: the watchdog asks at about 4 s
                        // and reports at its next tick, 2 s on: leave room
  };
  const Case cases[] = {{"1.2", "", 4, false}, {"2.1", "", 4, false}, {"2.1", "--silent-after 0.2", 10, true}};
  const std::string scratch = ::testing::TempDir();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version) + " " + c.extra);
    const std::string drawingArgs = std::string("--board-version ") + c.version +
                                    " --text HI --font builtin --speed 2400 --clean " + c.extra;
    const std::string link = scratch + "tqsim-board-" + std::to_string(getpid());
    const std::string svg = scratch + "tqsim-live.svg";
    std::remove(svg.c_str());
    // The board lives until tq live has finished, then ends by itself.
    const std::string command =
        std::string("(") + TQ_SIM_PATH + " " + drawingArgs + " --pty --link " + link +
        " --timeout " + std::to_string(c.seconds + 1) + " > /dev/null & " +
        "for i in $(seq 50); do [ -e " + link + " ] && break; sleep 0.1; done; TQ_COM6=" + link +
        " " + TQ_TOOL_PATH + " live --port 6 --events --seconds " + std::to_string(c.seconds) +
        " --svg " + svg + "; wait)";
    const std::string live = Output(command);

    if (c.expectCheck) {
      EXPECT_NE(live.find("check 0 0"), std::string::npos) << live;
      continue;
    }
    // What the same board writes into a capture, replayed, is the reference.
    const std::string raw = scratch + "tqsim-reference.raw";
    ASSERT_EQ(std::system((std::string(TQ_SIM_PATH) + " " + drawingArgs + " --raw " + raw + " 2>/dev/null").c_str()), 0);
    tqtest::RecordingWindow window;
    CFileDialog dialog(raw.c_str());
    TQReadFileData(window.Handle(), &dialog);
    std::string replay;
    for (const std::string& line : window.EventLines()) replay += line + "\n";
    const std::vector<std::string> got = Lines(live, "down move up");
    const std::vector<std::string> expected = Lines(replay, "down move up");
    EXPECT_GT(expected.size(), 40u);
    EXPECT_EQ(got, expected);
    std::FILE* picture = std::fopen(svg.c_str(), "r");
    ASSERT_NE(picture, nullptr) << "tq live --svg wrote no picture";
    std::fclose(picture);
  }
}

}  // namespace
