// Serial lines on Windows: the communications calls, passed straight
// through. "COM<n>" opens as \\.\COM<n>, which also reaches ports above 9.
//
// The line definition text is checked by the shared parser before
// BuildCommDCBA sees it, so this build accepts exactly the texts the other
// one does; BuildCommDCBA then fills the device control block from it, over
// the settings last read from the device. Of the block, the driver's
// LineSettings carry the baud rate, parity, data and stop bits and RTS
// control; every other field stays as GetCommState reported it.
//
// In overlapped mode one OVERLAPPED block, whose manual-reset event is the
// line event of WaitAny, serves the event wait, every read and every write,
// as the reader thread uses them one at a time.
#include <windows.h>

#include <cstdio>

#include "platform/Platform.h"

namespace tqp {
namespace {

BYTE ParityCode(char parity) {
  switch (parity) {
    case 'O': return ODDPARITY;
    case 'E': return EVENPARITY;
    case 'M': return MARKPARITY;
    case 'S': return SPACEPARITY;
    default: return NOPARITY;
  }
}

char ParityLetter(BYTE code) {
  switch (code) {
    case ODDPARITY: return 'O';
    case EVENPARITY: return 'E';
    case MARKPARITY: return 'M';
    case SPACEPARITY: return 'S';
    default: return 'N';
  }
}

BYTE StopCode(uint8_t stopBits) {
  if (stopBits == 2) return TWOSTOPBITS;
  if (stopBits == 15) return ONE5STOPBITS;
  return ONESTOPBIT;
}

uint8_t StopBitsOf(BYTE code) {
  if (code == TWOSTOPBITS) return 2;
  if (code == ONE5STOPBITS) return 15;
  return 1;
}

void ToSettings(const DCB& dcb, LineSettings* settings) {
  settings->baud = dcb.BaudRate;
  settings->parity = ParityLetter(dcb.Parity);
  settings->dataBits = dcb.ByteSize;
  settings->stopBits = StopBitsOf(dcb.StopBits);
  settings->rtsEnable = dcb.fRtsControl == RTS_CONTROL_ENABLE;
}

void FromSettings(const LineSettings& settings, DCB* dcb) {
  dcb->BaudRate = settings.baud;
  dcb->Parity = ParityCode(settings.parity);
  dcb->fParity = settings.parity != 'N';
  dcb->ByteSize = settings.dataBits;
  dcb->StopBits = StopCode(settings.stopBits);
  if (settings.rtsEnable) {
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
  } else if (dcb->fRtsControl == RTS_CONTROL_ENABLE) {
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
  }
}

IoStart Started(BOOL done, uint32_t* error) {
  if (done) return IoStart::kDone;
  *error = GetLastError();
  return *error == ERROR_IO_PENDING ? IoStart::kPending : IoStart::kFailed;
}

class Win32SerialLine final : public SerialLine {
 public:
  Win32SerialLine(HANDLE line, bool overlapped) : m_line(line), m_overlappedWanted(overlapped) {
    m_dcb.DCBlength = sizeof m_dcb;
    if (overlapped) m_io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }

  ~Win32SerialLine() override {
    if (m_io.hEvent != nullptr) {
      // A pending event wait ends when the mask is cleared; reads and writes
      // end with CancelIo. The block must not be written after it is gone.
      SetCommMask(m_line, 0);
      CancelIo(m_line);
      if (!HasOverlappedIoCompleted(&m_io)) WaitForSingleObject(m_io.hEvent, 1000);
    }
    CloseHandle(m_line);
    if (m_io.hEvent != nullptr) CloseHandle(m_io.hEvent);
  }

  // False when the overlapped mode's event could not be created.
  bool Usable() const { return m_io.hEvent != nullptr || !m_overlappedWanted; }

  bool SetTimeouts(const LineTimeouts& timeouts) override {
    COMMTIMEOUTS value{timeouts.readInterval, timeouts.readTotalMultiplier,
                       timeouts.readTotalConstant, timeouts.writeTotalMultiplier,
                       timeouts.writeTotalConstant};
    return SetCommTimeouts(m_line, &value) != 0;
  }

  bool SetEventMask(uint32_t mask) override { return SetCommMask(m_line, mask) != 0; }

  bool GetEventMask(uint32_t* mask) override {
    DWORD value = 0;
    if (!GetCommMask(m_line, &value)) return false;
    *mask = value;
    return true;
  }

  bool GetSettings(LineSettings* settings) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_line, &dcb)) return false;
    m_dcb = dcb;
    ToSettings(dcb, settings);
    return true;
  }

  bool BuildSettings(const char* text, LineSettings* settings) override {
    LineSettings checked = *settings;
    if (!ParseLineDefinition(text, checked)) return false;
    DCB dcb = m_dcb;
    FromSettings(*settings, &dcb);
    if (!BuildCommDCBA(text, &dcb)) return false;
    m_dcb = dcb;
    ToSettings(dcb, settings);
    return true;
  }

  bool SetSettings(const LineSettings& settings) override {
    DCB dcb = m_dcb;
    FromSettings(settings, &dcb);
    if (!SetCommState(m_line, &dcb)) return false;
    m_dcb = dcb;
    return true;
  }

  bool Purge() override {
    return PurgeComm(m_line, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
  }

  bool ClearError(uint32_t* inQueue) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(m_line, &errors, &status)) {
      *inQueue = 0;
      return false;
    }
    *inQueue = status.cbInQue;
    return true;
  }

  bool Read(void* buffer, uint32_t count, uint32_t* got) override {
    DWORD n = 0;
    const bool ok = Transfer(ReadFile(m_line, buffer, count, &n, IoBlock()), &n);
    *got = n;
    return ok;
  }

  bool Write(const void* buffer, uint32_t count, uint32_t* written) override {
    DWORD n = 0;
    const bool ok = Transfer(WriteFile(m_line, buffer, count, &n, IoBlock()), &n);
    *written = n;
    return ok;
  }

  IoStart StartEventWait(uint32_t* error) override {
    return Started(WaitCommEvent(m_line, &m_events, &m_io), error);
  }

  int WaitAny(Event& stop, Event& write) override {
    const HANDLE handles[3] = {reinterpret_cast<HANDLE>(stop.Native()), m_io.hEvent,
                               reinterpret_cast<HANDLE>(write.Native())};
    const DWORD result = WaitForMultipleObjects(3, handles, FALSE, INFINITE);
    if (result < WAIT_OBJECT_0 + 3) return static_cast<int>(result - WAIT_OBJECT_0);
    return -1;
  }

  IoStart StartRead(void* buffer, uint32_t count, uint32_t* got, uint32_t* error) override {
    DWORD n = 0;
    const IoStart start = Started(ReadFile(m_line, buffer, count, &n, &m_io), error);
    *got = start == IoStart::kDone ? n : 0;
    return start;
  }

  IoStart StartWrite(const void* buffer, uint32_t count, uint32_t* error) override {
    m_io.Offset = 0;
    m_io.OffsetHigh = 0;
    DWORD n = 0;
    return Started(WriteFile(m_line, buffer, count, &n, &m_io), error);
  }

  bool CompleteIo(uint32_t* transferred) override {
    DWORD n = 0;
    const bool ok = GetOverlappedResult(m_line, &m_io, &n, TRUE) != 0;
    *transferred = n;
    return ok;
  }

 private:
  // Plain reads and writes on an overlapped handle wait for their own completion.
  OVERLAPPED* IoBlock() { return m_io.hEvent != nullptr ? &m_io : nullptr; }

  bool Transfer(BOOL done, DWORD* n) {
    if (done) return true;
    if (m_io.hEvent == nullptr || GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(m_line, &m_io, n, TRUE) != 0;
  }

  HANDLE m_line;
  bool m_overlappedWanted;
  OVERLAPPED m_io{};
  DWORD m_events = 0;
  DCB m_dcb{};
};

}  // namespace

std::string SerialLine::DevicePath(const char* deviceName) { return deviceName; }

std::unique_ptr<SerialLine> SerialLine::Open(const char* deviceName, bool overlapped) {
  if (deviceName == nullptr) return nullptr;
  char path[64];
  std::snprintf(path, sizeof path, "\\\\.\\%s", deviceName);
  HANDLE line = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
  if (line == INVALID_HANDLE_VALUE) return nullptr;
  auto result = std::make_unique<Win32SerialLine>(line, overlapped);
  if (overlapped && !result->Usable()) return nullptr;
  return result;
}

}  // namespace tqp
