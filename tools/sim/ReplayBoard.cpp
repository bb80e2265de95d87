#include "sim/ReplayBoard.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture/CaptureFile.h"

namespace tqtool {

namespace {

// The host reopens the line and starts its reader after the probe; bytes
// sent before that would be thrown away with the line's buffers.
constexpr double kStartDelay = 0.3;

bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  uint8_t block[16384];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) error = "cannot read '" + path + "'";
  return !failed;
}

}  // namespace

bool ReplayBoard::Open(const std::string& path, double speed, std::string& error) {
  std::vector<uint8_t> bytes;
  if (!ReadWhole(path, bytes, error)) return false;
  if (bytes.size() < tq::kCaptureHeaderSize) {
    error = "'" + path + "' is shorter than a capture header";
    return false;
  }
  const tq::SCaptureHeader header = tq::DecodeCaptureHeader(bytes.data());
  if (!tqsim::MakeModel(header.boardVersion, header.receiverSpacing, m_model)) {
    error = "'" + path + "' is not the capture of a board this tool can play (version, baseline)";
    return false;
  }
  const tqsim::Bytes body(bytes.begin() + tq::kCaptureHeaderSize, bytes.end());
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
  // An idle board of protocol 2.0 says it is there every second.
  if (m_started && !m_pty.Playing() && m_model.family != 1 && now - m_pty.LastSent() >= 1.0) {
    m_pty.Send({tqsim::kHeartbeat});
  }
  return wait;
}

}  // namespace tqtool
