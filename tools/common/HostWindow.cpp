#include "common/HostWindow.h"

namespace tqtool {

std::string FormatEvent(UINT message, WPARAM wParam, LPARAM lParam) {
  char line[96];
  const auto w = static_cast<unsigned long long>(wParam);
  const auto l = static_cast<long long>(lParam);
  switch (message) {
    case TQ_MSG_PEN_DOWN:
    case TQ_MSG_PEN_MOVE:
    case TQ_MSG_PEN_UP: {
      SPenPoint point{0, 0, 0};
      if (wParam != 0) point = *reinterpret_cast<const SPenPoint*>(wParam);
      const char* name =
          message == TQ_MSG_PEN_DOWN ? "down" : (message == TQ_MSG_PEN_MOVE ? "move" : "up");
      std::snprintf(line, sizeof line, "%s %d %d %d %lld", name, point.x, point.y,
                    static_cast<int>(point.code), l);
      break;
    }
    case TQ_MSG_BOARD_EVENT:
      std::snprintf(line, sizeof line, "board %llu %lld", w, l);
      break;
    case TQ_MSG_COMM_ERROR:
      std::snprintf(line, sizeof line, "comm %llu", w);
      break;
    case TQ_MSG_BOARD_CHECK:
      std::snprintf(line, sizeof line, "check %llu %lld", w, l);
      break;
    case TQ_MSG_BOARD_0x90:
      std::snprintf(line, sizeof line, "ffff %llu %lld", w, l);
      break;
    default:
      return std::string();
  }
  return line;
}

PrintingWindow::PrintingWindow(std::FILE* out, std::function<bool(UINT)> filter)
    : m_out(out), m_filter(std::move(filter)) {
#ifdef _WIN32
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = &Procedure;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "TQToolWindow";
  RegisterClassA(&windowClass);
  m_window = CreateWindowExA(0, "TQToolWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             windowClass.hInstance, nullptr);
  SetWindowLongPtrA(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
#else
  m_window = TQCreateWindow(&Procedure, this);
#endif
}

PrintingWindow::~PrintingWindow() {
#ifdef _WIN32
  DestroyWindow(m_window);
#else
  TQDestroyWindow(m_window);
#endif
}

LRESULT PrintingWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
#ifdef _WIN32
  auto* self = reinterpret_cast<PrintingWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
#else
  auto* self = static_cast<PrintingWindow*>(TQGetWindowUser(window));
  if (self == nullptr) return 0;
#endif
  if (!self->m_filter || self->m_filter(message)) {
    const std::string line = FormatEvent(message, wParam, lParam);
    if (!line.empty()) {
      std::fprintf(self->m_out, "%s\n", line.c_str());
      if (self->flushEachLine) std::fflush(self->m_out);
    }
  }
  if (self->onMessage) self->onMessage(message, wParam, lParam);
  return 0;
}

}  // namespace tqtool
