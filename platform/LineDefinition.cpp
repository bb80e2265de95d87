// Parser of the line definition text, e.g. "baud=9600 parity=N data=8 stop=1".
// Both backends check the text here, so every build accepts the same texts:
// keys in any order, separated by blanks; a malformed or unknown entry, or a
// value the line cannot take, rejects the whole text.
#include <cctype>
#include <cstring>

#include "platform/Platform.h"

namespace tqp {
namespace {

bool ParseUnsigned(const char*& p, uint32_t& value) {
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  uint64_t v = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > 0xFFFFFFFFull) return false;
    ++p;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

bool KeyIs(const char* p, size_t length, const char* key) {
  if (std::strlen(key) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(p[i])) != key[i]) return false;
  }
  return true;
}

bool AtEntryEnd(char c) { return c == '\0' || c == ' ' || c == '\t'; }

}  // namespace

bool ParseLineDefinition(const char* text, LineSettings& settings) {
  if (text == nullptr) return false;
  LineSettings result = settings;
  const char* p = text;
  bool any = false;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    const char* key = p;
    while (std::isalpha(static_cast<unsigned char>(*p))) ++p;
    const size_t keyLength = static_cast<size_t>(p - key);
    if (*p != '=') return false;
    ++p;
    if (KeyIs(key, keyLength, "baud")) {
      uint32_t baud = 0;
      if (!ParseUnsigned(p, baud) || baud == 0) return false;
      result.baud = baud;
    } else if (KeyIs(key, keyLength, "parity")) {
      const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
      if (std::strchr("NEOMS", c) == nullptr || c == '\0') return false;
      result.parity = c;
      ++p;
    } else if (KeyIs(key, keyLength, "data")) {
      uint32_t bits = 0;
      if (!ParseUnsigned(p, bits) || bits < 5 || bits > 8) return false;
      result.dataBits = static_cast<uint8_t>(bits);
    } else if (KeyIs(key, keyLength, "stop")) {
      if (p[0] == '1' && p[1] == '.' && p[2] == '5') {
        result.stopBits = 15;
        p += 3;
      } else {
        uint32_t bits = 0;
        if (!ParseUnsigned(p, bits) || (bits != 1 && bits != 2)) return false;
        result.stopBits = static_cast<uint8_t>(bits);
      }
    } else {
      return false;
    }
    if (!AtEntryEnd(*p)) return false;
    any = true;
  }
  if (!any) return false;
  settings = result;
  return true;
}

}  // namespace tqp
