// The board's messages as they travel between buildings: one small JSON
// object per message, the live view's form with a version, one per stream
// message, in the order the board sent them.
//
//   {"v":1,"type":"open","board":NAME,"session":ID,"start":UNIX_S,"width":W,"height":H,"version":"3.0"}
//   {"v":1,"type":"down"|"move"|"up","x":X,"y":Y,"pen":CODE}
//   {"v":1,"type":"board","code":C,"port":P}     board event (0: flush)
//   {"v":1,"type":"comm","code":C}                line error
//   {"v":1,"type":"check","code":C,"port":P}      watchdog (port 0: silent) or a
//                                                 version 1 board's sign of life
//   {"v":1,"type":"0x90","code":C,"port":P}
//   {"v":1,"type":"state","connected":B,"live":B}
//   {"v":1,"type":"close"}
//
// A session runs from its "open" to its "close"; a flush is a new page, not
// a new session.
#pragma once

#include <cstdint>
#include <string>

#include "serve/ServeHub.h"

namespace tqtool {

enum class FleetKind { Open, Close, State, Message, Unknown };

struct FleetEvent {
  FleetKind kind = FleetKind::Unknown;
  BoardMessage message;  // Message
  // Open
  std::string board, session, version;
  int64_t start = 0;  // seconds since the epoch
  unsigned width = 0, height = 0;
  // State
  bool connected = false, live = false;
};

// The JSON of one board message; "" for a message that does not travel.
std::string MessageJson(const BoardMessage& message);
std::string OpenJson(const std::string& board, const std::string& session, int64_t start,
                     unsigned width, unsigned height, const std::string& version);
std::string StateJson(bool connected, bool live);
std::string CloseJson();

// False when `json` is no event of this form (kind Unknown for a well-formed
// event of a type this version does not know, which is skipped).
bool ParseEvent(const std::string& json, FleetEvent& event);

}  // namespace tqtool
