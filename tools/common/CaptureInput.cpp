#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/CaptureInput.h"

namespace tqtool {

bool ReadCapture(const char* command, const std::string& path, SCapture& capture) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "error tq %s: cannot open '%s': %s\n", command, path.c_str(), std::strerror(errno));
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t block[64 * 1024];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    std::fprintf(stderr, "error tq %s: cannot read '%s'\n", command, path.c_str());
    return false;
  }
  if (bytes.size() < tq::kCaptureHeaderSize) {
    std::fprintf(stderr, "error tq %s: '%s' is %zu bytes, shorter than the %u-byte capture header\n",
                 command, path.c_str(), bytes.size(), tq::kCaptureHeaderSize);
    return false;
  }
  capture.header = tq::DecodeCaptureHeader(bytes.data());
  capture.body.assign(bytes.begin() + tq::kCaptureHeaderSize, bytes.end());
  return true;
}

bool HoldsSampleRecords(const std::vector<uint8_t>& body) {
  for (size_t at = 0; at + tq::kSampleRecordSize <= body.size(); at += tq::kSampleRecordSize) {
    const uint8_t kind = body[at];
    if (kind != tq::kKindPenDown && kind != tq::kKindHover && kind != tq::kKindBreak) return false;
  }
  return true;
}

}  // namespace tqtool
