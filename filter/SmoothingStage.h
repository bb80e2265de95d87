// Third stage of the stroke filter: replaces the inner samples of a stroke
// by an inverse-distance weighted average of their neighbours.
#pragma once

#include <cstddef>

#include "filter/PenSample.h"
#include "filter/SampleQueue.h"

namespace tq {

class CSmoothingStage {
 public:
  // Receives every sample the stage emits, in order.
  class IOutlet {
   public:
    virtual void Emit(const SPenSample& sample) = 0;

   protected:
    ~IOutlet() = default;
  };

  explicit CSmoothingStage(IOutlet& outlet) : m_outlet(outlet) {}
  CSmoothingStage(const CSmoothingStage&) = delete;
  CSmoothingStage& operator=(const CSmoothingStage&) = delete;

  void Step(const SPenSample& s);
  // Forgets everything held, releasing nothing.
  void Clear() {
    m_window.clear();
    m_earlierCentres = 0;
  }
  std::size_t HeldCount() const { return m_window.size(); }

 private:
  // The average of m_window[a] ... m_window[a + count - 1] (count 3 or 5),
  // centred on the middle one, rounded to whole units.
  SPenSample WeightedCentre(std::size_t a, std::size_t count) const;
  // WeightedCentre(0, 5) of a full window, reusing the weights the last two
  // centres of the stroke found for the samples around this one.
  SPenSample CentreOfFive();
  void EmitHeld(std::size_t index) { m_outlet.Emit(m_window[index]); }

  IOutlet& m_outlet;
  CSampleQueue m_window;  // E: up to five pen-down samples of the stroke
  // Centres of five worked out since the window last slid in unbroken (0 to
  // 2), and the weights they found for the samples one and two after them.
  int m_earlierCentres = 0;
  double m_lastNext1 = 0.0;
  double m_lastNext2 = 0.0;
  double m_twoBeforeNext2 = 0.0;
};

}  // namespace tq
