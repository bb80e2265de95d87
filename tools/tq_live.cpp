// tq live: open a board and print what its window receives.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "TqCommands.h"
#include "TqPicture.h"
#include "TqWindow.h"

namespace {

const char kUsage[] =
    "usage: tq live --port N (--events | --svg OUT.svg) [--seconds S] [--pod P]\n"
    "               [--height H] [--no-validate] [--no-antistreak] [--no-smooth]\n"
    "               [--record FILE.raw]\n"
    "Opens the board on port N, runs a message loop and prints every message its\n"
    "window receives, one a line, as they arrive:\n"
    "  down X Y CODE LPARAM | move X Y CODE LPARAM | up X Y CODE LPARAM\n"
    "  board WPARAM LPARAM | comm WPARAM | check WPARAM LPARAM | ffff WPARAM LPARAM\n"
    "Closes the port after S seconds (default: until interrupted) or on SIGINT or\n"
    "SIGTERM. --pod, --height and the --no-* switches apply the matching settings\n"
    "right after the open. --svg draws the strokes the window received into\n"
    "OUT.svg when the port closes (with --events too, or alone). --record saves\n"
    "the session's raw capture as FILE.raw, for tq replay, render and export.\n"
    "Exit status: 0, 1 when the open fails or the picture cannot be written,\n"
    "2 for usage.\n";

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

struct Loop {
  static inline unsigned deadline = 0;  // ms since start, 0: none
  static inline unsigned start = 0;
};

void OnTick(HWND, UINT, UINT_PTR, DWORD now) {
  if (g_stop || (Loop::deadline != 0 && now - Loop::start >= Loop::deadline)) PostQuitMessage(0);
}

bool EndsWithRaw(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".raw") == 0;
}

// The library writes the recording without a word when it cannot; say so.
bool CanCreate(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  return access(dir.c_str(), W_OK) == 0;
}

bool HoldsCaptureHeader(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_size >= 20;
}

}  // namespace

int RunLiveCommand(int argc, char** argv) {
  long port = 0, seconds = 0, pod = -1, height = -1;
  std::string svg, record;
  bool havePort = false, events = false, noValidate = false, noAntiStreak = false, noSmooth = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    auto value = [&](long& out) { return i + 1 < argc && tqtool::ParseInt(argv[++i], out); };
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(arg, "--port") == 0) {
      if (!value(port)) break;
      havePort = true;
    } else if (std::strcmp(arg, "--seconds") == 0) {
      if (!value(seconds) || seconds < 0) return std::fputs(kUsage, stderr), 2;
    } else if (std::strcmp(arg, "--pod") == 0) {
      if (!value(pod)) return std::fputs(kUsage, stderr), 2;
    } else if (std::strcmp(arg, "--height") == 0) {
      if (!value(height) || height < 0) return std::fputs(kUsage, stderr), 2;
    } else if (std::strcmp(arg, "--events") == 0) {
      events = true;
    } else if (std::strcmp(arg, "--svg") == 0) {
      if (i + 1 >= argc) return std::fputs(kUsage, stderr), 2;
      svg = argv[++i];
    } else if (std::strcmp(arg, "--record") == 0) {
      if (i + 1 >= argc || !EndsWithRaw(argv[i + 1])) return std::fputs(kUsage, stderr), 2;
      record = argv[++i];
    } else if (std::strcmp(arg, "--no-validate") == 0) {
      noValidate = true;
    } else if (std::strcmp(arg, "--no-antistreak") == 0) {
      noAntiStreak = true;
    } else if (std::strcmp(arg, "--no-smooth") == 0) {
      noSmooth = true;
    } else {
      std::fprintf(stderr, "tq live: unexpected argument '%s'\n%s", arg, kUsage);
      return 2;
    }
  }
  if (!havePort || (!events && svg.empty() && record.empty())) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!record.empty() && !CanCreate(record)) {
    std::fprintf(stderr, "tq live: cannot write the recording %s\n", record.c_str());
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  tqtool::PrintingWindow window(stdout, [events](UINT) { return events; });
  tqtool::StrokeCollector seen;
  window.onMessage = [&seen](UINT message, WPARAM wParam, LPARAM lParam) {
    if (wParam != 0 && (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE ||
                        message == TQ_MSG_PEN_UP)) {
      seen.Add(message, *reinterpret_cast<const SPenPoint*>(wParam), lParam);
    }
  };
  const TQ_PORT number = static_cast<TQ_PORT>(port);
  const TQ_ERROR_CODE result = TQOpenPort(number, window.Handle());
  if (result != TQ_SUCCESS) {
    std::fprintf(stderr, "error %d %s\n", static_cast<int>(result), tqtool::ErrorMeaning(result));
    return 1;
  }
  // The recording replaces the capture in the temporary directory from here on.
  if (!record.empty()) TQOpenDumpFiles(number, record.substr(0, record.size() - 4).c_str(), 1);
  if (pod >= 0) TQSetPodLocation(number, static_cast<POD_LOCATION>(pod));
  if (height >= 0) TQSetBoardHeight(number, static_cast<unsigned>(height));
  if (noValidate) TQSetValidateStatus(number, VALIDATION_OFF);
  if (noAntiStreak) TQSetAntiStreakStatus(number, ANTISTREAK_OFF);
  if (noSmooth) TQSetFilterStatus(number, FILTER_OFF);

  Loop::start = GetTickCount();
  Loop::deadline = static_cast<unsigned>(seconds) * 1000u;
  const UINT_PTR tick = SetTimer(nullptr, 0, 100, &OnTick);
  MSG msg;
  while (!g_stop && GetMessageA(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, tick);
  tqtool::Picture picture;
  TQGetBoardWidth(number, &picture.boardWidth);
  TQGetMaxBoardHeight(number, &picture.boardHeight);
  char version[20] = {};
  TQGetBoardVersion(number, version);
  TQClose(number);
  tqtool::DrainMessages();
  if (!record.empty() && !HoldsCaptureHeader(record)) {
    std::fprintf(stderr, "tq live: the recording %s could not be created\n", record.c_str());
    return 1;
  }
  if (!svg.empty()) {
    if (picture.boardHeight == 0) picture.boardHeight = picture.boardWidth;
    picture.title = "live on port " + std::to_string(port) + ", board " + std::string(version + 1);
    picture.strokes = seen.Strokes();
    if (!tqtool::WriteSvg(picture, svg)) {
      std::fprintf(stderr, "tq live: cannot write %s\n", svg.c_str());
      return 1;
    }
  }
  return 0;
}
