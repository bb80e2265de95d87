// The host API's window calls for the Windows test programs, so the shared
// test support runs unchanged: a window is a message-only window
// (HWND_MESSAGE, no display needed) of the creating thread, whose user data
// holds the procedure and the user pointer. Only the driver's messages (from
// WM_APP up) reach the procedure; the system's own go to DefWindowProcA.
#include <windows.h>

#include "support/win32/PosixCompat.h"

namespace {

constexpr char kClassName[] = "TQTestWindow";

struct WindowData {
  TQHostProcedure procedure;
  void* user;
};

WindowData* DataOf(HWND window) {
  return reinterpret_cast<WindowData*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT CALLBACK ClassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowData* data = DataOf(window);
  if (data == nullptr || message < WM_APP) return DefWindowProcA(window, message, wParam, lParam);
  return data->procedure(window, message, wParam, lParam);
}

bool RegisterOnce() {
  static const bool registered = [] {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &ClassProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kClassName;
    return RegisterClassA(&windowClass) != 0;
  }();
  return registered;
}

}  // namespace

HWND TQCreateWindow(TQHostProcedure procedure, void* user) {
  if (!RegisterOnce()) return nullptr;
  HWND window = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  if (window != nullptr) {
    SetWindowLongPtrA(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new WindowData{procedure, user}));
  }
  return window;
}

BOOL TQDestroyWindow(HWND window) {
  WindowData* data = DataOf(window);
  SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  const BOOL destroyed = DestroyWindow(window);
  delete data;
  return destroyed;
}

void* TQGetWindowUser(HWND window) {
  WindowData* data = DataOf(window);
  return data != nullptr ? data->user : nullptr;
}
