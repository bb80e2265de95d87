// The scripted board on Linux: the simulator's pty board, answering from
// the test's script and keeping what the library sent.
#include "support/PtyBoard.h"

#include <cstdlib>
#include <stdexcept>

#include "sim/PtyBoard.h"

namespace tqtest {

PtyBoard::PtyBoard(int com, BoardScript script)
    : m_com(com), m_line(std::make_shared<tqsim::PtyBoard>()), m_script(std::move(script)) {
  std::string error;
  if (!m_line->Open(error)) throw std::runtime_error(error);
  m_slavePath = m_line->Path();
  // A library that reads nothing for two seconds has the rest of a Send
  // dropped, as a full line would.
  m_line->SetPatience(2.0);
  m_line->Listen([this](const uint8_t* bytes, size_t count, bool&) {
    const Bytes reply = Answer(bytes, count);
    m_changed.notify_all();
    return reply;
  });
  setenv(("TQ_COM" + std::to_string(com)).c_str(), m_slavePath.c_str(), 1);
  m_line->Start();
}

PtyBoard::~PtyBoard() {
  m_line->Stop();
  m_line->HangUp();
  // Left pointing at a path that no longer exists, so no real device is
  // touched by a later open of this port in the same test program.
  setenv(("TQ_COM" + std::to_string(m_com)).c_str(), "/nonexistent/tq-test-board", 1);
}

void PtyBoard::Send(const Bytes& bytes) { m_line->Send(bytes); }

void PtyBoard::Vanish() { m_line->HangUp(); }

}  // namespace tqtest
