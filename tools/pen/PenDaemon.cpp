#include "pen/PenDaemon.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/MessageLoop.h"
#include "common/Report.h"

namespace tqpen {

namespace {

constexpr unsigned kTickMs = 50;

}  // namespace

bool EraserPossible(double version) { return version >= 2.0 && version < 4.0; }

PenDaemon::PenDaemon(const PenSettings& settings) : m_settings(settings) {
  m_window.onMessage = [this](UINT message, WPARAM wParam, LPARAM lParam) { OnMessage(message, wParam, lParam); };
}

void PenDaemon::UseCalibration(const Calibration& calibration) {
  m_calibration = calibration;
  m_calibrated = true;
}

TabletPoint PenDaemon::Map(int32_t x, int32_t y) const {
  if (!m_calibrated) return {ClampToRange(x, m_layout.xMax), ClampToRange(y, m_layout.yMax)};
  const PlanePoint at = m_calibration.mapping.Apply({static_cast<double>(x), static_cast<double>(y)});
  // A screen other than the calibration's scales the picture with it.
  const double sx = (m_layout.xMax + 1.0) / m_calibration.screenWidth;
  const double sy = (m_layout.yMax + 1.0) / m_calibration.screenHeight;
  return {ClampToRange(at.x * sx, m_layout.xMax), ClampToRange(at.y * sy, m_layout.yMax)};
}

bool PenDaemon::MakeDevice(int32_t xMax, int32_t yMax, bool eraserPossible) {
  m_layout.name = m_settings.name;
  m_layout.phys = m_settings.phys;
  m_layout.uniq = m_settings.uniq;
  m_layout.pointer = m_settings.pointer;
  m_layout.pressure = m_settings.pressure;
  m_layout.xMax = xMax;
  m_layout.yMax = yMax;
  m_layout.resolution = static_cast<int32_t>(m_settings.unitsPerMm);
  if (m_calibrated) {
    const int32_t screenW = m_settings.screenWidth > 0 ? m_settings.screenWidth : m_calibration.screenWidth;
    const int32_t screenH = m_settings.screenHeight > 0 ? m_settings.screenHeight : m_calibration.screenHeight;
    // Screen pixels: the resolution is that of the picture on the board.
    m_layout.xMax = screenW - 1;
    m_layout.yMax = screenH - 1;
    const double scale = static_cast<double>(screenW) / m_calibration.screenWidth;
    const double perMm = static_cast<double>(m_settings.unitsPerMm) * PixelsPerBoardUnit(m_calibration) * scale;
    m_layout.resolution = std::max(1, ClampToRange(perMm, 1000));
  }
  if (m_settings.dryRun) {
    m_sink = std::make_unique<EvemuSink>(stdout, m_layout);
  } else {
    std::string error;
    auto device = UinputSink::Create(m_layout, error);
    if (!device) {
      tqtool::Failed("pen", "cannot make the pen device through /dev/uinput",
                     error + " (is the udev rule installed and are you in the 'tq-pen' group?)");
      return false;
    }
    const std::string node = device->DeviceNode();
    tqtool::Say("pen", "pen device " + (node.empty() ? std::string("made (its node is not known)") : node));
    // The board's messages wait in the queue meanwhile; none is lost.
    device->WaitUntilAnnounced();
    m_sink = std::move(device);
  }
  FrameSettings frames;
  frames.pressure = m_settings.pressure;
  frames.eraserPossible = eraserPossible;
  frames.map = [this](int32_t x, int32_t y) { return Map(x, y); };
  m_frames = std::make_unique<PenFrames>(frames, [this](const Frame& f) { Write(f); });
  return true;
}

int64_t PenDaemon::Now() const { return m_replayUs >= 0 ? m_replayUs : tqtool::NowUs(); }

void PenDaemon::Write(const Frame& frame) {
  if (m_settings.paced && m_replayUs >= 0) {
    const int64_t wall = tqtool::NowUs();
    if (m_pacedStartUs < 0) m_pacedStartUs = wall - m_replayUs;
    const int64_t due = m_pacedStartUs + m_replayUs;
    if (due > wall) std::this_thread::sleep_for(std::chrono::microseconds(due - wall));
  }
  if (m_sink->Write(frame, Now()) || m_writeFailed) return;
  m_writeFailed = true;
  tqtool::Say("pen", "writing to the pen device failed");
}

void PenDaemon::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!m_frames) return;
  if (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP) {
    if (wParam == 0) return;
    m_troubleSaid = false;
    if (m_replayUs >= 0) m_replayUs += m_replayPacketUs;
    m_frames->OnMessage(message, *reinterpret_cast<const SPenPoint*>(wParam), lParam, Now());
    return;
  }
  if (message != TQ_MSG_BOARD_CHECK && message != TQ_MSG_COMM_ERROR) return;
  m_frames->Release();
  if (message == TQ_MSG_COMM_ERROR && m_settings.reopen && m_portOpen) {
    m_portOpen = false;  // closed and opened again from the tick
    m_nextOpenUs = tqtool::NowUs();
  }
  if (m_troubleSaid) return;
  m_troubleSaid = true;
  if (message == TQ_MSG_BOARD_CHECK) {
    tqtool::Say("pen", "the board does not answer; pen lifted, still running");
  } else {
    tqtool::Say("pen", "line error " + std::to_string(wParam) + "; pen lifted, still running");
  }
}

PenDaemon::Opened PenDaemon::OpenPort() {
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE result = tqtool::Open(m_settings.board, m_window.Handle(), board);
  if (result != TQ_SUCCESS) {
    tqtool::Failed("pen", tqtool::OpenFailure(m_settings.board.Port(), result));
    return Opened::kPortFailed;
  }
  m_portOpen = true;
  m_troubleSaid = false;
  if (m_sink) {
    tqtool::Say("pen", "port " + std::to_string(m_settings.board.port) + " open again");
    return Opened::kYes;
  }
  return MakeDevice(board.xMax, board.yMax, EraserPossible(board.versionNumber)) ? Opened::kYes
                                                                                 : Opened::kDeviceFailed;
}

void PenDaemon::OnTick(int64_t now) {
  if (m_frames) m_frames->Tick(now);
  if (m_portOpen || !m_settings.reopen || now < m_nextOpenUs) return;
  TQClose(m_settings.board.Port());
  m_nextOpenUs = now + kReopenMs * 1000;
  if (OpenPort() == Opened::kDeviceFailed) PostQuitMessage(1);
}

int PenDaemon::RunLive() {
  const int64_t start = tqtool::NowUs();
  const Opened first = OpenPort();
  if (first == Opened::kDeviceFailed || (first == Opened::kPortFailed && !m_settings.reopen)) {
    TQClose(m_settings.board.Port());
    tqtool::DrainMessages();
    return 1;
  }
  if (first == Opened::kPortFailed) m_nextOpenUs = start + kReopenMs * 1000;
  tqtool::LoopSettings loop;
  loop.seconds = m_settings.seconds;
  loop.tickMs = kTickMs;
  loop.tick = [this](int64_t now) { OnTick(now); };
  const int status = tqtool::RunMessageLoop(loop);
  if (m_frames) m_frames->Release();
  TQClose(m_settings.board.Port());
  tqtool::DrainMessages();
  return status;
}

}  // namespace tqpen
