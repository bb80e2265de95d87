// tq pen: the board as a pen tablet on the Linux desktop, through uinput.
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/Board.h"
#include "common/CaptureInput.h"
#include "common/CommandLine.h"
#include "common/MessageLoop.h"
#include "common/Report.h"
#include "common/WindowReplay.h"
#include "capture/CaptureFile.h"
#include "capture/Replay.h"
#include "protocol/HostMapping.h"
#include "pen/Calibration.h"
#include "pen/PenDaemon.h"
#include "pen/PenDevice.h"
#include "platform/Platform.h"
#include "tq/Commands.h"

namespace {

struct PenOptions {
  tqpen::PenSettings settings;
  std::string replay, calibration, screen;
  bool writeCaptures = false;
};

const char kAbout[] =
    "Turns the board into a pen tablet that every application understands: a\n"
    "virtual input device through /dev/uinput (the 'tq-pen' group needs access;\n"
    "see the udev rule), picked up by libinput as a tablet. Runs until SIGINT,\n"
    "SIGTERM or SIGHUP. A board that stops answering or a line error lifts the\n"
    "pen; the program says so on standard error and goes on (with --reopen it\n"
    "opens the port again every 3 s). --dry-run prints the device and its events\n"
    "in the evemu text format instead of making it.";

// -1 to go on, else the exit status.
int Parse(int argc, char** argv, PenOptions& o) {
  tqtool::CommandLine line("tq pen",
                           "tq pen (--port N | --device NAME | --replay FILE.raw [--write-captures] [--paced]) [--dry-run] [--reopen]\n"
                           "               [--calibration FILE [--screen WxH]] [--pointer] [--pressure]\n"
                           "               [--units-per-mm U] [--name NAME] [--pod P] [--height H] [--no-*]\n"
                           "               [--seconds S]",
                           kAbout, "Exit status: 0, 1 when the port or the device fails, 2 for usage.\n");
  tqpen::PenSettings& s = o.settings;
  tqtool::AddBoardOptions(line, s.board, true, false);
  line.Text("--replay", o.replay, "FILE.raw", "play a raw capture through the pipeline instead of a board");
  line.Flag("--write-captures", o.writeCaptures, "with --replay, write FILE's .val and .out beside it");
  line.Flag("--paced", s.paced, "with --replay, write the events at the board's pace, not at once");
  line.Flag("--dry-run", s.dryRun, "print the device and events (evemu text), make no device");
  line.Flag("--pointer", s.pointer, "a tablet beside the screen (INPUT_PROP_POINTER), not on it");
  line.Flag("--pressure", s.pressure, "add ABS_PRESSURE, fixed at 512 of 1023 while touching");
  line.Number("--units-per-mm", s.unitsPerMm, 1, 1000, "U", "board units per millimetre (default 2)");
  line.Text("--calibration", o.calibration, "FILE", "map onto the screen with this file (tq calibrate)");
  line.Text("--screen", o.screen, "WxH", "the screen in pixels (default: the calibration's)");
  line.Flag("--reopen", s.reopen, "open the port again every 3 s after it failed or was lost");
  line.Text("--name", s.name, "NAME",
            "the device's name (default: \"TQ board pen (DEVICE)\", the serial device's name)");
  line.Number("--seconds", s.seconds, 0.0, 1e9, "S", "stop after S seconds (default: run until a signal)");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (s.board.Given() == !o.replay.empty()) return line.Fail("give --port N, --device NAME or --replay FILE.raw");
  if (!o.screen.empty() && !tqpen::ParseSize(o.screen, s.screenWidth, s.screenHeight)) {
    return line.Fail("--screen '" + o.screen + "' is not WIDTHxHEIGHT");
  }
  if (!o.screen.empty() && o.calibration.empty()) return line.Fail("--screen maps through --calibration FILE");
  if ((o.writeCaptures || s.paced) && o.replay.empty()) {
    return line.Fail(std::string(o.writeCaptures ? "--write-captures" : "--paced") + " goes with --replay FILE.raw");
  }
  if (line.Given("--name") && s.name.empty()) return line.Fail("--name needs a NAME");
  if (s.board.Given()) {
    // Each board's device told apart: its name and phys name the serial
    // device, its uniq the adapter's stable name.
    const std::string path = tqp::SerialLine::DevicePath(("COM" + std::to_string(s.board.port)).c_str());
    if (!line.Given("--name")) s.name = tqpen::DeviceNameFor(path);
    s.phys = path;
    s.uniq = tqpen::StableDeviceName(path);
  }
  return -1;
}

// A calibration file is a few lines; anything larger is not one.
constexpr uint64_t kCalibrationReadLimit = 64 * 1024;

bool ReadCalibration(const std::string& path, tqpen::Calibration& calibration) {
  std::string text, error;
  if (!tqtool::ReadSmallFile(path, kCalibrationReadLimit, text, error)) {
    tqtool::Failed("pen", "cannot use the calibration", error);
    return false;
  }
  if (!tqpen::ParseCalibration(text, calibration, error) || !(error = tqpen::CalibrationProblem(calibration)).empty()) {
    tqtool::Failed("pen", "cannot use the calibration " + tqtool::Quoted(path), error);
    return false;
  }
  return true;
}

int RunReplay(tqpen::PenDaemon& daemon, const PenOptions& o) {
  const std::string& path = o.replay;
  // The header first: the device's range comes from it, and nothing is made
  // for a file that is no capture.
  tqtool::SCapture capture;
  std::string problem;
  if (!tqtool::ReadCapture(path, capture, problem) ||
      !(problem = tqtool::CaptureHeaderProblem(path, capture.header)).empty()) {
    return tqtool::Failed("pen", "cannot replay", problem);
  }
  const tq::SCaptureHeader header = capture.header;
  capture.body.clear();
  capture.body.shrink_to_fit();
  // The board as a port would see it with these settings: its width, the
  // largest height its baseline allows unless --height says, and the range
  // turned by the pod location as on a live board.
  const tqtool::BoardOptions& board = o.settings.board;
  const auto width = static_cast<int32_t>(tq::BoardWidth(header.receiverSpacing));
  const auto maxHeight = static_cast<int32_t>(tq::MaxBoardHeight(header.receiverSpacing));
  const int32_t height = board.height >= 0 ? static_cast<int32_t>(board.height) : maxHeight;
  tq::SReplayOptions replay;
  replay.validation = !board.noValidate;
  replay.antiStreak = !board.noAntiStreak;
  replay.smoothing = !board.noSmooth;
  replay.podLocation = static_cast<int32_t>(board.pod);
  replay.boardHeight = height;
  replay.writeCaptures = o.writeCaptures;
  const std::string base = tqtool::CaptureBaseBeside(path);
  replay.captureBase = base.c_str();
  const int32_t xMax = board.pod >= 2 ? height : width, yMax = board.pod >= 2 ? width : height;
  const int64_t packetUs = tqpen::PacketWireUs(tq::CapturePacketLength(header.protocolNumber));
  return daemon.RunReplay(xMax, yMax, tqpen::EraserPossible(header.boardVersion), packetUs,
                          [&path, &replay](HWND window) {
                            tqtool::ReplayOutcome outcome;
                            if (tqtool::ReplayIntoWindow(path, window, replay, outcome)) return 0;
                            return tqtool::Failed("pen", "cannot replay", outcome.problem);
                          });
}

}  // namespace

int RunPenCommand(int argc, char** argv) {
  PenOptions o;
  if (const int status = Parse(argc, argv, o); status >= 0) return status;
  tqpen::PenDaemon daemon(o.settings);
  if (!o.calibration.empty()) {
    tqpen::Calibration calibration;
    if (!ReadCalibration(o.calibration, calibration)) return 1;
    daemon.UseCalibration(calibration);
  }
  tqtool::CatchStopSignals();
  return o.replay.empty() ? daemon.RunLive() : RunReplay(daemon, o);
}
