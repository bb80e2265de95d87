// The exported functions and the table of open ports.
//
// The table has one slot per port 1 to 8 and no lock: the host calls the
// exports of a port from one thread. The reader threads never touch it.
// It is never destroyed: a host may end the process with boards open, and
// the exit handler stops them while everything they use is still there.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/BoardPort.h"
#include "capture/Replay.h"

namespace {

using tq::CBoardPort;

std::shared_ptr<CBoardPort>* const g_ports = new std::shared_ptr<CBoardPort>[9];

// 0 when the port is open; 6 or 7 otherwise.
TQ_ERROR_CODE CheckPort(TQ_PORT port) {
  if (port < 1 || port > 8) return TQ_ERR_BAD_PORT;
  if (!g_ports[port]) return TQ_ERR_NOT_OPEN;
  return TQ_SUCCESS;
}

// The port object, or null for a port outside 1 to 8 or not open.
CBoardPort* Find(TQ_PORT port) { return CheckPort(port) == TQ_SUCCESS ? g_ports[port].get() : nullptr; }

void StopAllPortsAtExit() { tq::StopAllPorts(); }

}  // namespace

namespace tq {
CBoardPort* FindOpenPort(int port) { return Find(port); }

void StopAllPorts() {
  if (tqp::ProcessIsEnding()) return;  // the readers are gone with the other threads
  for (int port = 1; port <= 8; ++port) {
    std::shared_ptr<CBoardPort> board = std::move(g_ports[port]);
    // A reader that did not end keeps its object, never destroyed.
    if (board && !board->StopAtExit()) new std::shared_ptr<CBoardPort>(std::move(board));
  }
}
}  // namespace tq

extern "C" {

TQ_ERROR_CODE TQOpenPort(TQ_PORT port, HWND window) {
  if (port < 1 || port > 8) return TQ_ERR_BAD_PORT;
  static const bool exitHandler = std::atexit(StopAllPortsAtExit) == 0;
  (void)exitHandler;
  TQClose(port);
  // The open sends line errors to the window: its procedure may close or
  // reopen this port meanwhile, and this call's object is then no longer
  // the one in the table.
  const auto board = std::make_shared<CBoardPort>(window);
  g_ports[port] = board;
  int result = board->Open(port);
  if (result == 0 && board->Closing()) result = TQ_ERR_OPEN_FAILED;
  if (result != 0 && g_ports[port] == board) g_ports[port].reset();
  return static_cast<TQ_ERROR_CODE>(result);
}

TQ_PORT TQFindPort(HWND window, SFindPortError* errors) {
  const TQ_ERROR_CODE first = TQOpenPort(1, window);
  if (errors != nullptr) errors->port1 = first;
  if (first == TQ_SUCCESS) return 1;
  const TQ_ERROR_CODE second = TQOpenPort(2, window);
  if (errors != nullptr) errors->port2 = second;
  return second == TQ_SUCCESS ? 2 : 0;
}

TQ_ERROR_CODE TQClose(TQ_PORT port) {
  if (const TQ_ERROR_CODE check = CheckPort(port); check != TQ_SUCCESS) return check;
  // Out of the table before the stop step: the window procedure, which the
  // stop step runs while it waits for the reader, may close this port again
  // and must find it closed, not half gone.
  const std::shared_ptr<CBoardPort> board = std::move(g_ports[port]);
  board->Stop();
  return TQ_SUCCESS;
}

TQ_ERROR_CODE TQGetBoardWidth(TQ_PORT port, unsigned int* width) {
  if (const TQ_ERROR_CODE check = CheckPort(port); check != TQ_SUCCESS) return check;
  if (width != nullptr) *width = g_ports[port]->GetBoardWidth();
  return TQ_SUCCESS;
}

TQ_ERROR_CODE TQGetMaxBoardHeight(TQ_PORT port, unsigned int* height) {
  if (const TQ_ERROR_CODE check = CheckPort(port); check != TQ_SUCCESS) return check;
  if (height != nullptr) *height = g_ports[port]->GetMaxBoardHeight();
  return TQ_SUCCESS;
}

TQ_ERROR_CODE TQGetBoardVersion(TQ_PORT port, char* text) {
  if (const TQ_ERROR_CODE check = CheckPort(port); check != TQ_SUCCESS) return check;
  if (text == nullptr) return TQ_SUCCESS;
  // At most 19 characters, NUL-padded, a NUL at index 19: 20 bytes, never more.
  const char* version = g_ports[port]->GetVersionText();
  const size_t length = strnlen(version, tq::kVersionTextSize - 1);
  std::memset(text, 0, tq::kVersionTextSize);
  std::memcpy(text, version, length);
  return TQ_SUCCESS;
}

HWND TQSetHWND(TQ_PORT port, HWND window) {
  CBoardPort* board = Find(port);
  if (board == nullptr) return nullptr;
  const HWND previous = board->GetWindow();
  board->SetWindow(window);
  return previous;
}

TQ_ERROR_CODE TQGetTQND(TQ_PORT port, TQND* counters) {
  if (const TQ_ERROR_CODE check = CheckPort(port); check != TQ_SUCCESS) return check;
  if (counters == nullptr) return TQ_SUCCESS;
  const tq::CStrokeFilter& filter = g_ports[port]->m_filter;
  counters->pushed = filter.PushedCount();
  counters->rejected = filter.RejectedCount();
  counters->streaksCut = filter.StreakCutCount();
  return TQ_SUCCESS;
}

TQ_ERROR_CODE TQSetPodLocation(TQ_PORT port, POD_LOCATION location) {
  if (const TQ_ERROR_CODE check = CheckPort(port); check != TQ_SUCCESS) return check;
  g_ports[port]->SetPodLocation(static_cast<int32_t>(location));
  return TQ_SUCCESS;
}

TQ_ERROR_CODE TQSetBoardHeight(TQ_PORT port, unsigned int height) {
  if (const TQ_ERROR_CODE check = CheckPort(port); check != TQ_SUCCESS) return check;
  g_ports[port]->SetBoardHeight(static_cast<int32_t>(height));
  return TQ_SUCCESS;
}

VALIDATION_STATUS TQSetValidateStatus(TQ_PORT port, VALIDATION_STATUS status) {
  CBoardPort* board = Find(port);
  if (board == nullptr) return VALIDATION_OFF;
  return static_cast<VALIDATION_STATUS>(board->m_filter.SetValidation(static_cast<int>(status)));
}

FILTER_STATUS TQSetFilterStatus(TQ_PORT port, FILTER_STATUS status) {
  CBoardPort* board = Find(port);
  if (board == nullptr) return FILTER_OFF;
  return static_cast<FILTER_STATUS>(board->m_filter.SetFilter(static_cast<int>(status)));
}

ANTISTREAK_STATUS TQSetAntiStreakStatus(TQ_PORT port, ANTISTREAK_STATUS status) {
  CBoardPort* board = Find(port);
  if (board == nullptr) return ANTISTREAK_OFF;
  return static_cast<ANTISTREAK_STATUS>(board->m_filter.SetAntiStreak(static_cast<int>(status)));
}

void TQOpenDumpFiles(TQ_PORT port, const char* path, int flags) {
  CBoardPort* board = Find(port);
  // A null path closes the captures, like TQCloseDumpFiles.
  if (board != nullptr) board->ReopenCaptures(path, flags);
}

void TQGetDumpFile(TQ_PORT port, int /*which*/, CFile* target) {
  if (CBoardPort* board = Find(port); board != nullptr) board->CopyRawCapture(target);
}

void TQCloseDumpFiles(TQ_PORT port) {
  if (CBoardPort* board = Find(port); board != nullptr) board->ReopenCaptures(nullptr, 0);
}

void TQReadFileData(HWND window, CFileDialog* dialog) {
  if (dialog == nullptr) return;
  const std::string path = dialog->GetPathName();
  tq::SReplayStats stats;
  const tq::ReplayStatus status = tq::ReplayCaptureFile(path.c_str(), window, tq::SReplayOptions{}, &stats);
  if (status == tq::ReplayStatus::CannotOpen) throw stats.openError;
  // A directory, a FIFO or a device has nothing to replay: refused as a file
  // the caller may not read.
  if (status == tq::ReplayStatus::NotRegularFile) {
    throw CFileException(CFileException::accessDenied, stats.openError.m_lOsError);
  }
}

}  // extern "C"
