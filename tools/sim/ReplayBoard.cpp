#include "sim/ReplayBoard.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "capture/CaptureFile.h"
#include "common/CaptureInput.h"

namespace tqtool {

namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The host reopens the line and starts its reader after the probe; bytes
// sent before that would be thrown away with the line's buffers.
constexpr double kStartDelay = 0.3;

}  // namespace

ReplayBoard::~ReplayBoard() { Stop(); }

bool ReplayBoard::Open(const std::string& path, double speed, std::string& error) {
  SCapture capture;
  if (!ReadCapture(path, capture, error)) return false;
  const tq::SCaptureHeader& header = capture.header;
  if (error = CaptureHeaderProblem(path, header); !error.empty()) return false;
  if (!tqsim::MakeModel(header.boardVersion, header.receiverSpacing, m_model)) {
    error = "'" + path + "' is not the capture of a board this tool can play (version, baseline)";
    return false;
  }
  m_body = std::move(capture.body);
  m_speed = speed;
  m_master = posix_openpt(O_RDWR | O_NOCTTY);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  m_slavePath = ptsname(m_master);
  // Held open here so the line does not hang up between the host's opens.
  m_slave = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
  if (m_slave < 0 || pipe(m_stopPipe) != 0) {
    error = std::string("cannot open the pseudo-terminal's slave side: ") + std::strerror(errno);
    return false;
  }
  termios tio{};
  tcgetattr(m_slave, &tio);
  cfmakeraw(&tio);
  cfsetspeed(&tio, B9600);
  tcsetattr(m_slave, TCSANOW, &tio);
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  for (int fd : {m_master, m_slave, m_stopPipe[0], m_stopPipe[1]}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  m_lastSent = Now();
  m_thread = std::thread([this] { Run(); });
  return true;
}

void ReplayBoard::Stop() {
  if (m_thread.joinable()) {
    const char stop = 1;
    if (write(m_stopPipe[1], &stop, 1) < 0) std::perror("tq serve: stopping the replay");
    m_thread.join();
  }
  for (int* fd : {&m_master, &m_slave, &m_stopPipe[0], &m_stopPipe[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void ReplayBoard::Write(const tqsim::Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd entry{m_master, POLLOUT, 0};
      if (poll(&entry, 1, 200) <= 0) return;  // nobody reads: lost on the line
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
  m_lastSent = Now();
}

void ReplayBoard::Answer(const uint8_t* bytes, size_t count, double now) {
  for (size_t i = 0; i < count; ++i) {
    tqsim::Bytes reply;
    bool probed = false;
    if (bytes[i] == 0x20) {
      reply = tqsim::ProtocolReply(m_model);
      if (m_model.protocol >= 2.0) {  // version and geometry follow unasked
        const tqsim::Bytes version = tqsim::VersionReply(m_model);
        const tqsim::Bytes geometry = tqsim::GeometryPacket(m_model);
        reply.insert(reply.end(), version.begin(), version.end());
        reply.insert(reply.end(), geometry.begin(), geometry.end());
        probed = true;
      }
    } else if (bytes[i] == '$' && m_model.protocol < 2.0) {
      reply = tqsim::VersionReply(m_model);
      const tqsim::Bytes geometry = tqsim::GeometryPacket(m_model);
      reply.insert(reply.end(), geometry.begin(), geometry.end());
      probed = true;
    } else if (bytes[i] == '?' && m_model.family != 1) {
      reply = {tqsim::kHeartbeat};
    }
    if (!reply.empty()) Write(reply);
    // Played once: a host that probes again finds the board idle.
    if (probed && m_streamStart < 0.0) m_streamStart = now + kStartDelay;
  }
}

void ReplayBoard::Run() {
  const double rate = kLineBytesPerSecond * m_speed;
  for (;;) {
    const double now = Now();
    double wait = 0.1;
    if (m_streamStart >= 0.0 && m_sent < m_body.size() && now >= m_streamStart) {
      // Everything the line has carried by now, in one write.
      const auto due = static_cast<size_t>((now - m_streamStart) * rate) + 1;
      const size_t end = std::min(m_body.size(), std::max(due, m_sent));
      if (end > m_sent) Write(tqsim::Bytes(m_body.begin() + m_sent, m_body.begin() + end));
      m_sent = end;
      if (m_sent == m_body.size()) m_done = true;
      wait = std::min(0.01, 1.0 / rate);
    } else if (m_streamStart >= 0.0 && m_sent < m_body.size()) {
      wait = m_streamStart - now;
    } else if (m_done && m_model.family != 1 && now - m_lastSent >= 1.0) {
      Write({tqsim::kHeartbeat});  // an idle board of protocol 2.0 says it is there
    }
    pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {m_master, POLLIN, 0}};
    const int ready = poll(fds, 2, std::max(1, static_cast<int>(wait * 1000.0)));
    if (fds[0].revents != 0) return;
    if (ready <= 0 || (fds[1].revents & POLLIN) == 0) {
      // The host has closed the line: wait for it to open it again.
      if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0) usleep(20000);
      continue;
    }
    uint8_t buffer[256];
    const ssize_t n = read(m_master, buffer, sizeof buffer);
    if (n > 0) Answer(buffer, static_cast<size_t>(n), Now());
  }
}

}  // namespace tqtool
