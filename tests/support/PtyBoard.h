// A scripted board on a pseudo-terminal: the test holds the master side and
// plays the board; the library opens the slave side as COM<n>. On Linux the
// simulator's pty board carries it; the Windows test build has a relay of
// its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimBoard.h"

namespace tqsim {
class PtyBoard;
}

namespace tqtest {

using Bytes = std::vector<uint8_t>;

// The replies to the probe (0x20, 0x24) and to "?", and whether the board
// answers at all: the simulator's replies, written by the test.
using BoardScript = tqsim::ProbeReplies;

// A board of protocol 1.x: "v" replies, 5-byte packets, geometry lead 0x90.
BoardScript ShortFormBoard(const std::string& protocol, const std::string& firmware,
                           unsigned baseline);
// A board of protocol 2.0: 0x90 replies, 9-byte packets, geometry lead 0xB0.
BoardScript LongFormBoard(const std::string& protocol, const std::string& firmware,
                          unsigned baseline);
Bytes GeometryPacket(uint8_t lead, unsigned baseline, unsigned length);

class PtyBoard {
 public:
  // Opens a pty pair and points TQ_COM<com> at its slave side.
  explicit PtyBoard(int com, BoardScript script = {});
  ~PtyBoard();
  PtyBoard(const PtyBoard&) = delete;
  PtyBoard& operator=(const PtyBoard&) = delete;

  void SetScript(const BoardScript& script);
  // Writes bytes to the library, as the board would send them.
  void Send(const Bytes& bytes);
  // Everything the library has written to the board so far.
  Bytes Received() const;
  size_t CountReceived(uint8_t byte) const;
  // Waits until `byte` has been received `count` times; false on timeout.
  bool WaitForReceived(uint8_t byte, size_t count, int timeoutMs) const;
  // Closes the master side: the device vanishes.
  void Vanish();
  const std::string& SlavePath() const { return m_slavePath; }

 private:
  void Run();
  // Records bytes the library sent and returns the script's answer to them.
  Bytes Answer(const uint8_t* bytes, size_t count);

  int m_com;
  std::shared_ptr<tqsim::PtyBoard> m_line;  // the pty (Linux)
  int m_master = -1;     // the relay's connection (Windows)
  int m_slaveKeep = -1;  // Windows: set while the connection is ending
  std::string m_slavePath;
  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  BoardScript m_script;
  Bytes m_received;
  std::thread m_thread;
};

}  // namespace tqtest
