// tq info: the header of a capture file and what its body holds.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tq/Commands.h"
#include "common/CaptureInput.h"
#include "common/CommandLine.h"
#include "common/Report.h"
#include "capture/CaptureFile.h"
#include "capture/Replay.h"
#include "protocol/HostMapping.h"

namespace {

const char kInfoAbout[] =
    "Prints the header of a capture file (protocol number, board version, sensor\n"
    "baseline), the size of its body and, when the body is a run of sample records\n"
    "(a .val or .out capture), the number of records by kind.\n";

const char kInfoFooter[] =
    "Exit status: 0, 1 when the file cannot be read, is no regular file, is\n"
    "shorter than its header or has a header a replay does not accept (a baseline\n"
    "outside 500 to 5000 included, as a live open refuses it), 2 for usage.\n";

const char* KindName(uint8_t kind) {
  switch (kind) {
    case tq::kKindPenDown: return "pen down";
    case tq::kKindHover: return "hover";
    case tq::kKindBreak: return "stroke break";
    default: return "unknown kind";
  }
}

const char* DecoderName(double boardVersion) {
  if (boardVersion < 2.0) return "5-byte boards (below 2.0)";
  if (boardVersion < 4.0) return "versions 2 and 3";
  if (boardVersion < 5.0) return "version 4";
  return "none (no decoder for 5.0 and above)";
}

void PrintRecordCounts(const std::vector<uint8_t>& body) {
  const size_t records = body.size() / tq::kSampleRecordSize;
  std::map<uint8_t, size_t> byKind;
  for (size_t i = 0; i < records; ++i) ++byKind[body[i * tq::kSampleRecordSize]];
  std::printf("records        %zu\n", records);
  for (const auto& [kind, count] : byKind) std::printf("  0x%02x %-13s %zu\n", kind, KindName(kind), count);
  if (const size_t stray = body.size() % tq::kSampleRecordSize; stray != 0) {
    std::printf("partial record %zu bytes at the end\n", stray);
  }
}

}  // namespace

int RunInfoCommand(int argc, char** argv) {
  std::string path;
  tqtool::CommandLine options("tq info", "tq info FILE", kInfoAbout, kInfoFooter);
  options.Argument("FILE", path, "the capture to describe");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  tqtool::SCapture capture;
  std::string error;
  if (!tqtool::ReadCapture(path, capture, error)) return tqtool::Failed("info", error);
  const tq::SCaptureHeader& header = capture.header;
  const std::string problem = tqtool::CaptureHeaderProblem(path, header);
  std::printf("file           %s\n", tqtool::Printable(path).c_str());
  std::printf("protocol       %.1f (%s packets)\n", header.protocolNumber,
              tq::CapturePacketLength(header.protocolNumber) == 5 ? "5-byte" : "9-byte");
  std::printf("board version  %.1f (decoder: %s)\n", header.boardVersion,
              problem.empty() ? DecoderName(header.boardVersion) : "none (header not accepted)");
  // The width follows from the baseline only for a baseline a board has.
  if (problem.empty()) {
    std::printf("baseline       %u (board width %u)\n", header.receiverSpacing,
                header.receiverSpacing + tq::kBoardWidthMargin);
  } else {
    std::printf("baseline       %u\n", header.receiverSpacing);
  }
  std::printf("body           %zu bytes\n", capture.body.size());
  if (!problem.empty()) {
    std::fflush(stdout);
    return tqtool::Failed("info", problem);
  }
  if (tqtool::HoldsSampleRecords(capture.body)) PrintRecordCounts(capture.body);
  return tqtool::kExitDone;
}
