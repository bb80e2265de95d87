// tq pen: the board as a pen tablet on the Linux desktop, through uinput.
// tq calibrate: the four board positions of a screen's corners, and the
// perspective mapping they give.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Calibration.h"
#include "PenDevice.h"
#include "PenFrames.h"
#include "TqCommands.h"
#include "TqWindow.h"
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

std::string CheckSize(const std::string& text) {
  int32_t w = 0, h = 0;
  return ParseSize(text, w, h) ? std::string() : "'" + text + "' is not WIDTHxHEIGHT";
}

// The settings shared by both commands: the board and how it is oriented.
struct BoardOptions {
  int port = 0;
  int pod = 0;
  int height = -1;  // -1: the largest height the probe reports
  std::string serial;
  bool noValidate = false, noAntiStreak = false, noSmooth = false;
};

void AddBoardOptions(CLI::App& app, BoardOptions& board) {
  CLI::Option* port =
      app.add_option("--port", board.port, "the board's port, 1 to 8 (COMn; TQ_COMn names its device)")
          ->check(CLI::Range(1, 8));
  app.add_option("--serial", board.serial,
                 "a port number 1 to 8, or the board's device (ttyUSB0 or /dev/ttyUSB0), opened as port 1")
      ->excludes(port);
  app.add_option("--pod", board.pod, "pod location 0 to 3: where the receivers sit")->check(CLI::Range(0, 3));
  app.add_option("--height", board.height, "board height in board units (default: the largest)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--no-validate", board.noValidate, "switch the validation stage off");
  app.add_flag("--no-antistreak", board.noAntiStreak, "switch the anti-streak stage off");
  app.add_flag("--no-smooth", board.noSmooth, "switch the smoothing stage off");
}

// --serial as a port: a number is one, a device is opened as port 1.
void ResolveSerial(BoardOptions& board) {
  if (board.serial.empty()) return;
  if (board.serial.size() == 1 && board.serial[0] >= '1' && board.serial[0] <= '8') {
    board.port = board.serial[0] - '0';
    return;
  }
  board.port = 1;
  // A unit's instance names a path without its leading slash (dev/serial/by-id/...).
  std::string path = board.serial;
  if (path[0] != '/') path = (path.rfind("dev/", 0) == 0 ? "/" : "/dev/") + path;
  setenv("TQ_COM1", path.c_str(), 1);
}

// -1 to go on, else the exit status: 0 after --help, 2 for usage.
int Parse(CLI::App& app, BoardOptions& board, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : 2;
  }
  ResolveSerial(board);
  return -1;
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
  int32_t unitsPerMm = kDefaultUnitsPerMm;
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

void AddPenOptions(CLI::App& app, PenOptions& o) {
  AddBoardOptions(app, o.board);
  app.add_option("--replay", o.replay, "play a raw capture through the pipeline instead of a board")
      ->check(CLI::ExistingFile);
  app.add_flag("--dry-run", o.dryRun, "print the device and events (evemu text), make no device");
  app.add_flag("--pointer", o.pointer, "a tablet beside the screen (INPUT_PROP_POINTER), not on it");
  app.add_flag("--pressure", o.pressure, "add ABS_PRESSURE, fixed at 512 of 1023 while touching");
  app.add_option("--units-per-mm", o.unitsPerMm, "board units per millimetre (default 2)")
      ->check(CLI::Range(1, 1000));
  app.add_option("--calibration", o.calibration, "map onto the screen with this file (tq calibrate)")
      ->check(CLI::ExistingFile);
  app.add_option("--screen", o.screen, "the screen WxH in pixels (default: the calibration's)")
      ->check(CheckSize);
  app.add_flag("--reopen", o.reopen, "open the port again every 3 s after it failed or was lost");
  app.add_option("--seconds", o.seconds, "stop after S seconds (default: run until a signal)")
      ->check(CLI::NonNegativeNumber);
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
  tqpen::DeviceSpec m_spec;
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
  m_spec.resolution = m_options.unitsPerMm;
  int32_t screenW = m_calibration.screenWidth, screenH = m_calibration.screenHeight;
  if (!m_options.screen.empty()) ParseSize(m_options.screen, screenW, screenH);
  if (m_calibrated) {
    // Screen pixels: the resolution is that of the picture on the board.
    m_spec.xMax = screenW - 1;
    m_spec.yMax = screenH - 1;
    const double scale = static_cast<double>(screenW) / m_calibration.screenWidth;
    const double perMm = m_options.unitsPerMm * tqpen::PixelsPerBoardUnit(m_calibration) * scale;
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
    std::fprintf(stderr, "tq pen: port %d: error %d %s\n", m_options.board.port, static_cast<int>(result),
                 tqtool::ErrorMeaning(result));
    return Opened::kPortFailed;
  }
  const BoardRange range = ApplyBoardOptions(m_options.board);
  m_portOpen = true;
  m_troubleSaid = false;
  if (m_sink) {
    std::fprintf(stderr, "tq pen: port %d open again\n", m_options.board.port);
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
  std::vector<std::string> points;
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

void AddCalibrateOptions(CLI::App& app, CalibrateOptions& o) {
  AddBoardOptions(app, o.board);
  app.add_option("--screen", o.screen, "the screen WxH in pixels")->required()->check(CheckSize);
  app.add_option("--out", o.out, "the calibration file to write")->required();
  app.add_option("--inset", o.inset, "how far in from each corner the targets are, a share (default 0.1)")
      ->check(CLI::Range(0.0, 0.45));
  app.add_option("--points", o.points, "four board positions X,Y: top-left, top-right, bottom-right, bottom-left")
      ->expected(4);
  app.add_option("--board", o.boardSize, "the board's range WxH, with --points")->check(CheckSize);
}

bool ParsePoints(const std::vector<std::string>& texts, tqpen::Quad& quad) {
  for (size_t i = 0; i < 4; ++i) {
    char extra = 0;
    if (std::sscanf(texts[i].c_str(), "%lf,%lf%c", &quad[i].x, &quad[i].y, &extra) != 2) return false;
  }
  return true;
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
    std::fprintf(stderr, "tq calibrate: port %d: error %d %s\n", o.board.port, static_cast<int>(result),
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
              tqpen::LibinputMatrixLine(matrix, tqpen::DeviceSpec().name).c_str());
}

}  // namespace

int RunCalibrateCommand(int argc, char** argv) {
  CLI::App app{kCalibrateAbout, "tq calibrate"};
  CalibrateOptions o;
  AddCalibrateOptions(app, o);
  if (const int code = Parse(app, o.board, argc, argv); code >= 0) return code;
  if (o.points.empty() == (o.board.port == 0) || o.points.empty() == !o.boardSize.empty()) {
    std::fprintf(stderr, "tq calibrate: give either --port N or --points with --board WxH\n");
    return 2;
  }
  int32_t width = 0, height = 0;
  ParseSize(o.screen, width, height);
  const tqpen::Quad targets = tqpen::CalibrationTargets(width, height, o.inset);
  tqpen::Quad touched{};
  BoardRange range;
  if (!o.points.empty()) {
    if (!ParsePoints(o.points, touched)) {
      std::fprintf(stderr, "tq calibrate: --points takes four X,Y positions\n");
      return 2;
    }
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

int RunPenCommand(int argc, char** argv) {
  CLI::App app{kPenAbout, "tq pen"};
  PenOptions options;
  AddPenOptions(app, options);
  if (const int code = Parse(app, options.board, argc, argv); code >= 0) return code;
  if ((options.board.port == 0) == options.replay.empty()) {
    std::fprintf(stderr, "tq pen: give either --port N or --replay FILE\n%s", app.help().c_str());
    return 2;
  }
  if (!options.screen.empty() && options.calibration.empty()) {
    std::fprintf(stderr, "tq pen: --screen maps through a calibration; give --calibration FILE\n");
    return 2;
  }
  PenDaemon daemon(options);
  if (!daemon.LoadCalibration()) return 1;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  return options.replay.empty() ? daemon.RunLive() : daemon.RunReplay();
}
