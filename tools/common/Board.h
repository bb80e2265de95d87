// The one way a command opens a board: the same options with the same
// defaults in every command that takes one, the device named the same way
// everywhere, the settings applied right after the open, and one report of
// what went wrong, naming the device, the system's reason and what may help.
//
//   --port N        the board's port, 1 to 8 (the device COM<N>)
//   --device NAME   the serial device, as port N or port 1: a name without a
//                   slash is one under /dev (ttyUSB0), "dev/..." is a path
//                   from the root (a systemd instance name), anything else a
//                   path as given
//   --pod P         the pod location, 0 to 3 (default 0)
//   --height H      the board height (default: the largest the board allows)
//   --no-validate, --no-antistreak, --no-smooth   switch a filter stage off
//   --raw-capture WHERE   where the raw byte stream of the line is recorded:
//                   temp (tq<N>.raw in the temporary directory, the library's
//                   own, the default), off, or a FILE.raw
//   --raw-capture-max MIB  a bound on that file: past it the file becomes
//                   FILE.raw.1 (one older file kept) and a new one starts
#pragma once

#include <cstdint>
#include <string>

#include "TQApi.h"

namespace tqtool {

class CommandLine;

struct BoardOptions {
  long port = 0;  // 0 until the command line names one
  std::string device;
  long pod = 0;
  long height = -1;  // -1: the largest height the board reports
  bool noValidate = false, noAntiStreak = false, noSmooth = false;
  std::string rawCapture = "temp";  // temp, off or FILE.raw
  long rawCaptureMaxMiB = 0;        // 0: no bound

  bool Given() const { return port != 0 || !device.empty(); }
  TQ_PORT Port() const { return static_cast<TQ_PORT>(port); }
};

// Adds --port and --device, and with `settings` the pod, height and filter
// switches. When `required`, one of --port and --device must be given.
void AddBoardOptions(CommandLine& line, BoardOptions& board, bool settings = true, bool required = true);

// A raw capture played as the board instead of one on a line (tq serve and
// tq publish --replay FILE.raw [--speed X]).
struct ReplayOptions {
  std::string file;
  double speed = 1.0;
  bool Given() const { return !file.empty(); }
};
void AddReplayOptions(CommandLine& line, ReplayOptions& replay);
// What is wrong with --replay and --speed against the rest of the line
// (the usage error's words), empty when nothing.
std::string ReplayProblem(const CommandLine& line, const ReplayOptions& replay);

// The file the raw capture of `options`' port goes to; empty when off.
std::string RawCapturePath(const BoardOptions& options);

// The path a --device NAME stands for.
std::string DevicePath(const std::string& name);

// Makes COM<N> of the options' port name `path` for the library.
void MapPort(TQ_PORT port, const std::string& path);

// What the board is once open and its settings applied.
struct OpenBoard {
  std::string version;  // the version text, printable ("3.0")
  unsigned width = 0;    // host units, along x before the pod location turns it
  unsigned maxHeight = 0;
  unsigned height = 0;  // as set
  // The range of host coordinates after the pod location: x up to xMax,
  // y up to yMax.
  int32_t xMax = 0, yMax = 0;
  double versionNumber = 0.0;
};

// Opens the board for `window` and applies the settings; TQ_SUCCESS or the
// library's error code, with `board` filled on success.
TQ_ERROR_CODE Open(const BoardOptions& options, HWND window, OpenBoard& board);

// Why an open failed, in words: for a device that could not be opened the
// device, the system's reason and what may help; for the others the device
// and the library's meaning of `code`.
std::string OpenFailure(TQ_PORT port, TQ_ERROR_CODE code);

// Meaning of a TQ_ERROR_CODE in words.
const char* ErrorMeaning(int code);

// The board's version text as it can be shown: the reply's text after its
// lead byte, printable only.
std::string VersionText(const char reply[20]);

}  // namespace tqtool
