#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/HostWindow.h"
#include "platform/Platform.h"

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

void DrainMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
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
  if (code != TQ_ERR_OPEN_FAILED) return ErrorMeaning(code);
  const std::string name = "COM" + std::to_string(port);
  const std::string variable = "TQ_" + name;
  if (const char* mapped = std::getenv(variable.c_str()); mapped != nullptr && mapped[0] == '\0') {
    return "cannot open " + name + ": " + variable + " is set but empty, so it names no device";
  }
  const std::string path = tqp::SerialLine::DevicePath(name.c_str());
  const std::string problem = DeviceProblem(path);
  if (problem.empty()) return "cannot open " + path + " (" + name + "): the probe could not write or read";
  return "cannot open " + path + " (" + name + "): " + problem;
}

}  // namespace tqtool
