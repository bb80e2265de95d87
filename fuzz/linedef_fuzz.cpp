// Arbitrary line definition texts. Checks: an accepted text gives settings
// a line can take, a rejected one leaves the settings as they were.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tqp::LineSettings settings;
  settings.baud = 1234;
  settings.parity = 'Q';
  const bool ok = tqp::ParseLineDefinition(text.c_str(), settings);
  if (!ok) {
    if (settings.baud != 1234 || settings.parity != 'Q') std::abort();
    return 0;
  }
  if (settings.baud == 0) std::abort();
  if (settings.dataBits < 5 || settings.dataBits > 8) std::abort();
  if (settings.stopBits != 1 && settings.stopBits != 2 && settings.stopBits != 15) std::abort();
  if (settings.parity != 'Q' && !std::strchr("NEOMS", settings.parity)) std::abort();
  return 0;
}
