// The last step of the pen pipeline: one filtered sample becomes one pen
// message to the host window.
#include <cstdint>

#include "api/BoardPort.h"
#include "geometry/Truncate.h"
#include "protocol/HostMapping.h"

namespace tq {

namespace {

constexpr double kOffsetAlongLine = 140.0;
constexpr double kOffsetIntoBoard = -100.0;

// a − b in 16-bit arithmetic, read as signed.
int16_t Minus16(uint32_t a, int16_t b) {
  return static_cast<int16_t>(static_cast<uint16_t>(a - static_cast<uint16_t>(b)));
}

}  // namespace

SPenPoint MapToHost(const SPenSample& sample, uint32_t baseline, int32_t boardHeight,
                    int32_t podLocation) {
  // The width as the unsigned number it is: a replayed header may carry any
  // baseline, and one from 2^31 - 340 up must not read as a negative width.
  const uint32_t width = BoardWidth(baseline);
  const double height = boardHeight;

  const double xShifted = sample.x + kOffsetAlongLine;
  const double x0 = xShifted > 0.0 ? xShifted : 0.0;
  // Past the far edge, and anything whose low 16 bits read negative, is
  // held at the edge.
  int16_t xc = TruncateToInt16(x0);
  if (xc < 0 || static_cast<uint32_t>(xc) >= width) xc = static_cast<int16_t>(static_cast<uint16_t>(width));
  const double yShifted = sample.y + kOffsetIntoBoard;
  const double y0 = yShifted > 0.0 ? yShifted : 0.0;

  SPenPoint point{};
  point.code = sample.penCode;
  switch (podLocation) {
    case 1:
      point.x = Minus16(width, xc);
      point.y = TruncateToInt16(height - y0);
      break;
    case 2:
      point.x = TruncateToInt16(y0);
      point.y = Minus16(width, xc);
      break;
    case 3: {
      const double mirrored = height - y0;
      point.x = mirrored > 0.0 ? TruncateToInt16(mirrored) : int16_t{0};
      point.y = xc;
      break;
    }
    default:
      point.x = xc;
      point.y = TruncateToInt16(y0);
      break;
  }
  return point;
}

void CBoardPort::DeliverSample(const SPenSample& sample) {
  if (m_outFile.IsOpen()) m_outFile.WriteSampleRecord(sample);

  SPenPoint point = MapToHost(sample, m_receiverSpacing, m_boardHeight.load(std::memory_order_relaxed),
                              m_podLocation.load(std::memory_order_relaxed));
  UINT message = TQ_MSG_PEN_UP;
  LPARAM lParam = 0;
  if (sample.kind == kKindPenDown) {
    message = m_lastSample.kind == kKindPenDown ? TQ_MSG_PEN_MOVE : TQ_MSG_PEN_DOWN;
    lParam = sample.penCode;
  }
  // The point lives on this thread's stack: the message is sent, never
  // posted, and the host may look at it only while it handles the message.
  SendToHost(message, reinterpret_cast<WPARAM>(&point), lParam);
  m_lastSample = sample;
}

}  // namespace tq
