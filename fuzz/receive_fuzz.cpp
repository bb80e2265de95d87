// Arbitrary bytes from the line, in arbitrary chunk sizes, into the receive
// path of a port, for every family of boards and every switch combination.
// Checks: no crash or undefined behaviour, and between two chunks the
// receive buffer holds less than one packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/BoardPort.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const double kVersions[] = {1.5, 2.1, 3.9, 4.0, 4.7, 5.0};
  const uint8_t setup = data[0];
  const uint8_t chunking = data[1];
  data += 2;
  size -= 2;

  tq::CBoardPort port(nullptr);
  port.m_boardVersion = kVersions[(setup & 0x7) % 6];
  // A replayed file may say 5-byte packets for any version.
  port.m_packetLength = (setup & 0x08) ? 5 : 9;
  port.m_receiverSpacing = 500 + (static_cast<uint32_t>(chunking) * 17u) % 4501u;
  port.m_filter.SetValidation((setup & 0x10) ? 1 : 0);
  port.m_filter.SetAntiStreak((setup & 0x20) ? 1 : 0);
  port.m_filter.SetFilter((setup & 0x40) ? 1 : 0);
  port.SetPodLocation((setup >> 6) & 3);
  port.SetBoardHeight(static_cast<int32_t>(chunking) * 40);

  size_t pos = 0;
  unsigned step = 1 + (chunking & 0x3F);
  while (pos < size) {
    const size_t n = std::min<size_t>(step, size - pos);
    port.DispatchReceived(data + pos, static_cast<int>(n));
    if (port.m_rxCount >= port.m_packetLength) std::abort();
    pos += n;
    step = 1 + ((step * 7 + data[pos - 1]) % 600);  // now and then longer than one read
  }
  port.DispatchReceived(data, 0);
  return 0;
}
