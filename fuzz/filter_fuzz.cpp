// Arbitrary sample streams into the stroke filter: any kind byte, NaN,
// infinities and huge coordinates, interleaved resets and switch changes.
// Checks: no crash or undefined behaviour; the output only ever holds what
// was released; no stage holds more than its window between two samples;
// with all stages off the output equals the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filter/StrokeFilter.h"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool More() const { return pos < size; }
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  double Double() {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | Byte();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
};

bool Same(const tq::SPenSample& a, const tq::SPenSample& b) {
  return a.kind == b.kind && std::memcmp(&a.x, &b.x, sizeof a.x) == 0 &&
         std::memcmp(&a.y, &b.y, sizeof a.y) == 0 && a.penCode == b.penCode && a.valid == b.valid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  tq::CStrokeFilter filter;
  const bool passThrough = (in.Byte() & 1) != 0;
  if (passThrough) {
    filter.SetValidation(0);
    filter.SetAntiStreak(0);
    filter.SetFilter(0);
  }
  std::vector<tq::SPenSample> pushed;
  std::vector<tq::SPenSample> popped;
  while (in.More()) {
    const uint8_t op = in.Byte();
    if (!passThrough && op >= 0xF0) {
      switch (op & 0x7) {
        case 0: filter.Reset(in.Byte() % 8, (op & 0x8) != 0); break;
        case 1: filter.SetValidation(in.Byte() & 1); break;
        case 2: filter.SetAntiStreak(in.Byte() & 1); break;
        case 3: filter.SetFilter(in.Byte() & 1); break;
        default: break;
      }
      continue;
    }
    tq::SPenSample sample;
    sample.kind = (op & 0x3) == 0 ? 0x80 : (op & 0x3) == 1 ? 0x88 : (op & 0x3) == 2 ? 0xFE : in.Byte();
    if (op & 0x4) {
      sample.x = in.Double();
      sample.y = in.Double();
    } else {
      sample.x = static_cast<double>(static_cast<int16_t>(in.Byte() << 8 | in.Byte()));
      sample.y = static_cast<double>(in.Byte() << 4);
    }
    sample.penCode = static_cast<int32_t>(in.Byte() % 6);
    filter.Push(sample);
    pushed.push_back(sample);
    while (filter.OutputCount() != 0) popped.push_back(filter.Pop());
    const tq::SPenSample empty = filter.Pop();
    if (empty.kind != 0 || filter.OutputCount() != 0) std::abort();
    // Each stage holds no more than its window.
    const tq::CStrokeFilter::SHeld held = filter.HeldCounts();
    if (held.validation > 7 || held.antiStreak > 3 || held.smoothing > 5) std::abort();
  }
  if (passThrough) {
    if (pushed.size() != popped.size()) std::abort();
    for (size_t i = 0; i < pushed.size(); ++i) {
      if (!Same(pushed[i], popped[i])) std::abort();
    }
  }
  return 0;
}
