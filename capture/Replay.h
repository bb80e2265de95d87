// Replay of a raw capture: the capture's bytes go through the decoders, the
// filter and the delivery exactly as a live board's would, on the caller's
// thread, into the caller's window. TQReadFileData and the tools all replay
// through here, so a capture is read, accepted and cut into packets one way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TQApi.h"
#include "capture/CaptureFile.h"

namespace tq {

// Whether a capture's header names a protocol and a board this driver could
// have recorded: both numbers above 0 and below 100 (NaN fails).
bool AcceptCaptureHeader(const SCaptureHeader& header);

// The packet length of the protocol: 5 bytes below 2.0, else 9.
size_t CapturePacketLength(double protocolNumber);

enum class ReplayStatus {
  Replayed,        // the header was accepted and the body replayed
  CannotOpen,      // missing, no permission, or held by a port that records to it
  NotRegularFile,  // a directory, FIFO, device or socket: nothing with an end to replay
  NotCapture,      // shorter than a header, or a header that is not accepted
  ReadError,       // the system failed a read in the middle of the body
};

struct SReplayOptions {
  // The three stages of the stroke filter, on as on a freshly opened port.
  bool validation = true;
  bool smoothing = true;
  bool antiStreak = true;
  // Where the pod sits and the board height, as TQSetPodLocation and
  // TQSetBoardHeight set them on a port: what a tool that shows the pen on a
  // host replays with. A freshly opened port's values by default.
  int32_t podLocation = 0;
  int32_t boardHeight = 0;
  // New .val and .out captures of what the replay let through and delivered,
  // as TQReadFileData writes them: beside the file, under its name less its
  // last four characters. A tool that only looks leaves them off.
  bool writeCaptures = true;
  // Where the captures go instead (the name before ".val"/".out"); the only
  // place for a replay from memory, which has no file name.
  const char* captureBase = nullptr;
};

struct SReplayStats {
  SCaptureHeader header;  // as decoded, also when it was not accepted
  bool headerRead = false;
  uint64_t bytes = 0;  // body bytes replayed
  // The filter's counters at the end of the replay.
  uint32_t pushed = 0;
  uint32_t rejected = 0;
  uint32_t streaksCut = 0;
  // Why the file could not be opened (CannotOpen, NotRegularFile).
  CFileException openError;
};

// `stats` may be null. Pen messages are sent to `window` during the call;
// what boards below version 2.0 post arrives through the window thread's
// queue afterwards. Only a regular file is replayed, read in bounded blocks,
// held without sharing meanwhile; the open never waits on a FIFO or device.
ReplayStatus ReplayCaptureFile(const char* path, HWND window, const SReplayOptions& options,
                               SReplayStats* stats);
ReplayStatus ReplayCaptureBytes(const uint8_t* data, size_t size, HWND window, const SReplayOptions& options,
                                SReplayStats* stats);

}  // namespace tq
