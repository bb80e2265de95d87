// Window messages and window-less timers on Windows: the calls pass straight
// through. A wait that must not deadlock with a sender uses
// MsgWaitForMultipleObjects and lets PeekMessageA handle the sent messages
// (it calls their window procedures before it looks at the posted queue,
// whose messages it leaves in place).
#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/Win32Internal.h"

namespace tqp {

namespace win32 {

namespace {

void HandleSent() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

bool WaitPumping(HANDLE handle, uint32_t ms) {
  const DWORD start = GetTickCount();
  const DWORD count = handle != nullptr ? 1 : 0;
  for (;;) {
    HandleSent();
    DWORD left = INFINITE;
    if (ms != kInfinite) {
      const DWORD elapsed = GetTickCount() - start;
      left = elapsed >= ms ? 0 : ms - elapsed;
    }
    const DWORD result =
        MsgWaitForMultipleObjects(count, count != 0 ? &handle : nullptr, FALSE, left, QS_SENDMESSAGE);
    if (count != 0 && result == WAIT_OBJECT_0) return true;
    if (result == WAIT_OBJECT_0 + count) continue;  // a message was sent to this thread
    if (result == WAIT_TIMEOUT || result == WAIT_FAILED) {
      HandleSent();
      return count != 0 && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    }
  }
}

}  // namespace win32

void PumpSentMessages(uint32_t ms) { win32::WaitPumping(nullptr, ms); }

LRESULT SendMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                const std::atomic<bool>* /*withdrawn*/) {
  return SendMessageA(window, message, wParam, lParam);
}

bool PostMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return PostMessageA(window, message, wParam, lParam) != 0;
}

// Not counted yet: bounded by the system's own queue limit only.
bool PostMsgBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, size_t limit) {
  return limit != 0 && PostMsg(window, message, wParam, lParam);
}

void WatchPosted(HWND) {}

void RemovePosted(UINT message, LPARAM lParam) {
  // Taken out of the calling thread's queue; those of other ports go back.
  MSG kept[64];
  unsigned count = 0;
  MSG msg;
  while (count < 64 && PeekMessageA(&msg, nullptr, message, message, PM_REMOVE | PM_QS_POSTMESSAGE)) {
    if (msg.lParam != lParam) kept[count++] = msg;
  }
  for (unsigned i = 0; i < count; ++i) {
    PostMessageA(kept[i].hwnd, kept[i].message, kept[i].wParam, kept[i].lParam);
  }
}

uintptr_t CurrentThreadTag() { return GetCurrentThreadId(); }

// Windows names no sender: the innermost message is released, and only when
// no other reader of the library may be the one that sent it.
bool ReleaseSender(uintptr_t, LRESULT result, bool onlyLibrarySender) {
  if (!onlyLibrarySender || !InSendMessage()) return false;
  return ReplyMessage(result) != 0;
}

UINT_PTR StartTimer(uint32_t periodMs, TIMERPROC callback) {
  return SetTimer(nullptr, 0, periodMs, callback);
}

void StopTimer(UINT_PTR id) { KillTimer(nullptr, id); }

}  // namespace tqp
