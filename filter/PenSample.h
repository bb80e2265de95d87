// One pen sample as it travels from a decoder through the stroke filter to
// the host window. Copied by value everywhere.
#pragma once

#include <cstdint>

namespace tq {

constexpr uint8_t kKindPenDown = 0x80;
constexpr uint8_t kKindHover = 0x88;
constexpr uint8_t kKindBreak = 0xFE;

// The small fields come first and pack into eight bytes, so a sample is 24
// bytes and x and y lie side by side.
struct SPenSample {
  uint8_t kind = 0;     // 0x80 pen down, 0x88 hover, 0xFE break marker
  uint8_t valid = 0;    // working mark of the validation stage
  int32_t penCode = 0;  // which pen, as the decoder reports it
  double x = 0.0;       // receiver frame, board units
  double y = 0.0;
};

inline SPenSample MakeBreakMarker() {
  SPenSample marker;
  marker.kind = kKindBreak;
  return marker;
}

// Receives the 5-byte record of every sample the validation stage lets
// through (the .val capture). Implemented by the capture files.
class ISampleRecordSink {
 public:
  virtual ~ISampleRecordSink() = default;
  virtual void WriteSampleRecord(const SPenSample& sample) = 0;
};

}  // namespace tq
