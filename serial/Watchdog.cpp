// The watchdog of a protocol-2 board.
//
// A board of protocol level 2 sends idle bytes between packets, so a board
// that sends nothing at all has gone away (unplugged, switched off, or
// hung). Every 2000 ms, on the host's thread, the watchdog looks whether the
// decoders have heard anything since its last look; when not, it asks the
// board "?" once, and if the board stays quiet it tells the window with
// TQ_MSG_BOARD_CHECK at every later look until the board is heard again.
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>

#include "api/BoardPort.h"
#include "api/TextNumber.h"
#include "geometry/Truncate.h"

namespace tq {

namespace {

constexpr uint32_t kWatchdogPeriodMs = 2000;

// The ports whose watchdog runs (index 1 to 8). Each host thread's ticks
// look at it, and any host thread may open and close ports: the lock guards
// the entries and their timer ids.
std::mutex g_timerLock;
CBoardPort* g_timerTable[9] = {};

// The port whose timer this is, held for the tick; null when none is.
std::shared_ptr<CBoardPort> TimerOwner(UINT_PTR timerId, CBoardPort** raw) {
  std::lock_guard<std::mutex> guard(g_timerLock);
  for (int i = 1; i <= 8; ++i) {
    if (g_timerTable[i] != nullptr && g_timerTable[i]->m_timerId == timerId) {
      *raw = g_timerTable[i];
      return g_timerTable[i]->Hold();
    }
  }
  *raw = nullptr;
  return nullptr;
}

}  // namespace

CBoardPort* WatchdogPort(int port) {
  std::lock_guard<std::mutex> guard(g_timerLock);
  return port >= 1 && port <= 8 ? g_timerTable[port] : nullptr;
}

void CBoardPort::ArmWatchdog() {
  if (TruncateToInt32(ParseDecimal(m_linkVersion + 1, 3)) < 2) return;
  if (m_port < 1 || m_port > 8) return;
  // A window-less timer: the system chooses the id (the requested one,
  // port + 200, is not used by it).
  const UINT_PTR id = tqp::StartTimer(kWatchdogPeriodMs, &CBoardPort::WatchdogTick);
  if (id == 0) return;
  std::lock_guard<std::mutex> guard(g_timerLock);
  m_timerId = id;
  g_timerTable[m_port] = this;
}

void CBoardPort::DisarmWatchdog(bool killTimer) {
  UINT_PTR id = 0;
  {
    std::lock_guard<std::mutex> guard(g_timerLock);
    std::swap(id, m_timerId);
    if (m_port >= 1 && m_port <= 8 && g_timerTable[m_port] == this) g_timerTable[m_port] = nullptr;
  }
  // A timer lives on the thread that set it. Closed from another thread, it
  // finds no port at its next tick there and ends itself.
  if (id != 0 && killTimer) tqp::StopTimer(id);
}

void TQ_TIMERPROC_CALL CBoardPort::WatchdogTick(HWND, UINT, UINT_PTR timerId, DWORD) {
  CBoardPort* port = nullptr;
  const std::shared_ptr<CBoardPort> keep = TimerOwner(timerId, &port);
  if (port == nullptr) {
    tqp::StopTimer(timerId);
    return;
  }
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
    port->SendToHost(TQ_MSG_BOARD_CHECK, 0, 0);
    return;
  }
  // The mailbox wait handles messages sent to the host, whose window may
  // close this port meanwhile; so may the window taking the check.
  if (!port->PostCommand("?")) {
    if (port->Closing()) return;
    port->SendToHost(TQ_MSG_BOARD_CHECK, 0, 0);
  }
  if (!port->Closing()) port->m_checkSent.store(1, std::memory_order_relaxed);
}

}  // namespace tq
