// tq calibrate: the four board positions of a screen's corners, and the
// perspective mapping they give.
#include <cstdio>
#include <sstream>
#include <string>

#include "common/Board.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "common/OutputFile.h"
#include "common/Report.h"
#include "pen/Calibration.h"
#include "pen/PenDevice.h"
#include "platform/Platform.h"
#include "tq/Commands.h"

namespace {

struct CalibrateOptions {
  tqtool::BoardOptions board;
  std::string screen, out, boardSize;
  double inset = 0.1;
  std::string points;
};

const char kAbout[] =
    "Finds where the screen (or the projected picture) lies on the board: touch\n"
    "the four targets near its corners with the pen, in the order asked, and the\n"
    "four positions are written to OUT with the screen's size; tq pen\n"
    "--calibration OUT then maps the pen onto the screen by perspective. --points\n"
    "gives the four board positions instead of touching (with --board, the range\n"
    "tq probe reports as width and max-height). Also prints the nearest\n"
    "LIBINPUT_CALIBRATION_MATRIX udev line, for libinput's own mapping of a tq pen\n"
    "device without --calibration. Touches that look like a misclick (two too close\n"
    "together, out of order, mirrored against the pod location, or far from the\n"
    "screen's shape) are refused with the reason and the target is asked for again;\n"
    "with --points they end the command with status 1.";

std::string SizeProblem(const char* option, const std::string& text) {
  int32_t w = 0, h = 0;
  if (text.empty() || tqpen::ParseSize(text, w, h)) return {};
  return std::string(option) + " '" + text + "' is not WIDTHxHEIGHT";
}

bool ParsePoints(const std::string& text, tqpen::Quad& quad) {
  std::istringstream words(text);
  std::string word;
  for (tqpen::PlanePoint& point : quad) {
    char extra = 0;
    if (!(words >> word) || std::sscanf(word.c_str(), "%lf,%lf%c", &point.x, &point.y, &extra) != 2) return false;
  }
  return !(words >> word);
}

// Asks for one target after the other and takes the middle of each touch. A
// touch that makes a misclick (tqpen::TouchProblem) is asked for again with
// the reason; the same target refused twice in a row starts over from the
// first, as the mistake may lie in an earlier touch.
class TargetCollector {
 public:
  explicit TargetCollector(const tqpen::Quad& targets) : m_targets(targets) {
    m_window.onMessage = [this](UINT message, WPARAM wParam, LPARAM) {
      if (wParam != 0) OnPen(message, *reinterpret_cast<const SPenPoint*>(wParam));
    };
  }
  HWND Handle() const { return m_window.Handle(); }
  // The board's range, known once it is open: how far apart touches must be.
  void SetBoardRange(int32_t xMax, int32_t yMax) { m_minApart = tqpen::MinTouchApart(xMax, yMax, {}); }
  bool Collect(tqpen::Quad& touched);

 private:
  void Prompt() const;
  void OnPen(UINT message, const SPenPoint& point);

  static constexpr const char* kCorners[4] = {"top-left", "top-right", "bottom-right", "bottom-left"};
  tqpen::Quad m_targets;
  tqpen::Quad m_touched{};
  size_t m_next = 0;
  int m_refusals = 0;  // of the target asked for now, in a row
  double m_minApart = 0;
  double m_sumX = 0, m_sumY = 0;
  int m_count = 0;
  tqtool::PrintingWindow m_window{stderr, [](UINT) { return false; }};
};

void TargetCollector::Prompt() const {
  std::printf("target %zu of 4: touch the %s mark, at pixel (%.0f, %.0f) of the screen, and lift the pen\n",
              m_next + 1, kCorners[m_next], m_targets[m_next].x, m_targets[m_next].y);
  std::fflush(stdout);
}

void TargetCollector::OnPen(UINT message, const SPenPoint& point) {
  if (m_next >= 4) return;
  if (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE) {
    m_sumX += point.x;
    m_sumY += point.y;
    ++m_count;
  } else if (message == TQ_MSG_PEN_UP && m_count > 0) {
    m_touched[m_next] = {m_sumX / m_count, m_sumY / m_count};
    std::printf("  board position %.1f %.1f\n", m_touched[m_next].x, m_touched[m_next].y);
    m_sumX = m_sumY = 0;
    m_count = 0;
    const std::string problem = tqpen::TouchProblem(m_touched, m_next + 1, m_targets, m_minApart);
    if (!problem.empty()) {
      std::printf("  refused: %s\n", problem.c_str());
      if (++m_refusals >= 2) {
        std::printf("  starting over from the first target\n");
        m_next = 0;
        m_refusals = 0;
      }
      Prompt();
      return;
    }
    m_refusals = 0;
    if (++m_next < 4) Prompt();
  }
}

bool TargetCollector::Collect(tqpen::Quad& touched) {
  Prompt();
  tqtool::LoopSettings loop;
  loop.done = [this] { return m_next == 4; };
  tqtool::RunMessageLoop(loop);
  touched = m_touched;
  return m_next == 4;
}

// Touches the targets on the board; false when the port or the person gave up.
bool TouchTargets(const CalibrateOptions& o, const tqpen::Quad& targets, tqpen::Quad& touched,
                  int32_t& xMax, int32_t& yMax) {
  TargetCollector collector(targets);
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE result = tqtool::Open(o.board, collector.Handle(), board);
  if (result != TQ_SUCCESS) {
    tqtool::DrainMessages();
    tqtool::Failed("calibrate", tqtool::OpenFailure(o.board.Port(), result));
    return false;
  }
  xMax = board.xMax;
  yMax = board.yMax;
  collector.SetBoardRange(xMax, yMax);
  const bool done = collector.Collect(touched);
  TQClose(o.board.Port());
  tqtool::DrainMessages();
  if (!done) tqtool::Failed("calibrate", "stopped before the fourth target was touched");
  return done;
}

// The name of tq pen's device for this board, as a udev match: without a
// board (--points), any board's.
std::string DeviceMatch(const CalibrateOptions& o) {
  if (!o.board.Given()) return std::string(tqpen::kPenDeviceName) + "*";
  return tqpen::DeviceNameFor(tqp::SerialLine::DevicePath(("COM" + std::to_string(o.board.port)).c_str()));
}

void ReportCalibration(const tqpen::Calibration& calibration, int32_t xMax, int32_t yMax,
                       const std::string& deviceMatch) {
  for (size_t i = 0; i < 4; ++i) {
    const tqpen::PlanePoint at = calibration.mapping.Apply(calibration.board[i]);
    std::printf("board %.1f %.1f -> pixel %.1f %.1f\n", calibration.board[i].x, calibration.board[i].y,
                at.x, at.y);
  }
  const auto matrix = tqpen::NearestAffineMatrix(calibration, xMax, yMax);
  std::printf("# libinput's own mapping instead (a tq pen device without --calibration):\n%s\n",
              tqpen::LibinputMatrixLine(matrix, deviceMatch).c_str());
}

// -1 to go on, else the exit status.
int Parse(int argc, char** argv, CalibrateOptions& o) {
  tqtool::CommandLine line("tq calibrate",
                           "tq calibrate (--port N | --device NAME | --points 'X,Y ...' --board WxH)\n"
                           "               --screen WxH --out FILE [--inset S] [--pod P] [--height H] [--no-*]",
                           kAbout, "Exit status: 0, 1 when the port fails, the touches look like a misclick or no\n"
                           "mapping exists, 2 for usage.\n");
  tqtool::AddBoardOptions(line, o.board, true, false);
  line.Text("--screen", o.screen, "WxH", "the screen in pixels");
  line.Text("--out", o.out, "FILE", "the calibration file to write");
  line.Number("--inset", o.inset, 0.0, 0.45, "S", "how far in from each corner the targets are, a share (default 0.1)");
  line.Text("--points", o.points, "'X,Y X,Y X,Y X,Y'",
            "the four board positions: top-left, top-right, bottom-right, bottom-left");
  line.Text("--board", o.boardSize, "WxH", "the board's range, with --points");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (o.screen.empty() || o.out.empty()) return line.Fail("give --screen WxH and --out FILE");
  for (const std::string& problem : {SizeProblem("--screen", o.screen), SizeProblem("--board", o.boardSize)}) {
    if (!problem.empty()) return line.Fail(problem);
  }
  if (o.points.empty() == !o.board.Given() || o.points.empty() == !o.boardSize.empty()) {
    return line.Fail("give --port N or --device NAME, or --points with --board WxH");
  }
  tqpen::Quad quad{};
  if (!o.points.empty() && !ParsePoints(o.points, quad)) return line.Fail("--points takes four X,Y positions");
  return -1;
}

}  // namespace

int RunCalibrateCommand(int argc, char** argv) {
  CalibrateOptions o;
  if (const int status = Parse(argc, argv, o); status >= 0) return status;
  int32_t width = 0, height = 0;
  tqpen::ParseSize(o.screen, width, height);
  const tqpen::Quad targets = tqpen::CalibrationTargets(width, height, o.inset);
  tqpen::Quad touched{};
  int32_t xMax = 0, yMax = 0;
  if (!o.points.empty()) {
    ParsePoints(o.points, touched);
    tqpen::ParseSize(o.boardSize, xMax, yMax);
  } else {
    tqtool::CatchStopSignals();
    if (!TouchTargets(o, targets, touched, xMax, yMax)) return 1;
  }
  tqpen::Calibration calibration;
  std::string error;
  if (!tqpen::MakeCalibration(width, height, touched, targets, calibration, error)) {
    return tqtool::Failed("calibrate", "no mapping from these four positions", error);
  }
  calibration.boardWidth = xMax;
  calibration.boardHeight = yMax;
  if (const std::string problem = tqpen::CalibrationProblem(calibration); !problem.empty()) {
    return tqtool::Failed("calibrate", "refused these four positions", problem);
  }
  const std::string text = tqpen::FormatCalibration(calibration);
  if (!tqtool::WriteOutput(o.out, [&text](std::ostream& out) { out << text; })) {
    return tqtool::Failed("calibrate", "cannot write '" + o.out + "'");
  }
  ReportCalibration(calibration, xMax, yMax, DeviceMatch(o));
  return 0;
}
