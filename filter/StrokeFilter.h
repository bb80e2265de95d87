// The per-port stroke filter: validation, anti-streak and smoothing stages
// between the decoders and the host window.
// (Interface agreed with the decoders and the port object; the stages are
// implemented in the files beside this one.)
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "filter/PenSample.h"

namespace tq {

class CStrokeFilter {
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
};

}  // namespace tq
