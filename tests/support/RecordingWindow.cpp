#include "support/RecordingWindow.h"

#include <cstdio>

#include "platform/Platform.h"

namespace tqtest {

std::string EventLine(const Received& e) {
  char line[96];
  switch (e.message) {
    case TQ_MSG_PEN_DOWN:
    case TQ_MSG_PEN_MOVE:
    case TQ_MSG_PEN_UP: {
      const char* name =
          e.message == TQ_MSG_PEN_DOWN ? "down" : (e.message == TQ_MSG_PEN_MOVE ? "move" : "up");
      std::snprintf(line, sizeof line, "%s %d %d %d %lld", name, e.point.x, e.point.y,
                    static_cast<int>(e.point.code), static_cast<long long>(e.lParam));
      break;
    }
    case TQ_MSG_BOARD_EVENT:
      std::snprintf(line, sizeof line, "board %llu %lld", static_cast<unsigned long long>(e.wParam),
                    static_cast<long long>(e.lParam));
      break;
    case TQ_MSG_COMM_ERROR:
      std::snprintf(line, sizeof line, "comm %llu", static_cast<unsigned long long>(e.wParam));
      break;
    case TQ_MSG_BOARD_CHECK:
      std::snprintf(line, sizeof line, "check %llu %lld", static_cast<unsigned long long>(e.wParam),
                    static_cast<long long>(e.lParam));
      break;
    case TQ_MSG_BOARD_0x90:
      std::snprintf(line, sizeof line, "ffff %llu %lld", static_cast<unsigned long long>(e.wParam),
                    static_cast<long long>(e.lParam));
      break;
    default:
      std::snprintf(line, sizeof line, "message %u", e.message);
  }
  return line;
}

RecordingWindow::RecordingWindow() { m_window = TQCreateWindow(&Procedure, this); }

RecordingWindow::~RecordingWindow() { TQDestroyWindow(m_window); }

LRESULT RecordingWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = static_cast<RecordingWindow*>(TQGetWindowUser(window));
  if (self == nullptr) return 0;
  Received event{message, wParam, lParam, SPenPoint{0, 0, 0}};
  if ((message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP) &&
      wParam != 0) {
    event.point = *reinterpret_cast<const SPenPoint*>(wParam);
  }
  {
    std::lock_guard<std::mutex> guard(self->m_lock);
    self->m_events.push_back(event);
  }
  if (self->m_hook) self->m_hook(event);
  return 0;
}

std::vector<Received> RecordingWindow::Events() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_events;
}

std::vector<std::string> RecordingWindow::EventLines() const {
  std::vector<std::string> lines;
  for (const Received& e : Events()) lines.push_back(EventLine(e));
  return lines;
}

size_t RecordingWindow::Count(UINT message) const {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t n = 0;
  for (const Received& e : m_events) n += e.message == message;
  return n;
}

void RecordingWindow::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_events.clear();
}

void RecordingWindow::Pump(int ms) {
  PumpUntil([] { return false; }, ms);
}

bool RecordingWindow::PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
  const uint32_t start = tqp::TickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    if (pred()) return true;
    if (static_cast<int>(tqp::TickCount() - start) >= timeoutMs) return false;
    tqp::PumpSentMessages(2);
  }
}

}  // namespace tqtest
