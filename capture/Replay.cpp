// Replay of a raw capture: the file's bytes go through the decoders, the
// filter and the delivery exactly as a live board's would, on the caller's
// thread, and new .val and .out captures are written beside the file.
#include <cstring>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "api/TextNumber.h"

namespace tq {
namespace {

constexpr size_t kReadBlock = 64 * 1024;


}  // namespace

void CBoardPort::ReplayCapture(const char* path) {
  CFile file;
  CFileException error;
  // Held without sharing: nobody writes the file while it is replayed.
  if (!file.Open(path, CFile::modeRead | CFile::shareExclusive | CFile::typeBinary, &error)) {
    throw error;
  }
  // A file too short for its header, or whose header names no protocol or
  // board this could have come from, is not replayed and leaves no captures.
  uint8_t headerBytes[kCaptureHeaderSize];
  if (file.Read(headerBytes, sizeof headerBytes) != sizeof headerBytes) return;
  const SCaptureHeader header = DecodeCaptureHeader(headerBytes);
  const double protocol = header.protocolNumber;
  m_boardVersion = header.boardVersion;
  m_receiverSpacing = header.receiverSpacing;
  if (!(protocol > 0.0 && protocol < 100.0 && m_boardVersion > 0.0 && m_boardVersion < 100.0)) {
    return;
  }
  FormatVersion(protocol, m_linkVersion, sizeof m_linkVersion);
  FormatVersion(m_boardVersion, m_versionText, sizeof m_versionText);
  m_packetLength = protocol < 2.0 ? 5 : 9;

  const size_t pathLength = std::strlen(path);
  const std::string base = pathLength > 4 ? std::string(path, pathLength - 4) : std::string();
  ReopenCaptures(base.c_str(), 6);
  m_valFile.SetBuffered(true);
  m_outFile.SetBuffered(true);

  // Read in large blocks, hand the decoders one packet length at a time.
  std::vector<uint8_t> block(kReadBlock);
  size_t held = 0;
  for (;;) {
    const unsigned got = file.Read(block.data() + held, static_cast<unsigned>(block.size() - held));
    held += got;
    size_t pos = 0;
    while (held - pos >= m_packetLength) {
      DispatchReceived(block.data() + pos, static_cast<int>(m_packetLength));
      pos += m_packetLength;
    }
    std::memmove(block.data(), block.data() + pos, held - pos);
    held -= pos;
    if (got == 0) break;
  }
  // The raw stream has no packet boundaries: a board of version 2 or later
  // sends single heartbeat bytes while idle, so a live recording's length is
  // rarely a whole number of packets, and its last packet ends in the short
  // tail. Those bytes go to the receive buffer like the rest; the framing
  // decodes them only if they complete a packet, so stray bytes at the end of
  // a file are still never decoded.
  if (held > 0) DispatchReceived(block.data(), static_cast<int>(held));
  ReopenCaptures(nullptr, 0);
}

}  // namespace tq
