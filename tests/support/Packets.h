// Builds board byte streams for tests: 14-bit fields, the 5-byte packets of
// boards below version 2.0, the 9-byte packets of later boards, control
// packets and heartbeat bytes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tqtest {

using Bytes = std::vector<uint8_t>;

// hi = value / 128, lo = value % 128 (values up to 16383).
void AppendField14(Bytes& bytes, unsigned value);

// Header, first distance, second distance.
Bytes ShortPacket(uint8_t header, unsigned first, unsigned second);
// Header, first distance, second distance, code byte; bytes 6 to 8 are 0.
Bytes PenPacket(uint8_t header, unsigned first, unsigned second, uint8_t code);
// A version-4 pen packet: bytes 5 to 8 given as they go on the line
// (byte 5 is both the code byte and the high part of the path difference).
Bytes PenPacketV4(uint8_t header, unsigned first, unsigned second, uint8_t b5, uint8_t b6,
                  uint8_t b7, uint8_t b8);
// A control packet (header 0xC0) carrying `value` in the first field.
Bytes CommandPacket(unsigned value);
Bytes Heartbeats(std::size_t count, uint8_t byte = 0xF0);

Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Repeat(const Bytes& part, std::size_t times);

// The two distance fields of a single pen at (x, y) of the receiver frame,
// rounded: first = distance to (baseline, 0), second = distance to (0, 0).
std::pair<unsigned, unsigned> PenDistances(double x, double y, double baseline);
// The same for one of the eraser's emitters at (x, y) of the eraser frame,
// where the first field is the distance to (0, 0).
std::pair<unsigned, unsigned> EmitterDistances(double x, double y, double baseline);

}  // namespace tqtest
