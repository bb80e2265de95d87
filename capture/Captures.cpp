// The three capture files of a port: what came from the line (.raw), what
// the validation stage let through (.val), and what reached the window
// (.out), each behind the same 20-byte header.
#include <cstring>
#include <string>

#include "api/BoardPort.h"
#include "api/TextNumber.h"
#include "capture/Replay.h"

namespace tq {
namespace {

constexpr size_t kMaxCapturePath = 255;
constexpr int kRawBit = 1;
constexpr int kValBit = 2;
constexpr int kOutBit = 4;

}  // namespace

SCaptureHeader CBoardPort::CaptureHeader() const {
  SCaptureHeader header;
  header.protocolNumber = ParseDecimal(m_linkVersion + 1, sizeof m_linkVersion - 1);
  header.boardVersion = m_boardVersion;
  header.receiverSpacing = m_receiverSpacing;
  return header;
}

void CBoardPort::ReopenCaptures(const char* base, int flags) {
  m_rawFile.Close();
  m_filter.StopValCapture();
  m_valFile.Close();
  m_outFile.Close();
  if (base == nullptr) return;
  const SCaptureHeader header = CaptureHeader();
  struct Selected {
    int bit;
    const char* extension;
    CCaptureFile* file;
  };
  const Selected files[] = {
      {kRawBit, ".raw", &m_rawFile}, {kValBit, ".val", &m_valFile}, {kOutBit, ".out", &m_outFile}};
  const size_t baseLength = strnlen(base, kMaxCapturePath + 1);
  for (const Selected& selected : files) {
    if ((flags & selected.bit) == 0) continue;
    // A name that does not fit is not truncated into some other file's name:
    // this capture and the later ones of the call stay closed.
    if (baseLength + std::strlen(selected.extension) > kMaxCapturePath) return;
    const std::string path = std::string(base, baseLength) + selected.extension;
    if (!selected.file->Create(path.c_str(), header)) return;
    if (selected.file == &m_valFile) m_filter.StartValCapture(&m_valFile);
  }
}

void CBoardPort::TakeReplayedHeader(const SCaptureHeader& header) {
  m_boardVersion = header.boardVersion;
  m_receiverSpacing = header.receiverSpacing;
  FormatVersion(header.protocolNumber, m_linkVersion, sizeof m_linkVersion);
  FormatVersion(m_boardVersion, m_versionText, sizeof m_versionText);
  m_packetLength = static_cast<uint32_t>(CapturePacketLength(header.protocolNumber));
}

void CBoardPort::OpenReplayCaptures(const char* base) {
  ReopenCaptures(base, kValBit | kOutBit);
  m_valFile.SetBuffered(true);
  m_outFile.SetBuffered(true);
}

void CBoardPort::CopyRawCapture(CFile* target) {
  if (target == nullptr || !target->IsOpen()) return;
  m_rawFile.CopyTo(*target);
}

}  // namespace tq
