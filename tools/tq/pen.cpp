// tq pen: the board as a pen tablet on the Linux desktop, through uinput.
// tq calibrate: the four board positions of a screen's corners, and the
// perspective mapping they give.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "pen/Calibration.h"
#include "pen/PenDevice.h"
#include "pen/PenFrames.h"
#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "capture/CaptureFile.h"

namespace {

using tqpen::Calibration;
using tqpen::PenFrames;

constexpr int32_t kDefaultUnitsPerMm = 2;
constexpr unsigned kTickMs = 50;
constexpr unsigned kReopenMs = 3000;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool ParseSize(const std::string& text, int32_t& width, int32_t& height) {
  char extra = 0;
  return std::sscanf(text.c_str(), "%dx%d%c", &width, &height, &extra) == 2 && width > 0 && height > 0;
}

// "" or what is wrong with a WIDTHxHEIGHT option.
std::string SizeProblem(const char* option, const std::string& text) {
  int32_t w = 0, h = 0;
  if (text.empty() || ParseSize(text, w, h)) return {};
  return std::string(option) + " '" + text + "' is not WIDTHxHEIGHT";
}

// The settings shared by both commands: the board and how it is oriented.
struct BoardOptions {
  long port = 0;
  long pod = 0;
  long height = -1;  // -1: the largest height the probe reports
  std::string device;
  bool noValidate = false, noAntiStreak = false, noSmooth = false;
  bool Given() const { return port != 0 || !device.empty(); }
};

void AddBoardOptions(tqtool::CommandLine& line, BoardOptions& board) {
  line.Number("--port", board.port, 1, 8, "N", "the board's port, 1 to 8 (the device COM<N>)");
  line.Text("--device", board.device, "PATH",
            "the board's serial device (ttyUSB0 or a path), opened as port N or port 1");
  line.Number("--pod", board.pod, 0, 3, "P", "the pod location, 0 to 3");
  line.Number("--height", board.height, 0, 65535, "H", "the board height (default: the largest)");
  line.Flag("--no-validate", board.noValidate, "switch the validation stage off");
  line.Flag("--no-antistreak", board.noAntiStreak, "switch the anti-streak stage off");
  line.Flag("--no-smooth", board.noSmooth, "switch the smoothing stage off");
}

// --device names the device of port N, or of port 1. A name without a
// slash is one under /dev; a unit's instance is a path without its first
// slash (dev/serial/by-id/...).
void UseDevice(BoardOptions& board) {
  if (board.device.empty()) return;
  if (board.port == 0) board.port = 1;
  std::string path = board.device;
  if (path[0] != '/') path = (path.rfind("dev/", 0) == 0 ? "/" : "/dev/") + path;
  setenv(("TQ_COM" + std::to_string(board.port)).c_str(), path.c_str(), 1);
}

// The board's range in host units after the pod location: what the pen
// device reports when no calibration maps it onto a screen.
struct BoardRange {
  int32_t width = 0;
  int32_t height = 0;
};

BoardRange ApplyBoardOptions(const BoardOptions& board) {
  const auto port = static_cast<TQ_PORT>(board.port);
  unsigned width = 0, maxHeight = 0;
  TQGetBoardWidth(port, &width);
  TQGetMaxBoardHeight(port, &maxHeight);
  const unsigned height = board.height >= 0 ? static_cast<unsigned>(board.height) : maxHeight;
  TQSetPodLocation(port, static_cast<POD_LOCATION>(board.pod));
  TQSetBoardHeight(port, height);
  if (board.noValidate) TQSetValidateStatus(port, VALIDATION_OFF);
  if (board.noAntiStreak) TQSetAntiStreakStatus(port, ANTISTREAK_OFF);
  if (board.noSmooth) TQSetFilterStatus(port, FILTER_OFF);
  const auto w = static_cast<int32_t>(width), h = static_cast<int32_t>(height);
  return board.pod >= 2 ? BoardRange{h, w} : BoardRange{w, h};
}

// Boards of versions 2 and 3 have an eraser; its footprints come as pen-0 strokes.
bool EraserPossible(double version) { return version >= 2.0 && version < 4.0; }

double BoardVersion(TQ_PORT port) {
  char text[20] = {};
  TQGetBoardVersion(port, text);
  return std::strtod(text + 1, nullptr);
}

// ---- tq pen ----

struct PenOptions {
  BoardOptions board;
  std::string replay;
  std::string calibration;
  std::string screen;
  long unitsPerMm = kDefaultUnitsPerMm;
  bool dryRun = false, pointer = false, pressure = false, reopen = false;
  double seconds = 0;
};

const char kPenAbout[] =
    "Turns the board into a pen tablet that every application understands: a\n"
    "virtual input device through /dev/uinput (the 'input' group needs access;\n"
    "see the udev rule), picked up by libinput as a tablet. Runs until SIGINT or\n"
    "SIGTERM. A board that stops answering or a line error lifts the pen; the\n"
    "program says so on standard error and goes on (with --reopen it opens the\n"
    "port again every 3 s). --dry-run prints the device and its events in the\n"
    "evemu text format instead of making it.";

void AddPenOptions(tqtool::CommandLine& line, PenOptions& o) {
  AddBoardOptions(line, o.board);
  line.Text("--replay", o.replay, "FILE.raw", "play a raw capture through the pipeline instead of a board");
  line.Flag("--dry-run", o.dryRun, "print the device and events (evemu text), make no device");
  line.Flag("--pointer", o.pointer, "a tablet beside the screen (INPUT_PROP_POINTER), not on it");
  line.Flag("--pressure", o.pressure, "add ABS_PRESSURE, fixed at 512 of 1023 while touching");
  line.Number("--units-per-mm", o.unitsPerMm, 1, 1000, "U", "board units per millimetre (default 2)");
  line.Text("--calibration", o.calibration, "FILE", "map onto the screen with this file (tq calibrate)");
  line.Text("--screen", o.screen, "WxH", "the screen in pixels (default: the calibration's)");
  line.Flag("--reopen", o.reopen, "open the port again every 3 s after it failed or was lost");
  line.Number("--seconds", o.seconds, 0, 1e9, "S", "stop after S seconds (default: run until a signal)");
}

bool ReadCalibration(const std::string& path, Calibration& calibration) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  std::string error;
  if (!file || !tqpen::ParseCalibration(text.str(), calibration, error)) {
    std::fprintf(stderr, "tq pen: %s: %s\n", path.c_str(), error.empty() ? "cannot read" : error.c_str());
    return false;
  }
  return true;
}

class PenDaemon {
 public:
  explicit PenDaemon(const PenOptions& options) : m_options(options) {
    m_window.onMessage = [this](UINT message, WPARAM wParam, LPARAM lParam) {
      OnMessage(message, wParam, lParam);
    };
  }
  bool LoadCalibration() {
    if (m_options.calibration.empty()) return true;
    if (!ReadCalibration(m_options.calibration, m_calibration)) return false;
    m_calibrated = true;
    return true;
  }
  int RunReplay();
  int RunLive();

 private:
  bool MakeDevice(const BoardRange& range, bool eraserPossible);
  tqpen::TabletPoint Map(int32_t x, int32_t y) const;
  void OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Write(const tqpen::Frame& frame);
  enum class Opened { kYes, kPortFailed, kDeviceFailed };
  Opened OpenPort();
  void OnTick();
  static void Tick(HWND, UINT, UINT_PTR, DWORD);

  static inline PenDaemon* s_running = nullptr;
  PenOptions m_options;
  tqtool::PrintingWindow m_window{stderr, [](UINT) { return false; }};
  Calibration m_calibration;
  bool m_calibrated = false;
  tqpen::DeviceLayout m_spec;
  std::unique_ptr<tqpen::FrameSink> m_sink;
  std::unique_ptr<PenFrames> m_frames;
  bool m_portOpen = false;
  bool m_troubleSaid = false;
  bool m_writeFailed = false;
  int64_t m_startUs = 0;
  int64_t m_nextOpenUs = 0;
};

tqpen::TabletPoint PenDaemon::Map(int32_t x, int32_t y) const {
  if (!m_calibrated) {
    return {tqpen::ClampToRange(x, m_spec.xMax), tqpen::ClampToRange(y, m_spec.yMax)};
  }
  const tqpen::PlanePoint at = m_calibration.mapping.Apply({static_cast<double>(x), static_cast<double>(y)});
  // A --screen other than the calibration's scales the picture with it.
  const double sx = (m_spec.xMax + 1.0) / m_calibration.screenWidth;
  const double sy = (m_spec.yMax + 1.0) / m_calibration.screenHeight;
  return {tqpen::ClampToRange(at.x * sx, m_spec.xMax), tqpen::ClampToRange(at.y * sy, m_spec.yMax)};
}

bool PenDaemon::MakeDevice(const BoardRange& range, bool eraserPossible) {
  m_spec.pointer = m_options.pointer;
  m_spec.pressure = m_options.pressure;
  m_spec.xMax = range.width;
  m_spec.yMax = range.height;
  m_spec.resolution = static_cast<int32_t>(m_options.unitsPerMm);
  int32_t screenW = m_calibration.screenWidth, screenH = m_calibration.screenHeight;
  if (!m_options.screen.empty()) ParseSize(m_options.screen, screenW, screenH);
  if (m_calibrated) {
    // Screen pixels: the resolution is that of the picture on the board.
    m_spec.xMax = screenW - 1;
    m_spec.yMax = screenH - 1;
    const double scale = static_cast<double>(screenW) / m_calibration.screenWidth;
    const double perMm = static_cast<double>(m_options.unitsPerMm) * tqpen::PixelsPerBoardUnit(m_calibration) * scale;
    m_spec.resolution = std::max(1, tqpen::ClampToRange(perMm, 1000));
  }
  if (m_options.dryRun) {
    m_sink = std::make_unique<tqpen::EvemuSink>(stdout, m_spec);
  } else {
    std::string error;
    auto device = tqpen::UinputSink::Create(m_spec, error);
    if (!device) {
      std::fprintf(stderr, "tq pen: cannot make the pen device through /dev/uinput: %s\n"
                           "  (is the udev rule installed and are you in the 'input' group?)\n",
                   error.c_str());
      return false;
    }
    const std::string node = device->DeviceNode();
    std::fprintf(stderr, "tq pen: pen device %s\n", node.empty() ? "made (its node is not known)" : node.c_str());
    m_sink = std::move(device);
  }
  tqpen::FrameSettings settings;
  settings.pressure = m_options.pressure;
  settings.eraserPossible = eraserPossible;
  settings.map = [this](int32_t x, int32_t y) { return Map(x, y); };
  m_frames = std::make_unique<PenFrames>(settings, [this](const tqpen::Frame& f) { Write(f); });
  return true;
}

void PenDaemon::Write(const tqpen::Frame& frame) {
  if (m_sink->Write(frame, NowUs()) || m_writeFailed) return;
  m_writeFailed = true;
  std::fprintf(stderr, "tq pen: writing to the pen device failed\n");
}

void PenDaemon::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!m_frames) return;
  if (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP) {
    if (wParam == 0) return;
    m_troubleSaid = false;
    m_frames->OnMessage(message, *reinterpret_cast<const SPenPoint*>(wParam), lParam, NowUs());
    return;
  }
  if (message != TQ_MSG_BOARD_CHECK && message != TQ_MSG_COMM_ERROR) return;
  m_frames->Release();
  if (message == TQ_MSG_COMM_ERROR && m_options.reopen && m_portOpen) {
    m_portOpen = false;  // closed and opened again from the tick
    m_nextOpenUs = NowUs();
  }
  if (m_troubleSaid) return;
  m_troubleSaid = true;
  if (message == TQ_MSG_BOARD_CHECK) {
    std::fprintf(stderr, "tq pen: the board does not answer; pen lifted, still running\n");
  } else {
    std::fprintf(stderr, "tq pen: line error %llu; pen lifted, still running\n",
                 static_cast<unsigned long long>(wParam));
  }
}

int PenDaemon::RunReplay() {
  tq::SCaptureHeader header;
  if (std::ifstream file(m_options.replay, std::ios::binary); file) {
    uint8_t bytes[tq::kCaptureHeaderSize] = {};
    file.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    header = tq::DecodeCaptureHeader(bytes);
  }
  // A replay runs with a fresh port's settings (pod location 0): the range is
  // the board's width and the largest height its baseline allows.
  const double baseline = std::min<double>(header.receiverSpacing, 5000.0);
  const BoardRange range{static_cast<int32_t>(header.receiverSpacing) + 340,
                         tqpen::ClampToRange(std::floor(std::sqrt(30250000.0 - baseline * baseline)), 5500)};
  if (!MakeDevice(range, EraserPossible(header.boardVersion))) return 1;
  CFileDialog dialog(m_options.replay.c_str());
  try {
    TQReadFileData(m_window.Handle(), &dialog);
  } catch (const CFileException&) {
    std::fprintf(stderr, "tq pen: cannot open '%s'\n", m_options.replay.c_str());
    return 1;
  }
  tqtool::DrainMessages();
  m_frames->Release();
  return 0;
}

// The device is made at the first open, from what the board reports; a
// reopened board feeds the same device.
PenDaemon::Opened PenDaemon::OpenPort() {
  const auto port = static_cast<TQ_PORT>(m_options.board.port);
  const TQ_ERROR_CODE result = TQOpenPort(port, m_window.Handle());
  if (result != TQ_SUCCESS) {
    std::fprintf(stderr, "tq pen: port %ld: error %d %s\n", m_options.board.port, static_cast<int>(result),
                 tqtool::ErrorMeaning(result));
    return Opened::kPortFailed;
  }
  const BoardRange range = ApplyBoardOptions(m_options.board);
  m_portOpen = true;
  m_troubleSaid = false;
  if (m_sink) {
    std::fprintf(stderr, "tq pen: port %ld open again\n", m_options.board.port);
    return Opened::kYes;
  }
  return MakeDevice(range, EraserPossible(BoardVersion(port))) ? Opened::kYes : Opened::kDeviceFailed;
}

void PenDaemon::Tick(HWND, UINT, UINT_PTR, DWORD) {
  if (s_running != nullptr) s_running->OnTick();
}

void PenDaemon::OnTick() {
  const int64_t now = NowUs();
  if (g_stop || (m_options.seconds > 0 && static_cast<double>(now - m_startUs) >= m_options.seconds * 1e6)) {
    PostQuitMessage(0);
    return;
  }
  if (m_frames) m_frames->Tick(now);
  if (m_portOpen || !m_options.reopen || now < m_nextOpenUs) return;
  TQClose(static_cast<TQ_PORT>(m_options.board.port));
  m_nextOpenUs = now + kReopenMs * 1000;
  if (OpenPort() == Opened::kDeviceFailed) PostQuitMessage(1);
}

int PenDaemon::RunLive() {
  m_startUs = NowUs();
  const Opened first = OpenPort();
  if (first == Opened::kDeviceFailed || (first == Opened::kPortFailed && !m_options.reopen)) {
    TQClose(static_cast<TQ_PORT>(m_options.board.port));
    return 1;
  }
  if (first == Opened::kPortFailed) m_nextOpenUs = m_startUs + kReopenMs * 1000;
  s_running = this;
  const UINT_PTR tick = SetTimer(nullptr, 0, kTickMs, &PenDaemon::Tick);
  MSG msg{};
  while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  const int status = static_cast<int>(msg.wParam);
  KillTimer(nullptr, tick);
  if (m_frames) m_frames->Release();
  TQClose(static_cast<TQ_PORT>(m_options.board.port));
  tqtool::DrainMessages();
  s_running = nullptr;
  return status;
}

// ---- tq calibrate ----

struct CalibrateOptions {
  BoardOptions board;
  std::string screen, out, boardSize;
  double inset = 0.1;
  std::string points;
};

const char kCalibrateAbout[] =
    "Finds where the screen (or the projected picture) lies on the board: touch\n"
    "the four targets near its corners with the pen, in the order asked, and the\n"
    "four positions are written to OUT with the screen's size; tq pen\n"
    "--calibration OUT then maps the pen onto the screen by perspective. --points\n"
    "gives the four board positions instead of touching (with --board, the range\n"
    "tq probe reports as width and max-height). Also prints the nearest\n"
    "LIBINPUT_CALIBRATION_MATRIX udev line, for libinput's own mapping of a tq pen\n"
    "device without --calibration.";

void AddCalibrateOptions(tqtool::CommandLine& line, CalibrateOptions& o) {
  AddBoardOptions(line, o.board);
  line.Text("--screen", o.screen, "WxH", "the screen in pixels");
  line.Text("--out", o.out, "FILE", "the calibration file to write");
  line.Number("--inset", o.inset, 0.0, 0.45, "S", "how far in from each corner the targets are, a share (default 0.1)");
  line.Text("--points", o.points, "'X,Y X,Y X,Y X,Y'",
            "the four board positions: top-left, top-right, bottom-right, bottom-left");
  line.Text("--board", o.boardSize, "WxH", "the board's range, with --points");
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

// Asks for one target after the other and takes the middle of each touch.
class TargetCollector {
 public:
  explicit TargetCollector(const tqpen::Quad& targets) : m_targets(targets) {
    m_window.onMessage = [this](UINT message, WPARAM wParam, LPARAM) {
      if (wParam != 0) OnPen(message, *reinterpret_cast<const SPenPoint*>(wParam));
    };
  }
  HWND Handle() const { return m_window.Handle(); }
  bool Collect(tqpen::Quad& touched);

 private:
  void Prompt() const;
  void OnPen(UINT message, const SPenPoint& point);

  static constexpr const char* kCorners[4] = {"top-left", "top-right", "bottom-right", "bottom-left"};
  tqpen::Quad m_targets;
  tqpen::Quad m_touched{};
  size_t m_next = 0;
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
    if (++m_next < 4) Prompt();
  }
}

void StopOnSignal(HWND, UINT, UINT_PTR, DWORD) {
  if (g_stop) PostQuitMessage(1);
}

bool TargetCollector::Collect(tqpen::Quad& touched) {
  Prompt();
  const UINT_PTR tick = SetTimer(nullptr, 0, kTickMs, &StopOnSignal);
  MSG msg{};
  while (m_next < 4 && GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  KillTimer(nullptr, tick);
  touched = m_touched;
  return m_next == 4;
}

// Touches the targets on the board; false when the port or the person gave up.
bool TouchTargets(const CalibrateOptions& o, const tqpen::Quad& targets, tqpen::Quad& touched,
                  BoardRange& range) {
  TargetCollector collector(targets);
  const auto port = static_cast<TQ_PORT>(o.board.port);
  const TQ_ERROR_CODE result = TQOpenPort(port, collector.Handle());
  if (result != TQ_SUCCESS) {
    std::fprintf(stderr, "tq calibrate: port %ld: error %d %s\n", o.board.port, static_cast<int>(result),
                 tqtool::ErrorMeaning(result));
    return false;
  }
  range = ApplyBoardOptions(o.board);
  const bool done = collector.Collect(touched);
  TQClose(port);
  tqtool::DrainMessages();
  return done;
}

void ReportCalibration(const Calibration& calibration, const BoardRange& range) {
  for (size_t i = 0; i < 4; ++i) {
    const tqpen::PlanePoint at = calibration.mapping.Apply(calibration.board[i]);
    std::printf("board %.1f %.1f -> pixel %.1f %.1f\n", calibration.board[i].x, calibration.board[i].y,
                at.x, at.y);
  }
  const auto matrix = tqpen::NearestAffineMatrix(calibration, range.width, range.height);
  std::printf("# libinput's own mapping instead (a tq pen device without --calibration):\n%s\n",
              tqpen::LibinputMatrixLine(matrix, tqpen::DeviceLayout().name).c_str());
}

// -1 to go on, else the exit status.
int ParseCalibrate(int argc, char** argv, CalibrateOptions& o) {
  tqtool::CommandLine line("tq calibrate",
                           "tq calibrate (--port N | --device PATH | --points 'X,Y ...' --board WxH)\n"
                           "               --screen WxH --out FILE [--inset S] [--pod P] [--height H] [--no-*]",
                           kCalibrateAbout, "Exit status: 0, 1 when the port fails or no mapping exists, 2 for usage.\n");
  AddCalibrateOptions(line, o);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (o.screen.empty() || o.out.empty()) return line.Fail("give --screen WxH and --out FILE");
  for (const std::string& problem : {SizeProblem("--screen", o.screen), SizeProblem("--board", o.boardSize)}) {
    if (!problem.empty()) return line.Fail(problem);
  }
  if (o.points.empty() == !o.board.Given() || o.points.empty() == !o.boardSize.empty()) {
    return line.Fail("give --port N or --device PATH, or --points with --board WxH");
  }
  tqpen::Quad quad{};
  if (!o.points.empty() && !ParsePoints(o.points, quad)) return line.Fail("--points takes four X,Y positions");
  UseDevice(o.board);
  return -1;
}

}  // namespace

int RunCalibrateCommand(int argc, char** argv) {
  CalibrateOptions o;
  if (const int status = ParseCalibrate(argc, argv, o); status >= 0) return status;
  int32_t width = 0, height = 0;
  ParseSize(o.screen, width, height);
  const tqpen::Quad targets = tqpen::CalibrationTargets(width, height, o.inset);
  tqpen::Quad touched{};
  BoardRange range;
  if (!o.points.empty()) {
    ParsePoints(o.points, touched);
    ParseSize(o.boardSize, range.width, range.height);
  } else {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    if (!TouchTargets(o, targets, touched, range)) return 1;
  }
  Calibration calibration;
  std::string error;
  if (!tqpen::MakeCalibration(width, height, touched, targets, calibration, error)) {
    std::fprintf(stderr, "tq calibrate: %s\n", error.c_str());
    return 1;
  }
  std::ofstream file(o.out);
  file << tqpen::FormatCalibration(calibration);
  if (!file.flush()) {
    std::fprintf(stderr, "tq calibrate: cannot write %s\n", o.out.c_str());
    return 1;
  }
  ReportCalibration(calibration, range);
  return 0;
}

namespace {

// -1 to go on, else the exit status.
int ParsePen(int argc, char** argv, PenOptions& o) {
  tqtool::CommandLine line("tq pen",
                           "tq pen (--port N | --device PATH | --replay FILE.raw) [--dry-run] [--reopen]\n"
                           "               [--calibration FILE [--screen WxH]] [--pointer] [--pressure]\n"
                           "               [--units-per-mm U] [--pod P] [--height H] [--no-*] [--seconds S]",
                           kPenAbout, "Exit status: 0, 1 when the port or the device fails, 2 for usage.\n");
  AddPenOptions(line, o);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (o.board.Given() == !o.replay.empty()) return line.Fail("give --port N, --device PATH or --replay FILE.raw");
  if (const std::string problem = SizeProblem("--screen", o.screen); !problem.empty()) return line.Fail(problem);
  if (!o.screen.empty() && o.calibration.empty()) return line.Fail("--screen maps through --calibration FILE");
  UseDevice(o.board);
  return -1;
}

}  // namespace

int RunPenCommand(int argc, char** argv) {
  PenOptions options;
  if (const int status = ParsePen(argc, argv, options); status >= 0) return status;
  PenDaemon daemon(options);
  if (!daemon.LoadCalibration()) return 1;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  return options.replay.empty() ? daemon.RunLive() : daemon.RunReplay();
}
