// The scripted board for the Windows test programs. Wine gives a COM port
// the Unix device its registry names; the runner maps COM<n> to the stable
// path <ports>/com<n>. A Linux relay beside the test (board_relay) makes a
// pseudo-terminal for each board, points that path at its slave side and
// carries the master side's bytes over a local TCP connection, whose end
// this object holds and plays the board on. Closing the connection closes
// the master: the device vanishes and the path is removed.
#include "support/PtyBoard.h"

#include <winsock2.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace tqtest {
namespace {

SOCKET AsSocket(int value) { return static_cast<SOCKET>(value); }

// Connects to the relay (its port in TQ_BOARD_RELAY) and asks for COM<n>.
SOCKET ConnectRelay(int com) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  const char* port = std::getenv("TQ_BOARD_RELAY");
  if (!started || port == nullptr) throw std::runtime_error("no board relay (TQ_BOARD_RELAY)");
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  const std::string request = "COM" + std::to_string(com) + "\n";
  char answer[3] = {};
  int got = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      send(s, request.data(), static_cast<int>(request.size()), 0) !=
          static_cast<int>(request.size())) {
    closesocket(s);
    throw std::runtime_error("board relay unreachable");
  }
  while (got < 3) {
    const int n = recv(s, answer + got, 3 - got, 0);
    if (n <= 0) break;
    got += n;
  }
  if (got != 3 || answer[0] != 'o' || answer[1] != 'k' || answer[2] != '\n') {
    closesocket(s);
    throw std::runtime_error("board relay refused COM" + std::to_string(com));
  }
  return s;
}

}  // namespace

PtyBoard::PtyBoard(int com, BoardScript script) : m_com(com), m_script(std::move(script)) {
  m_master = static_cast<int>(ConnectRelay(com));
  m_slavePath = "COM" + std::to_string(com);
  m_thread = std::thread([this] { Run(); });
}

PtyBoard::~PtyBoard() {
  Vanish();
  m_thread.join();
}

void PtyBoard::Send(const Bytes& bytes) {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t done = 0;
  while (m_master >= 0 && done < bytes.size()) {
    const int n = send(AsSocket(m_master), reinterpret_cast<const char*>(bytes.data()) + done,
                       static_cast<int>(bytes.size() - done), 0);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Ends the connection and waits until the relay has closed the master and
// removed the path (it closes its end of the connection after that), so a
// later open of the port fails.
void PtyBoard::Vanish() {
  std::unique_lock<std::mutex> guard(m_lock);
  if (m_master < 0) return;
  if (m_slaveKeep < 0) {
    m_slaveKeep = 1;  // ending: the reader thread closes the socket at the relay's close
    shutdown(AsSocket(m_master), SD_SEND);
  }
  m_changed.wait_for(guard, std::chrono::seconds(5), [this] { return m_master < 0; });
}

void PtyBoard::Run() {
  for (;;) {
    SOCKET s;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      s = AsSocket(m_master);
    }
    uint8_t buffer[256];
    const int n = recv(s, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (n <= 0) {
      {
        std::lock_guard<std::mutex> guard(m_lock);
        closesocket(s);
        m_master = -1;
      }
      m_changed.notify_all();
      return;
    }
    const Bytes reply = Answer(buffer, static_cast<size_t>(n));
    m_changed.notify_all();
    if (!reply.empty()) Send(reply);
  }
}

}  // namespace tqtest
