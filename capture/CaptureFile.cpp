#include "capture/CaptureFile.h"

#include <cstring>

#include "platform/Platform.h"

namespace tq {
namespace {

void PutLittle(uint8_t* out, uint64_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLittle(const uint8_t* in, unsigned bytes) {
  uint64_t value = 0;
  for (unsigned i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

uint64_t DoubleBits(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double DoubleFromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

constexpr size_t kBufferSize = 256 * 1024;

}  // namespace

void EncodeCaptureHeader(const SCaptureHeader& header, uint8_t out[kCaptureHeaderSize]) {
  PutLittle(out, DoubleBits(header.protocolNumber), 8);
  PutLittle(out + 8, DoubleBits(header.boardVersion), 8);
  PutLittle(out + 16, header.receiverSpacing, 4);
}

SCaptureHeader DecodeCaptureHeader(const uint8_t in[kCaptureHeaderSize]) {
  SCaptureHeader header;
  header.protocolNumber = DoubleFromBits(GetLittle(in, 8));
  header.boardVersion = DoubleFromBits(GetLittle(in + 8, 8));
  header.receiverSpacing = static_cast<uint32_t>(GetLittle(in + 16, 4));
  return header;
}

SSampleRecord DecodeSampleRecord(const uint8_t in[kSampleRecordSize]) {
  SSampleRecord record;
  record.kind = in[0];
  record.x = static_cast<int16_t>(static_cast<uint16_t>(GetLittle(in + 1, 2)));
  record.y = static_cast<int16_t>(static_cast<uint16_t>(GetLittle(in + 3, 2)));
  return record;
}

bool CCaptureFile::Create(const char* path, const SCaptureHeader& header) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_open.store(false, std::memory_order_release);
  if (m_file.IsOpen()) FlushPending();
  m_pendingCount = 0;
  m_buffered = false;
  m_file.Close();
  if (!m_file.Open(path, CFile::modeCreate | CFile::modeReadWrite | CFile::shareDenyNone | CFile::typeBinary |
                             tqp::kOpenCapture)) {
    return false;
  }
  uint8_t bytes[kCaptureHeaderSize];
  EncodeCaptureHeader(header, bytes);
  if (!m_file.TryWrite(bytes, sizeof bytes)) m_failedWrites.fetch_add(1, std::memory_order_relaxed);
  m_open.store(true, std::memory_order_release);
  return true;
}

void CCaptureFile::WriteThrough(const uint8_t* data, size_t length) {
  if (length > 0 && !m_file.TryWrite(data, static_cast<unsigned>(length))) {
    m_failedWrites.fetch_add(1, std::memory_order_relaxed);
  }
}

void CCaptureFile::FlushPending() {
  if (m_pendingCount > 0) WriteThrough(m_pending.get(), m_pendingCount);
  m_pendingCount = 0;
}

void CCaptureFile::SetBuffered(bool buffered) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!buffered && m_file.IsOpen()) FlushPending();
  m_buffered = buffered;
  if (buffered && !m_pending) m_pending = std::make_unique<uint8_t[]>(kBufferSize);
}

void CCaptureFile::Close() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_file.IsOpen()) FlushPending();
  m_pendingCount = 0;
  m_buffered = false;
  m_open.store(false, std::memory_order_release);
  m_file.Close();
}

void CCaptureFile::Append(const uint8_t* data, unsigned length) {
  if (length == 0 || data == nullptr || !IsOpen()) return;
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file.IsOpen()) return;
  if (!m_buffered) {
    WriteThrough(data, length);
    return;
  }
  if (length > kBufferSize - m_pendingCount) FlushPending();
  if (length >= kBufferSize) {
    WriteThrough(data, length);
    return;
  }
  uint8_t* const end = m_pending.get() + m_pendingCount;
  if (length == kSampleRecordSize) {
    // A sample record: a copy of known size is two moves, not a call.
    std::memcpy(end, data, kSampleRecordSize);
  } else {
    std::memcpy(end, data, length);
  }
  m_pendingCount += length;
}

void CCaptureFile::WriteSampleRecord(const SPenSample& sample) {
  if (!IsOpen()) return;
  uint8_t record[kSampleRecordSize];
  EncodeSampleRecord(sample, record);
  Append(record, sizeof record);
}

void CCaptureFile::CopyTo(CFile& target) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file.IsOpen()) return;
  FlushPending();
  // The lock keeps the reader thread's appends out, so the capture cannot
  // grow during the copy, except when the host's target is this very file:
  // copying only the length found now keeps that from running forever.
  unsigned long long remaining = m_file.GetLength();
  target.SeekToEnd();
  m_file.SeekToBegin();
  uint8_t buffer[1024];
  while (remaining > 0) {
    const unsigned want = remaining < sizeof buffer ? static_cast<unsigned>(remaining) : sizeof buffer;
    const unsigned got = m_file.Read(buffer, want);
    if (got > 0 && !target.TryWrite(buffer, got)) break;
    if (got < want) break;
    remaining -= got;
  }
  m_file.SeekToEnd();
}

}  // namespace tq
