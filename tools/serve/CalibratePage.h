// The target page of `tq calibrate --show`, served through a StatePage: the
// target asked for drawn large where it is on the screen being calibrated,
// the pen while it touches, a refused touch's reason, and the result with
// Back, Redo and Done. It asks the server only for its own files, /state and
// the POSTs /back, /redo/K and /done.
//
// Written as tools/serve/calibrate/index.html, calibrate.css and
// calibrate.js; the build compiles their bytes in.
#pragma once

#include <cstddef>

#include "serve/StatePage.h"

namespace tqtool {

extern const PageFile kCalibratePage[];
extern const size_t kCalibratePageFiles;

}  // namespace tqtool
