#include "common/MessageLoop.h"

#include <chrono>
#include <csignal>

#include "TQApi.h"

namespace tqtool {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

// The loop running on this thread: its timer callback has no other way in.
thread_local const LoopSettings* t_loop = nullptr;
thread_local int64_t t_startUs = 0;

void OnTick(HWND, UINT, UINT_PTR, DWORD) {
  if (t_loop == nullptr) return;
  const int64_t now = NowUs();
  if (g_stop || (t_loop->seconds > 0 && static_cast<double>(now - t_startUs) >= t_loop->seconds * 1e6)) {
    PostQuitMessage(0);
    return;
  }
  if (t_loop->tick) t_loop->tick(now);
}

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool StopRequested() { return g_stop != 0; }

void RequestStop() { g_stop = 1; }

int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int RunMessageLoop(const LoopSettings& settings) {
  const LoopSettings* outer = t_loop;
  const int64_t outerStart = t_startUs;
  t_loop = &settings;
  t_startUs = NowUs();
  const UINT_PTR timer = SetTimer(nullptr, 0, settings.tickMs, &OnTick);
  MSG msg{};
  int status = 0;
  while (!g_stop) {
    if (!GetMessageA(&msg, nullptr, 0, 0)) {
      status = static_cast<int>(msg.wParam);
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    if (settings.done && settings.done()) break;
  }
  KillTimer(nullptr, timer);
  t_loop = outer;
  t_startUs = outerStart;
  return status;
}

void DrainMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace tqtool
