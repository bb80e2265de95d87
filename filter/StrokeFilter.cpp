// The stroke filter joins its three stages: samples enter through Push, run
// through validation, anti-streak and smoothing (each one only while its
// switch is on) and wait in the output queue until the decoder takes them.
// A Reset ends the stroke with a break marker and makes the filter drop a few
// of the samples that follow, which are unsettled after a board event.
#include "filter/StrokeFilter.h"

namespace tq {

namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

int Switch(std::atomic<bool>& flag, int status) {
  return flag.exchange(status == 1, kRelaxed) ? 1 : 0;
}

void CountOne(std::atomic<uint32_t>& counter) {
  // Only the decoding thread writes the counter.
  counter.store(counter.load(kRelaxed) + 1, kRelaxed);
}

}  // namespace

CStrokeFilter::CStrokeFilter() : m_validation(*this), m_antiStreak(*this), m_smoothing(*this) {}

CStrokeFilter::~CStrokeFilter() = default;

void CStrokeFilter::Push(const SPenSample& sample) {
  CountOne(m_pushed);
  PushSample(sample);
}

void CStrokeFilter::PushSample(const SPenSample& sample) {
  if (m_skipCount > 0 && sample.kind != kKindBreak) {
    --m_skipCount;
    return;
  }
  if (m_validateOn.load(kRelaxed)) {
    m_validation.Feed(sample);
  } else {
    Accept(sample);
  }
}

void CStrokeFilter::Accept(const SPenSample& sample) {
  m_validation.ClearRejectRun();
  if (m_valCapture.load(std::memory_order_acquire)) {
    ISampleRecordSink* sink = m_valSink.load(kRelaxed);
    if (sink != nullptr) sink->WriteSampleRecord(sample);
  }
  if (m_antiStreakOn.load(kRelaxed)) {
    m_antiStreak.Feed(sample);
  } else {
    PassOn(sample);
  }
}

void CStrokeFilter::PassOn(const SPenSample& sample) {
  if (m_filterOn.load(kRelaxed)) {
    m_smoothing.Step(sample);
  } else {
    Emit(sample);
  }
}

void CStrokeFilter::Emit(const SPenSample& sample) { m_output.push_back(sample); }

void CStrokeFilter::CutStroke(int skip) { Reset(skip, false); }

unsigned CStrokeFilter::OutputCount() const { return static_cast<unsigned>(m_output.size()); }

SPenSample CStrokeFilter::Pop() {
  if (m_output.empty()) return SPenSample{};
  const SPenSample front = m_output.front();
  m_output.pop_front();
  return front;
}

void CStrokeFilter::Reset(int skip, bool discard) {
  m_skipCount = skip;
  const SPenSample marker = MakeBreakMarker();
  if (!discard) {
    PushSample(marker);
    return;
  }
  m_validation.Clear();
  m_antiStreak.Clear();
  m_smoothing.Clear();
  m_output.clear();
  m_output.push_back(marker);
}

int CStrokeFilter::SetValidation(int status) { return Switch(m_validateOn, status); }
int CStrokeFilter::SetFilter(int status) { return Switch(m_filterOn, status); }
int CStrokeFilter::SetAntiStreak(int status) { return Switch(m_antiStreakOn, status); }

void CStrokeFilter::StartValCapture(ISampleRecordSink* sink) {
  m_valSink.store(sink, kRelaxed);
  m_valCapture.store(true, std::memory_order_release);
}

void CStrokeFilter::StopValCapture() { m_valCapture.store(false, kRelaxed); }

uint32_t CStrokeFilter::PushedCount() const { return m_pushed.load(kRelaxed); }
uint32_t CStrokeFilter::RejectedCount() const { return m_validation.RejectedCount(); }
uint32_t CStrokeFilter::StreakCutCount() const { return m_antiStreak.CutCount(); }

}  // namespace tq
