// The one way the fleet commands reach the engine (NATS with JetStream):
// the same options everywhere, credentials from a file or the environment
// and never from the command line, TLS for tls:// addresses, and a link
// that never gives up: it reconnects for as long as the command runs and
// says on standard error when the engine goes away and comes back.
//
//   --nats URL[,URL...]   the engine's servers
//   --creds FILE          a credentials file (user JWT and NKey seed)
//   --ca FILE             the certificate authority of a tls:// server
// Environment, when no --creds is given: NATS_TOKEN, or NATS_USER with
// NATS_PASSWORD.
//
// Each board has a stream of its own, TQ_BOARD_<NAME>, holding the subject
// tq.board.<NAME>.events.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include <nats/nats.h>

namespace tqtool {

class CommandLine;

struct FleetOptions {
  std::string urls;
  std::string board;
  std::string creds;
  std::string ca;
};

// Adds --nats, --creds and --ca, and with `board` --board NAME.
void AddFleetOptions(CommandLine& line, FleetOptions& options, bool board);
// "" or what is wrong with the options once read (a board name a subject
// cannot carry, a file that cannot be read).
std::string FleetProblem(const FleetOptions& options, bool board);

// Letters, digits, '-' and '_', at most 64.
bool ValidBoardName(const std::string& name);
std::string StreamName(const std::string& board);
std::string BoardSubject(const std::string& board);
// The board of a stream's name, "" when it is no board's stream.
std::string BoardOfStream(const std::string& stream);

// Words for a status, with the library's last error text when it has one.
std::string NatsWhy(natsStatus status);

class NatsLink {
 public:
  NatsLink() = default;
  ~NatsLink();
  NatsLink(const NatsLink&) = delete;
  NatsLink& operator=(const NatsLink&) = delete;

  // Connects for command `command` ("publish"); when the engine is not
  // there yet the link keeps trying in the background and this returns
  // true all the same, quietly: the user of the link says what it misses. False with the reason for what no retry mends (a
  // bad address, an unreadable credentials file).
  bool Connect(const FleetOptions& options, const std::string& command, std::string& error);
  natsConnection* Connection() const { return m_connection; }
  jsCtx* Js() const { return m_js; }
  bool Connected() const;
  // How many times the link was lost so far.
  uint64_t Losses() const { return m_losses.load(); }

 private:
  static void OnDisconnected(natsConnection* connection, void* closure);
  static void OnReconnected(natsConnection* connection, void* closure);
  static void OnClosed(natsConnection* connection, void* closure);

  std::string m_command;
  natsConnection* m_connection = nullptr;
  jsCtx* m_js = nullptr;
  std::atomic<uint64_t> m_losses{0};
  std::atomic<bool> m_everConnected{false};
  std::atomic<bool> m_closing{false};
  // The client calls back from a thread of its own, after the event; the
  // closed callback comes last, so once it has run no other can reach this
  // object.
  std::mutex m_closedLock;
  std::condition_variable m_closedSignal;
  bool m_closed = false;
};

}  // namespace tqtool
