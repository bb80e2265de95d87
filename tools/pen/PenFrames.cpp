#include "pen/PenFrames.h"

#include <linux/input-event-codes.h>

#include <utility>

namespace tqpen {
namespace {

constexpr size_t kFootprintPoints = 8;

bool Same(const TabletPoint& a, const TabletPoint& b) { return a.x == b.x && a.y == b.y; }

// Whether `next` may follow `held` in a footprint outline C1 C2 C3 C1 C4 C3
// C4 C2. The corners C1 and C3 are a diagonal apart and never the same; a pen
// held still fails there.
bool ContinuesFootprint(const std::vector<TabletPoint>& held, const TabletPoint& next) {
  switch (held.size()) {
    case 1: return true;
    case 2: return !Same(next, held[0]);
    case 3: return Same(next, held[0]);
    case 4: return true;
    case 5: return Same(next, held[2]);
    case 6: return Same(next, held[4]);
    case 7: return Same(next, held[1]);
    default: return false;
  }
}

uint16_t ToolCode(bool rubber) { return rubber ? BTN_TOOL_RUBBER : BTN_TOOL_PEN; }

}  // namespace

PenFrames::PenFrames(FrameSettings settings, std::function<void(const Frame&)> emit)
    : m_settings(std::move(settings)), m_emit(std::move(emit)) {}

void PenFrames::OnMessage(UINT message, const SPenPoint& point, LPARAM, int64_t nowUs) {
  const TabletPoint raw{point.x, point.y};
  const auto code = static_cast<int32_t>(point.code);
  if (message == TQ_MSG_PEN_DOWN) {
    OnDown(raw, code);
  } else if (message == TQ_MSG_PEN_MOVE) {
    if (m_inStroke) {
      OnMove(raw, code);
    } else {
      OnDown(raw, code);
    }
  } else if (message == TQ_MSG_PEN_UP) {
    OnUp(nowUs);
  }
}

void PenFrames::OnDown(const TabletPoint& raw, int32_t code) {
  m_inStroke = true;
  m_strokeCode = code;
  if (m_settings.eraserPossible && code == 0) {
    m_holding = true;
    m_held.assign(1, raw);
    return;
  }
  StartPen(raw, code);
}

void PenFrames::OnMove(const TabletPoint& raw, int32_t code) {
  if (m_holding) {
    if (code == 0 && ContinuesFootprint(m_held, raw)) {
      m_held.push_back(raw);
      return;
    }
    FlushHeld();
  }
  if (m_tool != Tool::kPen || code + 1 != m_serial) {
    StartPen(raw, code);
  } else {
    MoveTo(raw);
  }
}

void PenFrames::OnUp(int64_t nowUs) {
  m_inStroke = false;
  if (m_holding && m_held.size() == kFootprintPoints) {
    m_holding = false;
    TouchRubber(nowUs);
    return;
  }
  FlushHeld();
  if (m_tool == Tool::kPen) Leave();
}

// The rubber at the footprint's centre, the middle of its corners C1 C2 C3 C4.
void PenFrames::TouchRubber(int64_t nowUs) {
  const TabletPoint* corners[] = {&m_held[0], &m_held[1], &m_held[2], &m_held[4]};
  int64_t sumX = 0, sumY = 0;
  for (const TabletPoint* corner : corners) {
    sumX += corner->x;
    sumY += corner->y;
  }
  const TabletPoint centre{static_cast<int32_t>(sumX / 4), static_cast<int32_t>(sumY / 4)};
  m_held.clear();
  m_lastFootprintUs = nowUs;
  if (m_tool == Tool::kRubber) {
    MoveTo(centre);
    return;
  }
  if (m_tool != Tool::kNone) Leave();
  Enter(Tool::kRubber, centre, kEraserSerial);
}

void PenFrames::Tick(int64_t nowUs) {
  if (m_tool == Tool::kRubber && !m_holding && nowUs - m_lastFootprintUs >= kEraserHoldUs) Leave();
}

void PenFrames::Release() {
  m_holding = false;
  m_held.clear();
  m_inStroke = false;
  if (m_tool != Tool::kNone) Leave();
}

// The held samples turned out to be a pen: they go out now.
void PenFrames::FlushHeld() {
  if (!m_holding) return;
  m_holding = false;
  StartPen(m_held.front(), m_strokeCode);
  for (size_t i = 1; i < m_held.size(); ++i) MoveTo(m_held[i]);
  m_held.clear();
}

void PenFrames::StartPen(const TabletPoint& raw, int32_t code) {
  if (m_tool != Tool::kNone) Leave();
  Enter(Tool::kPen, raw, code + 1);
}

void PenFrames::Enter(Tool tool, const TabletPoint& raw, int32_t serial) {
  m_at = m_settings.map(raw.x, raw.y);
  Frame frame{{EV_ABS, ABS_X, m_at.x}, {EV_ABS, ABS_Y, m_at.y}};
  if (m_settings.pressure) frame.push_back({EV_ABS, ABS_PRESSURE, kPressureDown});
  frame.push_back({EV_KEY, ToolCode(tool == Tool::kRubber), 1});
  frame.push_back({EV_KEY, BTN_TOUCH, 1});
  frame.push_back({EV_MSC, MSC_SERIAL, serial});
  frame.push_back({EV_SYN, SYN_REPORT, 0});
  m_tool = tool;
  m_serial = serial;
  m_emit(frame);
}

void PenFrames::MoveTo(const TabletPoint& raw) {
  const TabletPoint at = m_settings.map(raw.x, raw.y);
  Frame frame;
  if (at.x != m_at.x) frame.push_back({EV_ABS, ABS_X, at.x});
  if (at.y != m_at.y) frame.push_back({EV_ABS, ABS_Y, at.y});
  if (frame.empty()) return;
  frame.push_back({EV_SYN, SYN_REPORT, 0});
  m_at = at;
  m_emit(frame);
}

void PenFrames::Leave() {
  Frame frame;
  if (m_settings.pressure) frame.push_back({EV_ABS, ABS_PRESSURE, 0});
  frame.push_back({EV_KEY, BTN_TOUCH, 0});
  frame.push_back({EV_KEY, ToolCode(m_tool == Tool::kRubber), 0});
  frame.push_back({EV_SYN, SYN_REPORT, 0});
  m_tool = Tool::kNone;
  m_serial = 0;
  m_emit(frame);
}

}  // namespace tqpen
