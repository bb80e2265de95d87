// First stage of the stroke filter: lets a pen-down sample through only when
// its position agrees with its neighbours on both sides.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "filter/PenSample.h"
#include "filter/SampleQueue.h"

namespace tq {

class CValidationStage {
 public:
  // Where the stage sends its results; the stroke filter provides it.
  class IOutlet {
   public:
    // A sample leaves the stage (also every ending sample).
    virtual void Accept(const SPenSample& sample) = 0;
    // Ends the stroke with a break marker that runs through the whole filter
    // (this stage included, before CutStroke returns) and makes the filter
    // drop the next `skip` samples that are not break markers.
    virtual void CutStroke(int skip) = 0;

   protected:
    ~IOutlet() = default;
  };

  explicit CValidationStage(IOutlet& outlet) : m_outlet(outlet) {}
  CValidationStage(const CValidationStage&) = delete;
  CValidationStage& operator=(const CValidationStage&) = delete;

  // Runs the stage on one sample. Re-entered (through CutStroke) from inside
  // a step: the break marker is handled before CutStroke returns, exactly as
  // if it had queued at the stage's entry and been taken next.
  void Feed(const SPenSample& sample) { Step(sample); }
  // Forgets everything held, releasing nothing.
  void Clear();
  // Every accepted sample (from this stage or bypassing it) ends a run of
  // rejections.
  void ClearRejectRun() { m_rejectRun = 0; }

  // Pen-down samples this stage has dropped, readable from any thread.
  uint32_t RejectedCount() const { return m_rejected.load(std::memory_order_relaxed); }
  // Samples held between calls.
  std::size_t HeldCount() const { return m_window.size(); }

 private:
  void Step(const SPenSample& sample);
  void EndStroke(const SPenSample& ending);
  void SettleFour();
  void AcceptIfValid(const SPenSample& sample, bool countsAsRejection);
  void NoteDropped();

  IOutlet& m_outlet;
  CSampleQueue m_window;  // W: the stroke's last six pen-down samples, maybe one hover
  int32_t m_rejectRun = 0;          // rejections since the last accepted sample
  std::atomic<uint32_t> m_rejected{0};
};

}  // namespace tq
