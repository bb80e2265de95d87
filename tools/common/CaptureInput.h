// Files the tools read whole: capture files and small text files (a pen's
// calibration). Only a regular file is read, opened so that a FIFO or a
// device never blocks the open, and only up to a bound, so that /dev/zero
// or a runaway file ends in a refusal, not in an exhausted memory. Nothing
// here prints: the reason comes back in words for the command to report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"

namespace tqtool {

// A capture read whole: a session of many hours at 9600 baud is a few tens
// of megabytes, so anything past a gigabyte is not a capture of this board.
constexpr uint64_t kCaptureReadLimit = uint64_t{1} << 30;

// The sensor baselines a live open accepts: the probe refuses a board whose
// geometry reply lies outside them (error 5), and a capture whose header
// does is refused the same way.
constexpr uint32_t kLeastBaseline = 500;
constexpr uint32_t kGreatestBaseline = 5000;

struct SCapture {
  tq::SCaptureHeader header;
  std::vector<uint8_t> body;
};

// Reads the regular file `path` whole into `bytes`, refusing it when it is
// larger than `limit` bytes; false with the reason in `error` (one sentence
// naming the file) when it cannot be opened, is no regular file, is too
// large or a read fails.
bool ReadSmallFile(const std::string& path, uint64_t limit, std::string& bytes, std::string& error);

// Reads the capture at `path` (up to kCaptureReadLimit) and splits off its
// header; false with the reason in `error` when it cannot be read or is
// shorter than a header. The header is not judged: see CaptureHeaderProblem.
bool ReadCapture(const std::string& path, SCapture& capture, std::string& error);

// Why a capture with `header` is not replayed, "" when it is: a header that
// names no protocol or board this driver records, or a baseline a live
// open would refuse. `path` names the file in the words.
std::string CaptureHeaderProblem(const std::string& path, const tq::SCaptureHeader& header);

// The reasons above for a file too short to hold a header; shared so that
// every reader and the replay say it alike.
std::string ShortCaptureProblem(const std::string& path);

// True when every whole 5-byte record of `body` starts with a sample kind
// (pen down, hover, stroke break): a .val or .out body. A raw byte stream
// fails this within a few records.
bool HoldsSampleRecords(const std::vector<uint8_t>& body);

// The file name in quotes, its unprintable bytes escaped.
std::string Quoted(const std::string& path);

}  // namespace tqtool
