// A board on a pseudo-terminal: this side holds the master and plays the
// board, the host opens the slave side like any serial port. The slave is
// held open here too, so the line does not hang up between the host's opens
// (the probe's open and the running one). The line is raw 9600 8N1.
//
// What the board says comes from a listener: it hears the host's bytes and
// gives the answer (AnswerAs: a board's replies to the probe and to '?').
// Bytes go out unpaced (Send, as fast as the host reads them) or paced
// (Load and Play: timed chunks, each when its time has come). The owner
// either drives it one Step at a time or lets it Start a thread of its own.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimBoard.h"

namespace tqsim {

constexpr double kLineBytesPerSecond = 960.0;  // 9600 baud, 10 bits a byte

// The steady clock in seconds, the time Play and Step count in.
double Now();

// `body` as it leaves a line of `bytesPerSecond`: chunks of at most 10 ms.
std::vector<TimedBytes> PaceOnLine(const Bytes& body, double bytesPerSecond);

class PtyBoard {
 public:
  // The answer to bytes the host sent; set `probed` when they finished a probe.
  using Listener = std::function<Bytes(const uint8_t* bytes, size_t count, bool& probed)>;

  PtyBoard() = default;
  ~PtyBoard();
  PtyBoard(const PtyBoard&) = delete;
  PtyBoard& operator=(const PtyBoard&) = delete;

  // Opens the pty; false with the reason in `error`.
  bool Open(std::string& error);
  // Also names the board `link`, a symlink to the slave side. Only a link to
  // a pseudo-terminal (one an earlier board left) is replaced, never a file
  // or another link; the link goes with the board while it still leads here.
  bool Link(const std::string& link, std::string& error);
  // The slave side, for the host (TQ_COM<n>).
  const std::string& Path() const { return m_path; }

  // Set before Start (or between Steps).
  void Listen(Listener listener) { m_listener = std::move(listener); }
  void AnswerAs(const ProbeReplies& replies);
  // A silent board sends nothing and answers nothing.
  void SetSilent(bool silent) { m_silent = silent; }
  // How long a write waits for a host that reads nothing before the rest
  // of the bytes is lost, as on a full line.
  void SetPatience(double seconds) { m_patience = seconds; }

  // Writes bytes as the board sends them; false when they did not all go
  // (no reader, or the line is gone). Any thread.
  bool Send(const uint8_t* bytes, size_t count);
  bool Send(const Bytes& bytes) { return Send(bytes.data(), bytes.size()); }
  // When the board last sent (or, silent, would have sent) something.
  double LastSent() const { return m_lastSent.load(); }
  // How many probes the board has answered.
  int Probes() const { return m_probes.load(); }

  // The paced stream: Load once, Play from `start` (again for a replay),
  // SendDue writes what is due by `now` and says how long until the next.
  void Load(std::vector<TimedBytes> chunks) { m_chunks = std::move(chunks), m_next = m_chunks.size(); }
  void Play(double start) { m_start = start, m_next = 0; }
  double SendDue(double now);
  bool Playing() const { return m_next < m_chunks.size(); }

  // Waits up to `seconds` for the host and answers what it sent; false once
  // stopped.
  bool Step(double seconds);
  // Steps on a thread of its own until Stop; `tick` runs before each wait
  // and says how long to wait (a default of 50 ms without it).
  void Start(std::function<double()> tick = {});
  void Stop();
  // Closes the master side: the device vanishes.
  void HangUp();

 private:
  int Master() const;

  mutable std::mutex m_lock;  // the master, against HangUp
  int m_master = -1, m_slave = -1;
  int m_stopPipe[2] = {-1, -1};
  std::string m_path, m_link;
  Listener m_listener;
  std::atomic<bool> m_silent{false};
  double m_patience = 0.2;
  std::atomic<double> m_lastSent{0.0};
  std::atomic<int> m_probes{0};
  std::vector<TimedBytes> m_chunks;
  size_t m_next = 0;
  double m_start = 0.0;
  std::thread m_thread;
};

}  // namespace tqsim
