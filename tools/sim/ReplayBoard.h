// A raw capture played as a board on a pseudo-terminal, at the pace of its
// 9600-baud line (960 bytes a second) times a speed. The host opens the pty
// like any serial port: the probe is answered as the captured board would
// answer it, then the capture's bytes follow, so they travel the live path,
// reader thread and all, as the board's did.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimBoard.h"

namespace tqtool {

constexpr double kLineBytesPerSecond = 960.0;  // 9600 baud, 10 bits a byte

class ReplayBoard {
 public:
  ReplayBoard() = default;
  ~ReplayBoard();
  ReplayBoard(const ReplayBoard&) = delete;
  ReplayBoard& operator=(const ReplayBoard&) = delete;

  // Reads the capture and opens the pty; false with the reason in `error`.
  bool Open(const std::string& path, double speed, std::string& error);
  // The slave side, to be named by TQ_COM<n>.
  const std::string& Path() const { return m_slavePath; }
  // True once every byte of the capture has been written.
  bool Done() const { return m_done.load(); }
  void Stop();

 private:
  void Run();
  void Answer(const uint8_t* bytes, size_t count, double now);
  void Write(const tqsim::Bytes& bytes);

  tqsim::BoardModel m_model;
  std::vector<uint8_t> m_body;
  double m_speed = 1.0;
  int m_master = -1, m_slave = -1;
  int m_stopPipe[2] = {-1, -1};
  std::string m_slavePath;
  double m_streamStart = -1.0;  // when the capture's first byte is due
  size_t m_sent = 0;
  double m_lastSent = 0.0;
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

}  // namespace tqtool
