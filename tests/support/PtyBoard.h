// A scripted board on a pseudo-terminal: the test holds the master side and
// plays the board; the library opens the slave side as COM<n>.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tqtest {

using Bytes = std::vector<uint8_t>;

struct BoardScript {
  Bytes protocolReply;   // answer to 0x20
  Bytes versionReply;    // answer to 0x24, or sent unasked after the protocol reply
  Bytes geometry;        // sent right after the version reply
  bool versionUnasked = false;  // protocol 2.0 boards: version and geometry follow at once
  bool silent = false;          // answers nothing
  Bytes questionReply;          // answer to "?" (nothing when empty)
};

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
  int m_master = -1;
  int m_slaveKeep = -1;  // keeps the line from hanging up between the library's opens
  int m_stopPipe[2] = {-1, -1};
  std::string m_slavePath;
  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  BoardScript m_script;
  Bytes m_received;
  std::thread m_thread;
};

}  // namespace tqtest
