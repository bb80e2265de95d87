#include "capture/CaptureFile.h"

#include <cstring>

#include "geometry/Truncate.h"

namespace tq {
namespace {

void PutLittle(uint8_t* out, uint64_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t DoubleBits(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

constexpr size_t kBufferSize = 64 * 1024;

}  // namespace

void EncodeCaptureHeader(const SCaptureHeader& header, uint8_t out[kCaptureHeaderSize]) {
  PutLittle(out, DoubleBits(header.protocolNumber), 8);
  PutLittle(out + 8, DoubleBits(header.boardVersion), 8);
  PutLittle(out + 16, header.receiverSpacing, 4);
}

void EncodeSampleRecord(const SPenSample& sample, uint8_t out[kSampleRecordSize]) {
  out[0] = sample.kind;
  PutLittle(out + 1, static_cast<uint16_t>(TruncateToInt32(sample.x)), 2);
  PutLittle(out + 3, static_cast<uint16_t>(TruncateToInt32(sample.y)), 2);
}

bool CCaptureFile::Create(const char* path, const SCaptureHeader& header) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_open.store(false, std::memory_order_release);
  if (m_file.IsOpen()) FlushPending();
  m_pending.clear();
  m_file.Close();
  if (!m_file.Open(path, CFile::modeCreate | CFile::modeReadWrite | CFile::shareDenyNone |
                             CFile::typeBinary)) {
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
  WriteThrough(m_pending.data(), m_pending.size());
  m_pending.clear();
}

void CCaptureFile::SetBuffered(bool buffered) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!buffered && m_file.IsOpen()) FlushPending();
  m_buffered = buffered;
  if (buffered) m_pending.reserve(kBufferSize);
}

void CCaptureFile::Close() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_file.IsOpen()) FlushPending();
  m_pending.clear();
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
  m_pending.insert(m_pending.end(), data, data + length);
  if (m_pending.size() >= kBufferSize) FlushPending();
}

void CCaptureFile::WriteSampleRecord(const SPenSample& sample) {
  uint8_t record[kSampleRecordSize];
  EncodeSampleRecord(sample, record);
  Append(record, sizeof record);
}

void CCaptureFile::CopyTo(CFile& target) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file.IsOpen()) return;
  FlushPending();
  target.SeekToEnd();
  m_file.SeekToBegin();
  uint8_t buffer[1024];
  for (;;) {
    const unsigned got = m_file.Read(buffer, sizeof buffer);
    if (got > 0 && !target.TryWrite(buffer, got)) break;
    if (got < sizeof buffer) break;
  }
  m_file.SeekToEnd();
}

}  // namespace tq
