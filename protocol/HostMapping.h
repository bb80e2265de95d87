// Board positions to host coordinates.
//
// The receiver frame has its origin at a receiver, x along the receiver line
// and y into the board. The host sees the board with its own origin: the
// pen is moved off the receivers (140 along the line, 100 into the board),
// held inside the board's width, and turned by where the sensor pod sits
// (the pod location); pod locations 1 and 3 mirror against the board height
// the host has set. Host coordinates are signed 16-bit values.
#pragma once

#include <cmath>
#include <cstdint>

#include "TQApi.h"
#include "filter/PenSample.h"
#include "geometry/Truncate.h"

namespace tq {

// The board's width in board units: the sensor baseline and the margins
// beyond both receivers.
constexpr uint32_t kBoardWidthMargin = 340;

// The board's width for a sensor baseline. Unsigned arithmetic: a baseline
// from 2^32 - 340 up wraps, as the width the host is given always has.
constexpr uint32_t BoardWidth(uint32_t baseline) { return baseline + kBoardWidthMargin; }

// The largest board height the receivers cover: a pen is heard up to 5500
// units from either receiver, so the height is what remains of that reach
// beside the baseline, floor(sqrt(5500^2 - baseline^2)). 0 when there is no
// baseline or the receivers are too far apart (5000 and more) to give one.
inline unsigned MaxBoardHeight(uint32_t baseline) {
  if (baseline == 0 || baseline >= 5000) return 0;
  const double squared = 30250000.0 - static_cast<double>(baseline) * static_cast<double>(baseline);
  return static_cast<unsigned>(TruncateToInt32(std::sqrt(squared)));
}

// `code` is the sample's pen code; x and y as the host is to see them.
// Defined for every input, NaN and huge positions included.
SPenPoint MapToHost(const SPenSample& sample, uint32_t baseline, int32_t boardHeight,
                    int32_t podLocation);

}  // namespace tq
