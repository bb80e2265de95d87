#include "common/Report.h"

#include <cstdio>

namespace tqtool {

int Failed(const std::string& command, const std::string& what, const std::string& why) {
  if (why.empty()) {
    std::fprintf(stderr, "tq %s: %s\n", command.c_str(), what.c_str());
  } else {
    std::fprintf(stderr, "tq %s: %s: %s\n", command.c_str(), what.c_str(), why.c_str());
  }
  return kExitFailed;
}

void Say(const std::string& command, const std::string& text) {
  std::fprintf(stderr, "tq %s: %s\n", command.c_str(), text.c_str());
}

std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7e && byte != '\\') {
      out.push_back(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return out;
}

}  // namespace tqtool
