// Framing of the board's byte stream into fixed-length packets.
//
// The line carries no checksum and no marker bit: a packet is recognised by
// its header byte alone, so after a lost or stray byte the decoder walks the
// stream one byte at a time until a header makes sense again. Received bytes
// collect in the port's receive buffer; complete packets are taken from its
// front and an incomplete tail waits there for the next chunk.
//
// Everything here works on the buffer and the bytes only (no port, no
// window), so a test can drive it with any stream it likes.
#pragma once

#include <cstdint>
#include <cstring>

namespace tq {

// Packet lengths: boards answering the probe with "v" send 5-byte packets,
// the others 9-byte packets.
constexpr uint32_t kShortPacketLength = 5;
constexpr uint32_t kLongPacketLength = 9;

// Boards of version 2 and later send this byte between packets when idle.
constexpr uint8_t kHeartbeatByte = 0xF0;

// The two 7-bit data bytes of a 14-bit field: hi × 128 + (lo AND 0x7F). The
// high byte is taken whole, as the board's firmware does.
constexpr uint32_t Field14(uint8_t hi, uint8_t lo) {
  return static_cast<uint32_t>(hi) * 128u + (lo & 0x7Fu);
}

// One candidate packet at `pos` of the receive buffer. A byte at or past the
// receive count reads as 0: with 5-byte framing the 9-byte decoders look past
// the packet into what has been received behind it, never further.
struct SPacketView {
  const uint8_t* buffer;
  uint32_t count;
  uint32_t pos;

  uint8_t operator[](uint32_t offset) const {
    const uint32_t index = pos + offset;
    return index < count ? buffer[index] : 0;
  }
  uint8_t Header() const { return (*this)[0]; }
  // The 14-bit field whose high byte is at `offset`.
  uint32_t Field(uint32_t offset) const { return Field14((*this)[offset], (*this)[offset + 1]); }
};

// Appends `length` bytes behind the `count` bytes held in a buffer of
// `capacity` bytes; returns the new count. The held tail is always shorter
// than a packet, so this never has to make room; if it ever had to, the
// oldest held bytes would go first.
inline uint32_t AppendReceived(uint8_t* buffer, uint32_t capacity, uint32_t count,
                               const uint8_t* data, uint32_t length) {
  if (length >= capacity) {
    std::memcpy(buffer, data + (length - capacity), capacity);
    return capacity;
  }
  if (count > capacity - length) {
    const uint32_t drop = count - (capacity - length);
    std::memmove(buffer, buffer + drop, count - drop);
    count -= drop;
  }
  if (length != 0) std::memcpy(buffer + count, data, length);
  return count + length;
}

// Skips the run of heartbeat bytes at the front of the buffer, at most
// `chunkLength` of them (the length of the chunk just appended). Returns the
// position of the first byte after the run; 0 when the buffer does not start
// with a heartbeat byte.
inline uint32_t SkipHeartbeats(const uint8_t* buffer, uint32_t count, uint32_t chunkLength) {
  uint32_t pos = 0;
  if (count == 0 || buffer[0] != kHeartbeatByte) return 0;
  while (pos < chunkLength && pos < count) {
    ++pos;
    if (pos >= count || buffer[pos] != kHeartbeatByte) break;
  }
  return pos;
}

// Moves the bytes from `pos` on to the front of the buffer; returns their number.
inline uint32_t KeepTail(uint8_t* buffer, uint32_t count, uint32_t pos) {
  if (pos >= count) return 0;
  if (pos != 0) std::memmove(buffer, buffer + pos, count - pos);
  return count - pos;
}

// Walks the buffer from `pos`, handing each candidate packet to `examine`,
// while a whole packet is left. `examine(const SPacketView&)` returns how far
// to advance: the packet length for a recognised packet, 1 for a byte that
// does not start one. Keeps the tail and returns the new count.
template <typename Examine>
uint32_t FramePackets(uint8_t* buffer, uint32_t count, uint32_t pos, uint32_t packetLength,
                      Examine&& examine) {
  if (packetLength == 0) packetLength = 1;
  while (pos <= count && count - pos >= packetLength) {
    const uint32_t advance = examine(SPacketView{buffer, count, pos});
    pos += advance == 0 ? 1 : advance;
  }
  return KeepTail(buffer, count, pos);
}

}  // namespace tq
