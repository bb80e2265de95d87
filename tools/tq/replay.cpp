// tq replay, tq info, tq dump: the capture files of a port, played back and
// looked at.
//
// A capture begins with 20 bytes: the protocol number and the board version
// as doubles, then the sensor baseline. A .raw body is the byte stream as it
// came off the line; a .val or .out body is a run of 5-byte sample records
// (kind, x, y in the receiver frame, signed 16-bit).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/CaptureInput.h"
#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "capture/CaptureFile.h"
#include "capture/Replay.h"
#include "protocol/HostMapping.h"

namespace {

const char kEventFormats[] =
    "  down X Y CODE LPARAM | move X Y CODE LPARAM | up X Y CODE LPARAM\n"
    "  board WPARAM LPARAM | comm WPARAM | check WPARAM LPARAM | ffff WPARAM LPARAM\n";

std::string ReplayAbout() {
  return std::string(
             "Plays a raw capture back through the decoders and the stroke filter into a\n"
             "window of its own (all filter stages on, pod location 0, board height 0) and\n"
             "writes FILE.val and FILE.out beside it (the name without its last four\n"
             "characters, then .val and .out). With --events every message the window\n"
             "receives is printed, one a line, in the order it arrives:\n") +
         kEventFormats +
         "Without it, a count of the messages by kind is printed. A file whose header\n"
         "is not accepted is not replayed (a note says so on standard error). A .val\n"
         "or .out file is replayed only with --force: the replay rewrites the .val and\n"
         ".out files of its name.\n";
}

const char kReplayFooter[] =
    "Exit status: 0 when the file was read, 1 when it cannot be opened or is\n"
    "shorter than a capture header, 2 for usage.\n";

const char kInfoAbout[] =
    "Prints the header of a capture file (protocol number, board version, sensor\n"
    "baseline), the size of its body and, when the body is a run of sample records\n"
    "(a .val or .out capture), the number of records by kind.\n";

const char kInfoFooter[] =
    "Exit status: 0, 1 when the file cannot be read, is shorter than its header or\n"
    "has a header a replay does not accept, 2 for usage.\n";

const char kDumpAbout[] =
    "Prints the sample records of a .val or .out capture, one a line: KIND X Y, the\n"
    "kind in hex (0x80 pen down, 0x88 hover, 0xfe stroke break), X and Y as signed\n"
    "board units of the receiver frame. With --filter-input each line ends in a\n"
    "pen code as well (KIND X Y PENCODE), the lines tq filter reads. A partial\n"
    "record at the end is reported on standard error and not printed. The file is\n"
    "judged by what it holds, not by its name.\n";

const char kDumpFooter[] =
    "Exit status: 0, 1 when the file cannot be read, is shorter than its header or\n"
    "holds no sample records, 2 for usage.\n";

bool EndsWith(const std::string& text, const char* tail) {
  const size_t n = std::strlen(tail);
  return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

const char* CauseText(int cause) {
  switch (cause) {
    case CFileException::fileNotFound: return "no such file";
    case CFileException::accessDenied: return "access denied";
    case CFileException::sharingViolation: return "the file is in use (a port may be capturing to it)";
    default: return "the file cannot be opened";
  }
}

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

void PrintCounts(std::map<UINT, unsigned long>& counts) {
  std::printf("down %lu move %lu up %lu board %lu ffff %lu check %lu comm %lu\n",
              counts[TQ_MSG_PEN_DOWN], counts[TQ_MSG_PEN_MOVE], counts[TQ_MSG_PEN_UP],
              counts[TQ_MSG_BOARD_EVENT], counts[TQ_MSG_BOARD_0x90], counts[TQ_MSG_BOARD_CHECK],
              counts[TQ_MSG_COMM_ERROR]);
}

// What a replay that did not replay tells the person; the exit status.
int ReportReplay(const std::string& path, tq::ReplayStatus status, const tq::SReplayStats& stats) {
  const tq::SCaptureHeader& header = stats.header;
  switch (status) {
    case tq::ReplayStatus::Replayed:
      return 0;
    case tq::ReplayStatus::CannotOpen:
      std::fprintf(stderr, "error tq replay: cannot open '%s': %s (system error %ld)\n", path.c_str(),
                   CauseText(stats.openError.m_cause), stats.openError.m_lOsError);
      return 1;
    case tq::ReplayStatus::NotRegularFile:
      std::fprintf(stderr, "error tq replay: '%s' is not a regular file (a directory, FIFO or device); "
                   "nothing was replayed\n", path.c_str());
      return 1;
    case tq::ReplayStatus::ReadError:
      std::fprintf(stderr, "error tq replay: reading '%s' failed part way\n", path.c_str());
      return 1;
    case tq::ReplayStatus::NotCapture:
      break;
  }
  if (!stats.headerRead) {
    std::fprintf(stderr, "error tq replay: '%s' is shorter than a capture header; nothing was replayed\n",
                 path.c_str());
    return 1;
  }
  // A header no board could have written is refused quietly by the replay;
  // nothing was decoded, which is no failure of the tool.
  std::fprintf(stderr,
               "tq replay: note: header not accepted (protocol %g, board version %g); nothing was replayed\n",
               header.protocolNumber, header.boardVersion);
  return 0;
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

int RunReplayCommand(int argc, char** argv) {
  std::string path;
  bool events = false, force = false;
  tqtool::CommandLine options("tq replay", "tq replay FILE.raw [--events] [--force]", ReplayAbout(),
                              kReplayFooter);
  options.Argument("FILE", path, "the capture to replay");
  options.Flag("--events", events, "print every message the window receives");
  options.Flag("--force", force, "replay a .val or .out file, rewriting it");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  if (!force && (EndsWith(path, ".val") || EndsWith(path, ".out"))) {
    return options.Fail("'" + path + "' is a .val or .out capture, which the replay would rewrite " +
                        "with its own records; give --force to replay it anyway");
  }

  std::map<UINT, unsigned long> counts;
  tqtool::PrintingWindow window(stdout, [events](UINT) { return events; });
  window.onMessage = [&counts](UINT message, WPARAM, LPARAM) { ++counts[message]; };
  window.flushEachLine = false;
  tq::SReplayStats stats;
  const tq::ReplayStatus status = tq::ReplayCaptureFile(path.c_str(), window.Handle(), tq::SReplayOptions{}, &stats);
  // Messages that boards below version 2.0 post arrive now, after the
  // sent ones, as they would in a host's message loop.
  tqtool::DrainMessages();
  std::fflush(stdout);
  if (const int exitStatus = ReportReplay(path, status, stats); exitStatus != 0) return exitStatus;
  if (!events) PrintCounts(counts);
  return 0;
}

int RunInfoCommand(int argc, char** argv) {
  std::string path;
  tqtool::CommandLine options("tq info", "tq info FILE", kInfoAbout, kInfoFooter);
  options.Argument("FILE", path, "the capture to describe");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  tqtool::SCapture capture;
  if (!tqtool::ReadCapture("info", path, capture)) return 1;
  const tq::SCaptureHeader& header = capture.header;
  std::printf("file           %s\n", path.c_str());
  std::printf("protocol       %.1f (%s packets)\n", header.protocolNumber,
              tq::CapturePacketLength(header.protocolNumber) == 5 ? "5-byte" : "9-byte");
  const bool accepted = tq::AcceptCaptureHeader(header);
  std::printf("board version  %.1f (decoder: %s)\n", header.boardVersion,
              accepted ? DecoderName(header.boardVersion) : "none (header not accepted)");
  std::printf("baseline       %u (board width %u)\n", header.receiverSpacing,
              header.receiverSpacing + tq::kBoardWidthMargin);
  std::printf("body           %zu bytes\n", capture.body.size());
  if (!accepted) {
    std::fprintf(stderr, "error tq info: '%s': header not accepted (protocol %g, board version %g); a "
                 "replay plays nothing\n", path.c_str(), header.protocolNumber, header.boardVersion);
    return 1;
  }
  if (tqtool::HoldsSampleRecords(capture.body)) PrintRecordCounts(capture.body);
  return 0;
}

int RunDumpCommand(int argc, char** argv) {
  std::string path;
  bool filterInput = false;
  long pen = 0;
  tqtool::CommandLine options("tq dump", "tq dump FILE.val|FILE.out [--filter-input [--pen CODE]]",
                              kDumpAbout, kDumpFooter);
  options.Argument("FILE", path, "the capture of sample records");
  options.Flag("--filter-input", filterInput, "print KIND X Y PENCODE lines for tq filter");
  options.Number("--pen", pen, 0, 255, "CODE", "the pen code of those lines (default 0)");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  if (options.Given("--pen") && !filterInput) return options.Fail("--pen needs --filter-input");
  tqtool::SCapture capture;
  if (!tqtool::ReadCapture("dump", path, capture)) return 1;
  if (!tqtool::HoldsSampleRecords(capture.body)) {
    std::fprintf(stderr, "error tq dump: '%s' holds no sample records (a raw capture? see tq info)\n",
                 path.c_str());
    return 1;
  }
  const size_t records = capture.body.size() / tq::kSampleRecordSize;
  for (size_t i = 0; i < records; ++i) {
    const tq::SSampleRecord record = tq::DecodeSampleRecord(&capture.body[i * tq::kSampleRecordSize]);
    if (filterInput) {
      std::printf("0x%02x %d %d %ld\n", record.kind, record.x, record.y, pen);
    } else {
      std::printf("0x%02x %d %d\n", record.kind, record.x, record.y);
    }
  }
  if (const size_t stray = capture.body.size() % tq::kSampleRecordSize; stray != 0) {
    std::fprintf(stderr, "tq dump: note: %zu bytes of a partial record at the end were not printed\n", stray);
  }
  return 0;
}
