// The watchdog of a protocol-2 board.
//
// A board of protocol level 2 sends idle bytes between packets, so a board
// that sends nothing at all has gone away (unplugged, switched off, or
// hung). Every 2000 ms, on the host's thread, the watchdog looks whether the
// decoders have heard anything since its last look; when not, it asks the
// board "?" once, and if the board stays quiet it tells the window with
// TQ_MSG_BOARD_CHECK at every later look until the board is heard again.
#include <cstdlib>

#include "api/BoardPort.h"
#include "api/TextNumber.h"
#include "geometry/Truncate.h"

namespace tq {

CBoardPort* g_timerTable[9] = {};

namespace {
constexpr uint32_t kWatchdogPeriodMs = 2000;
}  // namespace

void CBoardPort::ArmWatchdog() {
  if (TruncateToInt32(ParseDecimal(m_linkVersion + 1, 3)) < 2) return;
  if (m_port < 1 || m_port > 8) return;
  // A window-less timer: the system chooses the id (the requested one,
  // port + 200, is not used by it).
  m_timerId = tqp::StartTimer(kWatchdogPeriodMs, &CBoardPort::WatchdogTick);
  if (m_timerId != 0) g_timerTable[m_port] = this;
}

void CBoardPort::DisarmWatchdog() {
  if (m_timerId == 0) return;
  tqp::StopTimer(m_timerId);
  m_timerId = 0;
  if (m_port >= 1 && m_port <= 8 && g_timerTable[m_port] == this) g_timerTable[m_port] = nullptr;
}

void CBoardPort::WatchdogTick(HWND, UINT, UINT_PTR timerId, DWORD) {
  CBoardPort* port = nullptr;
  for (int i = 1; i <= 8; ++i) {
    if (g_timerTable[i] != nullptr && g_timerTable[i]->m_timerId == timerId) {
      port = g_timerTable[i];
      break;
    }
  }
  if (port == nullptr) return;
  const uint32_t now = tqp::TickCount();
  const auto difference = static_cast<int32_t>(now - port->m_lastCheckTick);
  // |difference| taken in 64 bits: -2^31 has no 32-bit absolute value.
  if (std::llabs(static_cast<long long>(difference)) < kWatchdogPeriodMs) return;
  port->m_lastCheckTick = now;
  // Taken and cleared in one step: a byte heard meanwhile counts next time.
  if (port->m_dataSeen.exchange(0, std::memory_order_relaxed) == 1) {
    port->m_checkSent.store(0, std::memory_order_relaxed);
    return;
  }
  if (port->m_checkSent.load(std::memory_order_relaxed) != 0) {
    tqp::SendMsg(port->GetWindow(), TQ_MSG_BOARD_CHECK, 0, 0);
    return;
  }
  if (!port->PostCommand("?")) tqp::SendMsg(port->GetWindow(), TQ_MSG_BOARD_CHECK, 0, 0);
  port->m_checkSent.store(1, std::memory_order_relaxed);
}

}  // namespace tq
