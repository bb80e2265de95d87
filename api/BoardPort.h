// CBoardPort: everything that belongs to one open board.
//
// Threads and fields:
// - The host's thread (the one that called TQOpenPort) runs the open
//   sequence, the exports, the watchdog tick and the stop step. It alone
//   writes m_hWnd, m_podLocation, m_boardHeight and the filter switches, and
//   it clears m_dataSeen.
// - The reader thread owns the line once the open sequence has started it:
//   it reads, decodes, filters and delivers, and so alone touches the receive
//   buffer, the filter's queues, m_lastSample and the eraser queues. It sets
//   m_dataSeen and is the only writer of m_threadRunning.
// - m_lineLock guards m_line during the second open and the thread's reads
//   and writes. The write event guards the mailbox.
// - Fields that cross threads without a lock are atomics, read afresh at
//   each use.
// - A replay object (TQReadFileData) has no line and no thread; everything
//   runs on the caller's thread.
//
// Lifetime: an open port is owned through shared pointers. Every wait of the
// host's thread that may run host code (the stop step, the mailbox wait, the
// open sequence, a message sent to the host's own window) keeps a reference
// on its stack, so a TQClose from inside that code only marks the port
// closing and takes it out of the table; the outermost holder destroys it.
// After such a wait the code looks at Closing() and gives up. Once closing,
// the port sends and posts nothing more to the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "capture/CaptureFile.h"
#include "filter/StrokeFilter.h"
#include "geometry/EraserReading.h"
#include "protocol/HostMapping.h"
#include "platform/Platform.h"
#include "protocol/HostMapping.h"

// The watchdog is a timer procedure of the system's: on 32-bit Windows
// TIMERPROC is __stdcall (CALLBACK), elsewhere the default convention.
#ifdef _WIN32
#define TQ_TIMERPROC_CALL CALLBACK
#else
#define TQ_TIMERPROC_CALL
#endif

namespace tq {

constexpr unsigned kRxBufferSize = 4096;
constexpr unsigned kReadChunkSize = 512;
constexpr unsigned kMailboxSize = 128;
constexpr unsigned kVersionTextSize = 20;  // 19 characters and a NUL
constexpr unsigned kLinkVersionSize = 8;   // room for "v%1.1f" of any replayed header

class CBoardPort : public std::enable_shared_from_this<CBoardPort> {
 public:
  explicit CBoardPort(HWND window);
  virtual ~CBoardPort();
  CBoardPort(const CBoardPort&) = delete;
  CBoardPort& operator=(const CBoardPort&) = delete;

  // Open sequence and stop step.
  int Open(int port);
  void Stop();

  // Serial line set-up and probe.
  bool OpenLine(int port, int baud, char parity, int dataBits, int stopBits);
  int Probe();
  // Applies timeouts, event mask and line settings to m_line; the first
  // refusal is reported to the window and skips the rest. Purges the line.
  void ConfigureLine(const tqp::LineTimeouts& timeouts, uint32_t mask, const char* definition);
  bool OpenOverlapped(int port, int baud, char parity, int dataBits, int stopBits,
                      uint32_t eventMask, uint32_t mailboxSize);

  // Reader/writer thread, mailbox and watchdog.
  bool StartThread();
  static void ThreadMain(void* self);
  void ReadAvailable();
  void WriteCommand();
  bool PostCommand(const char* text);
  void Notify(UINT message, WPARAM code);
  // Every message to the host goes through these two; nothing goes once the
  // port is closing. A board's check and signal posts wait in the queue up
  // to kPostsWaiting times each: a host that keeps up gets one message per
  // packet, from the line as from a replay, and one that does not loses
  // the surplus, not its memory.
  LRESULT SendToHost(UINT message, WPARAM wParam, LPARAM lParam);
  void PostToHost(UINT message);
  static constexpr size_t kPostsWaiting = 1024;
  bool Closing() const { return m_closing.load(std::memory_order_acquire); }
  // A reference that keeps the object alive across a wait (null for an
  // object on the stack, which nothing else destroys).
  std::shared_ptr<CBoardPort> Hold() { return weak_from_this().lock(); }
  // The stop step at the end of the process: no message is handled, and a
  // reader that does not end in time is left alone (true when it ended).
  bool StopAtExit();
  void ArmWatchdog();
  // At the end of the process the timer goes with its thread's queue.
  void DisarmWatchdog(bool killTimer = true);
  static void TQ_TIMERPROC_CALL WatchdogTick(HWND window, UINT message, UINT_PTR timerId, DWORD time);

  // Receive path.
  void DispatchReceived(const uint8_t* data, int length);
  void DecodeV1(const uint8_t* data, int length);
  void DecodeV2(const uint8_t* data, int length);
  void DecodeV4(const uint8_t* data, int length);
  void DrainFilter();
  void DeliverSample(const SPenSample& sample);

  // Captures and replay.
  void ReopenCaptures(const char* base, int flags);
  void CopyRawCapture(CFile* target);
  // A replay's header stands in for the probe's answers.
  void TakeReplayedHeader(const SCaptureHeader& header);
  // The replay's .val and .out captures, collected in large writes.
  void OpenReplayCaptures(const char* base);
  SCaptureHeader CaptureHeader() const;

  // Queries and settings of the exports.
  unsigned GetBoardWidth() const { return BoardWidth(m_receiverSpacing); }
  unsigned GetMaxBoardHeight() const;
  const char* GetVersionText() const { return m_versionText; }
  HWND GetWindow() const { return m_hWnd.load(std::memory_order_relaxed); }
  void SetWindow(HWND window) {
    tqp::WatchPosted(window);
    m_hWnd.store(window, std::memory_order_relaxed);
  }
  void SetBoardHeight(int32_t height) {
    m_boardHeight.store(height < 0 ? 0 : height, std::memory_order_relaxed);
  }
  void SetPodLocation(int32_t location) {
    if (location >= 0 && location <= 3) m_podLocation.store(location, std::memory_order_relaxed);
  }

  // Fields. Public: the subsystems of the driver share them, and the tests
  // look at them.
  UINT_PTR m_timerId = 0;  // written under the watchdog table's lock
  std::atomic<int32_t> m_dataSeen{1};
  std::atomic<int32_t> m_checkSent{0};
  uint32_t m_lastCheckTick = 0;
  CStrokeFilter m_filter;
  uint32_t m_receiverSpacing = 0;
  uint32_t m_rxCount = 0;
  uint8_t m_rxBuffer[kRxBufferSize];
  char m_linkVersion[kLinkVersionSize] = {};
  char m_versionText[kVersionTextSize] = {};
  double m_boardVersion = 0.0;
  tqp::RecursiveLock m_lineLock;
  std::atomic<int32_t> m_threadRunning{0};
  // Set while the reader may be waiting for the window to take a message it
  // sent: during a dispatch and a notification.
  std::atomic<bool> m_readerSending{false};
  // Set only while the reader is inside the send itself.
  std::atomic<bool> m_readerInSend{false};
  // The reader thread, as the message service names it.
  std::atomic<uintptr_t> m_readerTag{0};
  // Set by the stop step before it signals the reader.
  std::atomic<bool> m_closing{false};
  std::unique_ptr<tqp::Event> m_stopEvent;
  std::unique_ptr<tqp::SerialLine> m_line;
  std::unique_ptr<tqp::Event> m_writeEvent;
  CCaptureFile m_rawFile, m_valFile, m_outFile;
  tqp::LineSettings m_dcb{};
  uint32_t m_packetLength = 9;
  std::atomic<HWND> m_hWnd;
  int32_t m_port = 0;
  std::unique_ptr<char[]> m_mailbox;
  uint32_t m_mailboxSize = 0;
  SPenSample m_lastSample{};
  std::atomic<int32_t> m_podLocation{0};
  std::atomic<int32_t> m_boardHeight{0};
  std::deque<SEraserReading> m_pendingReadings, m_resolvedReadings, m_readingHistory;
};

// The open port object of a port number, or null (the exports' table).
CBoardPort* FindOpenPort(int port);

// The port whose watchdog runs for a port number, or null (the watchdog
// table is process-wide and guarded: ports of several host threads share it).
CBoardPort* WatchdogPort(int port);

// Whether the port's reader is the only one inside a send at this moment.
bool OnlyThisReaderSends(const CBoardPort& port);

// Stops every open port (the process is ending).
void StopAllPorts();

}  // namespace tq
