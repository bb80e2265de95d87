// Opening the board's line and the probe.
//
// The line is opened twice. The first, plain open serves the probe, a short
// question-and-answer exchange on the host's thread: the protocol number
// (which also fixes the packet length), the firmware version, and the
// geometry packet with the distance between the two receivers. Anything
// that does not answer like a board is turned away with its error code. The
// second open is the reader thread's, with reads that return at once.
//
// Set-up calls that fail (timeouts, event mask, line settings) are reported
// to the window as line errors; the open goes on, as a board on a line with
// odd settings may still work.
#include <cstdio>
#include <cstring>

#include "api/BoardPort.h"
#include "api/TextNumber.h"
#include "geometry/Truncate.h"

namespace tq {
namespace {

constexpr uint8_t kProtocolQuestion = 0x20;
constexpr uint8_t kVersionQuestion = 0x24;
constexpr uint8_t kShortLead = 0x76;  // 'v': 5-byte packets
constexpr uint8_t kLongLead = 0x90;   // 9-byte packets
constexpr uint8_t kGeometryLeadLevel2 = 0xB0;
constexpr uint8_t kGeometryLeadLevel1 = 0x90;
constexpr uint8_t kVersionTextEnd = 0x13;

constexpr tqp::LineTimeouts kProbeTimeouts{100, 0, 1000, 1000, 1000};
constexpr tqp::LineTimeouts kThreadTimeouts{0xFFFFFFFFu, 0, 0, 1000, 1000};

// Status codes of the set-up chain, sent as TQ_MSG_COMM_ERROR.
constexpr WPARAM kSetStateFailed = 3;
constexpr WPARAM kBuildFailed = 4;
constexpr WPARAM kGetStateFailed = 5;
constexpr WPARAM kMaskFailed = 6;
constexpr WPARAM kTimeoutsFailed = 7;

void FormatLine(int port, int baud, char parity, int dataBits, int stopBits, char (&device)[50],
                char (&definition)[50]) {
  std::snprintf(device, sizeof device, "COM%d", port);
  std::snprintf(definition, sizeof definition, "baud=%d parity=%c data=%d stop=%d", baud, parity,
                dataBits, stopBits);
}

}  // namespace

void CBoardPort::ConfigureLine(const tqp::LineTimeouts& timeouts, uint32_t mask,
                               const char* definition) {
  tqp::SerialLine& line = *m_line;
  if (!line.SetTimeouts(timeouts)) {
    Notify(TQ_MSG_COMM_ERROR, kTimeoutsFailed);
  } else if (!line.SetEventMask(mask)) {
    Notify(TQ_MSG_COMM_ERROR, kMaskFailed);
  } else if (!line.GetSettings(&m_dcb)) {
    Notify(TQ_MSG_COMM_ERROR, kGetStateFailed);
  } else {
    m_dcb.rtsEnable = true;
    if (!line.BuildSettings(definition, &m_dcb)) {
      Notify(TQ_MSG_COMM_ERROR, kBuildFailed);
    } else if (!line.SetSettings(m_dcb)) {
      Notify(TQ_MSG_COMM_ERROR, kSetStateFailed);
    }
  }
  line.Purge();
}

static void StopThreadIfRunning(CBoardPort& port) {
  if (!port.m_stopEvent) return;
  while (port.m_threadRunning.load(std::memory_order_acquire) != 0) {
    port.m_stopEvent->Set();
    tqp::PumpSentMessages(5);
  }
}

bool CBoardPort::OpenLine(int port, int baud, char parity, int dataBits, int stopBits) {
  StopThreadIfRunning(*this);
  {
    tqp::LockGuard guard(m_lineLock);
    m_line.reset();
  }
  char device[50];
  char definition[50];
  FormatLine(port, baud, parity, dataBits, stopBits, device, definition);
  m_line = tqp::SerialLine::Open(device, false);
  if (!m_line) return false;
  ConfigureLine(kProbeTimeouts, tqp::kEventRxChar, definition);
  return true;
}

int CBoardPort::Probe() {
  if (!m_line) return 1;
  tqp::SerialLine& line = *m_line;
  uint32_t count = 0;

  // Step 1: the protocol number. Its lead byte fixes the packet length.
  line.Purge();
  if (!line.Write(&kProtocolQuestion, 1, &count) || count != 1) return 1;
  std::memset(m_linkVersion, 0, sizeof m_linkVersion);
  if (!line.Read(m_linkVersion, 5, &count)) return 1;
  if (count == 0) return 3;
  const auto lead = static_cast<uint8_t>(m_linkVersion[0]);
  if (lead == kShortLead) {
    m_packetLength = 5;
  } else if (lead == kLongLead) {
    m_packetLength = 9;
  } else {
    return 3;
  }
  m_linkVersion[4] = '\0';
  const double protocol = ParseDecimal(m_linkVersion + 1, 3);
  // A text that is no number at all (NaN included) is no protocol number.
  if (!(protocol >= 1.0)) return 3;
  if (protocol > 2.0) return 4;

  // Step 2: the firmware version. Boards at protocol 2.0 send it unasked.
  const int32_t linkLevel = TruncateToInt32(ParseDecimal(m_linkVersion + 1, 3));
  if (protocol < 2.0) {
    line.Purge();
    if (!line.Write(&kVersionQuestion, 1, &count) || count != 1) return 1;
  }
  std::memset(m_versionText, 0, sizeof m_versionText);
  if (!line.Read(m_versionText, m_packetLength, &count)) return 1;
  const auto versionLead = static_cast<uint8_t>(m_versionText[0]);
  if (versionLead == kShortLead && count == 5) {
    m_versionText[4] = '\0';
  } else if (versionLead == kLongLead && count == 9) {
    for (unsigned i = 0; i < 9; ++i) {
      if (static_cast<uint8_t>(m_versionText[i]) == kVersionTextEnd) m_versionText[i] = '\0';
    }
  } else {
    return 3;
  }
  m_boardVersion = ParseDecimal(m_versionText + 1, kVersionTextSize - 2);

  // Step 3: the geometry packet, which the board sends on its own.
  uint8_t geometry[9] = {};
  if (!line.Read(geometry, m_packetLength, &count)) return 1;
  if (count == 0) return 3;
  const uint8_t expected = linkLevel >= 2 ? kGeometryLeadLevel2 : kGeometryLeadLevel1;
  if ((geometry[0] & 0xF0) != (expected & 0xF0)) return 3;
  if ((geometry[0] & 0x0F) != 0) return 5;
  m_receiverSpacing = static_cast<uint32_t>(geometry[1]) * 128u + (geometry[2] & 0x7Fu);
  if (m_receiverSpacing > 5000 || m_receiverSpacing < 500) return 5;
  return 0;
}

bool CBoardPort::OpenOverlapped(int port, int baud, char parity, int dataBits, int stopBits,
                                uint32_t eventMask, uint32_t mailboxSize) {
  StopThreadIfRunning(*this);
  m_writeEvent = std::make_unique<tqp::Event>();
  m_stopEvent = std::make_unique<tqp::Event>();
  m_mailbox = std::make_unique<char[]>(mailboxSize);
  std::memset(m_mailbox.get(), 0, mailboxSize);
  m_port = port;
  m_mailboxSize = mailboxSize;

  tqp::LockGuard guard(m_lineLock);
  m_line.reset();
  char device[50];
  char definition[50];
  FormatLine(port, baud, parity, dataBits, stopBits, device, definition);
  m_line = tqp::SerialLine::Open(device, true);
  if (!m_line) return false;
  ConfigureLine(kThreadTimeouts, eventMask, definition);
  return true;
}

}  // namespace tq
