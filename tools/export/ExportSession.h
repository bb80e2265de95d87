// `tq export` without its command line: a raw capture replayed as a live port
// would see it (every filter stage on), gathered into the stroke model, laid
// out and written in one format, whole or not at all.
#pragma once

#include <string>

#include "export/ExportFormats.h"
#include "export/InkDocument.h"
#include "ink/StrokeModel.h"

namespace tqtool {

struct ExportSettings {
  std::string input, output;
  ExportRequest request;
  PageLayout layout;
  PenStyles pens;
  bool pageAtFlush = true;
};

struct ExportSummary {
  size_t pages = 0, strokes = 0, points = 0;
};

// Replays the capture at `path` into `model`, whose board it sets, with the
// filter's stages on or all off; false with the reason (the words of
// ReplayIntoWindow) when the file cannot be read or is no capture a replay
// accepts.
bool ReplayIntoModel(const std::string& path, StrokeModel& model, std::string& error,
                     bool filtered = true);

// False with a message for the user; OUT then does not appear, and a file
// already there is left as it was.
bool ExportCapture(const ExportSettings& settings, ExportSummary& summary, std::string& error);

}  // namespace tqtool
