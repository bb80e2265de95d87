// Board positions to host coordinates.
//
// The receiver frame has its origin at a receiver, x along the receiver line
// and y into the board. The host sees the board with its own origin: the
// pen is moved off the receivers (140 along the line, 100 into the board),
// held inside the board's width, and turned by where the sensor pod sits
// (the pod location); pod locations 1 and 3 mirror against the board height
// the host has set. Host coordinates are signed 16-bit values.
#pragma once

#include <cstdint>

#include "TQApi.h"
#include "filter/PenSample.h"

namespace tq {

// The board's width in board units: the sensor baseline and the margins
// beyond both receivers.
constexpr uint32_t kBoardWidthMargin = 340;

// `code` is the sample's pen code; x and y as the host is to see them.
// Defined for every input, NaN and huge positions included.
SPenPoint MapToHost(const SPenSample& sample, uint32_t baseline, int32_t boardHeight,
                    int32_t podLocation);

}  // namespace tq
