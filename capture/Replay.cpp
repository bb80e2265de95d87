// Replay of a raw capture on a port object of its own, which has no line and
// no thread: the header stands in for the probe's answers, and the body is
// handed to the receive path one packet length at a time.
#include "capture/Replay.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "api/TextNumber.h"
#include "platform/Platform.h"

namespace tq {
namespace {

constexpr size_t kReadBlock = 64 * 1024;

// Where the bytes of a capture come from. Read fills up to `size` bytes and
// returns how many it gave, 0 at the end; Failed tells an end from an error.
class CSource {
 public:
  virtual ~CSource() = default;
  virtual size_t Read(uint8_t* out, size_t size) = 0;
  virtual bool Failed() const { return false; }
};

class CMemorySource : public CSource {
 public:
  CMemorySource(const uint8_t* data, size_t size) : m_data(data), m_left(data == nullptr ? 0 : size) {}
  size_t Read(uint8_t* out, size_t size) override {
    const size_t n = std::min(size, m_left);
    if (n > 0) std::memcpy(out, m_data, n);
    m_data += n;
    m_left -= n;
    return n;
  }

 private:
  const uint8_t* m_data;
  size_t m_left;
};

class CFileSource : public CSource {
 public:
  explicit CFileSource(CFile& file) : m_file(file), m_length(file.GetLength()) {}
  size_t Read(uint8_t* out, size_t size) override {
    const unsigned got = m_file.Read(out, static_cast<unsigned>(size));
    m_position += got;
    return got;
  }
  // A regular file that ends before the length it had at the open was cut
  // under the replay or failed a read.
  bool Failed() const override { return m_position < m_length; }

 private:
  CFile& m_file;
  unsigned long long m_length;
  unsigned long long m_position = 0;
};

void SetStages(CBoardPort& port, const SReplayOptions& options) {
  port.m_filter.SetValidation(options.validation ? 1 : 0);
  port.m_filter.SetFilter(options.smoothing ? 1 : 0);
  port.m_filter.SetAntiStreak(options.antiStreak ? 1 : 0);
  port.SetPodLocation(options.podLocation);
  port.SetBoardHeight(options.boardHeight);
}

// Hands the body to the receive path one packet length at a time, read in
// large blocks; returns the bytes replayed.
uint64_t ReplayBody(CBoardPort& port, CSource& source) {
  const size_t packet = port.m_packetLength;
  std::vector<uint8_t> block(kReadBlock);
  uint64_t total = 0;
  size_t held = 0;
  for (;;) {
    const size_t got = source.Read(block.data() + held, block.size() - held);
    total += got;
    held += got;
    size_t pos = 0;
    for (; held - pos >= packet; pos += packet) port.DispatchReceived(block.data() + pos, static_cast<int>(packet));
    std::memmove(block.data(), block.data() + pos, held - pos);
    held -= pos;
    if (got == 0) break;
  }
  // The raw stream has no packet boundaries: a board of version 2 or later
  // sends single heartbeat bytes while idle, so a live recording's length is
  // rarely a whole number of packets, and its last packet ends in the short
  // tail. Those bytes go to the receive buffer like the rest; the framing
  // decodes them only if they complete a packet, so stray bytes at the end of
  // a file are still never decoded.
  if (held > 0) port.DispatchReceived(block.data(), static_cast<int>(held));
  return total;
}

ReplayStatus Replay(CSource& source, const char* captureBase, HWND window, const SReplayOptions& options,
                    SReplayStats& stats) {
  uint8_t headerBytes[kCaptureHeaderSize];
  size_t got = 0;
  while (got < sizeof headerBytes) {
    const size_t n = source.Read(headerBytes + got, sizeof headerBytes - got);
    if (n == 0) break;
    got += n;
  }
  if (got < sizeof headerBytes) return source.Failed() ? ReplayStatus::ReadError : ReplayStatus::NotCapture;
  stats.header = DecodeCaptureHeader(headerBytes);
  stats.headerRead = true;
  // A header that names no protocol or board this could have come from is
  // not replayed and leaves no captures.
  if (!AcceptCaptureHeader(stats.header)) return ReplayStatus::NotCapture;

  // The replay object carries port number 0: it is in no table.
  CBoardPort port(window);
  port.TakeReplayedHeader(stats.header);
  SetStages(port, options);
  if (options.writeCaptures && captureBase != nullptr) port.OpenReplayCaptures(captureBase);
  stats.bytes = ReplayBody(port, source);
  port.ReopenCaptures(nullptr, 0);
  stats.pushed = port.m_filter.PushedCount();
  stats.rejected = port.m_filter.RejectedCount();
  stats.streaksCut = port.m_filter.StreakCutCount();
  return source.Failed() ? ReplayStatus::ReadError : ReplayStatus::Replayed;
}

// The captures beside a replayed file take its name less the last four
// characters (".raw"); a name that short leaves only the extensions.
std::string CaptureBaseOf(const char* path) {
  const size_t length = std::strlen(path);
  return length > 4 ? std::string(path, length - 4) : std::string();
}

}  // namespace

bool AcceptCaptureHeader(const SCaptureHeader& header) {
  return header.protocolNumber > 0.0 && header.protocolNumber < 100.0 && header.boardVersion > 0.0 &&
         header.boardVersion < 100.0;
}

size_t CapturePacketLength(double protocolNumber) { return protocolNumber < 2.0 ? 5 : 9; }

ReplayStatus ReplayCaptureFile(const char* path, HWND window, const SReplayOptions& options,
                               SReplayStats* stats) {
  SReplayStats local;
  SReplayStats& out = stats != nullptr ? *stats : local;
  out = SReplayStats{};
  if (path == nullptr) return ReplayStatus::CannotOpen;
  CFile file;
  // Held without sharing: nobody writes the file while it is replayed.
  const unsigned flags = CFile::modeRead | CFile::shareExclusive | CFile::typeBinary | tqp::kOpenRegularOnly;
  if (!file.Open(path, flags, &out.openError)) {
    return out.openError.m_cause == tqp::kCauseNotRegularFile ? ReplayStatus::NotRegularFile
                                                              : ReplayStatus::CannotOpen;
  }
  CFileSource source(file);
  const std::string base = options.captureBase != nullptr ? options.captureBase : CaptureBaseOf(path);
  return Replay(source, base.c_str(), window, options, out);
}

ReplayStatus ReplayCaptureBytes(const uint8_t* data, size_t size, HWND window, const SReplayOptions& options,
                                SReplayStats* stats) {
  SReplayStats local;
  SReplayStats& out = stats != nullptr ? *stats : local;
  out = SReplayStats{};
  CMemorySource source(data, size);
  return Replay(source, options.captureBase, window, options, out);
}

}  // namespace tq
