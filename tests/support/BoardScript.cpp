// What the scripted board says and keeps, whichever line carries it: the
// replies of the script and the record of what the library sent.
#include <chrono>

#include "support/PtyBoard.h"

namespace tqtest {

Bytes GeometryPacket(uint8_t lead, unsigned baseline, unsigned length) {
  Bytes packet(length, 0);
  packet[0] = lead;
  packet[1] = static_cast<uint8_t>(baseline / 128);
  packet[2] = static_cast<uint8_t>(baseline % 128);
  return packet;
}

BoardScript ShortFormBoard(const std::string& protocol, const std::string& firmware,
                           unsigned baseline) {
  BoardScript script;
  script.protocolReply = {'v'};
  script.protocolReply.insert(script.protocolReply.end(), protocol.begin(), protocol.end());
  script.protocolReply.resize(5, ' ');
  script.versionReply = {'v'};
  script.versionReply.insert(script.versionReply.end(), firmware.begin(), firmware.end());
  script.versionReply.resize(5, ' ');
  script.geometry = GeometryPacket(0x90, baseline, 5);
  return script;
}

BoardScript LongFormBoard(const std::string& protocol, const std::string& firmware,
                          unsigned baseline) {
  BoardScript script;
  script.protocolReply = {0x90};
  script.protocolReply.insert(script.protocolReply.end(), protocol.begin(), protocol.end());
  script.protocolReply.resize(5, ' ');
  script.versionReply = {0x90};
  script.versionReply.insert(script.versionReply.end(), firmware.begin(), firmware.end());
  script.versionReply.resize(9, 0x13);
  script.geometry = GeometryPacket(0xB0, baseline, 9);
  script.versionUnasked = true;
  return script;
}

void PtyBoard::SetScript(const BoardScript& script) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_script = script;
}

Bytes PtyBoard::Received() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_received;
}

size_t PtyBoard::CountReceived(uint8_t byte) const {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t count = 0;
  for (uint8_t b : m_received) count += b == byte;
  return count;
}

bool PtyBoard::WaitForReceived(uint8_t byte, size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> guard(m_lock);
  return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    size_t seen = 0;
    for (uint8_t b : m_received) seen += b == byte;
    return seen >= count;
  });
}

Bytes PtyBoard::Answer(const uint8_t* bytes, size_t count) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_received.insert(m_received.end(), bytes, bytes + count);
  bool probed = false;
  return tqsim::AnswerHost(m_script, bytes, count, probed);
}

}  // namespace tqtest
