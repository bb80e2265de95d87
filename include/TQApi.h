/*
 * TQApi.h - host interface of the TQ whiteboard pen-capture board driver.
 *
 * The board has two ultrasonic receivers a fixed distance apart (the sensor
 * baseline) and reports pens and a two-emitter eraser over a 9600-baud serial
 * line. This library opens a board by port number (1 to 8, the devices COM1 to
 * COM8), probes it, reads its packets on a thread of its own, turns them into
 * pen strokes and reports them, with board events, to one window of the host
 * per board.
 *
 * Error contract
 *   Every export that can fail returns a TQ_ERROR_CODE (0 is success). An
 *   export whose port check fails (6: port outside 1 to 8, 7: no board open on
 *   the port) writes nothing through its pointer arguments and changes
 *   nothing. A null pointer argument is never written through. Problems that
 *   arise after a successful open (line errors, a silent board) reach the host
 *   only as window messages. Nothing is logged. No export throws, except
 *   TQReadFileData when the chosen file cannot be opened (CFileException).
 *
 * Thread contract
 *   Call all exports for a port from one thread, the host's thread, which must
 *   run a message loop: the watchdog of a board runs as a window-less timer of
 *   the thread that opened the port. Pen messages, TQ_MSG_BOARD_EVENT and line
 *   errors of a running port are SENT from the port's reader thread: the
 *   reader waits until the window procedure has returned. The SPenPoint passed
 *   with a pen message is valid only while the procedure handles it. No
 *   message of a port is sent after TQClose has returned, and its posted
 *   messages still waiting in the queue are taken out by TQClose. TQClose
 *   from a thread that did not open the port works too; the watchdog timer
 *   then ends at its next tick on the opener's thread.
 *
 * Re-entry
 *   Any window procedure may call TQClose and TQOpenPort, for its own port or
 *   another, from inside any message (pen, board event, line error, board
 *   check, posted messages). A port closed while one of the library's waits
 *   for it is on the host thread's stack is only marked closed and taken out
 *   of the table; the outermost of those waits destroys it. From the moment
 *   its stop is signalled the port sends and posts nothing more. Releasing a
 *   blocked reader releases the closed port's reader, never another port's.
 *
 * Ending the process with boards open is allowed: an exit handler stops
 * every open port first.
 *
 * On Linux the library brings the small window and message service it needs
 * (the "host API" at the end of this file): a host creates a message window
 * with TQCreateWindow and runs an ordinary GetMessageA / DispatchMessageA loop.
 * COM<n> is the device named by the environment variable TQ_COM<n> (read at
 * every open), else /dev/ttyS<n-1>; a TQ_COM<n> that is set but empty names
 * no device, and the open fails with 1.
 */
#ifndef TQAPI_H
#define TQAPI_H

#ifdef _WIN32
#include <windows.h>
#include <stdint.h>
#if defined(TQAPI_BUILDING)
#define TQAPI __declspec(dllexport)
#else
#define TQAPI __declspec(dllimport)
#endif
#else
#include <stdint.h>
#define TQAPI __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _WIN32
/* The window-message types of the host API, laid out as on Windows. */
typedef struct TQWindow_* HWND;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef uintptr_t UINT_PTR;
typedef LRESULT (*WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
typedef void (*TIMERPROC)(HWND window, UINT message, UINT_PTR timerId, DWORD tickCount);
typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
} MSG;
#define WM_QUIT 0x0012u
#define WM_TIMER 0x0113u
#define WM_APP 0x8000u
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
#endif

/* ---- Enumerations (each passed as a 32-bit integer) -------------------- */

/* Serial port 1 to 8 (COM1 to COM8). TQFindPort returns 0 for "no board". */
typedef int TQ_PORT;

typedef enum TQ_ERROR_CODE {
  TQ_SUCCESS = 0,
  /* Opening the serial device failed, or a write or read failed during the probe. */
  TQ_ERR_OPEN_FAILED = 1,
  /* Opening the device a second time, for the reader thread, failed. */
  TQ_ERR_REOPEN_FAILED = 2,
  /* The board did not answer a probe step, answered with an unexpected lead
   * byte or length, or reported a protocol number below 1.0. */
  TQ_ERR_NO_ANSWER = 3,
  /* The board reported a protocol number above 2.0. */
  TQ_ERR_PROTOCOL = 4,
  /* The geometry reply is malformed or its baseline lies outside 500 to 5000. */
  TQ_ERR_GEOMETRY = 5,
  /* The port number is outside 1 to 8. */
  TQ_ERR_BAD_PORT = 6,
  /* No board is open on this port. */
  TQ_ERR_NOT_OPEN = 7,
  TQ_ERROR_CODE_FORCE_32BIT = 0x7FFFFFFF /* keeps the type 32 bits wide */
} TQ_ERROR_CODE;

/* Where the sensor unit sits on the board; selects how positions are
 * oriented before they are reported (see TQSetPodLocation). */
typedef enum POD_LOCATION {
  POD_LOCATION_INVALID = -1, /* no location: ignored by TQSetPodLocation */
  POD_LOCATION_0 = 0, /* axes as they are (the value after opening) */
  POD_LOCATION_1 = 1, /* both axes mirrored, against width and height */
  POD_LOCATION_2 = 2, /* axes exchanged, new y mirrored against the width */
  POD_LOCATION_3 = 3, /* axes exchanged, new x mirrored against the height */
  POD_LOCATION_FORCE_32BIT = 0x7FFFFFFF
} POD_LOCATION;

/* The three stroke-filter switches: 1 switches the stage on, every other
 * value off. As results, 1 means the stage was on and 0 that it was off. */
typedef enum VALIDATION_STATUS {
  VALIDATION_OFF = 0,
  VALIDATION_ON = 1,
  VALIDATION_FORCE_32BIT = 0x7FFFFFFF
} VALIDATION_STATUS;
typedef enum FILTER_STATUS { FILTER_OFF = 0, FILTER_ON = 1, FILTER_FORCE_32BIT = 0x7FFFFFFF } FILTER_STATUS;
typedef enum ANTISTREAK_STATUS {
  ANTISTREAK_OFF = 0,
  ANTISTREAK_ON = 1,
  ANTISTREAK_FORCE_32BIT = 0x7FFFFFFF
} ANTISTREAK_STATUS;

/* ---- Records ------------------------------------------------------------ */

/* The results of TQFindPort's two attempts: opening port 1, then port 2. */
typedef struct SFindPortError {
  TQ_ERROR_CODE port1;
  TQ_ERROR_CODE port2;
} SFindPortError;

/* Diagnostic counters of a port's stroke filter, in this order: samples
 * pushed into the filter (dropped and break markers included), samples the
 * validation stage rejected, samples the anti-streak stage cut off. */
typedef struct TQND {
  uint32_t pushed;
  uint32_t rejected;
  uint32_t streaksCut;
} TQND;

/* Passed by address as wParam of the three pen messages; valid only while
 * the window procedure handles the message. */
typedef struct SPenPoint {
  int32_t code; /* pen code: 0-4 (boards 2.x/3.x), 0-7 (below 2.0), 0 otherwise */
  int16_t x;    /* host x coordinate */
  int16_t y;    /* host y coordinate */
} SPenPoint;

/* ---- Window messages ---------------------------------------------------- */

/* Pen tip down: wParam = SPenPoint*, lParam = pen code. Sent, reader thread. */
#define TQ_MSG_PEN_DOWN 0x8001u
/* Pen moved while down: wParam = SPenPoint*, lParam = pen code. Sent, reader thread. */
#define TQ_MSG_PEN_MOVE 0x8002u
/* Pen lifted, hovering or stroke ended: wParam = SPenPoint*, lParam = 0. Sent, reader thread. */
#define TQ_MSG_PEN_UP 0x8003u
/* The eraser's footprint arrives as these three messages with pen code 0: a
 * pen-down and seven moves at the corners 1, 2, 3, 1, 4, 3, 4, 2 of the
 * rectangle it covers (its sides and both diagonals), then a pen-up at
 * x 140, y 0, where the board's origin lands. Pen code 0 is also a real pen;
 * a host tells a footprint by that outline. */
/* Board event: wParam 0 = the board flushed its strokes (control packet),
 * 2 = the board's pen-code-5 button; lParam = port number. Sent, reader thread. */
#define TQ_MSG_BOARD_EVENT 0x8004u
/* Line error or set-up failure, wParam = code:
 *   1 command write failed, 2 read failed, 3 applying line settings failed,
 *   4 line settings text rejected, 5 reading line settings failed,
 *   6 setting the event mask failed, 7 setting timeouts failed,
 *   8 waiting for line events failed, 9 completing a read or write failed.
 * lParam 0. Codes 3-7 are sent on the thread calling TQOpenPort during the
 * open; 1, 2, 8, 9 from the reader thread. None closes the port. */
#define TQ_MSG_COMM_ERROR 0x8006u
/* Board check. Sent by the watchdog (host's thread, wParam 0, lParam 0) while
 * a protocol-2 board stays silent after it was asked for a sign of life; also
 * posted (lParam = port number) by boards below version 2.0, one for each "v"
 * packet, live and in a replay alike. Up to 1024 of a port wait undelivered
 * in the queue; while that many wait, further ones are dropped. (On Windows
 * the count needs the port opened, or the replay run, on the thread of its
 * window; posts to another thread's window are bounded by the system only.) */
#define TQ_MSG_BOARD_CHECK 0x8007u
/* Posted by boards below version 2.0, one for each type-0x90 packet: wParam 0,
 * lParam = port number; up to 1024 of a port wait undelivered, as above. */
#define TQ_MSG_BOARD_0x90 0xFFFFFFFFu

/* ---- Exports ------------------------------------------------------------ */

#ifdef __cplusplus
} /* extern "C" */
class CFile;
class CFileDialog;
extern "C" {
#else
typedef struct CFile CFile;
typedef struct CFileDialog CFileDialog;
#endif

/* Opens the board on `port` and reports to `window`. Closes whatever was open
 * on the port first. Returns 0, or 1-5 (the port is then closed), or 6. When
 * the window procedure closes or reopens the port while it handles a line
 * error of this open, the open gives up with 1 and the port stays as that
 * nested call left it. */
TQAPI TQ_ERROR_CODE TQOpenPort(TQ_PORT port, HWND window);

/* Tries TQOpenPort on port 1, then port 2. Returns the port that opened, or 0.
 * errors->port1 receives port 1's result; errors->port2 port 2's result, written
 * only when port 1 failed. A null `errors` is allowed (nothing is written). */
TQAPI TQ_PORT TQFindPort(HWND window, SFindPortError* errors);

/* Stops the reader thread, closes the line, ends the watchdog. 0, 6 or 7.
 * A window procedure may call it (or TQOpenPort) while it handles a message
 * of this port: the reader is then released from that message as if the
 * procedure had returned 0, so the message's SPenPoint is no longer valid
 * after the call. Messages the reader sends meanwhile are handled during the
 * call; a nested TQClose of the same port returns 7. */
TQAPI TQ_ERROR_CODE TQClose(TQ_PORT port);

/* Board width: the sensor baseline plus 340. 0, 6 or 7. */
TQAPI TQ_ERROR_CODE TQGetBoardWidth(TQ_PORT port, unsigned int* width);

/* Largest usable board height: sqrt(5500^2 - baseline^2), truncated; 0 for a
 * baseline of 0 or at least 5000. 0, 6 or 7. */
TQAPI TQ_ERROR_CODE TQGetMaxBoardHeight(TQ_PORT port, unsigned int* height);

/* Copies the board's version reply (lead byte included) into `text`, which
 * must hold 20 bytes: at most 19 characters, NUL-padded, text[19] = 0. */
TQAPI TQ_ERROR_CODE TQGetBoardVersion(TQ_PORT port, char* text);

/* Makes `window` the port's notification window; returns the previous one,
 * or a null handle (and changes nothing) when the port check fails. */
TQAPI HWND TQSetHWND(TQ_PORT port, HWND window);

/* Copies the port's three filter counters (see TQND). 0, 6 or 7. */
TQAPI TQ_ERROR_CODE TQGetTQND(TQ_PORT port, TQND* counters);

/* Sets the pod location 0-3; other values are ignored. 0, 6 or 7. */
TQAPI TQ_ERROR_CODE TQSetPodLocation(TQ_PORT port, POD_LOCATION location);

/* Sets the board height used by pod locations 1 and 3; a value that is
 * negative as a signed 32-bit integer is stored as 0. 0, 6 or 7. */
TQAPI TQ_ERROR_CODE TQSetBoardHeight(TQ_PORT port, unsigned int height);

/* Switch the validation, smoothing and anti-streak stages of the port's
 * stroke filter (1 on, anything else off); return 1 if the stage was on
 * before. For a port outside 1 to 8 or not open they return 0 and do nothing. */
TQAPI VALIDATION_STATUS TQSetValidateStatus(TQ_PORT port, VALIDATION_STATUS status);
TQAPI FILTER_STATUS TQSetFilterStatus(TQ_PORT port, FILTER_STATUS status);
TQAPI ANTISTREAK_STATUS TQSetAntiStreakStatus(TQ_PORT port, ANTISTREAK_STATUS status);

/* Capture files. Every open port records its raw byte stream to tq<port>.raw
 * in the temporary directory. TQOpenDumpFiles closes the port's captures and
 * opens those selected by `flags` (bit 0 .raw, bit 1 .val: samples the
 * validation stage let through, bit 2 .out: samples delivered to the window)
 * as `path` + extension, each with a 20-byte header; a file that cannot be
 * created ends the call (later ones are not opened). A capture is never
 * created over a link, over a path that is no regular file of this user, or
 * over a file another capture is writing (in this process or another): each
 * counts as a file that cannot be created, and a port whose own raw capture
 * is refused so opens without it. Others may read a capture while it grows.
 * A capture write that cannot complete at once is dropped, never waited
 * for. TQCloseDumpFiles closes
 * all three. TQGetDumpFile appends the raw capture, header included, to the
 * end of `target` (`which` is ignored). All three do nothing for a port that
 * is outside 1 to 8 or not open, or a null argument. */
TQAPI void TQOpenDumpFiles(TQ_PORT port, const char* path, int flags);
TQAPI void TQGetDumpFile(TQ_PORT port, int which, CFile* target);
TQAPI void TQCloseDumpFiles(TQ_PORT port);

/* Replays the raw capture chosen in `dialog` through the whole pipeline into
 * `window`, on the calling thread: pen messages are sent during the call;
 * messages that boards below version 2.0 post arrive through the window
 * thread's queue afterwards. Writes <name>.val and <name>.out beside the
 * file. A file with a bad header is not replayed. Throws CFileException when
 * the file cannot be opened (for example while a port holds it); a path that
 * is no regular file (a directory, a FIFO, a device) is refused at once with
 * the cause accessDenied. A null dialog does nothing. */
TQAPI void TQReadFileData(HWND window, CFileDialog* dialog);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifndef _WIN32
/* ---- Host API (Linux): windows, messages and timers ---------------------
 * A window is a message target owned by the thread that created it. Sending
 * from the owner calls the procedure directly; sending from another thread
 * queues the message to the owner and blocks until the owner's message loop
 * (or any wait of the owner inside this library) has handled it; a blocked
 * sender still handles messages sent to its own windows. Posting returns at
 * once; it fails when the target thread already holds 10000 posted messages
 * (as on Windows). Messages to a destroyed window are dropped. The service
 * is never torn down, so threads may still send while the process ends. */
#ifdef __cplusplus
extern "C" {
#endif
/* Creates a window owned by the calling thread; null on failure. */
TQAPI HWND TQCreateWindow(WNDPROC procedure, void* user);
/* Destroys a window of any thread; later messages to it are lost. */
TQAPI BOOL TQDestroyWindow(HWND window);
/* The user pointer given to TQCreateWindow, null for an unknown window. */
TQAPI void* TQGetWindowUser(HWND window);
TQAPI LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
TQAPI BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/* Releases the sender of the message being handled before the procedure returns. */
TQAPI BOOL ReplyMessage(LRESULT result);
/* Waits for a posted message or timer of the calling thread, handling sent
 * messages meanwhile. Returns 0 for WM_QUIT, else non-zero. */
TQAPI BOOL GetMessageA(MSG* msg, HWND window, UINT first, UINT last);
TQAPI BOOL PeekMessageA(MSG* msg, HWND window, UINT first, UINT last, UINT remove);
TQAPI LRESULT DispatchMessageA(const MSG* msg);
TQAPI BOOL TranslateMessage(const MSG* msg);
TQAPI void PostQuitMessage(int exitCode);
/* Window-less timers (window must be null) bound to the calling thread's
 * loop; the system chooses the id. The callback runs from DispatchMessageA. */
TQAPI UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT periodMs, TIMERPROC callback);
TQAPI BOOL KillTimer(HWND window, UINT_PTR id);
/* Milliseconds since an arbitrary start, wrapping at 32 bits. */
TQAPI DWORD GetTickCount(void);
#ifdef __cplusplus
} /* extern "C" */
#endif
#endif /* !_WIN32 */

/* ---- Files (C++ only) ----------------------------------------------------
 * The capture exports take the host's file objects. CFile is a plain binary
 * file with sharing modes; CFileDialog only carries the chosen path. */
#ifdef __cplusplus
#include <cstddef>
#include <string>

class TQAPI CFileException {
 public:
  enum { none = 0, genericException = 1, fileNotFound = 2, sharingViolation = 11, accessDenied = 5 };
  CFileException(int cause = none, long osError = 0) : m_cause(cause), m_lOsError(osError) {}
  int m_cause;
  long m_lOsError;
};

class TQAPI CFile {
 public:
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyNone = 0x0040,
    modeNoTruncate = 0x0100,
    modeCreate = 0x1000,
    typeBinary = 0x8000
  };
  enum SeekPosition { begin = 0, current = 1, end = 2 };

  CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  virtual ~CFile();

  /* Opens `path`; false (and `error` filled) on failure. */
  bool Open(const char* path, unsigned flags, CFileException* error = nullptr);
  /* Reads up to `count` bytes; returns the number read (0 at the end or on error). */
  unsigned Read(void* buffer, unsigned count);
  /* Writes `count` bytes; throws CFileException when they cannot be written. */
  void Write(const void* buffer, unsigned count);
  /* Like Write, without the exception: false when not every byte was written. */
  bool TryWrite(const void* buffer, unsigned count) noexcept;
  long long Seek(long long offset, SeekPosition from);
  void SeekToBegin() { Seek(0, begin); }
  long long SeekToEnd() { return Seek(0, end); }
  unsigned long long GetLength() const;
  void Close();
  bool IsOpen() const { return m_handle != invalidHandle; }
  const std::string& GetFilePath() const { return m_path; }

 private:
#ifdef _WIN32
  typedef intptr_t Handle; /* a HANDLE; INVALID_HANDLE_VALUE is -1 */
  static constexpr Handle invalidHandle = -1;
#else
  typedef int Handle;
  static constexpr Handle invalidHandle = -1;
#endif
  Handle m_handle;
  std::string m_path;
};

class TQAPI CFileDialog {
 public:
  explicit CFileDialog(const char* path = "") : m_path(path ? path : "") {}
  virtual ~CFileDialog() = default;
  std::string GetPathName() const { return m_path; }
  void SetPathName(const char* path) { m_path = path ? path : ""; }

 private:
  std::string m_path;
};
#endif /* __cplusplus */

#endif /* TQAPI_H */
