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
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
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

void PtyBoard::Send(const Bytes& bytes) {
  // The lock is held only for each write: while the line is full the board
  // must still answer what the library sends it, or a probe that comes while
  // a stream is waiting would never be answered. A library that reads nothing
  // for two seconds has the rest of the bytes dropped, as a full line would.
  size_t done = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  while (done < bytes.size()) {
    int master;
    ssize_t n;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      master = m_master;
      if (master < 0) return;
      n = write(master, bytes.data() + done, bytes.size() - done);
    }
    if (n > 0) {
      done += static_cast<size_t>(n);
      lastProgress = std::chrono::steady_clock::now();
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    } else if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(2)) {
      return;
    } else {
      pollfd entry{master, POLLOUT, 0};
      poll(&entry, 1, 20);
    }
  }
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
    const Bytes reply = Answer(buffer, static_cast<size_t>(n));
    m_changed.notify_all();
    if (!reply.empty()) Send(reply);
  }
}

}  // namespace tqtest
