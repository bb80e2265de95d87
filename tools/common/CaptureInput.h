// Capture files as the tools read them: the whole file in memory, its header
// split off, and what its body holds judged from the bytes, not the name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"

namespace tqtool {

struct SCapture {
  tq::SCaptureHeader header;
  std::vector<uint8_t> body;
};

// Reads `path`; on failure (unreadable, shorter than a header) prints the
// reason as "error tq COMMAND: ..." and returns false.
bool ReadCapture(const char* command, const std::string& path, SCapture& capture);

// True when every whole 5-byte record of `body` starts with a sample kind
// (pen down, hover, stroke break): a .val or .out body. A raw byte stream
// fails this within a few records.
bool HoldsSampleRecords(const std::vector<uint8_t>& body);

}  // namespace tqtool
