// Every board's sessions filed as documents, the way `tq export` writes a
// capture: one file a format per session, DIR/NAME-YYYYMMDD-HHMMSS.EXT by
// the board's name and the session's start (UTC); a second session of the
// board begun in the same second is NAME-YYYYMMDD-HHMMSS-2.EXT.
//
// Each board's stream is read by a durable consumer of the engine, which
// keeps how far the archive got: a session's messages are acknowledged (all
// at once, by its "close") only after its documents are written, so an
// archiver that stops mid-session starts that session again from its
// "open" and replaces the same files, never writing a session twice.
// Between sessions what is read is acknowledged at once.
//
// A consumer whose delivered messages were not acknowledged would hold them
// until the engine's wait for an acknowledgement runs out; so, on start and
// whenever the link was lost or a message is missing, the consumer is made
// anew at the first message not acknowledged and the open session read again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fleet/FleetEvents.h"
#include "fleet/NatsLink.h"
#include "ink/StrokeModel.h"

namespace tqtool {

struct ArchiveSettings {
  std::string pattern = "*";  // board names, as a shell pattern
  std::string out;            // the directory
  // Extensions: xopp, inkml, pdf, png, svg (the first page), and events
  // (the messages as `tq replay --events` prints them).
  std::vector<std::string> formats = {"xopp", "pdf"};
  std::string durable = "tq-archive";
};

struct ArchiveCounts {
  uint64_t sessions = 0, documents = 0, failures = 0, rebuilds = 0;
};

// "" or the format that is not known.
std::string UnknownArchiveFormat(const std::vector<std::string>& formats);

// The name (without extension) of a board's session begun at `start`
// (seconds since the epoch, UTC): NAME-YYYYMMDD-HHMMSS, then -2, -3... for
// more sessions begun in that second. `lastFile` and `sameSecond` carry the
// board's last name from one session to the next.
std::string SessionFile(const std::string& board, int64_t start, std::string& lastFile, int& sameSecond);

class Archiver {
 public:
  Archiver(NatsLink& link, ArchiveSettings settings, std::string command);
  ~Archiver();
  Archiver(const Archiver&) = delete;
  Archiver& operator=(const Archiver&) = delete;

  // Follows the boards until `stop` returns true, then writes the sessions
  // still open (without acknowledging them: they are taken up again).
  void Run(const std::function<bool()>& stop);
  ArchiveCounts Counts() const { return m_counts; }

 private:
  struct Session {
    std::string board, id;
    int64_t start = 0;
    std::string file;  // NAME-YYYYMMDD-HHMMSS, with -2, -3... for more sessions that second
    StrokeModel model;
    std::vector<std::string> lines;  // for the events format
    Session() : model(true) {}
  };
  struct Board {
    std::string name;
    natsSubscription* sub = nullptr;
    uint64_t lossesSeen = 0;
    uint64_t last = 0;      // stream sequence of the last message taken
    bool fresh = true;      // no message taken since the consumer was made
    std::unique_ptr<Session> session;
    natsMsg* unacked = nullptr;  // the last message taken, kept to acknowledge
    // The file name of the last session begun, and how many began in its
    // second: a board opened again at once must not replace the session before.
    std::string lastFile;
    int sameSecond = 0;
  };

  void FindBoards();
  bool Follow(Board& board);  // false when the consumer must be made anew
  bool Subscribe(Board& board, std::string& why);
  void Drop(Board& board);
  void Take(Board& board, natsMsg* msg, uint64_t sequence);
  void Acknowledge(Board& board);
  bool Write(const Session& session);

  NatsLink& m_link;
  const ArchiveSettings m_settings;
  const std::string m_command;
  std::map<std::string, Board> m_boards;
  ArchiveCounts m_counts;
  int64_t m_lastScanUs = 0;
  const int64_t m_startUs;
};

}  // namespace tqtool
