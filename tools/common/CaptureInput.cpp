#include "common/CaptureInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture/Replay.h"
#include "common/Report.h"

namespace tqtool {

namespace {

std::string Size(uint64_t bytes) {
  if (bytes >= (uint64_t{1} << 30) && bytes % (uint64_t{1} << 30) == 0) {
    return std::to_string(bytes >> 30) + " GiB";
  }
  if (bytes >= (uint64_t{1} << 20) && bytes % (uint64_t{1} << 20) == 0) {
    return std::to_string(bytes >> 20) + " MiB";
  }
  return std::to_string(bytes) + " bytes";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

std::string Quoted(const std::string& path) { return "'" + Printable(path) + "'"; }

bool ReadSmallFile(const std::string& path, uint64_t limit, std::string& bytes, std::string& error) {
  bytes.clear();
  // O_NONBLOCK: the open of a FIFO without a writer returns at once; the
  // file is judged before a single byte is read.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + Quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  struct stat info{};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    error = Quoted(path) + " is not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(info.st_size) > limit) {
    close(fd);
    error = Quoted(path) + " is larger than the " + Size(limit) + " read here";
    return false;
  }
  bytes.reserve(static_cast<size_t>(info.st_size));
  char block[64 * 1024];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "reading " + Quoted(path) + " failed part way: " + std::strerror(errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    // A file that grows while it is read is held to the same bound.
    if (bytes.size() + static_cast<size_t>(got) > limit) {
      error = Quoted(path) + " is larger than the " + Size(limit) + " read here";
      close(fd);
      return false;
    }
    bytes.append(block, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

std::string ShortCaptureProblem(const std::string& path) {
  return Quoted(path) + " is shorter than a capture header (" + std::to_string(tq::kCaptureHeaderSize) +
         " bytes)";
}

bool ReadCapture(const std::string& path, SCapture& capture, std::string& error) {
  std::string bytes;
  if (!ReadSmallFile(path, kCaptureReadLimit, bytes, error)) return false;
  if (bytes.size() < tq::kCaptureHeaderSize) {
    error = ShortCaptureProblem(path);
    return false;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  capture.header = tq::DecodeCaptureHeader(data);
  capture.body.assign(data + tq::kCaptureHeaderSize, data + bytes.size());
  return true;
}

std::string CaptureHeaderProblem(const std::string& path, const tq::SCaptureHeader& header) {
  if (!tq::AcceptCaptureHeader(header)) {
    return Quoted(path) + " is not a capture: header not accepted (protocol " + Number(header.protocolNumber) +
           ", board version " + Number(header.boardVersion) + ")";
  }
  if (header.receiverSpacing < kLeastBaseline || header.receiverSpacing > kGreatestBaseline) {
    return Quoted(path) + ": baseline " + std::to_string(header.receiverSpacing) + " is outside " +
           std::to_string(kLeastBaseline) + " to " + std::to_string(kGreatestBaseline);
  }
  return {};
}

bool HoldsSampleRecords(const std::vector<uint8_t>& body) {
  for (size_t at = 0; at + tq::kSampleRecordSize <= body.size(); at += tq::kSampleRecordSize) {
    const uint8_t kind = body[at];
    if (kind != tq::kKindPenDown && kind != tq::kKindHover && kind != tq::kKindBreak) return false;
  }
  return true;
}

}  // namespace tqtool
