#include "sim/ReplayBoard.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture/CaptureFile.h"
#include "common/CaptureInput.h"

namespace tqtool {

namespace {

// The host reopens the line and starts its reader after the probe; bytes
// sent before that would be thrown away with the line's buffers.
constexpr double kStartDelay = 0.3;

}  // namespace

bool ReplayBoard::Open(const std::string& path, double speed, std::string& error) {
  SCapture capture;
  if (!ReadCapture(path, capture, error)) return false;
  const tq::SCaptureHeader& header = capture.header;
  if (error = CaptureHeaderProblem(path, header); !error.empty()) return false;
  if (!tqsim::MakeModel(header.boardVersion, header.receiverSpacing, m_model)) {
    error = "'" + path + "' is not the capture of a board this tool can play (version, baseline)";
    return false;
  }
  const tqsim::Bytes body(capture.body.begin(), capture.body.end());
  m_pty.Load(tqsim::PaceOnLine(body, tqsim::kLineBytesPerSecond * speed));
  if (!m_pty.Open(error)) return false;
  m_pty.AnswerAs(tqsim::RepliesOf(m_model));
  m_pty.Start([this] { return Tick(); });
  return true;
}

double ReplayBoard::Tick() {
  const double now = tqsim::Now();
  if (!m_started && m_pty.Probes() > 0) {
    m_pty.Play(now + kStartDelay);
    m_started = true;
  }
  const double wait = m_pty.SendDue(now);
  if (m_started && !m_pty.Playing()) m_played = true;
  // An idle board of protocol 2.0 says it is there every second.
  if (m_started && !m_pty.Playing() && m_model.family != 1 && now - m_pty.LastSent() >= 1.0) {
    m_pty.Send({tqsim::kHeartbeat});
  }
  return wait;
}

}  // namespace tqtool
