// tq filter: runs pen samples from standard input through a stroke filter
// and prints what comes out, so that a stroke can be studied stage by stage.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "TqCommands.h"
#include "filter/StrokeFilter.h"

namespace {

const char kFilterUsage[] =
    "usage: tq filter [--no-validate] [--no-antistreak] [--no-smooth] < SAMPLES\n"
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
    "Output, one sample a line: KIND X Y PENCODE VALID (KIND as 0x%02x, X and Y\n"
    "with 17 significant digits, VALID 0 or 1). A stroke still held in the filter\n"
    "at the end of input is not printed; end the input with a break marker.\n"
    "Exit status: 0 on success, 2 for a usage error or a malformed line.\n";

bool IsHelp(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

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

template <typename T>
bool ParseWhole(std::string_view text, T& value, int base = 10) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value, base);
  return result.ec == std::errc() && result.ptr == end;
}

bool ParseDouble(std::string_view text, double& value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value, std::chars_format::general);
  return result.ec == std::errc() && result.ptr == end;
}

bool ParseKind(std::string_view text, uint8_t& kind) {
  unsigned value = 0;
  bool ok = false;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    ok = ParseWhole(text.substr(2), value, 16);
  } else {
    ok = ParseWhole(text, value, 10);
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
    if (!ParseWhole(fields[1], skip)) return "SKIP is not an integer";
    if (fields[2] != "0" && fields[2] != "1") return "DISCARD must be 0 or 1";
    filter.Reset(skip, fields[2] == "1");
    return {};
  }

  if (fields.size() != 4) return "expected 'KIND X Y PENCODE'";
  tq::SPenSample sample;
  if (!ParseKind(fields[0], sample.kind)) return "KIND is not a number from 0 to 255";
  if (!ParseDouble(fields[1], sample.x)) return "X is not a number";
  if (!ParseDouble(fields[2], sample.y)) return "Y is not a number";
  if (!ParseWhole(fields[3], sample.penCode)) return "PENCODE is not a 32-bit integer";
  filter.Push(sample);
  Drain(filter);
  return {};
}

}  // namespace

int RunFilterCommand(int argc, char** argv) {
  bool validate = true;
  bool antiStreak = true;
  bool smooth = true;
  for (int i = 1; i < argc; ++i) {
    if (IsHelp(argv[i])) {
      std::fputs(kFilterUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--no-validate") == 0) {
      validate = false;
    } else if (std::strcmp(argv[i], "--no-antistreak") == 0) {
      antiStreak = false;
    } else if (std::strcmp(argv[i], "--no-smooth") == 0) {
      smooth = false;
    } else {
      std::fprintf(stderr, "tq filter: unexpected argument '%s'\n%s", argv[i], kFilterUsage);
      return 2;
    }
  }

  tq::CStrokeFilter filter;
  filter.SetValidation(validate ? 1 : 0);
  filter.SetAntiStreak(antiStreak ? 1 : 0);
  filter.SetFilter(smooth ? 1 : 0);

  std::string line;
  long lineNumber = 0;
  while (std::getline(std::cin, line)) {
    ++lineNumber;
    const std::string problem = RunLine(line, filter);
    if (!problem.empty()) {
      std::fflush(stdout);
      std::fprintf(stderr, "tq filter: line %ld: %s: '%s'\n", lineNumber, problem.c_str(),
                   line.c_str());
      return 2;
    }
  }
  Drain(filter);
  std::fflush(stdout);
  return 0;
}
