#include "common/Board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/CommandLine.h"
#include "platform/Platform.h"

namespace tqtool {

void AddReplayOptions(CommandLine& line, ReplayOptions& replay) {
  line.Text("--replay", replay.file, "FILE.raw", "play this raw capture as the board (on port N, or 1)");
  line.Number("--speed", replay.speed, 0.01, 1000.0, "X", "with --replay: times the line's pace (default 1)");
}

std::string ReplayProblem(const CommandLine& line, const ReplayOptions& replay) {
  if (replay.Given() && line.Given("--device")) return "--replay plays its own device, not --device";
  if (!replay.Given() && line.Given("--speed")) return "--speed goes with --replay";
  return {};
}

void AddBoardOptions(CommandLine& line, BoardOptions& board, bool settings, bool required) {
  line.Number("--port", board.port, 1, 8, "N", "the board's port, 1 to 8 (the device COM<N>)");
  line.Text("--device", board.device, "NAME",
            "the board's serial device (ttyUSB0, or a path), opened as port N or port 1");
  if (settings) {
    line.Number("--pod", board.pod, 0, 3, "P", "the pod location, 0 to 3 (default 0)");
    line.Number("--height", board.height, 0, 65535, "H",
                "the board height in board units (default: the largest the board allows)");
    line.Flag("--no-validate", board.noValidate, "switch the validation stage off");
    line.Flag("--no-antistreak", board.noAntiStreak, "switch the anti-streak stage off");
    line.Flag("--no-smooth", board.noSmooth, "switch the smoothing stage off");
  }
  line.Text("--raw-capture", board.rawCapture, "WHERE",
            "record the line's raw bytes: temp (tq<N>.raw in the temporary directory, the default), "
            "off, or FILE.raw");
  line.Number("--raw-capture-max", board.rawCaptureMaxMiB, 0, 1 << 20, "MIB",
              "past MIB mebibytes the raw capture moves to FILE.raw.1 and starts anew (default: no bound)");
  line.Check([&line, &board, required]() -> std::string {
    if (line.Given("--device") && board.device.empty()) return "--device needs a NAME";
    const std::string& raw = board.rawCapture;
    if (raw != "temp" && raw != "off" && (raw.size() <= 4 || raw.compare(raw.size() - 4, 4, ".raw") != 0)) {
      return "--raw-capture '" + raw + "' is not temp, off or a FILE.raw";
    }
    if (raw == "off" && board.rawCaptureMaxMiB > 0) return "--raw-capture-max bounds a capture that is off";
    if (!board.Given()) return required ? "give --port N or --device NAME" : "";
    if (board.port == 0) board.port = 1;
    if (!board.device.empty()) MapPort(board.Port(), DevicePath(board.device));
    return {};
  });
}

std::string DevicePath(const std::string& name) {
  if (name.find('/') == std::string::npos) return "/dev/" + name;
  if (name.rfind("dev/", 0) == 0) return "/" + name;
  return name;
}

void MapPort(TQ_PORT port, const std::string& path) {
  // The library finds COM<N> through TQ_COM<N>, read at every open.
  setenv(("TQ_COM" + std::to_string(port)).c_str(), path.c_str(), 1);
}

std::string VersionText(const char reply[20]) {
  std::string text;
  for (size_t i = 1; i < 20 && reply[i] != '\0'; ++i) {
    const char c = reply[i];
    if ((c >= '0' && c <= '9') || c == '.' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      text.push_back(c);
    }
  }
  return text;
}

namespace {

// The bounded raw captures of this process, by port; looked at from a timer
// of the thread that opened the port (the one whose loop runs).
struct BoundedCapture {
  std::string path;  // empty: no bound on this port
  off_t maxBytes = 0;
};
std::array<BoundedCapture, 9> g_bounded;
constexpr unsigned kCaptureCheckMs = 2000;

bool PortOpen(TQ_PORT port) {
  unsigned width = 0;
  return TQGetBoardWidth(port, &width) == TQ_SUCCESS;
}

// A capture past its bound becomes FILE.raw.1 and the port starts a new one,
// a whole capture with its own header; the bytes between the rename and the
// reopen go to the older file, none is lost.
void CheckCaptures(HWND, UINT, UINT_PTR, DWORD) {
  for (size_t port = 1; port < g_bounded.size(); ++port) {
    const BoundedCapture& capture = g_bounded[port];
    struct stat info {};
    if (capture.path.empty() || stat(capture.path.c_str(), &info) != 0 || info.st_size <= capture.maxBytes) {
      continue;
    }
    if (!PortOpen(static_cast<TQ_PORT>(port))) continue;
    if (std::rename(capture.path.c_str(), (capture.path + ".1").c_str()) != 0) continue;
    const std::string base = capture.path.substr(0, capture.path.size() - 4);
    TQOpenDumpFiles(static_cast<TQ_PORT>(port), base.c_str(), 1);
  }
}

void ApplyRawCapture(const BoardOptions& options) {
  const TQ_PORT port = options.Port();
  if (options.rawCapture == "off") {
    TQCloseDumpFiles(port);
    return;
  }
  const std::string path = RawCapturePath(options);
  if (options.rawCapture != "temp") TQOpenDumpFiles(port, path.substr(0, path.size() - 4).c_str(), 1);
  if (options.rawCaptureMaxMiB <= 0 || port < 1 || static_cast<size_t>(port) >= g_bounded.size()) return;
  static thread_local UINT_PTR timer = 0;
  if (timer == 0) timer = SetTimer(nullptr, 0, kCaptureCheckMs, &CheckCaptures);
  g_bounded[port] = {path, static_cast<off_t>(options.rawCaptureMaxMiB) * 1024 * 1024};
}

}  // namespace

std::string RawCapturePath(const BoardOptions& options) {
  if (options.rawCapture == "off") return {};
  if (options.rawCapture != "temp") return options.rawCapture;
  std::string base = tqp::TempPath();
  if (base.empty() || base.back() != tqp::PathSeparator()) base.push_back(tqp::PathSeparator());
  return base + "tq" + std::to_string(options.port) + ".raw";
}

TQ_ERROR_CODE Open(const BoardOptions& options, HWND window, OpenBoard& board) {
  const TQ_PORT port = options.Port();
  const TQ_ERROR_CODE result = TQOpenPort(port, window);
  if (result != TQ_SUCCESS) return result;
  ApplyRawCapture(options);
  char reply[20] = {};
  TQGetBoardVersion(port, reply);
  board.version = VersionText(reply);
  board.versionNumber = std::strtod(board.version.c_str(), nullptr);
  TQGetBoardWidth(port, &board.width);
  TQGetMaxBoardHeight(port, &board.maxHeight);
  board.height = options.height >= 0 ? static_cast<unsigned>(options.height) : board.maxHeight;
  TQSetPodLocation(port, static_cast<POD_LOCATION>(options.pod));
  TQSetBoardHeight(port, board.height);
  if (options.noValidate) TQSetValidateStatus(port, VALIDATION_OFF);
  if (options.noAntiStreak) TQSetAntiStreakStatus(port, ANTISTREAK_OFF);
  if (options.noSmooth) TQSetFilterStatus(port, FILTER_OFF);
  // Pods 2 and 3 stand the board on its side: x runs along its height.
  const auto w = static_cast<int32_t>(board.width), h = static_cast<int32_t>(board.height);
  board.xMax = options.pod >= 2 ? h : w;
  board.yMax = options.pod >= 2 ? w : h;
  return TQ_SUCCESS;
}

const char* ErrorMeaning(int code) {
  switch (code) {
    case 0: return "success";
    case 1: return "the serial device could not be opened, or the probe could not write or read";
    case 2: return "the serial device could not be opened a second time for the reader";
    case 3: return "the board did not answer the probe, or answered wrongly";
    case 4: return "the board reports a protocol above 2.0";
    case 5: return "the board's geometry reply is malformed or its baseline is outside 500 to 5000";
    case 6: return "the port number is outside 1 to 8";
    case 7: return "no board is open on this port";
    default: return "unknown error";
  }
}

namespace {

// What stops `path` from being opened as a board's line, found by trying it
// the way the library does; empty when nothing does now.
std::string DeviceProblem(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return "no such device (is the board plugged in?)";
    if (error == EACCES || error == EPERM) {
      return "permission denied (a serial line usually needs membership of the dialout group: "
             "sudo usermod -aG dialout $USER, then log in again)";
    }
    if (error == EBUSY) return "in use by another program";
    return std::strerror(error);
  }
  std::string problem;
  if (!isatty(fd)) {
    problem = "not a terminal, so no serial line";
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    problem = "in use by another program";
  }
  close(fd);
  return problem;
}

}  // namespace

std::string OpenFailure(TQ_PORT port, TQ_ERROR_CODE code) {
  if (code == TQ_ERR_BAD_PORT || port < 1 || port > 8) return ErrorMeaning(code);
  const std::string name = "COM" + std::to_string(port);
  const std::string variable = "TQ_" + name;
  if (const char* mapped = std::getenv(variable.c_str()); mapped != nullptr && mapped[0] == '\0') {
    return "cannot open " + name + ": " + variable + " is set but empty, so it names no device";
  }
  const std::string where = tqp::SerialLine::DevicePath(name.c_str()) + " (" + name + ")";
  if (code != TQ_ERR_OPEN_FAILED) {
    return "no board on " + where + ": " + ErrorMeaning(code) + " (error " + std::to_string(code) + ")";
  }
  const std::string problem = DeviceProblem(tqp::SerialLine::DevicePath(name.c_str()));
  if (problem.empty()) return "cannot open " + where + ": the probe could not write or read";
  return "cannot open " + where + ": " + problem;
}

}  // namespace tqtool
