#include "api/TextNumber.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace tq {

double ParseDecimal(const char* text, size_t limit) {
  if (text == nullptr) return 0.0;
  size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  const char* p = text;
  const char* end = text + length;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  double value = 0.0;
  const auto result = std::from_chars(p, end, value, std::chars_format::fixed);
  if (result.ec != std::errc()) return 0.0;
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
