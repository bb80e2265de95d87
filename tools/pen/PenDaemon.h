// tq pen's running part: the board's window, the pen device, and what keeps
// them going. The board's pen messages become tablet frames (PenFrames);
// the frames go to uinput or, for a dry run, out as evemu text (PenDevice).
//
// A board that stops answering or a line error lifts the pen and is said
// once on standard error; the program goes on, and with `reopen` opens the
// port again every kReopenMs. The device is made at the first open, from
// what the board reports; a reopened board feeds the same device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Board.h"
#include "common/HostWindow.h"
#include "pen/Calibration.h"
#include "pen/PenDevice.h"
#include "pen/PenFrames.h"

namespace tqpen {

constexpr int32_t kDefaultUnitsPerMm = 2;
constexpr unsigned kReopenMs = 3000;

struct PenSettings {
  tqtool::BoardOptions board;
  bool dryRun = false, pointer = false, pressure = false, reopen = false;
  bool paced = false;           // a replay written at the board's pace, not at once
  long unitsPerMm = kDefaultUnitsPerMm;
  double seconds = 0;           // 0: until a stop signal
  int32_t screenWidth = 0;      // with a calibration: the screen in pixels,
  int32_t screenHeight = 0;     // 0 for the calibration's own
  std::string name = kPenDeviceName;  // the device's name, phys and uniq
  std::string phys, uniq;             // (DeviceLayout)
};

class PenDaemon {
 public:
  explicit PenDaemon(const PenSettings& settings);
  // Maps through `calibration` from now on.
  void UseCalibration(const Calibration& calibration);
  // Runs on the live board until a stop signal or the time is up; the exit status.
  int RunLive();
  // Feeds the pen messages a capture's replay gives (`replay` sends them to
  // the window) to a device of the board's range `xMax` by `yMax`. The
  // frames are timed as the board sent them: each pen message one packet's
  // time on the line (`packetUs`) after the one before, so that evemu-play
  // replays the dry run's text at the session's pace.
  template <typename Replay>
  int RunReplay(int32_t xMax, int32_t yMax, bool eraserPossible, int64_t packetUs, Replay&& replay) {
    m_replayPacketUs = packetUs;
    m_replayUs = 0;
    if (!MakeDevice(xMax, yMax, eraserPossible)) return 1;
    const int status = replay(m_window.Handle());
    if (m_frames) m_frames->Release();
    return status;
  }

 private:
  bool MakeDevice(int32_t xMax, int32_t yMax, bool eraserPossible);
  TabletPoint Map(int32_t x, int32_t y) const;
  void OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Write(const Frame& frame);
  enum class Opened { kYes, kPortFailed, kDeviceFailed };
  Opened OpenPort();
  void OnTick(int64_t nowUs);

  PenSettings m_settings;
  tqtool::PrintingWindow m_window{stderr, [](UINT) { return false; }};
  Calibration m_calibration;
  bool m_calibrated = false;
  DeviceLayout m_layout;
  std::unique_ptr<FrameSink> m_sink;
  std::unique_ptr<PenFrames> m_frames;
  bool m_portOpen = false;
  bool m_troubleSaid = false;
  bool m_writeFailed = false;
  int64_t m_nextOpenUs = 0;
  int64_t m_replayUs = -1;  // the replay's clock; -1 live
  int64_t m_replayPacketUs = 0;
  int64_t m_pacedStartUs = -1;  // the wall clock at the replay's time 0
  int64_t Now() const;
};

// One packet's time on the board's line: `bytes` at 9600 baud, ten bits a
// byte (start, eight data bits, stop).
constexpr int64_t PacketWireUs(size_t bytes) { return static_cast<int64_t>(bytes) * 10 * 1000000 / 9600; }

// Boards of versions 2 and 3 have an eraser; its footprints come as pen-0 strokes.
bool EraserPossible(double version);

}  // namespace tqpen
