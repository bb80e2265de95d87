// The one message loop of the commands, and the one stop flag: SIGINT,
// SIGTERM and SIGHUP ask every command to end the same way, through the
// loop, so that ports are closed and files finished before the exit.
#pragma once

#include <cstdint>
#include <functional>

namespace tqtool {

// Catches SIGINT, SIGTERM and SIGHUP into the stop flag from now on.
void CatchStopSignals();
// True once a stop signal arrived or RequestStop was called.
bool StopRequested();
void RequestStop();

// Microseconds of the monotonic clock.
int64_t NowUs();

struct LoopSettings {
  double seconds = 0;     // end after this long; 0: no limit
  unsigned tickMs = 100;  // how often `tick` runs (and the stop flag is looked at)
  // Called every tickMs with the time; a command's periodic work.
  std::function<void(int64_t nowUs)> tick;
  // Called after every message dispatched; true ends the loop.
  std::function<bool()> done;
};

// Runs the calling thread's message loop (the thread that opened the port:
// its watchdog is a timer of this loop) until a stop signal, the time limit,
// `done` or PostQuitMessage. Returns PostQuitMessage's code, else 0.
int RunMessageLoop(const LoopSettings& settings = {});

// Handles every message waiting for the calling thread, without waiting.
void DrainMessages();

}  // namespace tqtool
