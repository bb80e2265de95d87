// The four touches of a calibration as a person gives them at the board:
// one target asked for at a time, each touch judged as it is lifted, and a
// touch taken back on request. Nothing here reads the board or writes a
// file: tq calibrate feeds it the pen and shows (or prints) what it asks.
//
// The target asked for is always the first one not yet touched, so taking
// one back (Redo, Back) simply asks for it again; once it is touched the
// session goes on to the next one missing, or is complete again. A touch is
// judged with the touches that come before the next missing one, which is
// all four when one target of a complete set is touched again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pen/Calibration.h"

namespace tqpen {

class CalibrationSession {
 public:
  enum class Outcome {
    Accepted,
    Refused,      // the same target is asked for again
    StartedOver,  // refused a second time in a row: all four asked for again
  };

  CalibrationSession(int32_t width, int32_t height, double inset);

  // The board's range once it is open: how far apart touches must be, and a
  // first guess of where the pen is on the screen.
  void SetBoardRange(int32_t xMax, int32_t yMax);

  // The pen on the board (host units) while it is down.
  void PenAt(const PlanePoint& board);
  // The pen lifted: its touch, the middle of the points it gave, is judged.
  // Nothing when the pen gave no point or all four targets are in.
  std::optional<Outcome> Lift();
  // A touch at `middle` for the target asked for now.
  Outcome Touch(const PlanePoint& middle);

  // Asks for target `index` (0 top-left .. 3 bottom-left) again; false
  // when it is not touched yet.
  bool Redo(size_t index);
  // Asks again for the last touched target before the one asked for now;
  // false when there is none.
  bool Back();

  size_t Asked() const;  // the target asked for, 4 once all are in
  bool Complete() const { return Asked() == 4; }
  bool Touched(size_t index) const { return m_have[index]; }
  const Quad& Targets() const { return m_targets; }
  const Quad& Touches() const { return m_touches; }       // where Touched()
  const PlanePoint& LastTouch() const { return m_last; }  // the last one judged
  const std::string& Refusal() const {
    return m_refusal;
  }  // of the last touch, empty when accepted
  bool StartedOver() const { return m_startedOver; }
  int32_t Width() const { return m_width; }
  int32_t Height() const { return m_height; }

  // The pen's stroke as board positions (the last kTracePoints of them):
  // the one being written, or the last one until the pen is down again.
  bool PenDown() const { return m_count > 0; }
  const std::vector<PlanePoint>& Trace() const { return m_trace; }
  static constexpr size_t kTracePoints = 256;

  // Where a board position lands on the screen, as well as the touches so
  // far tell: all four give the calibration's own mapping, three an affine
  // one, two a turn and a scale, fewer the board's range stretched over the
  // screen (moved onto the one touch there is).
  PlanePoint Approximate(const PlanePoint& board) const;

  static const char* CornerName(size_t index);

 private:
  int32_t m_width, m_height;
  Quad m_targets;
  Quad m_touches{};
  PlanePoint m_last{};
  std::array<bool, 4> m_have{};
  int32_t m_xMax = 0, m_yMax = 0;
  double m_minApart = 0;
  int m_refusals = 0;  // of the target asked for now, in a row
  std::string m_refusal;
  bool m_startedOver = false;
  double m_sumX = 0, m_sumY = 0;
  size_t m_count = 0;
  std::vector<PlanePoint> m_trace;
};

}  // namespace tqpen
