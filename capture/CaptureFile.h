// One capture file of a port (.raw, .val or .out): a 20-byte header, then
// raw chunks or 5-byte sample records.
//
// The reader thread appends while the host's thread may copy or close the
// file, so every operation takes the file's own lock. Live captures write
// straight through to the system: a host that crashes loses nothing that was
// already read. A failing write (a full disk) is counted and otherwise
// ignored, so the pen messages keep flowing; so is a write that cannot
// complete at once: the reader never waits for a capture.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "TQApi.h"
#include "filter/PenSample.h"
#include "geometry/Truncate.h"

namespace tq {

struct SCaptureHeader {
  double protocolNumber = 0.0;
  double boardVersion = 0.0;
  uint32_t receiverSpacing = 0;
};

constexpr unsigned kCaptureHeaderSize = 20;
constexpr unsigned kSampleRecordSize = 5;

void EncodeCaptureHeader(const SCaptureHeader& header, uint8_t out[kCaptureHeaderSize]);
SCaptureHeader DecodeCaptureHeader(const uint8_t in[kCaptureHeaderSize]);
// The kind, then the low 16 bits of the truncated x and y, little-endian.
inline void EncodeSampleRecord(const SPenSample& sample, uint8_t out[kSampleRecordSize]) {
  const auto x = static_cast<uint16_t>(TruncateToInt32(sample.x));
  const auto y = static_cast<uint16_t>(TruncateToInt32(sample.y));
  out[0] = sample.kind;
  out[1] = static_cast<uint8_t>(x);
  out[2] = static_cast<uint8_t>(x >> 8);
  out[3] = static_cast<uint8_t>(y);
  out[4] = static_cast<uint8_t>(y >> 8);
}

// A sample record as it lies in a .val or .out file: the kind and the two
// signed 16-bit coordinates of the receiver frame.
struct SSampleRecord {
  uint8_t kind = 0;
  int16_t x = 0;
  int16_t y = 0;
};
SSampleRecord DecodeSampleRecord(const uint8_t in[kSampleRecordSize]);

class CCaptureFile : public ISampleRecordSink {
 public:
  CCaptureFile() = default;
  ~CCaptureFile() override { Close(); }
  CCaptureFile(const CCaptureFile&) = delete;
  CCaptureFile& operator=(const CCaptureFile&) = delete;

  // Creates or truncates `path`, readable by others while it grows, and
  // writes the header. False when the file cannot be opened, when the path
  // is a link or anything but a regular file of this user, and when another
  // capture, of this process or another, is writing the file.
  bool Create(const char* path, const SCaptureHeader& header);
  void Close();
  bool IsOpen() const { return m_open.load(std::memory_order_acquire); }

  void Append(const uint8_t* data, unsigned length);
  void WriteSampleRecord(const SPenSample& sample) override;
  // Appends the whole file, header included, to the end of `target`, in
  // blocks of 1024 bytes; stops at the first block `target` refuses.
  void CopyTo(CFile& target);

  // Replay may collect its writes in memory and hand them to the system in
  // large blocks; live captures never do. Closing the file ends buffering.
  void SetBuffered(bool buffered);

  uint64_t FailedWrites() const { return m_failedWrites.load(std::memory_order_relaxed); }

 private:
  std::mutex m_lock;
  CFile m_file;
  std::atomic<bool> m_open{false};
  std::atomic<uint64_t> m_failedWrites{0};
  bool m_buffered = false;
  std::unique_ptr<uint8_t[]> m_pending;  // replay's write buffer, allocated on first use
  size_t m_pendingCount = 0;

  void WriteThrough(const uint8_t* data, size_t length);
  void FlushPending();
};

}  // namespace tq
