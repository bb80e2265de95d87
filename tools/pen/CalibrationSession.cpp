#include "pen/CalibrationSession.h"

#include <complex>

namespace tqpen {

namespace {

using Complex = std::complex<double>;

Complex AsComplex(const PlanePoint& p) { return {p.x, p.y}; }

const char* const kCorners[4] = {"top-left", "top-right", "bottom-right", "bottom-left"};

}  // namespace

CalibrationSession::CalibrationSession(int32_t width, int32_t height, double inset)
    : m_width(width), m_height(height), m_targets(CalibrationTargets(width, height, inset)) {}

const char* CalibrationSession::CornerName(size_t index) {
  return index < 4 ? kCorners[index] : "none";
}

void CalibrationSession::SetBoardRange(int32_t xMax, int32_t yMax) {
  m_xMax = xMax;
  m_yMax = yMax;
  m_minApart = MinTouchApart(xMax, yMax, {});
}

size_t CalibrationSession::Asked() const {
  for (size_t i = 0; i < 4; ++i) {
    if (!m_have[i]) return i;
  }
  return 4;
}

void CalibrationSession::PenAt(const PlanePoint& board) {
  if (m_count == 0) m_trace.clear();
  m_sumX += board.x;
  m_sumY += board.y;
  ++m_count;
  if (m_trace.size() == kTracePoints) m_trace.erase(m_trace.begin());
  m_trace.push_back(board);
}

std::optional<CalibrationSession::Outcome> CalibrationSession::Lift() {
  const size_t count = m_count;
  const PlanePoint middle{count > 0 ? m_sumX / static_cast<double>(count) : 0.0,
                          count > 0 ? m_sumY / static_cast<double>(count) : 0.0};
  m_sumX = m_sumY = 0;
  m_count = 0;
  if (count == 0 || Complete()) return std::nullopt;
  return Touch(middle);
}

CalibrationSession::Outcome CalibrationSession::Touch(const PlanePoint& middle) {
  const size_t index = Asked();
  m_last = middle;
  m_startedOver = false;
  if (index == 4) {
    m_refusal = "all four targets are in: take one back to touch it again";
    return Outcome::Refused;
  }
  Quad candidate = m_touches;
  candidate[index] = middle;
  // Judged with every touch before the next target still missing.
  size_t count = index + 1;
  while (count < 4 && m_have[count]) ++count;
  m_refusal = TouchProblem(candidate, count, m_targets, m_minApart);
  if (!m_refusal.empty()) {
    if (++m_refusals < 2) return Outcome::Refused;
    // The mistake may lie in an earlier touch.
    m_have = {};
    m_refusals = 0;
    m_startedOver = true;
    return Outcome::StartedOver;
  }
  m_touches[index] = middle;
  m_have[index] = true;
  m_refusals = 0;
  return Outcome::Accepted;
}

bool CalibrationSession::Redo(size_t index) {
  if (index >= 4 || !m_have[index]) return false;
  m_have[index] = false;
  m_refusals = 0;
  m_refusal.clear();
  m_startedOver = false;
  return true;
}

bool CalibrationSession::Back() {
  for (size_t i = Asked(); i-- > 0;) {
    if (m_have[i]) return Redo(i);
  }
  return false;
}

PlanePoint CalibrationSession::Approximate(const PlanePoint& board) const {
  size_t in[4], count = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (m_have[i]) in[count++] = i;
  }
  if (count >= 3) {
    Quad from = m_touches, to = m_targets;
    if (count == 3) {
      // The missing corner makes a parallelogram with the other three.
      const size_t j = Asked(), before = (j + 3) % 4, after = (j + 1) % 4, across = (j + 2) % 4;
      from[j] = {from[before].x + from[after].x - from[across].x,
                 from[before].y + from[after].y - from[across].y};
      to[j] = {to[before].x + to[after].x - to[across].x,
               to[before].y + to[after].y - to[across].y};
    }
    Homography mapping;
    if (SolveHomography(from, to, mapping)) return mapping.Apply(board);
  }
  if (count >= 2) {
    // Both planes run y down: a turn and a scale, no mirror.
    const Complex b0 = AsComplex(m_touches[in[0]]), b1 = AsComplex(m_touches[in[1]]);
    const Complex t0 = AsComplex(m_targets[in[0]]), t1 = AsComplex(m_targets[in[1]]);
    if (std::abs(b1 - b0) > 0.0) {
      const Complex at = t0 + (t1 - t0) / (b1 - b0) * (AsComplex(board) - b0);
      return {at.real(), at.imag()};
    }
  }
  const double sx = m_xMax > 0 ? m_width / static_cast<double>(m_xMax) : 1.0;
  const double sy = m_yMax > 0 ? m_height / static_cast<double>(m_yMax) : 1.0;
  if (count >= 1) {
    const PlanePoint& touch = m_touches[in[0]];
    const PlanePoint& target = m_targets[in[0]];
    return {target.x + (board.x - touch.x) * sx, target.y + (board.y - touch.y) * sy};
  }
  return {board.x * sx, board.y * sy};
}

}  // namespace tqpen
