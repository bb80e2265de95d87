// Received bytes to the decoder of the board's version.
#include <algorithm>

#include "api/BoardPort.h"

namespace tq {

void CBoardPort::DispatchReceived(const uint8_t* data, int length) {
  if (data == nullptr || length <= 0) return;
  const uint32_t total = static_cast<uint32_t>(length);
  // The capture keeps the stream as it came off the line, decodable or not.
  if (m_rawFile.IsOpen()) m_rawFile.Append(data, total);

  void (CBoardPort::*decode)(const uint8_t*, int) = nullptr;
  if (m_boardVersion < 2.0) {
    decode = &CBoardPort::DecodeV1;
  } else if (m_boardVersion < 4.0) {
    decode = &CBoardPort::DecodeV2;
  } else if (m_boardVersion < 5.0) {
    decode = &CBoardPort::DecodeV4;
  } else {
    return;  // a board this library does not know: captured, not decoded
  }
  // The reader hands over at most one read's worth; a longer chunk (from a
  // caller of our own) is decoded in pieces of that size, so the receive
  // buffer, which holds a piece and less than one packet, never overflows.
  for (uint32_t done = 0; done < total;) {
    const uint32_t piece = std::min(total - done, kReadChunkSize);
    (this->*decode)(data + done, static_cast<int>(piece));
    done += piece;
  }
}

void CBoardPort::DrainFilter() {
  while (m_filter.OutputCount() != 0) DeliverSample(m_filter.Pop());
}

}  // namespace tq
