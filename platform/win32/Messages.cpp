// Window messages and window-less timers on Windows: the calls pass straight
// through. A wait that must not deadlock with a sender uses
// MsgWaitForMultipleObjects and lets PeekMessageA handle the sent messages
// (it calls their window procedures before it looks at the posted queue,
// whose messages it leaves in place).
//
// Bounded posts: no thread can see into another's queue, so the posts are
// counted here, and a WH_GETMESSAGE hook on the window's thread sees each
// message that thread takes out of its queue (GetMessage, PeekMessage with
// PM_REMOVE) and counts it off. The hook is set by that thread itself
// (WatchPosted), so it goes with the thread and its queue; a thread that
// ended is told by its handle, as its id may come again.
#include <windows.h>

#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Platform.h"
#include "platform/win32/Win32Internal.h"

namespace tqp {

namespace {

// One message as a bounded post counts it: window, number and parameters.
struct PostKey {
  uintptr_t window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  auto operator<=>(const PostKey&) const = default;
};

PostKey KeyOf(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return PostKey{reinterpret_cast<uintptr_t>(window), message, wParam, lParam};
}

// The bounded posts to the windows of one watched thread not yet taken out
// of its queue.
struct WatchedQueue {
  DWORD thread = 0;
  HANDLE threadHandle = nullptr;  // signalled once the thread has ended
  HHOOK hook = nullptr;
  std::mutex lock;
  std::map<PostKey, size_t> waiting;
};

// Never destroyed: posts may still come while the process ends.
std::mutex& g_watchedLock = *new std::mutex;
std::vector<std::shared_ptr<WatchedQueue>>& g_watched = *new std::vector<std::shared_ptr<WatchedQueue>>;
// The calling thread's, once it is watched; the entry outlives the thread.
thread_local WatchedQueue* t_watched = nullptr;

bool Ended(const WatchedQueue& queue) { return WaitForSingleObject(queue.threadHandle, 0) == WAIT_OBJECT_0; }

// Forgets the threads that ended (their hooks went with them). Called with
// g_watchedLock held.
void ForgetEnded() {
  std::erase_if(g_watched, [](const std::shared_ptr<WatchedQueue>& queue) {
    if (!Ended(*queue)) return false;
    CloseHandle(queue->threadHandle);
    return true;
  });
}

// The watched queue of a running thread, null when it is not watched.
std::shared_ptr<WatchedQueue> WatchedQueueOf(DWORD thread) {
  std::lock_guard<std::mutex> guard(g_watchedLock);
  for (auto it = g_watched.begin(); it != g_watched.end(); ++it) {
    if ((*it)->thread != thread) continue;
    if (!Ended(**it)) return *it;
    // An ended thread's id, come again for a thread that is not watched.
    CloseHandle((*it)->threadHandle);
    g_watched.erase(it);
    return nullptr;
  }
  return nullptr;
}

void Uncount(WatchedQueue& queue, const PostKey& key) {
  std::lock_guard<std::mutex> guard(queue.lock);
  auto it = queue.waiting.find(key);
  if (it != queue.waiting.end() && --it->second == 0) queue.waiting.erase(it);
}

// Runs on the watched thread for each message it takes from its queue or
// only looks at; only a taken one leaves the count. (A message the host
// posts itself and that equals a bounded post is counted off the same way.)
LRESULT CALLBACK Retrieved(int code, WPARAM removal, LPARAM lParam) {
  if (code == HC_ACTION && (removal & PM_REMOVE) != 0 && t_watched != nullptr && lParam != 0) {
    const MSG& msg = *reinterpret_cast<const MSG*>(lParam);
    Uncount(*t_watched, KeyOf(msg.hwnd, msg.message, msg.wParam, msg.lParam));
  }
  return CallNextHookEx(nullptr, code, removal, lParam);
}

// Posts, counted when the window's thread is watched; `limit` 0 counts
// without a bound.
bool PostCounted(HWND window, UINT message, WPARAM wParam, LPARAM lParam, size_t limit) {
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  if (thread == 0) return false;
  const std::shared_ptr<WatchedQueue> queue = WatchedQueueOf(thread);
  if (!queue) return PostMessageA(window, message, wParam, lParam) != 0;
  const PostKey key = KeyOf(window, message, wParam, lParam);
  {
    // Counted before the post: the hook may take the message off at once.
    std::lock_guard<std::mutex> guard(queue->lock);
    size_t& waiting = queue->waiting[key];
    if (limit != 0 && waiting >= limit) return false;
    ++waiting;
  }
  if (PostMessageA(window, message, wParam, lParam) != 0) return true;
  Uncount(*queue, key);
  return false;
}

}  // namespace

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

bool PostMsgBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, size_t limit) {
  return limit != 0 && PostCounted(window, message, wParam, lParam, limit);
}

void WatchPosted(HWND window) {
  if (window == nullptr || t_watched != nullptr) return;
  const DWORD thread = GetCurrentThreadId();
  if (GetWindowThreadProcessId(window, nullptr) != thread) return;
  auto queue = std::make_shared<WatchedQueue>();
  queue->thread = thread;
  queue->threadHandle = OpenThread(SYNCHRONIZE, FALSE, thread);
  if (queue->threadHandle == nullptr) return;
  // A thread of this process and a procedure of this module: no module handle.
  queue->hook = SetWindowsHookExA(WH_GETMESSAGE, &Retrieved, nullptr, thread);
  if (queue->hook == nullptr) {
    CloseHandle(queue->threadHandle);
    return;
  }
  t_watched = queue.get();
  std::lock_guard<std::mutex> guard(g_watchedLock);
  ForgetEnded();
  g_watched.push_back(std::move(queue));
}

void RemovePosted(UINT message, LPARAM lParam) {
  // Taken out of the calling thread's queue (the hook counts them off); those
  // of other ports go back, counted again.
  MSG kept[64];
  unsigned count = 0;
  MSG msg;
  while (count < 64 && PeekMessageA(&msg, nullptr, message, message, PM_REMOVE | PM_QS_POSTMESSAGE)) {
    if (msg.lParam != lParam) kept[count++] = msg;
  }
  for (unsigned i = 0; i < count; ++i) {
    PostCounted(kept[i].hwnd, kept[i].message, kept[i].wParam, kept[i].lParam, 0);
  }
  // The posts to a destroyed window went with it, never taken.
  std::lock_guard<std::mutex> guard(g_watchedLock);
  for (const auto& queue : g_watched) {
    std::lock_guard<std::mutex> queueGuard(queue->lock);
    std::erase_if(queue->waiting, [&](const auto& entry) {
      return entry.first.message == message && entry.first.lParam == lParam &&
             !IsWindow(reinterpret_cast<HWND>(entry.first.window));
    });
  }
}

namespace win32 {

void UnhookPosted() {
  std::lock_guard<std::mutex> guard(g_watchedLock);
  for (const auto& queue : g_watched) {
    if (queue->hook != nullptr && !Ended(*queue)) UnhookWindowsHookEx(queue->hook);
    queue->hook = nullptr;
  }
}

}  // namespace win32

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
