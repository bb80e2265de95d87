// Construction, the open sequence, the stop step and destruction of a port.
#include "api/BoardPort.h"

#include <cstdio>
#include <cstring>

namespace tq {

// A port is made on the host's thread, normally the one of its window: the
// posts of the reader (or of the replay) to that window are counted from here.
CBoardPort::CBoardPort(HWND window) : m_hWnd(window) { tqp::WatchPosted(window); }

CBoardPort::~CBoardPort() {
  // Every path that started a thread ran Stop before; this is the safety net
  // that keeps a reader from outliving the object.
  if (m_stopEvent) {
    while (m_threadRunning.load(std::memory_order_acquire) != 0) {
      m_stopEvent->Set();
      tqp::PumpSentMessages(5);
    }
  }
  ReopenCaptures(nullptr, 0);
  DisarmWatchdog();
}

unsigned CBoardPort::GetMaxBoardHeight() const { return MaxBoardHeight(m_receiverSpacing); }

int CBoardPort::Open(int port) {
  // The set-up steps report failures to the host's window, whose procedure
  // may close or reopen this port meanwhile: the open then gives up.
  if (!OpenLine(port, 9600, 'N', 8, 1)) return 1;
  if (Closing()) return 1;
  std::memset(m_linkVersion, 0, 5);
  if (const int probe = Probe(); probe != 0) {
    Stop();
    return probe;
  }
  if (!OpenOverlapped(port, 9600, 'N', 8, 1, tqp::kEventRxChar, kMailboxSize) || Closing()) {
    Stop();
    return 2;
  }
  StartThread();
  // Raw capture of everything the board sends from now on, to tq<port>.raw
  // in the temporary directory. (The system's path normally ends with a
  // separator; none is doubled.)
  std::string base = tqp::TempPath();
  if (base.size() <= 254) {
    if (base.empty() || base.back() != tqp::PathSeparator()) base.push_back(tqp::PathSeparator());
    base += "tq" + std::to_string(port);
    ReopenCaptures(base.c_str(), 1);
  }
  return 0;
}

void CBoardPort::Stop() {
  m_closing.store(true, std::memory_order_release);
  if (m_stopEvent) {
    // The reader may be blocked sending a message to a window of this very
    // thread: handle such messages while waiting, or neither side moves.
    // When the host closes from inside its window procedure, the message it
    // is handling may be this reader's, and it cannot be handled before this
    // returns: this reader (never another port's) is released from it.
    bool released = false;
    while (m_threadRunning.load(std::memory_order_acquire) != 0) {
      m_stopEvent->Set();
      if (!released && m_readerSending.load(std::memory_order_acquire)) {
        released = tqp::ReleaseSender(m_readerTag.load(std::memory_order_acquire), 0,
                                      OnlyThisReaderSends(*this));
      }
      tqp::PumpSentMessages(5);
    }
  }
  {
    tqp::LockGuard guard(m_lineLock);
    m_line.reset();
  }
  DisarmWatchdog();
  // What the reader posted and the host has not taken yet would be credited
  // to the next board opened on this port.
  if (m_port >= 1 && m_port <= 8) {
    tqp::RemovePosted(TQ_MSG_BOARD_CHECK, m_port);
    tqp::RemovePosted(TQ_MSG_BOARD_0x90, m_port);
  }
}

bool CBoardPort::StopAtExit() {
  m_closing.store(true, std::memory_order_release);
  if (m_stopEvent) {
    m_stopEvent->Set();
    // The host's thread may be gone: its queue releases the reader's send.
    for (int i = 0; i < 400 && m_threadRunning.load(std::memory_order_acquire) != 0; ++i) {
      tqp::SleepMs(5);
    }
    if (m_threadRunning.load(std::memory_order_acquire) != 0) return false;
  }
  DisarmWatchdog(false);
  tqp::LockGuard guard(m_lineLock);
  m_line.reset();
  return true;
}

void CBoardPort::Notify(UINT message, WPARAM code) {
  m_readerSending.store(true, std::memory_order_release);
  SendToHost(message, code, 0);
  m_readerSending.store(false, std::memory_order_release);
}

}  // namespace tq
