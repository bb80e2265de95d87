// tq dump: the sample records of a .val or .out capture, one a line.
#include <cstdio>
#include <string>

#include "tq/Commands.h"
#include "common/CaptureInput.h"
#include "common/CommandLine.h"
#include "common/Report.h"
#include "capture/CaptureFile.h"

namespace {

const char kDumpAbout[] =
    "Prints the sample records of a .val or .out capture, one a line: KIND X Y, the\n"
    "kind in hex (0x80 pen down, 0x88 hover, 0xfe stroke break), X and Y as signed\n"
    "board units of the receiver frame. With --filter-input each line ends in a\n"
    "pen code as well (KIND X Y PENCODE), the lines tq filter reads. A partial\n"
    "record at the end is reported on standard error and not printed. The file is\n"
    "judged by what it holds, not by its name.\n";

const char kDumpFooter[] =
    "Exit status: 0, 1 when the file cannot be read, is no regular file, is\n"
    "shorter than its header or holds no sample records, 2 for usage.\n";

}  // namespace

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
  std::string error;
  if (!tqtool::ReadCapture(path, capture, error)) return tqtool::Failed("dump", error);
  if (!tqtool::HoldsSampleRecords(capture.body)) {
    return tqtool::Failed("dump", tqtool::Quoted(path) + " holds no sample records (a raw capture? see tq info)");
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
    std::fflush(stdout);
    tqtool::Say("dump", std::to_string(stray) + " bytes of a partial record at the end were not printed");
  }
  return tqtool::kExitDone;
}
