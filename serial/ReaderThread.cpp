// The reader/writer thread of an open port.
//
// Once the probe is done the thread owns the line: it waits for received
// characters, for the stop event and for the mailbox's write event, reads
// what has arrived in chunks of up to 512 bytes and hands each chunk to the
// decoders, writes the one command the watchdog may leave in the mailbox,
// and reports line errors to the window. Line errors never end it; only the
// stop event does. A silent board costs nothing: the thread sleeps in one
// wait on the three handles.
#include <atomic>
#include <cstring>

#include "api/BoardPort.h"

namespace tq {
namespace {

// Line error codes of the thread, sent as TQ_MSG_COMM_ERROR.
constexpr WPARAM kWriteFailed = 1;
constexpr WPARAM kReadFailed = 2;
constexpr WPARAM kWaitFailed = 8;
constexpr WPARAM kCompletionFailed = 9;

constexpr int kStopIndex = 0;
constexpr int kLineIndex = 1;
constexpr int kWriteIndex = 2;

// Set on the reader threads: their sends wait for another thread.
thread_local bool t_onReader = false;
// Readers inside a send at this moment, over all ports.
std::atomic<int> g_readersInSend{0};

}  // namespace

bool OnlyThisReaderSends(const CBoardPort& port) {
  return port.m_readerInSend.load(std::memory_order_acquire) &&
         g_readersInSend.load(std::memory_order_acquire) == 1;
}

LRESULT CBoardPort::SendToHost(UINT message, WPARAM wParam, LPARAM lParam) {
  if (Closing()) return 0;
  if (!t_onReader) return tqp::SendMsg(GetWindow(), message, wParam, lParam);
  m_readerInSend.store(true, std::memory_order_release);
  g_readersInSend.fetch_add(1, std::memory_order_acq_rel);
  // A message still waiting for the host's thread when the stop comes is
  // taken back: nothing of a closing port reaches the window.
  const LRESULT result = tqp::SendMsg(GetWindow(), message, wParam, lParam, &m_closing);
  g_readersInSend.fetch_sub(1, std::memory_order_acq_rel);
  m_readerInSend.store(false, std::memory_order_release);
  return result;
}

void CBoardPort::PostToHost(UINT message) {
  if (!Closing()) tqp::PostMsgBounded(GetWindow(), message, 0, m_port, kPostsWaiting);
}

bool CBoardPort::StartThread() {
  if (!tqp::StartThread(&CBoardPort::ThreadMain, this)) return false;
  while (m_threadRunning.load(std::memory_order_acquire) == 0) tqp::SleepMs(5);
  ArmWatchdog();
  return true;
}

void CBoardPort::ThreadMain(void* self) {
  CBoardPort& port = *static_cast<CBoardPort*>(self);
  t_onReader = true;
  port.m_readerTag.store(tqp::CurrentThreadTag(), std::memory_order_release);
  // What the line held before the thread is dropped, and only that: the open
  // returns once this is done, and a board may stream at once.
  {
    tqp::LockGuard guard(port.m_lineLock);
    if (port.m_line) port.m_line->Purge();
  }
  port.m_threadRunning.store(1, std::memory_order_release);
  for (;;) {
    uint32_t error = 0;
    tqp::IoStart start;
    {
      tqp::LockGuard guard(port.m_lineLock);
      start = port.m_line ? port.m_line->StartEventWait(&error) : tqp::IoStart::kFailed;
      if (!port.m_line) error = tqp::kErrorInvalidParameter;
    }
    if (start == tqp::IoStart::kDone) {
      uint32_t queued = 0;
      {
        tqp::LockGuard guard(port.m_lineLock);
        port.m_line->ClearError(&queued);
      }
      if (queued == 0) continue;
    } else if (start == tqp::IoStart::kFailed && error != tqp::kErrorIoPending &&
               error != tqp::kErrorInvalidParameter) {
      port.Notify(TQ_MSG_COMM_ERROR, kWaitFailed);
    }

    int signalled = -1;
    if (port.m_line) {
      signalled = port.m_line->WaitAny(*port.m_stopEvent, *port.m_writeEvent);
    } else if (port.m_stopEvent->Wait(tqp::kInfinite)) {
      signalled = kStopIndex;
    }
    if (signalled == kStopIndex) {
      {
        tqp::LockGuard guard(port.m_lineLock);
        port.m_line.reset();
      }
      // The last act: from here on the thread does not touch the object.
      port.m_threadRunning.store(0, std::memory_order_release);
      return;
    }
    if (signalled == kLineIndex) {
      uint32_t mask = 0;
      bool hasMask;
      {
        tqp::LockGuard guard(port.m_lineLock);
        hasMask = port.m_line->GetEventMask(&mask);
      }
      if (hasMask && (mask & tqp::kEventRxChar) != 0) port.ReadAvailable();
    } else if (signalled == kWriteIndex) {
      port.WriteCommand();
    }
  }
}

void CBoardPort::ReadAvailable() {
  uint8_t buffer[kReadChunkSize];
  uint32_t queued = 0;
  m_lineLock.Lock();
  m_line->ClearError(&queued);
  while (queued > 0) {
    uint32_t got = 0;
    uint32_t error = 0;
    const tqp::IoStart start = m_line->StartRead(buffer, kReadChunkSize, &got, &error);
    if (start == tqp::IoStart::kFailed) {
      got = 0;
      Notify(TQ_MSG_COMM_ERROR, kReadFailed);
    } else if (start == tqp::IoStart::kPending && !m_line->CompleteIo(&got)) {
      got = 0;
      Notify(TQ_MSG_COMM_ERROR, kCompletionFailed);
    }
    m_lineLock.Unlock();
    m_readerSending.store(true, std::memory_order_relaxed);
    DispatchReceived(buffer, static_cast<int>(got));
    m_readerSending.store(false, std::memory_order_relaxed);
    m_lineLock.Lock();
    if (start == tqp::IoStart::kFailed) break;  // a line that has gone reads nothing more
    // A board that streams faster than the window takes its messages never
    // lets the queue run empty: a stop must not wait for the board to pause.
    if (m_stopEvent->IsSet()) break;
    m_line->ClearError(&queued);
  }
  m_lineLock.Unlock();
}

void CBoardPort::WriteCommand() {
  m_writeEvent->Reset();
  tqp::LockGuard guard(m_lineLock);
  if (!m_line) return;
  m_line->Purge();
  const auto length = static_cast<uint32_t>(strnlen(m_mailbox.get(), m_mailboxSize));
  uint32_t error = 0;
  const tqp::IoStart start = m_line->StartWrite(m_mailbox.get(), length, &error);
  if (start == tqp::IoStart::kPending) {
    uint32_t written = 0;
    if (!m_line->CompleteIo(&written)) Notify(TQ_MSG_COMM_ERROR, kCompletionFailed);
  } else if (start == tqp::IoStart::kFailed) {
    Notify(TQ_MSG_COMM_ERROR, kWriteFailed);
  }
}

bool CBoardPort::PostCommand(const char* text) {
  if (!m_writeEvent || !m_mailbox || text == nullptr) return false;
  // A command still waiting to be written keeps the mailbox.
  if (m_writeEvent->Wait(100)) return false;
  // The wait handled messages sent to the host: one may have closed the port.
  if (Closing()) return false;
  const size_t length = strnlen(text, m_mailboxSize);
  if (length + 1 > m_mailboxSize) return false;
  std::memset(m_mailbox.get(), 0, 4);
  std::memcpy(m_mailbox.get(), text, length + 1);
  m_writeEvent->Set();
  return true;
}

}  // namespace tq
