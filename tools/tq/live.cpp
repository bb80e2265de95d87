// tq live: open a board and print what its window receives.
#include <csignal>
#include <cstdio>
#include <string>

#include <sys/stat.h>

#include "export/InkDocument.h"
#include "export/CairoWriter.h"
#include "ink/StrokeModel.h"
#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/OutputFile.h"
#include "common/HostWindow.h"

namespace {

const char kAbout[] =
    "Opens the board on port N (or the device PATH), runs a message loop and\n"
    "prints every message its window receives, one a line, as they arrive:\n"
    "  down X Y CODE LPARAM | move X Y CODE LPARAM | up X Y CODE LPARAM\n"
    "  board WPARAM LPARAM | comm WPARAM | check WPARAM LPARAM | ffff WPARAM LPARAM\n"
    "Closes the port after S seconds (default: until interrupted), on SIGINT,\n"
    "SIGTERM or SIGHUP, or when the board's line fails (line error 8: the board\n"
    "was unplugged or switched off). --pod, --height and the --no-* switches\n"
    "apply the matching settings right after the open. --svg draws the strokes\n"
    "the window received, as tq render draws them, into OUT.svg ('-': standard\n"
    "output) when the port closes (with --events too, or alone); OUT.svg is\n"
    "checked before the board is opened and replaced only once the picture is\n"
    "complete. --record saves the session's raw capture as FILE.raw, for tq\n"
    "replay, render and export.\n";

const char kFooter[] =
    "Exit status: 0, 1 when the open fails, the line fails or the picture or the\n"
    "recording cannot be written, 2 for usage.\n";

// The comm code of a line that failed under the reader.
constexpr WPARAM kLineFailed = 8;

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

struct Loop {
  static inline unsigned deadline = 0;  // ms since start, 0: none
  static inline unsigned start = 0;
  static inline bool lineFailed = false;
};

void OnTick(HWND, UINT, UINT_PTR, DWORD now) {
  if (g_stop || (Loop::deadline != 0 && now - Loop::start >= Loop::deadline)) PostQuitMessage(0);
}

bool IsRawName(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".raw") == 0;
}

// The library says nothing when it cannot create the recording; the tool does.
bool HoldsCaptureHeader(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_size >= 20;
}

struct LiveOptions {
  long port = 0, seconds = 0, pod = -1, height = -1;
  std::string device, svg, record;
  bool events = false, noValidate = false, noAntiStreak = false, noSmooth = false;
};

int ParseLive(int argc, char** argv, LiveOptions& o) {
  tqtool::CommandLine line("tq live",
                           "tq live (--port N | --device PATH) (--events | --svg OUT.svg)\n"
                           "               [--seconds S] [--pod P] [--height H]\n"
                           "               [--no-validate] [--no-antistreak] [--no-smooth]\n"
                           "               [--record FILE.raw]",
                           kAbout, kFooter);
  line.Board(o.port, o.device);
  line.Flag("--events", o.events, "print every message");
  line.Text("--svg", o.svg, "OUT.svg", "draw the strokes into OUT.svg when the port closes");
  line.Number("--seconds", o.seconds, 0, 2000000, "S", "close the port after S seconds");
  line.Number("--pod", o.pod, 0, 3, "P", "the pod location, 0 to 3");
  line.Number("--height", o.height, 0, 65535, "H", "the board height, in board units");
  line.Flag("--no-validate", o.noValidate, "switch the validation stage off");
  line.Flag("--no-antistreak", o.noAntiStreak, "switch the anti-streak stage off");
  line.Flag("--no-smooth", o.noSmooth, "switch the smoothing stage off");
  line.Text("--record", o.record, "FILE.raw", "save the session's raw capture as FILE.raw");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (!o.events && o.svg.empty() && o.record.empty()) {
    return line.Fail("give --events, --svg OUT.svg, --record FILE.raw or more");
  }
  if (!o.record.empty() && !IsRawName(o.record)) return line.Fail("--record needs a FILE.raw");
  for (const std::string& output : {o.svg, o.record}) {
    if (output.empty()) continue;
    if (const std::string problem = tqtool::OutputProblem(output); !problem.empty()) {
      std::fprintf(stderr, "error tq live: %s\n", problem.c_str());
      return 1;
    }
  }
  return -1;
}

void ApplySettings(TQ_PORT number, const LiveOptions& o) {
  if (o.pod >= 0) TQSetPodLocation(number, static_cast<POD_LOCATION>(o.pod));
  if (o.height >= 0) TQSetBoardHeight(number, static_cast<unsigned>(o.height));
  if (o.noValidate) TQSetValidateStatus(number, VALIDATION_OFF);
  if (o.noAntiStreak) TQSetAntiStreakStatus(number, ANTISTREAK_OFF);
  if (o.noSmooth) TQSetFilterStatus(number, FILTER_OFF);
  // The recording takes over from the capture in the temporary directory.
  if (!o.record.empty()) TQOpenDumpFiles(number, o.record.substr(0, o.record.size() - 4).c_str(), 1);
}

void RunMessageLoop(long seconds) {
  Loop::start = GetTickCount();
  Loop::deadline = static_cast<unsigned>(seconds) * 1000u;
  const UINT_PTR tick = SetTimer(nullptr, 0, 100, &OnTick);
  MSG msg;
  while (!g_stop && GetMessageA(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, tick);
}

bool WritePicture(const LiveOptions& o, const tqtool::StrokeModel& model) {
  const tqtool::InkDocument picture = tqtool::BoardPicture(model);
  std::string why;
  const bool written = tqtool::WriteOutput(o.svg, [&picture, &why](std::ostream& out) {
    if (!tqtool::WriteSvgPage(picture, 0, out, why)) out.setstate(std::ios::badbit);
  });
  if (written) return true;
  std::fprintf(stderr, "error tq live: cannot write %s\n", o.svg.c_str());
  return false;
}

}  // namespace

int RunLiveCommand(int argc, char** argv) {
  LiveOptions o;
  if (const int status = ParseLive(argc, argv, o); status >= 0) return status;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGHUP, OnSignal);
  tqtool::PrintingWindow window(stdout, [&o](UINT) { return o.events; });
  // Only a picture needs the strokes: --events alone keeps nothing.
  tqtool::StrokeModel model(false);
  window.onMessage = [&o, &model](UINT message, WPARAM wParam, LPARAM lParam) {
    if (!o.svg.empty()) model.Add(message, wParam, lParam);
    // The watchdog would report the silence of a vanished board for ever.
    if (message == TQ_MSG_COMM_ERROR && wParam == kLineFailed) {
      Loop::lineFailed = true;
      g_stop = 1;
    }
  };
  const TQ_PORT number = static_cast<TQ_PORT>(o.port);
  const TQ_ERROR_CODE result = TQOpenPort(number, window.Handle());
  if (result != TQ_SUCCESS) {
    std::fprintf(stderr, "error %d %s\n", static_cast<int>(result), tqtool::OpenFailure(number, result).c_str());
    return 1;
  }
  ApplySettings(number, o);
  RunMessageLoop(o.seconds);
  unsigned width = 0, height = 0;
  TQGetBoardWidth(number, &width);
  TQGetMaxBoardHeight(number, &height);
  model.SetBoard(width, height);
  TQClose(number);
  tqtool::DrainMessages();
  std::fflush(stdout);
  if (Loop::lineFailed) {
    std::fprintf(stderr, "error tq live: the board's line failed (line error 8): was it unplugged or "
                 "switched off?\n");
  }
  if (!o.svg.empty() && !WritePicture(o, model)) return 1;
  if (!o.record.empty() && !HoldsCaptureHeader(o.record)) {
    std::fprintf(stderr, "error tq live: the recording %s could not be created\n", o.record.c_str());
    return 1;
  }
  return Loop::lineFailed ? 1 : 0;
}
