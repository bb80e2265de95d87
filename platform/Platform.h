// The services the driver takes from the operating system: serial lines,
// manual-reset events, a recursive lock, threads, window messages and
// window-less timers, the millisecond tick, the temporary directory.
//
// On Windows each call passes straight through to the Win32 function of the
// same role; on POSIX the backend in platform/posix implements the same
// semantics itself. The logic folders include only this header.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "TQApi.h"

namespace tqp {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Win32 error numbers the reader thread tells apart.
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorDeviceGone = 1167;  // ERROR_DEVICE_NOT_CONNECTED

// Serial event mask bit: a character was received.
constexpr uint32_t kEventRxChar = 0x0001;

uint32_t TickCount();
void SleepMs(uint32_t ms);
// True while the process ends with its other threads already gone (the
// Windows library's detach at process exit); POSIX: always false.
bool ProcessIsEnding();

// The temporary directory as the system reports it, normally ending with a
// separator (TMPDIR, else /tmp/, on POSIX).
std::string TempPath();
// The separator between a directory and a file name ('\\' or '/').
char PathSeparator();

// CFile::Open flags for the files the library opens itself; a host's flags
// never carry them.
// Only a regular file opens; anything else (a directory, a FIFO, a device)
// is refused with kCauseNotRegularFile, and the open itself never waits for
// a FIFO's other end.
constexpr unsigned kOpenRegularOnly = 0x01000000u;
// A capture the library records. A link at the path is not followed, and an
// existing path must be a regular file of this user; the file is held
// against every other capture of it, in this process or another; a write
// that cannot complete at once fails instead of waiting.
constexpr unsigned kOpenCapture = 0x02000000u;
// The CFileException cause of a refusal under either flag.
constexpr int kCauseNotRegularFile = 6;

// Manual-reset event: stays signalled from Set until Reset.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits up to `ms` (kInfinite: no limit) for the event. Messages sent to
  // windows of the calling thread are handled meanwhile, so a thread waiting
  // here never deadlocks with a sender. True when the event is signalled.
  bool Wait(uint32_t ms);
  // The backend's waitable object (a HANDLE, or a poll()-able descriptor).
  intptr_t Native() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  void Lock();
  void Unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : m_lock(lock) { m_lock.Lock(); }
  ~LockGuard() { m_lock.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock& m_lock;
};

// Starts a detached thread at above-normal priority (best effort where the
// system does not allow it). False when the thread could not be created.
bool StartThread(void (*procedure)(void*), void* argument);

// Waits up to `ms`, handling the messages sent to windows of the calling
// thread meanwhile (what a Windows thread does while it waits for a reply).
void PumpSentMessages(uint32_t ms);

// Window messages.
// Sends and waits for the reply. A message still queued when `withdrawn`
// becomes true is not handed to the window (its result is 0); Windows cannot
// take a sent message back and ignores it.
LRESULT SendMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                const std::atomic<bool>* withdrawn = nullptr);
// A number that names the calling thread to ReleaseSender.
uintptr_t CurrentThreadTag();
// Releases `sender` (a CurrentThreadTag) from the message it sent to the
// calling thread, which is handling it further up its stack, as if the
// window procedure had returned `result`; one still queued is withdrawn
// (POSIX; on Windows it is delivered). False when the calling thread is
// not known to be handling a message of that sender: another thread's
// sender is never released. `onlyLibrarySender` tells whether no other
// reader of the library is inside a send at the moment (the Windows backend
// cannot name a sender and releases the innermost one only then).
bool ReleaseSender(uintptr_t sender, LRESULT result, bool onlyLibrarySender);
bool PostMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Posts unless `limit` messages with the same window, number and parameters,
// posted through here, still wait undelivered in the window thread's queue;
// true when this one was queued. The count goes down as the window's thread
// takes them out of its queue (GetMessageA, PeekMessageA with PM_REMOVE) or
// RemovePosted does. The Windows backend cannot look into a queue: it counts
// the posts itself and watches the window thread take them, once
// WatchPosted ran on that thread; to a thread it does not watch it posts
// without a count, under the system's own bound only.
bool PostMsgBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, size_t limit);
// Called on the thread that owns `window`: lets PostMsgBounded count what
// waits for that thread from now on, for the rest of the thread's life
// (Windows; the POSIX backend sees its queues and needs nothing). Nothing
// happens on another thread or for a null window.
void WatchPosted(HWND window);
// Takes the undelivered posted messages numbered `message` with this
// lParam out of the queues of every window's thread (the Windows backend:
// of the calling thread's windows).
void RemovePosted(UINT message, LPARAM lParam);
// The most posted messages a thread's queue holds; a post beyond it fails.
constexpr size_t kPostedQueueLimit = 10000;
// Window-less timer bound to the calling thread's message loop; returns the
// id the system chose, 0 on failure.
UINT_PTR StartTimer(uint32_t periodMs, TIMERPROC callback);
void StopTimer(UINT_PTR id);

// Line timeouts, in milliseconds, with the meaning of Win32 COMMTIMEOUTS.
struct LineTimeouts {
  uint32_t readInterval;
  uint32_t readTotalMultiplier;
  uint32_t readTotalConstant;
  uint32_t writeTotalMultiplier;
  uint32_t writeTotalConstant;
};

// The line settings the driver touches.
struct LineSettings {
  uint32_t baud = 0;
  char parity = 'N';      // N, E, O, M, S
  uint8_t dataBits = 8;   // 5 to 8
  uint8_t stopBits = 1;   // 1 or 2 (15 for one and a half)
  bool rtsEnable = false;
};

// Parses a line definition text such as "baud=9600 parity=N data=8 stop=1"
// over `settings` (keys may come in any order; unknown keys and malformed
// values reject the whole text and leave `settings` unchanged).
bool ParseLineDefinition(const char* text, LineSettings& settings);

enum class IoStart { kDone, kPending, kFailed };

// One open serial device.
class SerialLine {
 public:
  virtual ~SerialLine() = default;

  // Opens "COM<n>" for reading and writing, exclusively; overlapped selects
  // the reader thread's mode. Null when the device cannot be opened.
  static std::unique_ptr<SerialLine> Open(const char* deviceName, bool overlapped);
  // The system's name of the device that Open opens for "COM<n>".
  static std::string DevicePath(const char* deviceName);

  virtual bool SetTimeouts(const LineTimeouts& timeouts) = 0;
  virtual bool SetEventMask(uint32_t mask) = 0;
  virtual bool GetEventMask(uint32_t* mask) = 0;
  virtual bool GetSettings(LineSettings* settings) = 0;
  virtual bool BuildSettings(const char* text, LineSettings* settings) = 0;
  virtual bool SetSettings(const LineSettings& settings) = 0;
  // Aborts pending reads and writes and clears both buffers.
  virtual bool Purge() = 0;
  // Clears a pending line error; reports the bytes waiting in the input queue.
  virtual bool ClearError(uint32_t* inQueue) = 0;

  // Plain mode: reads and writes complete under the applied timeouts.
  virtual bool Read(void* buffer, uint32_t count, uint32_t* got) = 0;
  virtual bool Write(const void* buffer, uint32_t count, uint32_t* written) = 0;

  // Overlapped mode (the reader thread). `error` receives the Win32 error
  // number when the start does not complete at once.
  virtual IoStart StartEventWait(uint32_t* error) = 0;
  // Waits without limit for the stop event, the line event or the write
  // event; the first signalled in that order wins. Returns 0, 1, 2, or -1.
  virtual int WaitAny(Event& stop, Event& write) = 0;
  virtual IoStart StartRead(void* buffer, uint32_t count, uint32_t* got, uint32_t* error) = 0;
  virtual IoStart StartWrite(const void* buffer, uint32_t count, uint32_t* error) = 0;
  // Waits for the pending read or write; false when it failed.
  virtual bool CompleteIo(uint32_t* transferred) = 0;
};

}  // namespace tqp
