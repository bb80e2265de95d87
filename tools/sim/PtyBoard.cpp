#include "sim/PtyBoard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace tqsim {

namespace {

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

}  // namespace

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<TimedBytes> PaceOnLine(const Bytes& body, double bytesPerSecond) {
  const size_t perChunk = std::max<size_t>(1, static_cast<size_t>(bytesPerSecond / 100.0));
  std::vector<TimedBytes> chunks;
  for (size_t at = 0; at < body.size(); at += perChunk) {
    const size_t end = std::min(body.size(), at + perChunk);
    chunks.push_back({static_cast<double>(at) / bytesPerSecond, Bytes(body.begin() + at, body.begin() + end)});
  }
  return chunks;
}

PtyBoard::~PtyBoard() {
  Stop();
  HangUp();
  for (int* fd : {&m_stopPipe[0], &m_stopPipe[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!m_link.empty() && LinkTarget(m_link) == m_path) unlink(m_link.c_str());
}

bool PtyBoard::Open(std::string& error) {
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
    error = Reason("cannot open a pseudo-terminal");
    return false;
  }
  m_path = ptsname(m_master);
  m_slave = open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_slave < 0 || pipe2(m_stopPipe, O_CLOEXEC) != 0) {
    error = Reason("cannot open the pseudo-terminal's slave side");
    return false;
  }
  termios tio{};
  tcgetattr(m_slave, &tio);
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  cfsetspeed(&tio, B9600);
  tcsetattr(m_slave, TCSANOW, &tio);
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  m_lastSent = Now();
  return true;
}

bool PtyBoard::Link(const std::string& link, std::string& error) {
  struct stat info{};
  if (lstat(link.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode) || LinkTarget(link).rfind("/dev/pts/", 0) != 0) {
      error = link + " exists and is not a board's link; it is left alone";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(m_path.c_str(), link.c_str()) != 0) {
    error = Reason("cannot make the link " + link);
    return false;
  }
  m_link = link;
  return true;
}

void PtyBoard::AnswerAs(const ProbeReplies& replies) {
  Listen([replies](const uint8_t* bytes, size_t count, bool& probed) {
    return AnswerHost(replies, bytes, count, probed);
  });
}

int PtyBoard::Master() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_master;
}

bool PtyBoard::Send(const uint8_t* bytes, size_t count) {
  if (m_silent) {
    m_lastSent = Now();
    return true;
  }
  // The lock is held only for each write: while the line is full the board
  // still answers what the host sends it, or a probe that comes while a
  // stream waits would never be answered.
  size_t done = 0;
  double progress = Now();
  while (done < count) {
    int master;
    ssize_t n;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      master = m_master;
      if (master < 0) return false;
      n = write(master, bytes + done, count - done);
    }
    if (n > 0) {
      done += static_cast<size_t>(n);
      progress = Now();
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return false;
    } else if (Now() - progress > m_patience) {
      return false;  // nobody reads: the rest is lost on the line
    } else {
      pollfd entry{master, POLLOUT, 0};
      poll(&entry, 1, 20);
    }
  }
  m_lastSent = Now();
  return true;
}

double PtyBoard::SendDue(double now) {
  Bytes due;
  while (m_next < m_chunks.size() && m_start + m_chunks[m_next].time <= now) {
    due.insert(due.end(), m_chunks[m_next].bytes.begin(), m_chunks[m_next].bytes.end());
    ++m_next;
  }
  if (!due.empty()) Send(due);
  if (m_next == m_chunks.size()) return 0.1;
  return std::clamp(m_start + m_chunks[m_next].time - now, 0.0, 0.1);
}

bool PtyBoard::Step(double seconds) {
  const int master = Master();
  pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
  const int ready = poll(fds, 2, std::max(1, static_cast<int>(seconds * 1000.0)));
  if (ready < 0 && errno != EINTR) return false;
  if (fds[0].revents != 0) return false;
  if (ready <= 0 || master < 0 || (fds[1].revents & POLLIN) == 0) {
    // The host has closed the line: wait for it to open it again.
    if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) usleep(20000);
    return true;
  }
  uint8_t buffer[256];
  const ssize_t n = read(master, buffer, sizeof buffer);
  if (n <= 0 || !m_listener) return true;
  bool probed = false;
  const Bytes reply = m_silent ? Bytes() : m_listener(buffer, static_cast<size_t>(n), probed);
  if (probed) ++m_probes;
  if (!reply.empty()) Send(reply);
  return true;
}

void PtyBoard::Start(std::function<double()> tick) {
  m_thread = std::thread([this, tick = std::move(tick)] {
    while (Step(tick ? tick() : 0.05)) {
    }
  });
}

void PtyBoard::Stop() {
  if (!m_thread.joinable()) return;
  const char stop = 1;
  while (write(m_stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
  }
  m_thread.join();
}

void PtyBoard::HangUp() {
  std::lock_guard<std::mutex> guard(m_lock);
  for (int* fd : {&m_slave, &m_master}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

}  // namespace tqsim
