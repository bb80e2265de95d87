#include "support/PtyBoard.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace tqtest {

Bytes GeometryPacket(uint8_t lead, unsigned baseline, unsigned length) {
  Bytes packet(length, 0);
  packet[0] = lead;
  packet[1] = static_cast<uint8_t>(baseline / 128);
  packet[2] = static_cast<uint8_t>(baseline % 128);
  return packet;
}

BoardScript ShortFormBoard(const std::string& protocol, const std::string& firmware,
                           unsigned baseline) {
  BoardScript script;
  script.protocolReply = {'v'};
  script.protocolReply.insert(script.protocolReply.end(), protocol.begin(), protocol.end());
  script.protocolReply.resize(5, ' ');
  script.versionReply = {'v'};
  script.versionReply.insert(script.versionReply.end(), firmware.begin(), firmware.end());
  script.versionReply.resize(5, ' ');
  script.geometry = GeometryPacket(0x90, baseline, 5);
  return script;
}

BoardScript LongFormBoard(const std::string& protocol, const std::string& firmware,
                          unsigned baseline) {
  BoardScript script;
  script.protocolReply = {0x90};
  script.protocolReply.insert(script.protocolReply.end(), protocol.begin(), protocol.end());
  script.protocolReply.resize(5, ' ');
  script.versionReply = {0x90};
  script.versionReply.insert(script.versionReply.end(), firmware.begin(), firmware.end());
  script.versionReply.resize(9, 0x13);
  script.geometry = GeometryPacket(0xB0, baseline, 9);
  script.versionUnasked = true;
  return script;
}

PtyBoard::PtyBoard(int com, BoardScript script) : m_com(com), m_script(std::move(script)) {
  int slave = -1;
  char name[256] = {};
  if (openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  m_slavePath = name;
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  m_slaveKeep = slave;
  fcntl(m_master, F_SETFD, FD_CLOEXEC);
  fcntl(m_slaveKeep, F_SETFD, FD_CLOEXEC);
  if (pipe(m_stopPipe) != 0) throw std::runtime_error("pipe failed");
  setenv(("TQ_COM" + std::to_string(com)).c_str(), m_slavePath.c_str(), 1);
  m_thread = std::thread([this] { Run(); });
}

PtyBoard::~PtyBoard() {
  const char stop = 1;
  ssize_t ignored = write(m_stopPipe[1], &stop, 1);
  (void)ignored;
  m_thread.join();
  close(m_stopPipe[0]);
  close(m_stopPipe[1]);
  if (m_master >= 0) close(m_master);
  if (m_slaveKeep >= 0) close(m_slaveKeep);
  // Left pointing at a path that no longer exists, so no real device is
  // touched by a later open of this port in the same test program.
  setenv(("TQ_COM" + std::to_string(m_com)).c_str(), "/nonexistent/tq-test-board", 1);
}

void PtyBoard::SetScript(const BoardScript& script) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_script = script;
}

void PtyBoard::Send(const Bytes& bytes) {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t done = 0;
  while (m_master >= 0 && done < bytes.size()) {
    const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    } else {
      pollfd entry{m_master, POLLOUT, 0};
      poll(&entry, 1, 100);
    }
  }
}

Bytes PtyBoard::Received() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_received;
}

size_t PtyBoard::CountReceived(uint8_t byte) const {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t count = 0;
  for (uint8_t b : m_received) count += b == byte;
  return count;
}

bool PtyBoard::WaitForReceived(uint8_t byte, size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> guard(m_lock);
  return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    size_t seen = 0;
    for (uint8_t b : m_received) seen += b == byte;
    return seen >= count;
  });
}

void PtyBoard::Vanish() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_slaveKeep >= 0) close(m_slaveKeep);
  m_slaveKeep = -1;
  if (m_master >= 0) close(m_master);
  m_master = -1;
}

void PtyBoard::Run() {
  for (;;) {
    int master;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      master = m_master;
    }
    pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (poll(fds, 2, master >= 0 ? 50 : 20) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (master < 0 || (fds[1].revents & POLLIN) == 0) continue;
    uint8_t buffer[256];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    Bytes reply;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_received.insert(m_received.end(), buffer, buffer + n);
      const BoardScript& s = m_script;
      for (ssize_t i = 0; i < n && !s.silent; ++i) {
        if (buffer[i] == 0x20) {
          reply.insert(reply.end(), s.protocolReply.begin(), s.protocolReply.end());
          if (s.versionUnasked) {
            reply.insert(reply.end(), s.versionReply.begin(), s.versionReply.end());
            reply.insert(reply.end(), s.geometry.begin(), s.geometry.end());
          }
        } else if (buffer[i] == 0x24) {
          reply.insert(reply.end(), s.versionReply.begin(), s.versionReply.end());
          reply.insert(reply.end(), s.geometry.begin(), s.geometry.end());
        } else if (buffer[i] == '?') {
          reply.insert(reply.end(), s.questionReply.begin(), s.questionReply.end());
        }
      }
    }
    m_changed.notify_all();
    if (!reply.empty()) Send(reply);
  }
}

}  // namespace tqtest
