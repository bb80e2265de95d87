// Second stage of the stroke filter: cuts the stroke with break markers
// around a sample that jumps far off the line of the samples before it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "filter/PenSample.h"
#include "filter/SampleQueue.h"

namespace tq {

class CAntiStreakStage {
 public:
  // Receives every sample and marker the stage passes on, in order.
  class IOutlet {
   public:
    virtual void PassOn(const SPenSample& sample) = 0;

   protected:
    ~IOutlet() = default;
  };

  explicit CAntiStreakStage(IOutlet& outlet) : m_outlet(outlet) {}
  CAntiStreakStage(const CAntiStreakStage&) = delete;
  CAntiStreakStage& operator=(const CAntiStreakStage&) = delete;

  // Runs the stage on one sample.
  void Feed(const SPenSample& sample) { Step(sample); }
  // Forgets everything held, releasing nothing.
  void Clear();

  // Samples cut off by the forward test, readable from any thread.
  uint32_t CutCount() const { return m_cuts.load(std::memory_order_relaxed); }
  // Samples held between calls.
  std::size_t HeldCount() const { return m_window.size(); }

 private:
  void Step(const SPenSample& sample);
  void StepWithFullWindow(const SPenSample& s);

  IOutlet& m_outlet;
  CSampleQueue m_window;  // D: the stroke's last one to three samples
  std::atomic<uint32_t> m_cuts{0};
};

}  // namespace tq
