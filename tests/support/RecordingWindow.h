// A host window for tests: records every message it receives, copying the
// SPenPoint of pen messages while it is still valid.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "TQApi.h"

namespace tqtest {

struct Received {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  SPenPoint point;  // for the three pen messages
};

// Whether a posted message numbered above 0xFFFF reaches the window. A board
// below version 2.0 has its 0x90 signal posted as 0xFFFFFFFF. The library's
// own window service on Linux carries any number; Windows keeps the numbers
// above 0xFFFF for itself (their high bits are its own flags) and refuses to
// post one, so no window there ever receives the signal. Wine takes the post
// for one of its internal messages and never hands it out either.
#ifdef _WIN32
inline constexpr bool kPostsAboveFFFFArrive = false;
#else
inline constexpr bool kPostsAboveFFFFArrive = true;
#endif

// The line of `tq replay --events` for one message.
std::string EventLine(const Received& event);

class RecordingWindow {
 public:
  RecordingWindow();
  ~RecordingWindow();
  RecordingWindow(const RecordingWindow&) = delete;
  RecordingWindow& operator=(const RecordingWindow&) = delete;

  HWND Handle() const { return m_window; }
  std::vector<Received> Events() const;
  std::vector<std::string> EventLines() const;
  size_t Count(UINT message) const;
  void Clear();
  // Called inside the window procedure (after the message is recorded).
  void OnMessage(std::function<void(const Received&)> hook) { m_hook = std::move(hook); }

  // Runs the calling thread's message loop for `ms` milliseconds.
  static void Pump(int ms);
  // Runs it until pred() holds or `timeoutMs` has passed; returns pred().
  static bool PumpUntil(const std::function<bool()>& pred, int timeoutMs);

 private:
  static LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND m_window = nullptr;
  mutable std::mutex m_lock;
  std::vector<Received> m_events;
  std::function<void(const Received&)> m_hook;
};

}  // namespace tqtest
