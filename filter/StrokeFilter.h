// The per-port stroke filter: validation, anti-streak and smoothing stages
// between the decoders and the host window.
// The decoders push samples in and the port object pops what is ready for
// the window; each stage lives in a file of its own beside this one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "filter/AntiStreakStage.h"
#include "filter/PenSample.h"
#include "filter/SampleQueue.h"
#include "filter/SmoothingStage.h"
#include "filter/ValidationStage.h"

namespace tq {

// Threads: Push, OutputCount, Pop and Reset run only on the thread that
// decodes for the port. The switches and the capture hook may be set from any
// thread meanwhile; each is read afresh at every routing decision. The counts
// may be read from any thread.
class CStrokeFilter : private CValidationStage::IOutlet,
                      private CAntiStreakStage::IOutlet,
                      private CSmoothingStage::IOutlet {
 public:
  CStrokeFilter();
  ~CStrokeFilter();
  CStrokeFilter(const CStrokeFilter&) = delete;
  CStrokeFilter& operator=(const CStrokeFilter&) = delete;

  void Push(const SPenSample& sample);
  unsigned OutputCount() const;
  SPenSample Pop();
  void Reset(int skip, bool discard);

  // Switches: 1 means on, anything else off; return 1 if it was on before.
  int SetValidation(int status);
  int SetFilter(int status);
  int SetAntiStreak(int status);

  void StartValCapture(ISampleRecordSink* sink);
  void StopValCapture();

  // Diagnostic counts: samples pushed (dropped ones and markers included),
  // samples the validation stage rejected, samples the anti-streak stage cut.
  uint32_t PushedCount() const;
  uint32_t RejectedCount() const;
  uint32_t StreakCutCount() const;

  // What each stage holds between two calls of Push: at most six pen-down
  // samples and one hover in validation, three in anti-streak, five in
  // smoothing. Only for the decoding thread (tests and fuzzing).
  struct SHeld {
    std::size_t validation;
    std::size_t antiStreak;
    std::size_t smoothing;
  };
  SHeld HeldCounts() const {
    return {m_validation.HeldCount(), m_antiStreak.HeldCount(), m_smoothing.HeldCount()};
  }

 private:
  // The routing between the stages; every released sample takes this way.
  void PushSample(const SPenSample& sample);
  void Accept(const SPenSample& sample) override;
  void CutStroke(int skip) override;
  void PassOn(const SPenSample& sample) override;  // leaves the anti-streak stage
  void Emit(const SPenSample& sample) override;

  CValidationStage m_validation;
  CAntiStreakStage m_antiStreak;
  CSmoothingStage m_smoothing;
  CSampleQueue m_output;  // filtered samples waiting for the decoder

  std::atomic<bool> m_validateOn{true};
  std::atomic<bool> m_antiStreakOn{true};
  std::atomic<bool> m_filterOn{true};
  std::atomic<bool> m_valCapture{false};
  std::atomic<ISampleRecordSink*> m_valSink{nullptr};  // not owned

  int32_t m_skipCount = 0;  // samples still to drop at the door
  std::atomic<uint32_t> m_pushed{0};
};

}  // namespace tq
