// The board's pen messages as the frames of a pen tablet.
//
// A tablet consumer (libinput, a drawing program) wants a tool that enters
// proximity, touches, moves, lifts and leaves again, one SYN_REPORT-ended
// frame at a time, and it must never be left with a tool held down. The
// board's messages say less: a pen-down, moves and a pen-up per stroke, a
// pen code per sample, and the eraser only as the outline of its footprint
// (eight outline points of pen code 0: C1 C2 C3 C1 C4 C3 C4 C2, then an up).
//
// What this does: a pen-down enters proximity with BTN_TOOL_PEN and touches
// in the frame of its first position, MSC_SERIAL naming the pen; a move
// reports what changed; a pen-up lifts and leaves in one frame; a new pen
// code inside a stroke leaves and enters again under the new serial. A stroke
// of code 0 on a board that has an eraser is held back until it either
// breaks the footprint pattern (then it is a pen, sent at once, at most three
// samples late) or completes it: then the rubber touches at the footprint's
// centre. Consecutive footprints are one eraser stroke, which ends at the
// next pen stroke, after kEraserHoldUs without a footprint, or on Release().
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "TQApi.h"

namespace tqpen {

struct InputEvent {
  uint16_t type;
  uint16_t code;
  int32_t value;
};
// The events of one frame, SYN_REPORT last.
using Frame = std::vector<InputEvent>;

struct TabletPoint {
  int32_t x;
  int32_t y;
};

// Serials: pen code + 1, as libinput takes serial 0 for "no serial" and
// would not tell pen 0 from the others.
constexpr int32_t kEraserSerial = 100;
constexpr int64_t kEraserHoldUs = 200000;
constexpr int32_t kPressureMax = 1023;
constexpr int32_t kPressureDown = 512;

struct FrameSettings {
  bool pressure = false;       // ABS_PRESSURE kPressureDown while touching
  bool eraserPossible = true;  // the board has an eraser (versions 2 and 3)
  // Host point to tablet position (the calibration, clamped to the range).
  std::function<TabletPoint(int32_t x, int32_t y)> map;
};

class PenFrames {
 public:
  PenFrames(FrameSettings settings, std::function<void(const Frame&)> emit);

  // A message of the board's window; others than pen messages are ignored.
  void OnMessage(UINT message, const SPenPoint& point, LPARAM lParam, int64_t nowUs);
  // Ends an eraser stroke that has had no footprint for kEraserHoldUs.
  void Tick(int64_t nowUs);
  // Lifts and takes out of proximity whatever tool is in: a silent board,
  // a line error, the end of the run.
  void Release();

 private:
  enum class Tool { kNone, kPen, kRubber };
  // Points handed in are the board's host points; they are mapped on output.
  void OnDown(const TabletPoint& raw, int32_t code);
  void OnMove(const TabletPoint& raw, int32_t code);
  void OnUp(int64_t nowUs);
  void TouchRubber(int64_t nowUs);
  void FlushHeld();
  void StartPen(const TabletPoint& raw, int32_t code);
  void Enter(Tool tool, const TabletPoint& raw, int32_t serial);
  void MoveTo(const TabletPoint& raw);
  void Leave();

  FrameSettings m_settings;
  std::function<void(const Frame&)> m_emit;
  Tool m_tool = Tool::kNone;
  TabletPoint m_at{-1, -1};  // the position last reported
  int32_t m_serial = 0;
  bool m_inStroke = false;
  int32_t m_strokeCode = 0;
  std::vector<TabletPoint> m_held;  // a code-0 stroke that may be a footprint (host points)
  bool m_holding = false;
  int64_t m_lastFootprintUs = 0;
};

}  // namespace tqpen
