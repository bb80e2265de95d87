// Anti-streak stage.
//
// What goes wrong on a real board: a reflection or a second emitter makes
// one position land far away in the middle of a stroke. Drawn as it comes,
// that sample pulls a long straight streak out of the line and back.
//
// What the stage does: it keeps the stroke's last three samples and tests
// each new one against the straight continuation of the two before it. A
// sample further than 100 units from it becomes a stroke of its own, with a
// break marker before and after. The first sample of a stroke is tested
// backwards against the continuation of the second and third, and detached
// when it is off. The stage never moves or drops a sample; it only adds
// break markers. The first two samples of a stroke wait for the third.
//
// Constant: 100 units from the continuation cuts.
#include "filter/AntiStreakStage.h"

#include "filter/Geometry.h"

namespace tq {

namespace {

constexpr double kStreakLimit = 100.0;
constexpr std::size_t kHeld = 3;

}  // namespace

void CAntiStreakStage::Clear() {
  m_window.clear();
}

void CAntiStreakStage::Step(const SPenSample& sample) {
  const SPenSample s = sample;
  CSampleQueue& d = m_window;
  d.push_back(s);

  if (d.size() > kHeld) {
    d.pop_front();
    StepWithFullWindow(s);
    return;
  }

  if (s.kind != kKindPenDown) {
    // The stroke ends: release its waiting start, then the ending sample.
    for (std::size_t i = 0; i < d.size(); ++i) m_outlet.PassOn(d[i]);
    d.clear();
    return;
  }
  if (d.size() < kHeld) return;

  // The third sample: is the first one on the way of the other two?
  m_outlet.PassOn(d[0]);
  if (ExtensionDistanceAbove(d[2], d[1], d[0], kStreakLimit)) m_outlet.PassOn(MakeBreakMarker());
  m_outlet.PassOn(d[1]);
  StepWithFullWindow(s);
}

void CAntiStreakStage::StepWithFullWindow(const SPenSample& s) {
  CSampleQueue& d = m_window;
  if (s.kind != kKindPenDown) {
    d.clear();
    m_outlet.PassOn(s);
    return;
  }
  if (ExtensionDistanceAbove(d[0], d[1], s, kStreakLimit)) {
    // A jump: s stays in the window, so the next sample is measured
    // against the continuation of the step to s.
    m_cuts.store(m_cuts.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    m_outlet.PassOn(MakeBreakMarker());
    m_outlet.PassOn(s);
    m_outlet.PassOn(MakeBreakMarker());
    return;
  }
  m_outlet.PassOn(s);
}

}  // namespace tq
