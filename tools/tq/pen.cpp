// tq pen: the board as a pen tablet on the Linux desktop, through uinput.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Board.h"
#include "common/CommandLine.h"
#include "common/MessageLoop.h"
#include "common/Report.h"
#include "capture/CaptureFile.h"
#include "capture/Replay.h"
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

bool ReadCalibration(const std::string& path, tqpen::Calibration& calibration) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  std::string error;
  if (!file || !tqpen::ParseCalibration(text.str(), calibration, error) ||
      !(error = tqpen::CalibrationProblem(calibration)).empty()) {
    tqtool::Failed("pen", "cannot use the calibration '" + path + "'", error.empty() ? "cannot read it" : error);
    return false;
  }
  return true;
}

int RunReplay(tqpen::PenDaemon& daemon, const PenOptions& o) {
  const std::string& path = o.replay;
  tq::SCaptureHeader header;
  std::ifstream file(path, std::ios::binary);
  if (!file) return tqtool::Failed("pen", "cannot open '" + path + "'", std::strerror(errno));
  uint8_t bytes[tq::kCaptureHeaderSize] = {};
  file.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  header = tq::DecodeCaptureHeader(bytes);
  if (file.gcount() != static_cast<std::streamsize>(sizeof bytes) || !tq::AcceptCaptureHeader(header)) {
    return tqtool::Failed("pen", "cannot replay '" + path + "'",
                          "not a raw capture (no header naming a protocol and a board)");
  }
  // The board as a port would see it with these settings: its width, the
  // largest height its baseline allows unless --height says, and the range
  // turned by the pod location as on a live board.
  const tqtool::BoardOptions& board = o.settings.board;
  const double baseline = std::min<double>(header.receiverSpacing, 5000.0);
  const auto width = static_cast<int32_t>(header.receiverSpacing) + 340;
  const int32_t maxHeight = tqpen::ClampToRange(std::floor(std::sqrt(30250000.0 - baseline * baseline)), 5500);
  const int32_t height = board.height >= 0 ? static_cast<int32_t>(board.height) : maxHeight;
  tq::SReplayOptions replay;
  replay.validation = !board.noValidate;
  replay.antiStreak = !board.noAntiStreak;
  replay.smoothing = !board.noSmooth;
  replay.podLocation = static_cast<int32_t>(board.pod);
  replay.boardHeight = height;
  replay.writeCaptures = o.writeCaptures;
  const int32_t xMax = board.pod >= 2 ? height : width, yMax = board.pod >= 2 ? width : height;
  const int64_t packetUs = tqpen::PacketWireUs(tq::CapturePacketLength(header.protocolNumber));
  return daemon.RunReplay(xMax, yMax, tqpen::EraserPossible(header.boardVersion), packetUs,
                          [&path, &replay](HWND window) {
                            tq::SReplayStats stats;
                            const tq::ReplayStatus status = tq::ReplayCaptureFile(path.c_str(), window, replay, &stats);
                            tqtool::DrainMessages();
                            if (status == tq::ReplayStatus::Replayed) return 0;
                            return tqtool::Failed("pen", "cannot replay '" + path + "'",
                                                  status == tq::ReplayStatus::NotCapture ? "not a raw capture"
                                                  : status == tq::ReplayStatus::ReadError
                                                      ? "a read failed in the middle"
                                                      : "it cannot be opened as a regular file");
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
