// Numbers typed by a person or read from a line of text: the whole text must
// be the number, in the C locale, without leading blanks or a plus sign.
#pragma once

#include <charconv>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace tqtool {

// Integers in `base`; floating-point values in decimal or exponent form, and
// nan, inf and -inf. False, with `value` untouched, when the text is not one
// whole number of the type.
template <typename T>
bool ParseNumber(std::string_view text, T& value, int base = 10) {
  if (text.empty()) return false;
  const char* const end = text.data() + text.size();
  T parsed{};
  std::from_chars_result result;
  if constexpr (std::is_floating_point_v<T>) {
    result = std::from_chars(text.data(), end, parsed, std::chars_format::general);
  } else {
    result = std::from_chars(text.data(), end, parsed, base);
  }
  if (result.ec != std::errc() || result.ptr != end) return false;
  value = parsed;
  return true;
}

}  // namespace tqtool
