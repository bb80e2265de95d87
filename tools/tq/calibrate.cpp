// tq calibrate: the four board positions of a screen's corners, and the
// perspective mapping they give.
//
// A person at a projected board cannot read the terminal, and the picture
// on the board shows no marks of its own: --show serves a page to put full
// screen on the projector, which draws the target asked for where it is,
// follows the pen, and takes the person's Back, Redo and Done. The prompts
// on the terminal stay, for a person without a display.
#include <arpa/inet.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "common/Board.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "common/OutputFile.h"
#include "common/Report.h"
#include "pen/Calibration.h"
#include "pen/CalibrationSession.h"
#include "pen/PenDevice.h"
#include "platform/Platform.h"
#include "serve/CalibratePage.h"
#include "serve/ServeHttp.h"
#include "serve/StatePage.h"
#include "tq/Commands.h"

namespace {

struct CalibrateOptions {
  tqtool::BoardOptions board;
  std::string screen, out, boardSize;
  double inset = 0.1;
  std::string points;
  bool show = false, open = false;
  std::string listen = "127.0.0.1:0";
  double seconds = 0;
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
    "with --points they end the command with status 1.\n"
    "--show also serves a page for the board's screen on the loopback (its URL is\n"
    "printed; --open runs xdg-open on it): put it full screen on the projector and\n"
    "it draws the target asked for where it is, follows the pen, says why a touch\n"
    "was refused and shows the result, with Back and Redo to touch a target again\n"
    "and Done to end. The file is written once all four are in and again after a\n"
    "target is touched anew; the command runs until Done, --seconds or Ctrl-C,\n"
    "which keeps a file already written.";

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

// The name of tq pen's device for this board, as a udev match: without a
// board (--points), any board's.
std::string DeviceMatch(const CalibrateOptions& o) {
  if (!o.board.Given()) return std::string(tqpen::kPenDeviceName) + "*";
  return tqpen::DeviceNameFor(
      tqp::SerialLine::DevicePath(("COM" + std::to_string(o.board.port)).c_str()));
}

void ReportCalibration(const tqpen::Calibration& calibration, int32_t xMax, int32_t yMax,
                       const std::string& deviceMatch) {
  for (size_t i = 0; i < 4; ++i) {
    const tqpen::PlanePoint at = calibration.mapping.Apply(calibration.board[i]);
    std::printf("board %.1f %.1f -> pixel %.1f %.1f\n", calibration.board[i].x,
                calibration.board[i].y, at.x, at.y);
  }
  const auto matrix = tqpen::NearestAffineMatrix(calibration, xMax, yMax);
  std::printf("# libinput's own mapping instead (a tq pen device without --calibration):\n%s\n",
              tqpen::LibinputMatrixLine(matrix, deviceMatch).c_str());
}

// Asks for one target after the other and takes the middle of each touch
// (tqpen::CalibrationSession judges it); writes the calibration once all
// four are in. With a page (--show) it keeps the page's state up to date,
// takes the page's requests and writes the file again after a target was
// touched anew; without one it is finished with the first calibration.
//
// The board's messages arrive on this thread, the page's requests on the
// web server's: both go through m_lock.
class Calibrator {
 public:
  Calibrator(const CalibrateOptions& o, int32_t width, int32_t height)
      : m_options(o), m_session(width, height, o.inset) {
    m_window.onMessage = [this](UINT message, WPARAM wParam, LPARAM) {
      if (wParam != 0) OnPen(message, *reinterpret_cast<const SPenPoint*>(wParam));
    };
  }
  HWND Handle() const { return m_window.Handle(); }
  const tqpen::Quad& Targets() const { return m_session.Targets(); }
  // The board's range, known once it is open: how far apart touches must be.
  void SetBoard(int32_t xMax, int32_t yMax, const std::string& deviceMatch);
  void SetPage(tqtool::StatePage* page);
  // Asks for the first target.
  void Start();
  // Whether the command is over: a file could not be written, Done came
  // from the page, or (without a page) the calibration is written.
  bool Over() const { return m_failed || m_finished || (m_page == nullptr && m_saved); }
  // The exit status once the loop ended.
  int Finish();
  // A request from the page: "redo" with the target (1 to 4), "back", "done".
  tqtool::StatePage::Reply Act(const std::string& action, const std::string& argument);

 private:
  void OnPen(UINT message, const SPenPoint& point);
  void Prompt() const;
  void Save();
  void Publish() const;
  std::string StateJson() const;

  const CalibrateOptions& m_options;
  mutable std::mutex m_lock;
  tqpen::CalibrationSession m_session;
  int32_t m_xMax = 0, m_yMax = 0;
  std::string m_deviceMatch;
  tqtool::StatePage* m_page = nullptr;
  tqpen::Quad m_mapped{};  // the touches through the calibration written
  std::atomic<bool> m_saved{false}, m_failed{false}, m_finished{false};
  tqtool::PrintingWindow m_window{stderr, [](UINT) { return false; }};
};

void Calibrator::SetBoard(int32_t xMax, int32_t yMax, const std::string& deviceMatch) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_xMax = xMax;
  m_yMax = yMax;
  m_deviceMatch = deviceMatch;
  m_session.SetBoardRange(xMax, yMax);
}

void Calibrator::SetPage(tqtool::StatePage* page) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_page = page;
  Publish();
}

void Calibrator::Start() {
  std::lock_guard<std::mutex> guard(m_lock);
  Prompt();
  Publish();
}

void Calibrator::Prompt() const {
  const size_t next = m_session.Asked();
  if (next >= 4) return;
  std::printf(
      "target %zu of 4: touch the %s mark, at pixel (%.0f, %.0f) of the screen, and lift the pen\n",
      next + 1, tqpen::CalibrationSession::CornerName(next), Targets()[next].x, Targets()[next].y);
  std::fflush(stdout);
}

void Calibrator::OnPen(UINT message, const SPenPoint& point) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_failed || m_finished) return;
  if (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE) {
    m_session.PenAt({static_cast<double>(point.x), static_cast<double>(point.y)});
    Publish();
    return;
  }
  if (message != TQ_MSG_PEN_UP) return;
  const std::optional<tqpen::CalibrationSession::Outcome> outcome = m_session.Lift();
  if (outcome) {
    std::printf("  board position %.1f %.1f\n", m_session.LastTouch().x, m_session.LastTouch().y);
    if (*outcome != tqpen::CalibrationSession::Outcome::Accepted) {
      std::printf("  refused: %s\n", m_session.Refusal().c_str());
    }
    if (*outcome == tqpen::CalibrationSession::Outcome::StartedOver) {
      std::printf("  starting over from the first target\n");
    }
    if (m_session.Complete()) {
      Save();
    } else {
      Prompt();
    }
  }
  Publish();
}

// The calibration of the four touches, into the file and onto the terminal.
void Calibrator::Save() {
  const int32_t width = m_session.Width(), height = m_session.Height();
  tqpen::Calibration calibration;
  std::string error;
  if (!tqpen::MakeCalibration(width, height, m_session.Touches(), Targets(), calibration, error)) {
    tqtool::Failed("calibrate", "no mapping from these four positions", error);
    m_failed = true;
    return;
  }
  calibration.boardWidth = m_xMax;
  calibration.boardHeight = m_yMax;
  if (const std::string problem = tqpen::CalibrationProblem(calibration); !problem.empty()) {
    tqtool::Failed("calibrate", "refused these four positions", problem);
    m_failed = true;
    return;
  }
  const std::string text = tqpen::FormatCalibration(calibration);
  if (!tqtool::WriteOutput(m_options.out, [&text](std::ostream& out) { out << text; })) {
    tqtool::Failed("calibrate", "cannot write '" + m_options.out + "'");
    m_failed = true;
    return;
  }
  for (size_t i = 0; i < 4; ++i) m_mapped[i] = calibration.mapping.Apply(calibration.board[i]);
  m_saved = true;
  ReportCalibration(calibration, m_xMax, m_yMax, m_deviceMatch);
  if (m_page != nullptr) {
    std::printf("saved to %s: redo a target from the page, or end with Done there or Ctrl-C\n",
                m_options.out.c_str());
  }
  std::fflush(stdout);
}

tqtool::StatePage::Reply Calibrator::Act(const std::string& action, const std::string& argument) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_failed || m_finished) return {409, "tq calibrate is ending\n"};
  if (action == "redo" || action == "back") {
    const size_t index = argument.size() == 1 && argument[0] >= '1' && argument[0] <= '4'
                             ? static_cast<size_t>(argument[0] - '1')
                             : 4;
    if (action == "redo" && index == 4) return {404, "redo takes a target from 1 to 4\n"};
    if (action == "redo" ? !m_session.Redo(index) : !m_session.Back()) {
      return {409, action == "redo" ? "that target is not touched yet\n"
                                    : "no touched target to go back to\n"};
    }
    std::printf("  the %s target taken back from the page\n",
                tqpen::CalibrationSession::CornerName(m_session.Asked()));
    Prompt();
    Publish();
    return {200, "asking for the " +
                     std::string(tqpen::CalibrationSession::CornerName(m_session.Asked())) +
                     " target again\n"};
  }
  if (action == "done") {
    if (!m_saved || !m_session.Complete()) return {409, "not all four targets are in yet\n"};
    m_finished = true;
    Publish();
    return {200, "done: the calibration is in " + m_options.out + "\n"};
  }
  return {404, "404 no such request\n"};
}

int Calibrator::Finish() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_failed) return tqtool::kExitFailed;
  if (!m_saved) return tqtool::Failed("calibrate", "stopped before the fourth target was touched");
  if (!m_session.Complete()) {
    tqtool::Say("calibrate",
                "stopped before the " +
                    std::string(tqpen::CalibrationSession::CornerName(m_session.Asked())) +
                    " target was touched again: " + m_options.out +
                    " keeps the calibration made before");
  }
  return tqtool::kExitDone;
}

void Calibrator::Publish() const {
  if (m_page != nullptr) m_page->SetState(StateJson());
}

std::string PointJson(const tqpen::PlanePoint& point) {
  char text[64];
  std::snprintf(text, sizeof text, "[%.1f,%.1f]", point.x, point.y);
  return text;
}

// What the page draws (tools/serve/calibrate/calibrate.js reads it):
//   screen [W,H], targets [[X,Y] x4] in screen pixels, corners (their names),
//   asked (0..3, 4 once all are in), touched [bool x4],
//   pen {down, trace [[X,Y]...]}: the pen's stroke on the screen, as well as
//     the touches so far tell (exactly once all four are in),
//   refused: the last touch's reason, startedOver,
//   saved: the file once written, mapped: the touches through it (or null),
//   finished: Done was pressed.
std::string Calibrator::StateJson() const {
  std::string json = "{\"screen\":[" + std::to_string(m_session.Width()) + "," +
                     std::to_string(m_session.Height()) + "],\"targets\":[";
  for (size_t i = 0; i < 4; ++i) json += (i ? "," : "") + PointJson(Targets()[i]);
  json += "],\"corners\":[";
  for (size_t i = 0; i < 4; ++i) {
    json += (i ? ",\"" : "\"") + std::string(tqpen::CalibrationSession::CornerName(i)) + "\"";
  }
  json += "],\"asked\":" + std::to_string(m_session.Asked()) + ",\"touched\":[";
  for (size_t i = 0; i < 4; ++i) {
    json += (i ? "," : "") + std::string(m_session.Touched(i) ? "true" : "false");
  }
  json += std::string("],\"pen\":{\"down\":") + (m_session.PenDown() ? "true" : "false") +
          ",\"trace\":[";
  bool first = true;
  for (const tqpen::PlanePoint& point : m_session.Trace()) {
    json += (first ? "" : ",") + PointJson(m_session.Approximate(point));
    first = false;
  }
  json += "]},\"refused\":" + tqtool::JsonQuoted(m_session.Refusal()) +
          ",\"startedOver\":" + (m_session.StartedOver() ? "true" : "false") +
          ",\"saved\":" + tqtool::JsonQuoted(m_saved ? m_options.out : "") + ",\"mapped\":";
  if (m_saved && m_session.Complete()) {
    json += "[";
    for (size_t i = 0; i < 4; ++i) json += (i ? "," : "") + PointJson(m_mapped[i]);
    json += "]";
  } else {
    json += "null";
  }
  return json + ",\"finished\":" + (m_finished ? "true" : "false") + "}";
}

bool LoopbackAddress(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// -1 to go on, else the exit status.
int Parse(int argc, char** argv, CalibrateOptions& o) {
  tqtool::CommandLine line(
      "tq calibrate",
      "tq calibrate (--port N | --device NAME | --points 'X,Y ...' --board WxH)\n"
      "               --screen WxH --out FILE [--inset S] [--pod P] [--height H] [--no-*]\n"
      "               [--show [--listen ADDR:PORT] [--open]] [--seconds S]",
      kAbout,
      "Exit status: 0 once the file is written, 1 when the port fails, the touches\n"
      "look like a misclick, no mapping exists or the command is stopped before the\n"
      "file is written, 2 for usage.\n");
  tqtool::AddBoardOptions(line, o.board, true, false);
  line.Text("--screen", o.screen, "WxH", "the screen in pixels");
  line.Text("--out", o.out, "FILE", "the calibration file to write");
  line.Number("--inset", o.inset, 0.0, 0.45, "S", "how far in from each corner the targets are, a share (default 0.1)");
  line.Text("--points", o.points, "'X,Y X,Y X,Y X,Y'",
            "the four board positions: top-left, top-right, bottom-right, bottom-left");
  line.Text("--board", o.boardSize, "WxH", "the board's range, with --points");
  line.Flag("--show", o.show, "also serve the target page on the loopback (its URL is printed)");
  line.Text("--listen", o.listen, "ADDR:PORT",
            "with --show, where to serve the page: a loopback address (default 127.0.0.1:0, any "
            "free port)");
  line.Flag("--open", o.open, "with --show, open the page with xdg-open");
  line.Number("--seconds", o.seconds, 0.0, 1e9, "S",
              "stop after S seconds (default: until done or a signal)");
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
  if (!o.points.empty() && (o.show || line.Given("--seconds"))) {
    return line.Fail("--show and --seconds go with touches on a board, not --points");
  }
  if (!o.show && (line.Given("--listen") || o.open)) {
    return line.Fail("--listen and --open go with --show");
  }
  tqtool::ListenAddress address;
  if (!tqtool::ParseListenAddress(o.listen, address)) {
    return line.Fail("--listen wants ADDR:PORT, [IPV6]:PORT or :PORT, not '" + o.listen + "'");
  }
  if (!LoopbackAddress(address.host)) {
    return line.Fail(
        "--listen takes a loopback address (127.0.0.1, [::1]): the page can change the "
        "calibration");
  }
  return -1;
}

// xdg-open for the page, when there is a display to open it on; its words
// and the browser's go nowhere, its exit status is looked at in Reap.
class Opener {
 public:
  void Open(const std::string& url) {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    m_url = url;
    if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) {
      tqtool::Say("calibrate", "no display here (DISPLAY and WAYLAND_DISPLAY are not set): open " +
                                   url + " on the board's screen yourself");
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* const argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
    const int error = posix_spawnp(&m_pid, "xdg-open", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      m_pid = -1;
      tqtool::Say("calibrate", std::string("cannot run xdg-open (") + std::strerror(error) +
                                   "): open " + url + " on the board's screen yourself");
    }
  }
  // Called now and then: says so when xdg-open gave up.
  void Reap() {
    int status = 0;
    if (m_pid <= 0 || waitpid(m_pid, &status, WNOHANG) != m_pid) return;
    m_pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      tqtool::Say("calibrate", "xdg-open could not open the page: open " + m_url +
                                   " on the board's screen yourself");
    }
  }

 private:
  pid_t m_pid = -1;
  std::string m_url;
};

// Touches the targets on the board, with the page when --show asks for it.
int TouchTargets(const CalibrateOptions& o, int32_t width, int32_t height) {
  Calibrator calibrator(o, width, height);
  std::unique_ptr<tqtool::StatePage> page;
  std::unique_ptr<tqtool::ServeHttp> http;
  tqtool::ListenAddress address;
  if (o.show) {
    page = std::make_unique<tqtool::StatePage>(
        tqtool::kCalibratePage, tqtool::kCalibratePageFiles,
        [&calibrator](const std::string& action, const std::string& argument) {
          return calibrator.Act(action, argument);
        });
    tqtool::ServeHttpLimits limits;
    limits.maxViewers = 16;
    limits.spareConnections = 16;
    limits.renders = 0;
    http = std::make_unique<tqtool::ServeHttp>(*page, limits);
    std::string error;
    tqtool::ParseListenAddress(o.listen, address);
    if (!http->Bind(address, error)) return tqtool::Failed("calibrate", error);
  }
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE result = tqtool::Open(o.board, calibrator.Handle(), board);
  if (result != TQ_SUCCESS) {
    tqtool::DrainMessages();
    return tqtool::Failed("calibrate", tqtool::OpenFailure(o.board.Port(), result));
  }
  calibrator.SetBoard(board.xMax, board.yMax, DeviceMatch(o));
  Opener opener;
  if (http) {
    calibrator.SetPage(page.get());
    if (!http->Start()) {
      TQClose(o.board.Port());
      tqtool::DrainMessages();
      return tqtool::Failed("calibrate", "the web server did not start");
    }
    std::signal(SIGPIPE, SIG_IGN);  // a page gone mid-write is the write's failure
    const std::string url = tqtool::ListenUrl(address, http->Port());
    std::printf(
        "open %s full screen on the board's screen: it shows each target where it is to be "
        "touched\n",
        url.c_str());
    std::fflush(stdout);
    if (o.open) opener.Open(url);
  }
  calibrator.Start();
  tqtool::LoopSettings loop;
  loop.seconds = o.seconds;
  loop.done = [&calibrator] { return calibrator.Over(); };
  loop.tick = [&opener](int64_t) { opener.Reap(); };
  tqtool::RunMessageLoop(loop);
  if (http) http->Stop();
  TQClose(o.board.Port());
  tqtool::DrainMessages();
  opener.Reap();
  return calibrator.Finish();
}

}  // namespace

int RunCalibrateCommand(int argc, char** argv) {
  CalibrateOptions o;
  if (const int status = Parse(argc, argv, o); status >= 0) return status;
  int32_t width = 0, height = 0;
  tqpen::ParseSize(o.screen, width, height);
  // Before anyone touches four targets for a file that cannot be written.
  if (const std::string problem = tqtool::OutputProblem(o.out); !problem.empty()) {
    return tqtool::Failed("calibrate", problem);
  }
  if (o.points.empty()) {
    tqtool::CatchStopSignals();
    return TouchTargets(o, width, height);
  }
  const tqpen::Quad targets = tqpen::CalibrationTargets(width, height, o.inset);
  tqpen::Quad touched{};
  int32_t xMax = 0, yMax = 0;
  ParsePoints(o.points, touched);
  tqpen::ParseSize(o.boardSize, xMax, yMax);
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
