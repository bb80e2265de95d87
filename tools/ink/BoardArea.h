// The part of the board a drawing covers, in host units: the board's width,
// and its largest height, or the width again when the board gives none.
#pragma once

#include <cstdint>

#include "protocol/HostMapping.h"

namespace tqtool {

struct BoardArea {
  unsigned width = 0;
  unsigned height = 0;
  bool operator==(const BoardArea&) const = default;
};

// From the width and largest height an open port reports. A board whose
// height the probe could not give (no baseline, or receivers 5000 units and
// more apart) is drawn square.
constexpr BoardArea DrawnArea(unsigned width, unsigned maxHeight) {
  return BoardArea{width, maxHeight != 0 ? maxHeight : width};
}

// From a sensor baseline, as a capture's header gives it: what the port
// would report for that board.
inline BoardArea BaselineArea(uint32_t baseline) {
  return DrawnArea(tq::BoardWidth(baseline), tq::MaxBoardHeight(baseline));
}

}  // namespace tqtool
