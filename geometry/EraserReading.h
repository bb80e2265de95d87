// An eraser reading: the distances of the eraser's two emitters, paired from
// two packets, and the positions computed from them.
#pragma once

#include <cstdint>

namespace tq {

struct SEraserReading {
  double firstDistance1 = 0.0;   // emitter 1: first distance field (bytes 1, 2)
  double secondDistance1 = 0.0;  // emitter 1: second distance field (bytes 3, 4)
  double firstDistance2 = 0.0;
  double secondDistance2 = 0.0;
  uint8_t has1 = 0;  // emitter 1's distances are present
  uint8_t has2 = 0;
  double x1 = 0.0, y1 = 0.0;  // emitter positions in the eraser frame
  double x2 = 0.0, y2 = 0.0;
  uint8_t measured = 0;  // positions come from this reading's own distances
  uint8_t active1 = 0;   // emitter 1's end is active
  uint8_t active2 = 0;
};

}  // namespace tq
