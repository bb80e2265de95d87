// tq filter: runs pen samples from standard input through a stroke filter
// and prints what comes out, so that a stroke can be studied stage by stage.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/CommandLine.h"
#include "common/Number.h"
#include "filter/StrokeFilter.h"
#include "tq/Commands.h"

namespace {

const char kFilterAbout[] =
    "Pushes each sample read from standard input into a fresh stroke filter (all\n"
    "three stages on unless switched off) and prints every sample that leaves it.\n"
    "Input, one a line ('#' starts a comment line, blank lines are ignored):\n"
    "  KIND X Y PENCODE     KIND 0x80 pen down, 0x88 hover, 0xfe break marker\n"
    "                       (hex with 0x, or decimal, 0 to 255); X, Y decimal,\n"
    "                       nan, inf or -inf; PENCODE a decimal integer\n"
    "  reset SKIP DISCARD   ends the stroke and drops the next SKIP samples that\n"
    "                       are not break markers; DISCARD 1 throws away what the\n"
    "                       filter holds. What it releases is printed after the\n"
    "                       next sample, as a decoder delivers it.\n"
    "A line is at most 4096 characters long. Output, one sample a line:\n"
    "KIND X Y PENCODE VALID (KIND as 0x%02x, X and Y with 17 significant digits,\n"
    "VALID 0 or 1). A stroke still held in the filter at the end of input is not\n"
    "printed; end the input with a break marker. tq dump --filter-input prints a\n"
    ".val or .out capture in this form.\n";

const char kFilterFooter[] = "Exit status: 0 on success, 2 for a usage error or a malformed line.\n";

// Longer lines are no sample: the input is not what it should be.
constexpr size_t kMaxLine = 4096;
// How much of a bad line a message quotes.
constexpr size_t kQuoted = 60;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsSpace(line[i])) ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

bool ParseKind(std::string_view text, uint8_t& kind) {
  unsigned value = 0;
  bool ok = false;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    ok = tqtool::ParseNumber(text.substr(2), value, 16);
  } else {
    ok = tqtool::ParseNumber(text, value, 10);
  }
  if (!ok || value > 255) return false;
  kind = static_cast<uint8_t>(value);
  return true;
}

// The same text on every platform: no "-nan", "1.#INF" or "infinity".
std::string FormatCoordinate(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

void Drain(tq::CStrokeFilter& filter) {
  while (filter.OutputCount() != 0) {
    const tq::SPenSample s = filter.Pop();
    std::printf("0x%02x %s %s %d %d\n", s.kind, FormatCoordinate(s.x).c_str(),
                FormatCoordinate(s.y).c_str(), static_cast<int>(s.penCode), s.valid ? 1 : 0);
  }
}

// Handles one line; returns an empty string or what is wrong with it.
std::string RunLine(std::string_view line, tq::CStrokeFilter& filter) {
  const std::vector<std::string_view> fields = SplitFields(line);
  if (fields.empty() || fields[0][0] == '#') return {};

  if (fields[0] == "reset") {
    if (fields.size() != 3) return "expected 'reset SKIP DISCARD'";
    int32_t skip = 0;
    if (!tqtool::ParseNumber(fields[1], skip)) return "SKIP is not an integer";
    if (fields[2] != "0" && fields[2] != "1") return "DISCARD must be 0 or 1";
    filter.Reset(skip, fields[2] == "1");
    return {};
  }

  if (fields.size() != 4) return "expected 'KIND X Y PENCODE'";
  tq::SPenSample sample;
  if (!ParseKind(fields[0], sample.kind)) return "KIND is not a number from 0 to 255";
  if (!tqtool::ParseNumber(fields[1], sample.x)) return "X is not a number";
  if (!tqtool::ParseNumber(fields[2], sample.y)) return "Y is not a number";
  if (!tqtool::ParseNumber(fields[3], sample.penCode)) return "PENCODE is not a 32-bit integer";
  filter.Push(sample);
  Drain(filter);
  return {};
}

// The start of a line as a message may quote it: printable, and short.
std::string Quoted(std::string_view line) {
  std::string out;
  for (const char c : line.substr(0, kQuoted)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      out.push_back(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return line.size() > kQuoted ? out + "..." : out;
}

// Reads one line of at most kMaxLine characters (its end of line not kept).
// False at the end of input; `tooLong` when the line goes on beyond that,
// with its start in `line`.
bool ReadLine(std::FILE* in, std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c;
  while ((c = std::getc(in)) != EOF) {
    if (c == '\n') return true;
    if (line.size() == kMaxLine) {
      tooLong = true;
      return true;
    }
    line.push_back(static_cast<char>(c));
  }
  return !line.empty();
}

int Refuse(long lineNumber, const std::string& problem, std::string_view line) {
  std::fflush(stdout);
  std::fprintf(stderr, "tq filter: line %ld: %s: '%s'\n", lineNumber, problem.c_str(), Quoted(line).c_str());
  return 2;
}

}  // namespace

int RunFilterCommand(int argc, char** argv) {
  bool noValidate = false, noAntiStreak = false, noSmooth = false;
  tqtool::CommandLine options("tq filter", "tq filter [--no-validate] [--no-antistreak] [--no-smooth] < SAMPLES",
                              kFilterAbout, kFilterFooter);
  options.Flag("--no-validate", noValidate, "switch the validation stage off");
  options.Flag("--no-antistreak", noAntiStreak, "switch the anti-streak stage off");
  options.Flag("--no-smooth", noSmooth, "switch the smoothing stage off");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;

  tq::CStrokeFilter filter;
  filter.SetValidation(noValidate ? 0 : 1);
  filter.SetAntiStreak(noAntiStreak ? 0 : 1);
  filter.SetFilter(noSmooth ? 0 : 1);

  std::string line;
  long lineNumber = 0;
  bool tooLong = false;
  while (ReadLine(stdin, line, tooLong)) {
    ++lineNumber;
    if (tooLong) return Refuse(lineNumber, "longer than " + std::to_string(kMaxLine) + " characters", line);
    const std::string problem = RunLine(line, filter);
    if (!problem.empty()) return Refuse(lineNumber, problem, line);
  }
  Drain(filter);
  std::fflush(stdout);
  return 0;
}
