#include "api/TextNumber.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace tq {

namespace {

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// strtod's result for a number beyond the range of a double: HUGE_VAL when
// it is too large, 0 when too small. In texts as short as a board's replies
// only an exponent takes a number out of range, and its sign tells which.
double RangeResult(const char* p, const char* end, char exponentMark) {
  for (; p < end; ++p) {
    if ((*p | 0x20) == exponentMark) return p + 1 < end && p[1] == '-' ? 0.0 : HUGE_VAL;
  }
  return HUGE_VAL;
}

// The longest number at the front of [p, end), unsigned, as strtod reads it
// in the C locale: decimal with an optional exponent, hexadecimal after "0x"
// with an optional binary exponent, infinity and NaN. 0 when none is there.
double ReadUnsigned(const char* p, const char* end) {
  double value = 0.0;
  if (p == end || *p == '+' || *p == '-') return 0.0;  // one sign only
  if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    // "0x" followed by no hexadecimal digit is the number 0 and a letter.
    const auto hex = std::from_chars(p + 2, end, value, std::chars_format::hex);
    if (hex.ec == std::errc::result_out_of_range) return RangeResult(p + 2, end, 'p');
    return hex.ec == std::errc() ? value : 0.0;
  }
  const auto result = std::from_chars(p, end, value, std::chars_format::general);
  // Out of range: strtod's HUGE_VAL or its smallest result of the sign.
  if (result.ec == std::errc::result_out_of_range) return RangeResult(p, end, 'e');
  return result.ec == std::errc() ? value : 0.0;
}

}  // namespace

double ParseDecimal(const char* text, size_t limit) {
  if (text == nullptr) return 0.0;
  size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  const char* p = text;
  const char* end = text + length;
  while (p < end && IsCSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const double value = ReadUnsigned(p, end);
  return negative ? -value : value;
}

void FormatVersion(double value, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  // One decimal, rounded as printf does, without the locale's decimal mark.
  char buffer[64];
  std::to_chars_result result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
  std::string text = "v";
  if (result.ec == std::errc()) text.append(buffer, result.ptr);
  std::snprintf(out, size, "%s", text.c_str());
}

}  // namespace tq
