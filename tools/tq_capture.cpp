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

#include "TqCommands.h"
#include "TqWindow.h"
#include "capture/CaptureFile.h"

namespace {

const char kReplayUsage[] =
    "usage: tq replay FILE.raw [--events]\n"
    "Plays a raw capture back through the decoders and the stroke filter into a\n"
    "window of its own (all filter stages on, pod location 0, board height 0) and\n"
    "writes FILE.val and FILE.out beside it. With --events every message the\n"
    "window receives is printed, one a line, in the order it arrives:\n"
    "  down X Y CODE LPARAM | move X Y CODE LPARAM | up X Y CODE LPARAM\n"
    "  board WPARAM LPARAM | comm WPARAM | check WPARAM LPARAM | ffff WPARAM LPARAM\n"
    "Without it, a count of the messages by kind is printed. A file whose header\n"
    "is not accepted is not replayed (a note says so on standard error).\n"
    "Exit status: 0 when the file was read, 1 when it cannot be opened, 2 for usage.\n";

const char kInfoUsage[] =
    "usage: tq info FILE\n"
    "Prints the header of a capture file (protocol number, board version, sensor\n"
    "baseline), the size of its body and, for .val and .out files, the number of\n"
    "sample records by kind.\n"
    "Exit status: 0, 1 when the file cannot be read or is shorter than its header,\n"
    "2 for usage.\n";

const char kDumpUsage[] =
    "usage: tq dump FILE.val|FILE.out\n"
    "Prints the sample records of a capture file, one a line: KIND X Y, the kind in\n"
    "hex (0x80 pen down, 0x88 hover, 0xfe stroke break), X and Y as signed board\n"
    "units of the receiver frame. A partial record at the end is reported on\n"
    "standard error and not printed.\n"
    "Exit status: 0, 1 when the file cannot be read or is shorter than its header,\n"
    "2 for usage.\n";

bool IsHelp(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

bool EndsWith(const std::string& text, const char* tail) {
  const size_t n = std::strlen(tail);
  return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

bool IsSampleFile(const std::string& path) { return EndsWith(path, ".val") || EndsWith(path, ".out"); }

const char* CauseText(int cause) {
  switch (cause) {
    case CFileException::fileNotFound: return "no such file";
    case CFileException::accessDenied: return "access denied";
    case CFileException::sharingViolation: return "the file is in use (a port may be capturing to it)";
    default: return "the file cannot be opened";
  }
}

// A whole capture file read into memory, header split off.
struct SCapture {
  tq::SCaptureHeader header;
  std::vector<uint8_t> body;
};

// Reads `path`; on failure prints the reason under `command` and returns false.
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

bool HeaderAccepted(const tq::SCaptureHeader& header) {
  return header.protocolNumber > 0.0 && header.protocolNumber < 100.0 && header.boardVersion > 0.0 &&
         header.boardVersion < 100.0;
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
  if (!(boardVersion > 0.0 && boardVersion < 100.0)) return "none (header not accepted)";
  if (boardVersion < 2.0) return "5-byte boards (below 2.0)";
  if (boardVersion < 4.0) return "versions 2 and 3";
  if (boardVersion < 5.0) return "version 4";
  return "none (no decoder for 5.0 and above)";
}

// Takes FILE and the given flags; false (after printing the usage) on
// anything else.
bool ParseFileArgument(int argc, char** argv, const char* usage, std::string& path,
                       std::map<std::string, bool>& flags, int& exitCode) {
  for (int i = 1; i < argc; ++i) {
    if (IsHelp(argv[i])) {
      std::fputs(usage, stdout);
      exitCode = 0;
      return false;
    }
    if (auto flag = flags.find(argv[i]); flag != flags.end()) {
      flag->second = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "tq %s: unknown option '%s'\n%s", argv[0], argv[i], usage);
      exitCode = 2;
      return false;
    } else if (path.empty()) {
      path = argv[i];
    } else {
      std::fprintf(stderr, "tq %s: unexpected argument '%s'\n%s", argv[0], argv[i], usage);
      exitCode = 2;
      return false;
    }
  }
  if (path.empty()) {
    std::fputs(usage, stderr);
    exitCode = 2;
    return false;
  }
  return true;
}

}  // namespace

int RunReplayCommand(int argc, char** argv) {
  std::string path;
  std::map<std::string, bool> flags{{"--events", false}};
  int exitCode = 0;
  if (!ParseFileArgument(argc, argv, kReplayUsage, path, flags, exitCode)) return exitCode;
  const bool events = flags["--events"];

  std::map<UINT, unsigned long> counts;
  tqtool::PrintingWindow window(stdout, [events](UINT) { return events; });
  window.onMessage = [&counts](UINT message, WPARAM, LPARAM) { ++counts[message]; };
  window.flushEachLine = false;
  CFileDialog dialog(path.c_str());
  try {
    TQReadFileData(window.Handle(), &dialog);
  } catch (const CFileException& error) {
    std::fprintf(stderr, "error tq replay: cannot open '%s': %s (system error %ld)\n", path.c_str(),
                 CauseText(error.m_cause), error.m_lOsError);
    return 1;
  }
  // Messages that boards below version 2.0 post arrive now, after the
  // sent ones, as they would in a host's message loop.
  tqtool::DrainMessages();

  // The replay says nothing about a header it refused; tell the person.
  if (std::FILE* file = std::fopen(path.c_str(), "rb"); file != nullptr) {
    uint8_t bytes[tq::kCaptureHeaderSize];
    const size_t got = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    if (got < sizeof bytes) {
      std::fprintf(stderr, "tq replay: note: '%s' is shorter than a capture header; nothing was replayed\n",
                   path.c_str());
    } else if (!HeaderAccepted(tq::DecodeCaptureHeader(bytes))) {
      const tq::SCaptureHeader header = tq::DecodeCaptureHeader(bytes);
      std::fprintf(stderr,
                   "tq replay: note: header not accepted (protocol %g, board version %g); nothing was "
                   "replayed\n",
                   header.protocolNumber, header.boardVersion);
    }
  }
  if (!events) {
    std::printf("down %lu move %lu up %lu board %lu ffff %lu\n", counts[TQ_MSG_PEN_DOWN],
                counts[TQ_MSG_PEN_MOVE], counts[TQ_MSG_PEN_UP], counts[TQ_MSG_BOARD_EVENT],
                counts[TQ_MSG_BOARD_0x90]);
  }
  return 0;
}

int RunInfoCommand(int argc, char** argv) {
  std::string path;
  std::map<std::string, bool> flags;
  int exitCode = 0;
  if (!ParseFileArgument(argc, argv, kInfoUsage, path, flags, exitCode)) return exitCode;
  SCapture capture;
  if (!ReadCapture("info", path, capture)) return 1;
  const tq::SCaptureHeader& header = capture.header;
  std::printf("file           %s\n", path.c_str());
  std::printf("protocol       %.1f (%s packets)\n", header.protocolNumber,
              header.protocolNumber < 2.0 ? "5-byte" : "9-byte");
  std::printf("board version  %.1f (decoder: %s)\n", header.boardVersion, DecoderName(header.boardVersion));
  std::printf("baseline       %u (board width %u)\n", header.receiverSpacing, header.receiverSpacing + 340u);
  std::printf("body           %zu bytes\n", capture.body.size());
  if (!IsSampleFile(path)) return 0;

  const size_t records = capture.body.size() / tq::kSampleRecordSize;
  const size_t stray = capture.body.size() % tq::kSampleRecordSize;
  std::map<uint8_t, size_t> byKind;
  for (size_t i = 0; i < records; ++i) ++byKind[capture.body[i * tq::kSampleRecordSize]];
  std::printf("records        %zu\n", records);
  for (const auto& [kind, count] : byKind) std::printf("  0x%02x %-13s %zu\n", kind, KindName(kind), count);
  if (stray != 0) std::printf("partial record %zu bytes at the end\n", stray);
  return 0;
}

int RunDumpCommand(int argc, char** argv) {
  std::string path;
  std::map<std::string, bool> flags;
  int exitCode = 0;
  if (!ParseFileArgument(argc, argv, kDumpUsage, path, flags, exitCode)) return exitCode;
  if (EndsWith(path, ".raw")) {
    std::fprintf(stderr, "error tq dump: '%s' is a raw capture, which holds no records (see tq info)\n",
                 path.c_str());
    return 1;
  }
  SCapture capture;
  if (!ReadCapture("dump", path, capture)) return 1;
  const size_t records = capture.body.size() / tq::kSampleRecordSize;
  for (size_t i = 0; i < records; ++i) {
    const tq::SSampleRecord record = tq::DecodeSampleRecord(&capture.body[i * tq::kSampleRecordSize]);
    std::printf("0x%02x %d %d\n", record.kind, record.x, record.y);
  }
  if (const size_t stray = capture.body.size() % tq::kSampleRecordSize; stray != 0) {
    std::fprintf(stderr, "tq dump: note: %zu bytes of a partial record at the end were not printed\n", stray);
  }
  return 0;
}
