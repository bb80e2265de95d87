// Windows, messages and window-less timers for POSIX hosts, with the
// semantics the driver relies on from Windows:
// - a window belongs to the thread that created it;
// - a message sent from the owner thread calls the procedure directly; one
//   sent from another thread is queued to the owner, and the sender blocks
//   until the owner has handled it, handling meanwhile what is sent to its
//   own windows (so two threads sending to each other cannot deadlock);
// - posting queues and returns at once, and fails once the target thread
//   holds kPostedQueueLimit posted messages; a thread that looks for messages
//   handles the sent ones before its posted ones; each kind keeps its order;
// - a bounded post also fails while its limit of equal messages, posted the
//   same way, waits in the target thread's queue;
// - timers are bound to the loop of the thread that set them and come as
//   WM_TIMER only when nothing else is queued;
// - a message to a destroyed window, or to a window whose thread has ended,
//   is dropped (and its sender released).
// Every thread gets a queue on first use; its eventfd wakes it.
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <compare>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace tqp {
namespace {

struct ThreadQueue;

// One message as a bounded post counts it: window, number and parameters.
struct PostKey {
  uintptr_t window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  auto operator<=>(const PostKey&) const = default;
};

PostKey KeyOf(const MSG& msg) {
  return PostKey{reinterpret_cast<uintptr_t>(msg.hwnd), msg.message, msg.wParam, msg.lParam};
}

struct QueuedPost {
  MSG msg;
  bool counted;  // made by a bounded post: counted in ThreadQueue::waiting
};

struct SentMessage {
  HWND window = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  LRESULT result = 0;
  bool done = false;  // guarded by the sender's queue lock
  std::shared_ptr<ThreadQueue> sender;
  // Set by the sender's side once the message must no longer reach the window.
  const std::atomic<bool>* withdrawn = nullptr;
};

struct Timer {
  UINT_PTR id;
  HWND window;
  uint32_t period;
  uint32_t due;
  TIMERPROC callback;
};

struct ThreadQueue {
  ThreadQueue() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~ThreadQueue() {
    if (wakeFd >= 0) close(wakeFd);
  }
  void Wake() {
    const uint64_t one = 1;
    ssize_t ignored = write(wakeFd, &one, sizeof one);
    (void)ignored;
  }
  void Drain() {
    uint64_t value;
    ssize_t ignored = read(wakeFd, &value, sizeof value);
    (void)ignored;
  }

  std::mutex lock;
  int wakeFd;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::deque<QueuedPost> posted;
  // The bounded posts still in `posted`, by message.
  std::map<PostKey, size_t> waiting;
  std::vector<Timer> timers;
  bool quit = false;
  int quitCode = 0;
  bool closed = false;  // the thread has ended: nothing more is queued
  // Cross-thread messages being handled, innermost last (for ReplyMessage).
  std::vector<std::shared_ptr<SentMessage>> handling;
};

struct WindowEntry {
  WNDPROC procedure;
  void* user;
  std::weak_ptr<ThreadQueue> owner;
};

// The window table is never destroyed: reader threads may still send while
// the process ends and its static objects go.
std::mutex& g_windowsLock = *new std::mutex;
std::map<uintptr_t, WindowEntry>& g_windows = *new std::map<uintptr_t, WindowEntry>;
uintptr_t g_nextWindow = 0x10000;
std::mutex& g_timerIdLock = *new std::mutex;
UINT_PTR g_nextTimerId = 1;

void Complete(const std::shared_ptr<SentMessage>& message, LRESULT result) {
  std::shared_ptr<ThreadQueue> sender = message->sender;
  {
    std::lock_guard<std::mutex> guard(sender->lock);
    if (message->done) return;
    message->result = result;
    message->done = true;
  }
  sender->Wake();
}

// Releases every sender still waiting on a thread that ends.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  ~QueueHolder() {
    std::deque<std::shared_ptr<SentMessage>> left;
    {
      std::lock_guard<std::mutex> guard(queue->lock);
      queue->closed = true;
      left.swap(queue->sent);
    }
    for (auto& message : left) Complete(message, 0);
  }
};

thread_local QueueHolder t_holder;

ThreadQueue& Current() { return *t_holder.queue; }

bool LookUp(HWND window, WindowEntry& entry) {
  std::lock_guard<std::mutex> guard(g_windowsLock);
  auto it = g_windows.find(reinterpret_cast<uintptr_t>(window));
  if (it == g_windows.end()) return false;
  entry = it->second;
  return true;
}

// Window ids are never reused, so only a destruction can change what a
// window id names; the count of destructions tells a thread whether what it
// looked up last is still so.
std::atomic<uint64_t> g_destroyedWindows{0};

struct LastLookUp {
  HWND window = nullptr;
  uint64_t destroyed = 0;
  WNDPROC procedure = nullptr;
  bool own = false;
};
thread_local LastLookUp t_lastLookUp;

// The procedure of a window, and whether the calling thread owns it, read
// without taking a reference to the owner's queue, and without the lock
// when the thread asked about the same window last and none has been
// destroyed since: the pen messages of a replay all go to one window of the
// sending thread.
bool LookUpProcedure(HWND window, WNDPROC& procedure, bool& own) {
  LastLookUp& last = t_lastLookUp;
  if (window != nullptr && last.window == window &&
      g_destroyedWindows.load(std::memory_order_acquire) == last.destroyed) {
    procedure = last.procedure;
    own = last.own;
    return true;
  }
  std::lock_guard<std::mutex> guard(g_windowsLock);
  auto it = g_windows.find(reinterpret_cast<uintptr_t>(window));
  if (it == g_windows.end()) return false;
  const std::weak_ptr<ThreadQueue>& owner = it->second.owner;
  const std::shared_ptr<ThreadQueue>& self = t_holder.queue;
  procedure = it->second.procedure;
  own = !owner.owner_before(self) && !self.owner_before(owner);
  last = LastLookUp{window, g_destroyedWindows.load(std::memory_order_relaxed), procedure, own};
  return true;
}

// Handles every message sent to this thread's windows. True if any was handled.
bool HandleSent(ThreadQueue& queue) {
  bool any = false;
  for (;;) {
    std::shared_ptr<SentMessage> message;
    {
      std::lock_guard<std::mutex> guard(queue.lock);
      if (queue.sent.empty()) return any;
      message = queue.sent.front();
      queue.sent.pop_front();
      queue.handling.push_back(message);
    }
    any = true;
    LRESULT result = 0;
    WindowEntry entry;
    const bool withdrawn = message->withdrawn != nullptr && message->withdrawn->load(std::memory_order_acquire);
    if (!withdrawn && LookUp(message->window, entry) && entry.procedure != nullptr) {
      result = entry.procedure(message->window, message->message, message->wParam,
                               message->lParam);
    }
    {
      std::lock_guard<std::mutex> guard(queue.lock);
      queue.handling.pop_back();
    }
    Complete(message, result);
  }
}

// A signal ends the poll early; the wait goes on for what is left of it.
void WaitWake(ThreadQueue& queue, int timeoutMs, int extraFd = -1) {
  pollfd fds[2] = {{queue.wakeFd, POLLIN, 0}, {extraFd, POLLIN, 0}};
  const nfds_t count = extraFd >= 0 ? 2 : 1;
  const uint32_t start = TickCount();
  int left = timeoutMs;
  while (poll(fds, count, left) < 0 && errno == EINTR) {
    if (timeoutMs < 0) continue;
    const uint32_t elapsed = TickCount() - start;
    if (elapsed >= static_cast<uint32_t>(timeoutMs)) return;
    left = timeoutMs - static_cast<int>(elapsed);
  }
}

// The owner queues of every window, each once.
std::vector<std::shared_ptr<ThreadQueue>> WindowQueues() {
  std::vector<std::shared_ptr<ThreadQueue>> queues;
  std::lock_guard<std::mutex> guard(g_windowsLock);
  for (const auto& [id, entry] : g_windows) {
    std::shared_ptr<ThreadQueue> owner = entry.owner.lock();
    if (!owner) continue;
    bool seen = false;
    for (const auto& queue : queues) seen = seen || queue == owner;
    if (!seen) queues.push_back(std::move(owner));
  }
  return queues;
}

// A bounded post leaves the queue. Called with the queue locked.
void Uncount(ThreadQueue& queue, const QueuedPost& post) {
  if (!post.counted) return;
  auto it = queue.waiting.find(KeyOf(post.msg));
  if (it != queue.waiting.end() && --it->second == 0) queue.waiting.erase(it);
}

constexpr size_t kUnbounded = 0;

// Queues a posted message for `window`'s thread (the caller's for a null
// window). A `limit` other than kUnbounded makes it a bounded post: not
// while that many equal bounded posts wait there.
BOOL Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam, size_t limit) {
  std::shared_ptr<ThreadQueue> owner;
  if (window == nullptr) {
    owner = t_holder.queue;
  } else {
    WindowEntry entry;
    if (!LookUp(window, entry)) return 0;
    owner = entry.owner.lock();
    if (!owner) return 0;
  }
  {
    std::lock_guard<std::mutex> guard(owner->lock);
    if (owner->closed) return 0;
    // A window that does not keep up loses posts rather than the process
    // its memory, and its timers still come between them.
    if (owner->posted.size() >= kPostedQueueLimit) return 0;
    const MSG msg{window, message, wParam, lParam, TickCount()};
    if (limit != kUnbounded) {
      size_t& waiting = owner->waiting[KeyOf(msg)];
      if (waiting >= limit) return 0;
      ++waiting;
    }
    owner->posted.push_back(QueuedPost{msg, limit != kUnbounded});
  }
  owner->Wake();
  return 1;
}

int MsUntil(uint32_t due, uint32_t now) {
  const int32_t left = static_cast<int32_t>(due - now);
  return left < 0 ? 0 : left;
}

// Takes the next posted message or due timer. Called with the queue locked.
bool TakeNext(ThreadQueue& queue, MSG* msg, bool remove, int* waitMs) {
  if (!queue.posted.empty()) {
    *msg = queue.posted.front().msg;
    if (remove) {
      Uncount(queue, queue.posted.front());
      queue.posted.pop_front();
    }
    return true;
  }
  if (queue.quit) {
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, TickCount()};
    if (remove) queue.quit = false;
    return true;
  }
  const uint32_t now = TickCount();
  int wait = -1;
  for (Timer& timer : queue.timers) {
    const int left = MsUntil(timer.due, now);
    if (left == 0) {
      *msg = MSG{timer.window, WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.callback), now};
      if (remove) timer.due = now + timer.period;
      return true;
    }
    if (wait < 0 || left < wait) wait = left;
  }
  *waitMs = wait;
  return false;
}

}  // namespace

void PumpSentMessages(uint32_t ms) {
  ThreadQueue& queue = Current();
  const uint32_t start = TickCount();
  for (;;) {
    queue.Drain();
    HandleSent(queue);
    const uint32_t elapsed = TickCount() - start;
    if (ms != kInfinite && elapsed >= ms) return;
    WaitWake(queue, ms == kInfinite ? -1 : static_cast<int>(ms - elapsed));
  }
}

namespace posix {

bool WaitFdPumping(int fd, uint32_t ms, bool (*ready)(void*), void* context) {
  ThreadQueue& queue = Current();
  const uint32_t start = TickCount();
  for (;;) {
    queue.Drain();
    HandleSent(queue);
    if (ready(context)) return true;
    const uint32_t elapsed = TickCount() - start;
    if (ms != kInfinite && elapsed >= ms) return false;
    WaitWake(queue, ms == kInfinite ? -1 : static_cast<int>(ms - elapsed), fd);
  }
}

}  // namespace posix

static LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                      const std::atomic<bool>* withdrawn) {
  WNDPROC procedure = nullptr;
  bool own = false;
  if (!LookUpProcedure(window, procedure, own)) return 0;
  if (own) return procedure ? procedure(window, message, wParam, lParam) : 0;
  WindowEntry entry;
  if (!LookUp(window, entry)) return 0;
  std::shared_ptr<ThreadQueue> owner = entry.owner.lock();
  if (!owner) return 0;
  ThreadQueue& self = Current();
  if (owner.get() == &self) {
    return entry.procedure ? entry.procedure(window, message, wParam, lParam) : 0;
  }
  auto sent = std::make_shared<SentMessage>();
  sent->window = window;
  sent->message = message;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->sender = t_holder.queue;
  sent->withdrawn = withdrawn;
  {
    std::lock_guard<std::mutex> guard(owner->lock);
    if (owner->closed) return 0;
    owner->sent.push_back(sent);
  }
  owner->Wake();
  owner.reset();
  for (;;) {
    self.Drain();
    {
      std::lock_guard<std::mutex> guard(self.lock);
      if (sent->done) return sent->result;
    }
    HandleSent(self);
    {
      std::lock_guard<std::mutex> guard(self.lock);
      if (sent->done) return sent->result;
    }
    WaitWake(self, -1);
  }
}

LRESULT SendMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                const std::atomic<bool>* withdrawn) {
  return Send(window, message, wParam, lParam, withdrawn);
}

bool PostMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return PostMessageA(window, message, wParam, lParam) != 0;
}

bool PostMsgBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, size_t limit) {
  if (limit == 0) return false;  // no room at all
  return Post(window, message, wParam, lParam, limit) != 0;
}

// Every queue is in view here.
void WatchPosted(HWND) {}

void RemovePosted(UINT message, LPARAM lParam) {
  for (const std::shared_ptr<ThreadQueue>& queue : WindowQueues()) {
    std::lock_guard<std::mutex> guard(queue->lock);
    std::erase_if(queue->posted, [&](const QueuedPost& post) {
      if (post.msg.message != message || post.msg.lParam != lParam) return false;
      Uncount(*queue, post);
      return true;
    });
  }
}

uintptr_t CurrentThreadTag() { return reinterpret_cast<uintptr_t>(t_holder.queue.get()); }

bool ReleaseSender(uintptr_t sender, LRESULT result, bool) {
  ThreadQueue& self = Current();
  std::shared_ptr<SentMessage> message;
  {
    std::lock_guard<std::mutex> guard(self.lock);
    for (auto it = self.handling.rbegin(); it != self.handling.rend() && !message; ++it) {
      if (reinterpret_cast<uintptr_t>((*it)->sender.get()) == sender) message = *it;
    }
    // A message of that sender still queued is withdrawn, never delivered.
    for (auto it = self.sent.begin(); it != self.sent.end() && !message; ++it) {
      if (reinterpret_cast<uintptr_t>((*it)->sender.get()) != sender) continue;
      message = *it;
      self.sent.erase(it);
      break;
    }
  }
  if (!message) return false;
  Complete(message, result);
  return true;
}

UINT_PTR StartTimer(uint32_t periodMs, TIMERPROC callback) {
  return SetTimer(nullptr, 0, periodMs, callback);
}

void StopTimer(UINT_PTR id) { KillTimer(nullptr, id); }

}  // namespace tqp

using tqp::Current;
using tqp::ThreadQueue;

extern "C" {

HWND TQCreateWindow(WNDPROC procedure, void* user) {
  std::lock_guard<std::mutex> guard(tqp::g_windowsLock);
  const uintptr_t id = tqp::g_nextWindow++;
  tqp::g_windows[id] = tqp::WindowEntry{procedure, user, tqp::t_holder.queue};
  return reinterpret_cast<HWND>(id);
}

BOOL TQDestroyWindow(HWND window) {
  std::lock_guard<std::mutex> guard(tqp::g_windowsLock);
  if (tqp::g_windows.erase(reinterpret_cast<uintptr_t>(window)) == 0) return 0;
  tqp::g_destroyedWindows.fetch_add(1, std::memory_order_release);
  return 1;
}

void* TQGetWindowUser(HWND window) {
  tqp::WindowEntry entry;
  return tqp::LookUp(window, entry) ? entry.user : nullptr;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return tqp::Send(window, message, wParam, lParam, nullptr);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return tqp::Post(window, message, wParam, lParam, tqp::kUnbounded);
}

BOOL ReplyMessage(LRESULT result) {
  ThreadQueue& self = Current();
  std::shared_ptr<tqp::SentMessage> message;
  {
    std::lock_guard<std::mutex> guard(self.lock);
    if (self.handling.empty()) return 0;
    message = self.handling.back();
  }
  tqp::Complete(message, result);
  return 1;
}

BOOL GetMessageA(MSG* msg, HWND, UINT, UINT) {
  if (msg == nullptr) return -1;
  ThreadQueue& self = Current();
  for (;;) {
    self.Drain();
    tqp::HandleSent(self);
    int waitMs = -1;
    {
      std::lock_guard<std::mutex> guard(self.lock);
      if (tqp::TakeNext(self, msg, true, &waitMs)) return msg->message == WM_QUIT ? 0 : 1;
    }
    tqp::WaitWake(self, waitMs);
  }
}

BOOL PeekMessageA(MSG* msg, HWND, UINT, UINT, UINT remove) {
  if (msg == nullptr) return 0;
  ThreadQueue& self = Current();
  self.Drain();
  tqp::HandleSent(self);
  int waitMs = -1;
  std::lock_guard<std::mutex> guard(self.lock);
  return tqp::TakeNext(self, msg, (remove & PM_REMOVE) != 0, &waitMs) ? 1 : 0;
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (msg == nullptr) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, tqp::TickCount());
    return 0;
  }
  tqp::WindowEntry entry;
  if (msg->hwnd == nullptr || !tqp::LookUp(msg->hwnd, entry) || entry.procedure == nullptr) return 0;
  return entry.procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL TranslateMessage(const MSG*) { return 0; }

void PostQuitMessage(int exitCode) {
  ThreadQueue& self = Current();
  {
    std::lock_guard<std::mutex> guard(self.lock);
    self.quit = true;
    self.quitCode = exitCode;
  }
  self.Wake();
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT periodMs, TIMERPROC callback) {
  ThreadQueue& self = Current();
  std::lock_guard<std::mutex> guard(self.lock);
  if (window != nullptr && id != 0) {
    for (tqp::Timer& timer : self.timers) {
      if (timer.window == window && timer.id == id) {
        timer.period = periodMs;
        timer.due = tqp::TickCount() + periodMs;
        timer.callback = callback;
        return id;
      }
    }
  } else {
    std::lock_guard<std::mutex> idGuard(tqp::g_timerIdLock);
    id = tqp::g_nextTimerId++;
    if (tqp::g_nextTimerId == 0) tqp::g_nextTimerId = 1;
  }
  self.timers.push_back(tqp::Timer{id, window, periodMs, tqp::TickCount() + periodMs, callback});
  return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
  ThreadQueue& self = Current();
  std::lock_guard<std::mutex> guard(self.lock);
  for (auto it = self.timers.begin(); it != self.timers.end(); ++it) {
    if (it->id == id && it->window == window) {
      self.timers.erase(it);
      return 1;
    }
  }
  return 0;
}

DWORD GetTickCount(void) { return tqp::TickCount(); }

// The calling thread's wake descriptor: readable once a message is sent or
// posted to the thread (a board's pen messages among them) and until the
// thread next looks at its queue (PeekMessageA, GetMessageA or a wait inside
// the library). A host with a loop of its own (poll, asyncio, Qt) waits on
// it and then handles what came with PeekMessageA; due timers do not make it
// readable. Left out of TQApi.h: the Python package is its one user.
TQAPI int TQGetThreadWakeFd(void) { return Current().wakeFd; }

}  // extern "C"
