// Validation stage.
//
// What goes wrong on a real board: reflections and the moment the pen lifts
// give single positions far off the line the pen is drawing, the tip
// flickers between touching and hovering for one sample, and two pens can
// be seen one after the other without a pause.
//
// What the stage does: it holds the current stroke in a window of up to six
// pen-down samples and lets each one through only when its neighbours on
// both sides agree with it. Nothing leaves until the stroke's sixth sample
// arrives; from then on each new sample decides the one two places before
// it, and the last two are decided when the stroke ends. Strokes of two to
// five samples are judged as a whole when they end; a lone sample is
// dropped. One hover sample between pen-down samples is dropped, the second
// in a row ends the stroke, and a long stroke that ends by hovering gets a
// closing sample toward the hover position. A change of pen code, or six
// rejections in a row, cut the stroke and make the filter skip a few
// samples, since what follows is unsettled.
//
// Constants: 6 pen-down samples in the window, 45 for "close", 6 rejections
// in a row; the thresholds of the tests are in Geometry.h.
#include "filter/ValidationStage.h"

#include "filter/Geometry.h"

namespace tq {

namespace {

constexpr std::size_t kStreamingSize = 6;  // pen-down samples held once a stroke streams
constexpr int32_t kRejectRunLimit = 6;
constexpr int kSkipAfterPenChange = 2;
constexpr int kSkipAfterRejectRun = 6;

}  // namespace

void CValidationStage::Clear() {
  m_window.clear();
}

void CValidationStage::NoteDropped() {
  m_rejected.store(m_rejected.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void CValidationStage::AcceptIfValid(const SPenSample& sample, bool countsAsRejection) {
  if (sample.valid) {
    const SPenSample copy = sample;
    m_outlet.Accept(copy);
    return;
  }
  if (countsAsRejection) ++m_rejectRun;
  NoteDropped();
}

void CValidationStage::Step(const SPenSample& sample) {
  const SPenSample s = sample;  // the caller's sample may change under a nested step
  CSampleQueue& w = m_window;

  if (w.empty()) {
    if (s.kind == kKindPenDown) {
      w.push_back(s);
    } else {
      m_outlet.Accept(s);
    }
    return;
  }

  const bool lastIsHover = w.back().kind == kKindHover;
  const bool isPenDown = s.kind == kKindPenDown;
  const bool isHover = s.kind == kKindHover;
  // Break markers, and any kind the decoders do not make, end the stroke.
  const bool isMarker = !isPenDown && !isHover;

  if (lastIsHover && isPenDown) w.pop_back();  // the tip flickered: forget the hover

  if (isMarker) {
    if (lastIsHover) w.pop_back();
    EndStroke(s);
  } else if (lastIsHover && isHover) {
    w.pop_back();  // the first of two hover samples goes
    EndStroke(s);
  } else {
    if (isPenDown && s.penCode != w.back().penCode) {
      // Another pen: end this stroke now; s starts the next one.
      m_outlet.CutStroke(kSkipAfterPenChange);
    }
    w.push_back(s);
    if (isPenDown && w.size() == kStreamingSize) {
      w[2].valid = IsConsistentMiddle(w, 0) ? 1 : 0;
      w[3].valid = IsConsistentMiddle(w, 1) ? 1 : 0;
      PropagateValidity(w[3], w[2], w[1], w[0]);
      for (std::size_t i = 0; i < 4; ++i) AcceptIfValid(w[i], true);
    } else if (isPenDown && w.size() == kStreamingSize + 1) {
      w.pop_front();
      w[3].valid = IsConsistentMiddle(w, 1) ? 1 : 0;
      AcceptIfValid(w[3], true);
    }
  }

  if (m_rejectRun >= kRejectRunLimit) m_outlet.CutStroke(kSkipAfterRejectRun);
}

void CValidationStage::SettleFour() {
  CSampleQueue& w = m_window;
  // Every ordered triple that is straight vouches for its three samples.
  static constexpr std::size_t kTriples[4][3] = {{0, 1, 2}, {0, 1, 3}, {0, 2, 3}, {1, 2, 3}};
  for (const auto& t : kTriples) {
    if (!IsStraightTriple(w[t[0]], w[t[1]], w[t[2]])) continue;
    for (std::size_t i : t) w[i].valid = 1;
  }
  for (std::size_t i = 0; i < 4; ++i) AcceptIfValid(w[i], false);
}

void CValidationStage::EndStroke(const SPenSample& ending) {
  CSampleQueue& w = m_window;
  switch (w.size()) {
    case 0:
      break;
    case 1:
      NoteDropped();  // a lone touch is no stroke
      break;
    case 2:
      if (Distance(w[0], w[1]) < kCloseDistance) {
        const SPenSample first = w[0];
        const SPenSample second = w[1];
        m_outlet.Accept(first);
        m_outlet.Accept(second);
      } else {
        NoteDropped();
        NoteDropped();
      }
      break;
    case 3:
      if (IsStraightTriple(w[0], w[1], w[2])) {
        for (std::size_t i = 0; i < 3; ++i) {
          const SPenSample copy = w[i];
          m_outlet.Accept(copy);
        }
      } else {
        for (std::size_t i = 0; i < 3; ++i) NoteDropped();
      }
      break;
    case 4:
      SettleFour();
      break;
    case 5:
      w[2].valid = IsConsistentMiddle(w, 0) ? 1 : 0;
      if (w[2].valid) {
        PropagateValidity(w[3], w[2], w[1], w[0]);
        PropagateValidity(w[1], w[2], w[3], w[4]);
        for (std::size_t i = 0; i < 5; ++i) AcceptIfValid(w[i], false);
      } else {
        w.erase(2);
        NoteDropped();
        SettleFour();
      }
      break;
    case kStreamingSize: {
      // A streaming stroke: w[0] to w[3] are decided and serve as context.
      PropagateValidity(w[2], w[3], w[4], w[5]);
      AcceptIfValid(w[4], false);
      AcceptIfValid(w[5], false);
      if (ending.kind == kKindHover && w[4].valid && w[5].valid) {
        // The pen lifted: close the stroke toward where it was last seen,
        // but by no more than the stroke's last step.
        const SPenSample& last = w[5];
        const double d1 = Distance(last, ending);
        const double d2 = Distance(w[4], last);
        SPenSample closing;
        closing.kind = kKindPenDown;
        if (d1 <= d2) {
          closing.x = ending.x;
          closing.y = ending.y;
        } else {
          closing.x = last.x + ((ending.x - last.x) * d2) / d1;
          closing.y = last.y + ((ending.y - last.y) * d2) / d1;
        }
        closing.penCode = last.penCode;
        closing.valid = 1;
        m_outlet.Accept(closing);
      }
      break;
    }
    default:
      break;  // the window never holds more pen-down samples than a streaming stroke
  }
  m_outlet.Accept(ending);
  w.clear();
}

}  // namespace tq
