#include "support/Packets.h"

#include <cmath>

namespace tqtest {

void AppendField14(Bytes& bytes, unsigned value) {
  bytes.push_back(static_cast<uint8_t>(value / 128));
  bytes.push_back(static_cast<uint8_t>(value % 128));
}

Bytes ShortPacket(uint8_t header, unsigned first, unsigned second) {
  Bytes bytes{header};
  AppendField14(bytes, first);
  AppendField14(bytes, second);
  return bytes;
}

Bytes PenPacket(uint8_t header, unsigned first, unsigned second, uint8_t code) {
  Bytes bytes = ShortPacket(header, first, second);
  bytes.insert(bytes.end(), {code, 0, 0, 0});
  return bytes;
}

Bytes PenPacketV4(uint8_t header, unsigned first, unsigned second, uint8_t b5, uint8_t b6,
                  uint8_t b7, uint8_t b8) {
  Bytes bytes = ShortPacket(header, first, second);
  bytes.insert(bytes.end(), {b5, b6, b7, b8});
  return bytes;
}

Bytes CommandPacket(unsigned value) { return PenPacket(0xC0, value, 0, 0); }

Bytes Heartbeats(std::size_t count, uint8_t byte) { return Bytes(count, byte); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

Bytes Repeat(const Bytes& part, std::size_t times) {
  Bytes bytes;
  for (std::size_t i = 0; i < times; ++i) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

std::pair<unsigned, unsigned> PenDistances(double x, double y, double baseline) {
  const double toR1 = std::hypot(baseline - x, y);
  const double toR0 = std::hypot(x, y);
  return {static_cast<unsigned>(std::lround(toR1)), static_cast<unsigned>(std::lround(toR0))};
}

std::pair<unsigned, unsigned> EmitterDistances(double x, double y, double baseline) {
  const auto [toFar, toOrigin] = PenDistances(x, y, baseline);
  return {toOrigin, toFar};
}

}  // namespace tqtest
