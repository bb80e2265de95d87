// The board's messages for people watching from elsewhere: each one becomes a
// small JSON event with an id, kept in a log that every viewer reads at its
// own pace. docs/stream.md describes the events for other clients.
//
// The board's reader thread must never wait for a viewer: a viewer on a slow
// link, or one that stopped reading, would otherwise hold the pen up. So the
// window procedure only copies the message into a bounded inbox and returns;
// the hub's broadcaster thread turns it into events and appends them to the
// log. A viewer is no more than a place in that log: it costs the same few
// bytes whether it is one event behind or thousands, and the broadcaster
// never copies an event per viewer. A viewer that falls too far behind is
// dropped; its browser reconnects and asks for what it missed by the last id
// it saw.
//
// What the hub sends is a clean account of the ink, whatever the board sent:
// a stroke is `down`, `move`s and `up` of one pen; the eraser's outline is
// one `erase` and never ink (on boards with an eraser, a stroke of pen 0 is
// held back until it has more points than an outline or ends as one); an
// `up` without a stroke (the pen hovering) is no event; a lost board closes
// the open stroke.
//
// A viewer that joins (or comes back after its place left the log) gets the
// page as it is now in one `snapshot` event, kept up to date with the ink:
// its size follows the ink left on the page, not the history behind it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "export/InkDocument.h"
#include "ink/StrokeModel.h"
#include "TQApi.h"

namespace tqtool {

// The version of the events' schema, in every hello (docs/stream.md).
constexpr int kStreamSchema = 2;

struct ServeLimits {
  size_t inbox = 8192;          // board messages waiting for the broadcaster
  size_t viewerBuffer = 4096;   // events a viewer may lag behind before it is dropped
  size_t maxViewers = 2000;
  // Events kept for viewers that come back: more than an hour of writing
  // without a pause (the board sends at most ~107 a second). A viewer whose
  // place has left the log gets the snapshot instead.
  size_t log = size_t{1} << 19;
};

// One host message, copied out of the window procedure's arguments.
struct BoardMessage {
  UINT message = 0;
  int x = 0, y = 0, code = 0;  // pen messages
  uint64_t wParam = 0;         // other messages
  int64_t lParam = 0;
  // The sequence of the engine's stream message it came in (a relay of a
  // board's stream); 0 for a board of this machine.
  uint64_t sequence = 0;
};

// How a hub numbers its events.
//   Run: from the server's start time in microseconds, one after the other,
//     so a browser that comes back to a restarted server is not taken for
//     one of its own viewers.
//   Stream: from the engine's stream sequence of the message that made the
//     event (sequence * 256, then one after the other): every relay of the
//     same board's stream gives the same event the same id, so a viewer
//     resumes by its Last-Event-ID on any of them.
enum class EventIds { Run, Stream };

BoardMessage CopyMessage(UINT message, WPARAM wParam, LPARAM lParam);

class ServeHub;

// One connected viewer: where it is in the stream. The web server reads its
// bytes with Take and parks it when nothing waits; the hub wakes it.
class Viewer : public std::enable_shared_from_this<Viewer> {
 public:
  enum class Read { Data, Wait, End };

  // Copies what waits for the viewer into `out` (at most `max` bytes, `size`
  // set). Wait: nothing now; `park` has been called under the viewer's lock
  // and `wake` (SetWake) follows once something arrives or the stream ends.
  // End: the viewer was dropped or the hub stopped.
  Read Take(char* out, size_t max, size_t& size, const std::function<void()>& park);
  // `wake` resumes a parked viewer; `drop` breaks the connection of one that
  // stopped reading. Both are called under the viewer's lock, never after
  // Detach.
  void SetWake(std::function<void()> wake, std::function<void()> drop);
  void Detach();
  // Wakes the viewer if it is parked (for a keep-alive comment).
  void Nudge();
  // Ends its stream: a parked viewer is woken to end it.
  void Close();
  // Whether its stream began by resuming the viewer's own picture.
  bool Resumed() const { return m_resumed; }

  Viewer(ServeHub& hub, std::vector<std::shared_ptr<const std::string>> head, uint64_t cursor, bool resumed);

 private:
  friend class ServeHub;
  ServeHub& m_hub;
  std::mutex m_lock;
  // Hello (and the snapshot, shared by every viewer of that page version),
  // sent first: the part m_headIndex, from byte m_headAt.
  std::vector<std::shared_ptr<const std::string>> m_head;
  size_t m_headIndex = 0, m_headAt = 0;
  std::atomic<uint64_t> m_cursor;  // the next event's log position
  size_t m_offset = 0;             // bytes of that event already taken
  bool m_parked = false, m_closed = false, m_resumed = false;
  bool m_listed = false;  // among the hub's parked viewers (under its log's lock)
  std::function<void()> m_wake, m_drop;
};

struct ServeCounts {
  uint64_t events = 0;      // events logged
  uint64_t lostInbox = 0;   // board messages lost to a full inbox
  uint64_t dropped = 0;     // viewers dropped for not reading
  size_t viewers = 0;       // viewers connected now
};

// One page of the board alone, for its picture.
struct PageCopy {
  InkPage page;
  unsigned width = 0, height = 0;
  PenStyles pens;
  uint64_t version = 0;  // changes whenever the page does
};

class ServeHub {
 public:
  explicit ServeHub(ServeLimits limits = {}, EventIds ids = EventIds::Run);
  ~ServeHub();
  ServeHub(const ServeHub&) = delete;
  ServeHub& operator=(const ServeHub&) = delete;

  // The board's width and largest height as the port reports them; viewers
  // are told the area drawn (square when the height is 0). Boards of
  // versions 2 and 3 have an eraser (an empty version: maybe).
  void SetBoard(unsigned width, unsigned height, const std::string& version);
  // A new session of the board (a relay's stream met its "open"), in order
  // with the messages posted: the ink, the pages and the board's size start
  // afresh, and viewers get an empty `snapshot` with the new size.
  void StartSession(unsigned width, unsigned height, const std::string& version, uint64_t sequence = 0);
  // The pens' styles: the colours go to viewers (a `colours` event), the
  // whole styles to the pages' pictures.
  void SetPens(const PenStyles& pens);
  // From the window procedure: never waits for the broadcaster or a viewer.
  // False when the inbox is full and the message is lost.
  bool Post(const BoardMessage& message);
  // The board's link: connected (the port is open) and live (not silent).
  void PostState(bool connected, bool live, uint64_t sequence = 0);
  // Returns once everything posted so far is logged and handed out.
  void Flush();

  // A new viewer, or null when `maxViewers` are connected. Its stream starts
  // with a hello and goes on after `lastEventId` when the log still holds
  // it; else with the current page's snapshot.
  std::shared_ptr<Viewer> Join(std::optional<uint64_t> lastEventId);
  // The same, the viewer's first bytes (hello and snapshot) in `first`.
  std::shared_ptr<Viewer> Join(std::optional<uint64_t> lastEventId, std::string& first);
  void Leave(const std::shared_ptr<Viewer>& viewer);

  // The current page's snapshot event, as a joining viewer gets it.
  std::shared_ptr<const std::string> Snapshot();
  // Page `number` (from 1) alone; false when there is no such page.
  bool Page(size_t number, PageCopy& copy) const;
  size_t PageCount() const;
  // A copy of the strokes and pages so far.
  StrokeModel Model() const;
  ServeCounts Counts() const;
  void Stop();

 private:
  friend class Viewer;
  struct Piece {
    int pen = 0;
    std::vector<InkPoint> points;
    std::shared_ptr<const std::string> json;
  };
  void Run();
  void Handle(const BoardMessage& message);
  void HandlePen(const BoardMessage& message);
  void StartStroke(int pen, int x, int y);
  void AddPoint(int x, int y);
  void StrokeClosed(size_t pageIndex, size_t strokesBefore, size_t footprintsBefore, int x, int y);
  void CloseOpenStroke();
  void Erase(const Footprint& footprint);
  void NewPage();
  void SetState(bool connected, bool live, bool gone, const std::string& reason);
  void Publish(const std::string& json);
  void NewSession(const BoardMessage& message);
  // The log position after the event `id`, when the log holds what follows it.
  std::optional<uint64_t> ResumeAt(uint64_t id) const;
  void WakeParked();
  void DropLagging();
  std::string Hello(bool resume, const std::string& reason) const;
  std::shared_ptr<const std::string> SnapshotLocked();
  // For Viewer::Take, under the viewer's lock: copies from the log.
  Viewer::Read TakeFromLog(Viewer& viewer, char* out, size_t max, size_t& size);

  const ServeLimits m_limits;
  // Inbox: the window procedure and the broadcaster.
  mutable std::mutex m_inboxLock;
  std::condition_variable m_inboxReady, m_inboxDrained;
  std::deque<BoardMessage> m_inbox;
  std::deque<std::string> m_sessionVersions;  // of the sessions waiting in the inbox
  std::deque<std::string> m_sessionsTaken;    // the broadcaster's, taken from there
  bool m_busy = false;
  bool m_stopping = false;
  uint64_t m_lostInbox = 0;
  // The board's state and ink: the broadcaster writes, joins read, under m_lock.
  mutable std::mutex m_lock;
  StrokeModel m_model;
  std::string m_version;
  bool m_eraser = true;
  PenStyles m_pens;
  bool m_connected = false, m_live = false, m_gone = false;
  std::string m_reason;
  // The stroke being written as the viewers see it.
  bool m_open = false, m_holding = false;
  int m_openPen = 0;
  std::vector<InkPoint> m_openPoints;  // published (or held) points
  std::vector<Piece> m_pieces;         // what is left on the current page
  uint64_t m_pageVersion = 0;          // the last event that changed the page
  std::shared_ptr<const std::string> m_snapshot;
  uint64_t m_snapshotVersion = UINT64_MAX;
  // The log and the viewers: under m_logLock, taken briefly. A viewer's
  // place is a position in the log (one after the other, from 0); the ids
  // the events carry are m_logIds, increasing, with gaps by stream.
  mutable std::mutex m_logLock;
  const EventIds m_idKind;
  uint64_t m_firstId;        // the first id this hub could give
  uint64_t m_lastId;         // the id of the last event given (m_firstId - 1 before any)
  uint64_t m_beforeLogId;    // the id of the event before the log's first
  uint64_t m_idFloor = 0;    // the id the next event takes at least (stream sequence * 256)
  uint64_t m_nextPosition = 0;
  uint64_t m_checkedPosition = 0;  // m_nextPosition when the viewers' lag was last looked at
  std::deque<std::shared_ptr<const std::string>> m_log;  // positions m_nextPosition - size .. m_nextPosition - 1
  std::deque<uint64_t> m_logIds;
  std::vector<std::shared_ptr<Viewer>> m_viewers;
  std::vector<std::shared_ptr<Viewer>> m_parked;
  uint64_t m_dropped = 0;
  bool m_closed = false;
  std::thread m_broadcaster;
};

// The "id:" and "data:" lines of one event, as an event stream carries it.
std::string StreamEvent(uint64_t id, const std::string& json);

}  // namespace tqtool
