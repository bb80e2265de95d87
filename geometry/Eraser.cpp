// The eraser pipeline: pairing, check and repair, footprint.
//
// A real eraser drops or mis-hears one emitter now and then: its body shadows
// an emitter, or a reflection arrives first. Such a reading puts the emitters
// much nearer or farther apart than the 210 they really are. It waits until
// the next good reading; then each waiting reading is rebuilt keeping one
// emitter where its own distances put it and placing the other at 210 from
// it, choosing among the proposals the one nearest to the straight path
// between the good readings on either side of the gap.
#include "geometry/Eraser.h"

#include <cmath>

#include "api/BoardPort.h"
#include "geometry/Triangulate.h"

namespace tq {

namespace {

constexpr double kEmitterSpacingSquared = 44100.0;  // 210²
constexpr double kInitialBestScore = 420.0;

// The footprint: the emitters sit off the eraser's centre by this offset;
// the eraser is 105 wide; a pressed end reaches 131 from the centre, an end
// that is not pressed stops 65.5 short of it.
constexpr double kFootprintOffsetX = 200.0;
constexpr double kFootprintOffsetY = -100.0;
constexpr double kHalfWidth = 52.5;
constexpr double kActiveExtent = 131.0;
constexpr double kIdleExtent = -65.5;

bool IsFinite(SVector2 v) { return std::isfinite(v.x) && std::isfinite(v.y); }

SPenSample OutlineSample(SVector2 position) {
  SPenSample sample;
  sample.kind = kKindPenDown;
  sample.x = position.x;
  sample.y = position.y;
  return sample;
}

// Drops the oldest failing reading once more than kMaxWaitingReadings wait;
// the measured anchor at the front stays.
void BoundHistory(std::deque<SEraserReading>& history) {
  const bool anchored = !history.empty() && history.front().measured;
  const std::size_t waiting = history.size() - (anchored ? 1 : 0);
  if (waiting <= kMaxWaitingReadings) return;
  history.erase(history.begin() + (anchored ? 1 : 0));
}

}  // namespace

double Length(SVector2 v) { return std::sqrt(v.x * v.x + v.y * v.y); }

SPenSample operator+(const SPenSample& sample, SVector2 v) {
  SPenSample moved = sample;
  moved.x = sample.x + v.x;
  moved.y = sample.y + v.y;
  moved.valid = 0;
  return moved;
}

SPenSample operator-(const SPenSample& sample, SVector2 v) {
  SPenSample moved = sample;
  moved.x = sample.x - v.x;
  moved.y = sample.y - v.y;
  moved.valid = 0;
  return moved;
}

void PairEraserPacket(CBoardPort& port, uint32_t first, uint32_t second, int32_t penCode) {
  const bool emitter1 = penCode == 6 || penCode == 7;
  const uint8_t active = (penCode == 7 || penCode == 9) ? 1 : 0;
  std::deque<SEraserReading>& pending = port.m_pendingReadings;

  // A second packet of the same emitter starts a new reading; the incomplete
  // one before it is dropped when it is resolved.
  if (pending.empty() || (emitter1 ? pending.back().has1 : pending.back().has2)) {
    pending.push_back(SEraserReading{});
  }
  SEraserReading& reading = pending.back();
  if (emitter1) {
    reading.firstDistance1 = first;
    reading.secondDistance1 = second;
    reading.has1 = 1;
    reading.active1 = active;
  } else {
    reading.firstDistance2 = first;
    reading.secondDistance2 = second;
    reading.has2 = 1;
    reading.active2 = active;
  }

  if (pending.size() >= 2 || (pending.front().has1 && pending.front().has2)) {
    ResolveEraserReading(port);
  }
  while (!port.m_resolvedReadings.empty()) EmitEraserFootprint(port);
}

void ResolveEraserReading(CBoardPort& port) {
  std::deque<SEraserReading>& pending = port.m_pendingReadings;
  std::deque<SEraserReading>& resolved = port.m_resolvedReadings;
  std::deque<SEraserReading>& history = port.m_readingHistory;
  if (pending.empty()) return;
  SEraserReading r = pending.front();
  pending.pop_front();
  if (!r.has1 || !r.has2) return;

  const double spacing = port.m_receiverSpacing;
  SVector2 p1;
  SVector2 p2;
  const bool ok1 = Triangulate(r.secondDistance1, r.firstDistance1, spacing, p1.x, p1.y);
  const bool ok2 = Triangulate(r.secondDistance2, r.firstDistance2, spacing, p2.x, p2.y);
  const bool passes =
      ok1 && ok2 && std::fabs(Length(p1 - p2) - kEmitterSpacing) < kEmitterSpacingTolerance;
  if (!passes) {
    history.push_back(r);
    BoundHistory(history);
    return;
  }
  r.x1 = p1.x;
  r.y1 = p1.y;
  r.x2 = p2.x;
  r.y2 = p2.y;
  r.measured = 1;

  if (!history.empty()) {
    // Before the first good reading there is no anchor: the gap is then
    // predicted to stand still at this reading.
    SEraserReading prev = r;
    if (history.front().measured) {
      prev = history.front();
      history.pop_front();
    }
    const std::size_t m = history.size();
    for (std::size_t i = 0; i < m; ++i) {
      const SEraserReading& h = history[i];
      const double t = static_cast<double>(i + 1) / static_cast<double>(m + 1);
      const SVector2 q1 = Emitter1(prev) + (Emitter1(r) - Emitter1(prev)) * t;
      const SVector2 q2 = Emitter2(prev) + (Emitter2(r) - Emitter2(prev)) * t;

      // Candidates 0 and 1 keep emitter 2 and use (baseline, 0), 2 and 3 keep
      // emitter 1 and use (baseline, 0), 4 to 7 the same with (0, 0).
      static constexpr int kModes[4] = {0, 2, 1, 3};
      SEraserReading candidates[8] = {h, h, h, h, h, h, h, h};
      double costs[8];
      for (int k = 0; k < 4; ++k) {
        costs[2 * k] = RecoverEmitter(port, h, kModes[k], candidates[2 * k], candidates[2 * k + 1]);
        costs[2 * k + 1] = costs[2 * k];
      }

      int best = -1;
      double limit = kEmitterSpacingTolerance;
      double bestScore = kInitialBestScore;
      for (int j = 0; j < 8; ++j) {
        if (!(costs[j] <= limit)) continue;
        const double score = Length(Emitter1(candidates[j]) - q1) + Length(Emitter2(candidates[j]) - q2);
        if (score < bestScore) {
          best = j;
          bestScore = score;
          limit = costs[j];
        }
      }
      if (best >= 0) resolved.push_back(candidates[best]);
    }
  }
  resolved.push_back(r);
  history.clear();
  history.push_back(r);
}

double RecoverEmitter(const CBoardPort& port, SEraserReading reading, int mode,
                      SEraserReading& first, SEraserReading& second) {
  const double spacing = port.m_receiverSpacing;
  SEraserReading& r = reading;
  const bool ok1 = Triangulate(r.secondDistance1, r.firstDistance1, spacing, r.x1, r.y1);
  const bool ok2 = Triangulate(r.secondDistance2, r.firstDistance2, spacing, r.x2, r.y2);
  const bool anchorIs1 = mode == 2 || mode == 3;
  if (!(anchorIs1 ? ok1 : ok2)) return kRecoveryFailed;

  // Modes 0 and 2 work with the second distance fields, which are distances
  // to (baseline, 0); modes 1 and 3 with the first, distances to (0, 0).
  const bool nearOrigin = mode == 1 || mode == 3;
  const SVector2 a = anchorIs1 ? Emitter1(r) : Emitter2(r);
  const SVector2 b = nearOrigin ? SVector2{0.0, 0.0} : SVector2{spacing, 0.0};
  const SVector2 toB = b - a;
  const double k = Length(toB);
  const SVector2 u{toB.x / k, toB.y / k};
  const SVector2 n{u.y, -u.x};

  const double delta = nearOrigin ? r.firstDistance1 - r.firstDistance2
                                  : r.secondDistance1 - r.secondDistance2;
  const double excess = std::fabs(delta) - kEmitterSpacing;
  const double cost = excess > 0.0 ? excess : 0.0;
  const double f = anchorIs1 ? (nearOrigin ? r.firstDistance2 : r.secondDistance2)
                             : (nearOrigin ? r.firstDistance1 : r.secondDistance1);

  SVector2 place1;
  SVector2 place2;
  if (cost > 0.0) {
    // The distances cannot both hold at 210 apart: put the other emitter on
    // the line to the receiver, on the side its distance says.
    const double s = f < k ? 1.0 : -1.0;
    place1 = a + u * (kEmitterSpacing * s);
    place2 = place1;
  } else {
    // The other emitter lies where the circle of radius 210 around the
    // anchor meets the circle of its own distance around the receiver.
    const double cosB = ((f * f + k * k) - kEmitterSpacingSquared) * 0.5 / k / f;
    if (!(cosB >= -1.0 && cosB <= 1.0) || f == 0.0) return kRecoveryFailed;
    const double w = k - f * cosB;
    const double h = f * std::sqrt(1.0 - cosB * cosB);
    const SVector2 foot = a + u * w;
    place1 = foot + n * h;
    place2 = foot - n * h;
  }
  // An anchor on the receiver itself gives the line no direction.
  if (!(k > 0.0) || !IsFinite(place1) || !IsFinite(place2)) return kRecoveryFailed;

  first = r;
  second = r;
  if (anchorIs1) {
    first.x2 = place1.x;
    first.y2 = place1.y;
    second.x2 = place2.x;
    second.y2 = place2.y;
  } else {
    first.x1 = place1.x;
    first.y1 = place1.y;
    second.x1 = place2.x;
    second.y1 = place2.y;
  }
  return cost;
}

bool FootprintOutline(const SEraserReading& r, SPenSample outline[kFootprintOutlineLength]) {
  if (!r.active1 && !r.active2) return false;
  const SVector2 e1{r.x1 + kFootprintOffsetX, r.y1 + kFootprintOffsetY};
  const SVector2 e2{r.x2 + kFootprintOffsetX, r.y2 + kFootprintOffsetY};
  const SPenSample m = OutlineSample({e1.x + 0.5 * (e2.x - e1.x), e1.y + 0.5 * (e2.y - e1.y)});
  const SVector2 axis = e1 - e2;
  const double l = Length(axis);
  // Both emitters at one point: the eraser has no direction to draw.
  if (!(l > 0.0)) return false;
  const SVector2 u{axis.x / l, axis.y / l};  // from emitter 2 towards emitter 1
  const SVector2 n{u.y, -u.x};
  const double a = r.active1 ? kActiveExtent : kIdleExtent;
  const double b = r.active2 ? kActiveExtent : kIdleExtent;

  const SPenSample c1 = (m + n * kHalfWidth) + u * a;
  const SPenSample c2 = (m - n * kHalfWidth) + u * a;
  const SPenSample c3 = (m - n * kHalfWidth) - u * b;
  const SPenSample c4 = (m + n * kHalfWidth) - u * b;
  // The four sides (C3 to C4 twice) and both diagonals in one stroke.
  const SPenSample order[kFootprintOutlineLength] = {c1, c2, c3, c1, c4, c3, c4, c2};
  for (std::size_t i = 0; i < kFootprintOutlineLength; ++i) outline[i] = order[i];
  return true;
}

void EmitEraserFootprint(CBoardPort& port) {
  std::deque<SEraserReading>& resolved = port.m_resolvedReadings;
  if (resolved.empty()) return;
  const SEraserReading r = resolved.front();
  resolved.pop_front();
  SPenSample outline[kFootprintOutlineLength];
  if (!FootprintOutline(r, outline)) return;

  // The filter may still hold the end of a pen stroke, so the host's stroke
  // is still open. End it first, or the host draws a line from the pen to
  // the eraser.
  if (port.m_lastSample.kind == kKindPenDown) {
    port.m_filter.Push(MakeBreakMarker());
    port.DrainFilter();
    // A smoothing stage that held nothing swallows the marker.
    if (port.m_lastSample.kind == kKindPenDown) port.DeliverSample(MakeBreakMarker());
  }

  for (const SPenSample& corner : outline) port.DeliverSample(corner);
  // Lifted, as a pen ends its stroke by hovering.
  SPenSample close;
  close.kind = kKindHover;
  port.DeliverSample(close);
}

}  // namespace tq
