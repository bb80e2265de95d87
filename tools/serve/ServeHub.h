// The board's messages for people watching from elsewhere: each one becomes a
// small JSON event with an id, kept in a log and handed to every viewer.
//
// The board's reader thread must never wait for a viewer: a viewer on a slow
// link, or one that stopped reading, would otherwise hold the pen up. So the
// window procedure only copies the message into a bounded inbox and returns;
// the hub's broadcaster thread turns it into events, appends them to the log
// and copies them into each viewer's bounded buffer. A viewer whose buffer is
// full is dropped at once; its browser reconnects and asks for what it missed
// by the last id it saw.
//
// Events (the "data" of one Server-Sent Event):
//   {"type":"down"|"move"|"up","x":X,"y":Y,"pen":CODE}   a pen message
//   {"type":"erase","corners":[[X,Y],...4],"gone":[[X,Y],...]}   the stroke
//        just ended was the eraser's footprint, not ink: it is gone, and so
//        is every point of earlier ink on the page at the places "gone" lists
//        (the pieces that remain are cut there)
//   {"type":"page","page":K}   the board flushed a written page; K is new
//   {"type":"board","code":C} | {"type":"comm","code":C}   board event, line error
//   {"type":"state","connected":B,"live":B}   the board's link changed
// A viewer's stream starts with a "hello" event without an id: the board's
// drawn area, the current page and state, whether what follows resumes the
// viewer's own picture ("resume":true) or starts the current page afresh, and
// the pens' colours by code ("colours":["#RRGGBB",...], codes beyond them
// share them in turn).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ink/StrokeModel.h"
#include "TQApi.h"

namespace tqtool {

struct ServeLimits {
  size_t inbox = 8192;          // board messages waiting for the broadcaster
  size_t viewerBuffer = 4096;   // events waiting for one viewer
  size_t maxViewers = 32;
  // Events kept for viewers that join or come back: some 80 MB, more than an
  // hour of writing without a pause (the board sends at most ~107 a second).
  size_t log = size_t{1} << 19;
};

// One host message, copied out of the window procedure's arguments.
struct BoardMessage {
  UINT message = 0;
  int x = 0, y = 0, code = 0;  // pen messages
  uint64_t wParam = 0;         // other messages
  int64_t lParam = 0;
};

BoardMessage CopyMessage(UINT message, WPARAM wParam, LPARAM lParam);

class ServeHub;

// One connected viewer: its bounded buffer of events not yet written.
class Viewer {
 public:
  // Waits up to `wait` for events and appends them to `out`. False when the
  // viewer was dropped or the hub stops: its stream is to end.
  bool Take(std::string& out, std::chrono::milliseconds wait);

 private:
  friend class ServeHub;
  std::mutex m_lock;
  std::condition_variable m_ready;
  std::deque<std::shared_ptr<const std::string>> m_buffer;
  bool m_closed = false;
};

struct ServeCounts {
  uint64_t events = 0;      // events logged
  uint64_t lostInbox = 0;   // board messages lost to a full inbox
  uint64_t dropped = 0;     // viewers dropped for not reading
  size_t viewers = 0;       // viewers connected now
};

class ServeHub {
 public:
  explicit ServeHub(ServeLimits limits = {});
  ~ServeHub();
  ServeHub(const ServeHub&) = delete;
  ServeHub& operator=(const ServeHub&) = delete;

  // The board's width and largest height as the port reports them; viewers
  // are told the area drawn (square when the height is 0).
  void SetBoard(unsigned width, unsigned height, const std::string& version);
  // From the window procedure: never waits for the broadcaster or a viewer.
  // False when the inbox is full and the message is lost.
  bool Post(const BoardMessage& message);
  // The board's link: connected (the port is open) and live (not silent).
  void PostState(bool connected, bool live);
  // Returns once everything posted so far is logged and handed out.
  void Flush();

  // A new viewer, or null when `maxViewers` are connected. `first` receives
  // the hello event and what the viewer is to see before live events: the
  // events after `lastEventId` when the log still holds them, else the
  // current page from its start.
  std::shared_ptr<Viewer> Join(std::optional<uint64_t> lastEventId, std::string& first);
  void Leave(const std::shared_ptr<Viewer>& viewer);

  // A copy of the strokes and pages so far, for the export of a page.
  StrokeModel Model() const;
  ServeCounts Counts() const;
  void Stop();

 private:
  struct Entry {
    uint64_t id;
    std::shared_ptr<const std::string> text;
  };
  void Run();
  void Handle(const BoardMessage& message);
  void Publish(const std::string& json);
  std::string Hello(bool resume) const;

  const ServeLimits m_limits;
  // Inbox: the window procedure and the broadcaster.
  mutable std::mutex m_inboxLock;
  std::condition_variable m_inboxReady, m_inboxDrained;
  std::deque<BoardMessage> m_inbox;
  bool m_busy = false;
  bool m_stopping = false;
  uint64_t m_lostInbox = 0;
  // Everything below: the broadcaster writes, viewers joining read, under m_lock.
  mutable std::mutex m_lock;
  StrokeModel m_model;
  std::string m_version;
  bool m_connected = false, m_live = false;
  const uint64_t m_firstId;
  uint64_t m_nextId;
  uint64_t m_pageStartId;
  std::deque<Entry> m_log;
  std::vector<std::shared_ptr<Viewer>> m_viewers;
  uint64_t m_dropped = 0;
  bool m_closed = false;
  std::thread m_broadcaster;
};

// The "id:" and "data:" lines of one event, as an event stream carries it.
std::string StreamEvent(uint64_t id, const std::string& json);

}  // namespace tqtool
