// A raw capture played as a board on a pseudo-terminal, at the pace of its
// 9600-baud line (960 bytes a second) times a speed. The host opens the pty
// like any serial port: the probe is answered as the captured board would
// answer it, then the capture's bytes follow, so they travel the live path,
// reader thread and all, as the board's did.
#pragma once

#include <atomic>
#include <string>

#include "sim/PtyBoard.h"
#include "sim/SimBoard.h"

namespace tqtool {

class ReplayBoard {
 public:
  ReplayBoard() = default;
  ~ReplayBoard() { Stop(); }
  ReplayBoard(const ReplayBoard&) = delete;
  ReplayBoard& operator=(const ReplayBoard&) = delete;

  // Reads the capture and opens the pty; false with the reason in `error`.
  bool Open(const std::string& path, double speed, std::string& error);
  // The slave side, to be named by TQ_COM<n>.
  const std::string& Path() const { return m_pty.Path(); }
  void Stop() { m_pty.Stop(); }
  // True once the whole capture has been sent to the host.
  bool Played() const { return m_played.load(); }

 private:
  // What the board does between waits for the host; how long to wait.
  double Tick();

  tqsim::BoardModel m_model;
  tqsim::PtyBoard m_pty;
  bool m_started = false;  // played once: a host that probes again finds the board idle
  std::atomic<bool> m_played{false};
};

}  // namespace tqtool
