// Serial lines on POSIX terminals.
//
// "COM<n>" is the device named by the environment variable TQ_COM<n>, read at
// every open (set but empty: no device), else /dev/ttyS<n-1>. The descriptor is always non-blocking;
// the read and write timeouts of the Windows model are kept here with
// poll(), so a plain read returns when its count has arrived, when more than
// the interval passes between two bytes, or at the total timeout, and the
// reader thread's reads return at once with what is there.
//
// Things a board line needs that a terminal does not do by default: raw mode
// with software flow control off (XON/XOFF would swallow the bytes 0x11 and
// 0x13 of binary packets), CLOCAL and CREAD, and settings read back after
// tcsetattr, which reports success when any one change applied. Modem-line
// ioctls fail on pseudo-terminals; raising RTS there is not an error.
#include <fcntl.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"

namespace tqp {
namespace {

struct BaudEntry {
  uint32_t baud;
  speed_t speed;
};
constexpr BaudEntry kBauds[] = {
    {110, B110},     {300, B300},     {600, B600},     {1200, B1200},     {2400, B2400},
    {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
};

bool SpeedFor(uint32_t baud, speed_t& speed) {
  for (const BaudEntry& entry : kBauds) {
    if (entry.baud == baud) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

uint32_t BaudFor(speed_t speed) {
  for (const BaudEntry& entry : kBauds) {
    if (entry.speed == speed) return entry.baud;
  }
  return 0;
}

// A signal ends the poll early; the wait goes on for what is left of it.
int PollOne(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  const uint32_t start = TickCount();
  int left = timeoutMs;
  for (;;) {
    const int result = poll(&entry, 1, left);
    if (result < 0 && errno == EINTR) {
      if (timeoutMs < 0) continue;
      const uint32_t elapsed = TickCount() - start;
      if (elapsed >= static_cast<uint32_t>(timeoutMs)) return 0;
      left = timeoutMs - static_cast<int>(elapsed);
      continue;
    }
    if (result <= 0) return result;
    return entry.revents;
  }
}

// A serial driver may hold received bytes back to hand them over in bigger
// pieces; a pen packet then reaches the reader late. Asking for low latency
// is best effort: a pty or a driver that refuses works as before.
void RequestLowLatency(int fd) {
#if defined(__linux__)
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &serial);
#else
  (void)fd;
#endif
}

class PosixSerialLine final : public SerialLine {
 public:
  explicit PosixSerialLine(int fd) : m_fd(fd) {}
  ~PosixSerialLine() override {
    flock(m_fd, LOCK_UN);
    close(m_fd);
  }

  bool SetTimeouts(const LineTimeouts& timeouts) override {
    m_timeouts = timeouts;
    return true;
  }
  bool SetEventMask(uint32_t mask) override {
    m_eventMask = mask;
    return true;
  }
  bool GetEventMask(uint32_t* mask) override {
    *mask = m_eventMask;
    return true;
  }

  bool GetSettings(LineSettings* settings) override {
    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) return false;
    settings->baud = BaudFor(cfgetospeed(&tio));
    if ((tio.c_cflag & PARENB) == 0) {
      settings->parity = 'N';
    } else {
      settings->parity = (tio.c_cflag & PARODD) ? 'O' : 'E';
    }
    switch (tio.c_cflag & CSIZE) {
      case CS5: settings->dataBits = 5; break;
      case CS6: settings->dataBits = 6; break;
      case CS7: settings->dataBits = 7; break;
      default: settings->dataBits = 8; break;
    }
    settings->stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    settings->rtsEnable = m_rts;
    return true;
  }

  bool BuildSettings(const char* text, LineSettings* settings) override {
    return ParseLineDefinition(text, *settings);
  }

  bool SetSettings(const LineSettings& settings) override {
    speed_t speed;
    if (!SpeedFor(settings.baud, speed)) return false;
    // Mark and space parity and one and a half stop bits have no termios form.
    if (settings.parity == 'M' || settings.parity == 'S' || settings.stopBits == 15) return false;
    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[settings.dataBits - 5];
    if (settings.parity != 'N') tio.c_cflag |= PARENB;
    if (settings.parity == 'O') tio.c_cflag |= PARODD;
    if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(m_fd, TCSANOW, &tio) != 0) return false;
    termios check{};
    if (tcgetattr(m_fd, &check) != 0) return false;
    const tcflag_t kMask = CSIZE | PARENB | PARODD | CSTOPB | CLOCAL | CREAD;
    if ((check.c_cflag & kMask) != (tio.c_cflag & kMask) || cfgetospeed(&check) != speed ||
        (check.c_iflag & (IXON | IXOFF)) != 0) {
      return false;
    }
    m_rts = settings.rtsEnable;
    if (m_rts) {
      int bits = TIOCM_RTS;
      ioctl(m_fd, TIOCMBIS, &bits);  // fails with ENOTTY on a pseudo-terminal
    }
    return true;
  }

  bool Purge() override {
    m_waitPending = false;
    return tcflush(m_fd, TCIOFLUSH) == 0;
  }

  bool ClearError(uint32_t* inQueue) override {
    int count = 0;
    if (ioctl(m_fd, FIONREAD, &count) != 0) {
      *inQueue = 0;
      return false;
    }
    *inQueue = count > 0 ? static_cast<uint32_t>(count) : 0;
    return true;
  }

  bool Read(void* buffer, uint32_t count, uint32_t* got) override {
    *got = 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    const bool atOnce = m_timeouts.readInterval == 0xFFFFFFFFu &&
                        m_timeouts.readTotalMultiplier == 0 && m_timeouts.readTotalConstant == 0;
    const uint64_t total = static_cast<uint64_t>(m_timeouts.readTotalMultiplier) * count +
                           m_timeouts.readTotalConstant;
    const uint32_t start = TickCount();
    while (*got < count) {
      int waitMs = -1;
      if (atOnce) {
        waitMs = 0;
      } else {
        if (total > 0) {
          const uint32_t elapsed = TickCount() - start;
          if (elapsed >= total) return true;
          waitMs = static_cast<int>(total - elapsed);
        }
        if (*got > 0 && m_timeouts.readInterval > 0 && m_timeouts.readInterval != 0xFFFFFFFFu) {
          const int interval = static_cast<int>(m_timeouts.readInterval);
          if (waitMs < 0 || interval < waitMs) waitMs = interval;
        }
      }
      const int ready = PollOne(m_fd, POLLIN, waitMs);
      if (ready < 0) return false;
      if (ready == 0) return true;  // timed out: what arrived is the result
      const ssize_t n = read(m_fd, bytes + *got, count - *got);
      if (n > 0) {
        *got += static_cast<uint32_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        m_hungUp = (n == 0 || errno == EIO);
        return false;
      }
    }
    return true;
  }

  bool Write(const void* buffer, uint32_t count, uint32_t* written) override {
    *written = 0;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const uint64_t total = static_cast<uint64_t>(m_timeouts.writeTotalMultiplier) * count +
                           m_timeouts.writeTotalConstant;
    const uint32_t start = TickCount();
    while (*written < count) {
      const ssize_t n = write(m_fd, bytes + *written, count - *written);
      if (n > 0) {
        *written += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      int waitMs = -1;
      if (total > 0) {
        const uint32_t elapsed = TickCount() - start;
        if (elapsed >= total) return false;
        waitMs = static_cast<int>(total - elapsed);
      }
      if (PollOne(m_fd, POLLOUT, waitMs) <= 0) return false;
    }
    return true;
  }

  IoStart StartEventWait(uint32_t* error) override {
    if (m_hungUp) {
      *error = kErrorDeviceGone;
      return IoStart::kFailed;
    }
    uint32_t queued = 0;
    if (ClearError(&queued) && queued > 0) return IoStart::kDone;
    if (m_waitPending) {
      *error = kErrorInvalidParameter;
      return IoStart::kFailed;
    }
    m_waitPending = true;
    *error = kErrorIoPending;
    return IoStart::kPending;
  }

  int WaitAny(Event& stop, Event& write) override {
    pollfd fds[3] = {{static_cast<int>(stop.Native()), POLLIN, 0},
                     {m_hungUp ? -1 : m_fd, POLLIN, 0},
                     {static_cast<int>(write.Native()), POLLIN, 0}};
    for (;;) {
      const int result = poll(fds, 3, -1);
      if (result < 0 && errno == EINTR) continue;
      if (result <= 0) return -1;
      if (fds[0].revents != 0) return 0;
      if (fds[1].revents != 0) {
        m_waitPending = false;
        // A hang-up ends line waits for good; what is still queued is read first.
        if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) m_hungUp = true;
        return 1;
      }
      if (fds[2].revents != 0) return 2;
    }
  }

  IoStart StartRead(void* buffer, uint32_t count, uint32_t* got, uint32_t* error) override {
    *got = 0;
    for (;;) {
      const ssize_t n = read(m_fd, buffer, count);
      if (n > 0) {
        *got = static_cast<uint32_t>(n);
        return IoStart::kDone;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return IoStart::kDone;
      // A 0-byte read after poll said readable, or EIO: the device has gone.
      m_hungUp = true;
      *error = kErrorDeviceGone;
      return IoStart::kFailed;
    }
  }

  IoStart StartWrite(const void* buffer, uint32_t count, uint32_t* error) override {
    uint32_t written = 0;
    const int saved = errno;
    errno = 0;
    if (Write(buffer, count, &written)) {
      errno = saved;
      return IoStart::kDone;
    }
    if (written == 0 && errno != 0 && errno != EAGAIN) {
      *error = static_cast<uint32_t>(errno);
      errno = saved;
      return IoStart::kFailed;
    }
    // Started but not finished in time: the completion reports the failure.
    m_ioFailed = true;
    *error = kErrorIoPending;
    errno = saved;
    return IoStart::kPending;
  }

  bool CompleteIo(uint32_t* transferred) override {
    *transferred = 0;
    const bool ok = !m_ioFailed;
    m_ioFailed = false;
    return ok;
  }

 private:
  int m_fd;
  LineTimeouts m_timeouts{0, 0, 0, 0, 0};
  uint32_t m_eventMask = 0;
  bool m_rts = false;
  bool m_waitPending = false;
  bool m_hungUp = false;
  bool m_ioFailed = false;
};

}  // namespace

// "COM<n>" is what TQ_COM<n> names when it is set: set but empty names no
// device, so the open fails rather than reaching for a line nobody chose.
std::string SerialLine::DevicePath(const char* deviceName) {
  int number = 0;
  if (std::sscanf(deviceName, "COM%d", &number) != 1 || number < 1) return deviceName;
  char variable[32];
  std::snprintf(variable, sizeof variable, "TQ_COM%d", number);
  if (const char* mapped = std::getenv(variable); mapped != nullptr) return mapped;
  return "/dev/ttyS" + std::to_string(number - 1);
}

std::unique_ptr<SerialLine> SerialLine::Open(const char* deviceName, bool /*overlapped*/) {
  if (deviceName == nullptr) return nullptr;
  const std::string path = DevicePath(deviceName);
  if (path.empty()) return nullptr;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // flock excludes a second opener, also for root; TIOCEXCL is not used, as
  // on a pseudo-terminal it outlives the close while the master stays open.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
  }
  RequestLowLatency(fd);
  return std::make_unique<PosixSerialLine>(fd);
}

}  // namespace tqp
