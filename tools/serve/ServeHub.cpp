#include "serve/ServeHub.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

namespace tqtool {

namespace {

bool IsPen(UINT message) {
  return message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP;
}

std::string PenJson(const char* kind, int x, int y, int pen) {
  char text[96];
  std::snprintf(text, sizeof text, "{\"type\":\"%s\",\"x\":%d,\"y\":%d,\"pen\":%d}", kind, x, y, pen);
  return text;
}

std::string CodeJson(const char* type, uint64_t code) {
  char text[64];
  std::snprintf(text, sizeof text, "{\"type\":\"%s\",\"code\":%llu}", type,
                static_cast<unsigned long long>(code));
  return text;
}

void AppendNumber(std::string& json, long long value) {
  char number[24];
  const int n = std::snprintf(number, sizeof number, "%lld", value);
  json.append(number, static_cast<size_t>(n));
}

// "[[X,Y],...]"
template <typename Points>
std::string PointsJson(const Points& points) {
  std::string json = "[";
  for (const InkPoint& p : points) {
    json += json.size() == 1 ? "[" : ",[";
    AppendNumber(json, p.x);
    json += ',';
    AppendNumber(json, p.y);
    json += ']';
  }
  return json + "]";
}

// "[X0,Y0,DX1,DY1,...]": the first point, then each point's step from the
// one before; a stroke's steps are a few units, so this is a third of the
// size of the points written out.
std::string DeltasJson(const std::vector<InkPoint>& points) {
  std::string json = "[";
  InkPoint last{0, 0};
  for (const InkPoint& p : points) {
    if (json.size() > 1) json += ',';
    AppendNumber(json, p.x - last.x);
    json += ',';
    AppendNumber(json, p.y - last.y);
    last = p;
  }
  return json + "]";
}

std::string PieceJson(int pen, const std::vector<InkPoint>& points) {
  return "{\"pen\":" + std::to_string(pen) + ",\"deltas\":" + DeltasJson(points) + "}";
}

std::string ColoursJson(const PenStyles& pens) {
  std::string json = "[";
  for (int code = 0; code < PenStyles::kCodes; ++code) {
    json += (json.size() == 1 ? "\"" : ",\"") + ColourText(pens.For(code).rgb) + "\"";
  }
  return json + "]";
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

std::string StateJson(bool connected, bool live, bool gone, const std::string& reason) {
  std::string json = std::string("{\"type\":\"state\",\"connected\":") + (connected ? "true" : "false") +
                     ",\"live\":" + (live ? "true" : "false") + ",\"gone\":" + (gone ? "true" : "false");
  if (gone) json += ",\"reason\":\"" + Escaped(reason) + "\"";
  return json + "}";
}

// Ids of one run start at its start time in microseconds: a browser that
// reconnects to a restarted server holds an id older than its log and is
// given the current page afresh, never another run's events as its own.
uint64_t SessionBase() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

// A message the broadcaster takes as "the hub's link state changed".
constexpr UINT kStateMessage = 0xFFFF0001u;
// And one it takes as "a new session of the board starts" (x, y: its size).
constexpr UINT kSessionMessage = 0xFFFF0002u;
// Stream ids leave this many for the events of one stream message.
constexpr unsigned kIdsPerSequenceBits = 8;
// The line error the library reports when the device went away (waiting for
// line events failed): the board is unplugged or its line hung up.
constexpr uint64_t kLineGone = 8;
// An outline has eight points: a stroke of pen 0 longer than that is ink.
constexpr size_t kOutlinePoints = 8;

bool EraserBoard(const std::string& version) {
  if (version.empty()) return true;  // not known: a pen-0 stroke may be an outline
  const int major = std::atoi(version.c_str());
  return major == 2 || major == 3;
}

}  // namespace

BoardMessage CopyMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  BoardMessage copy;
  copy.message = message;
  if (IsPen(message)) {
    if (wParam != 0) {
      const SPenPoint& point = *reinterpret_cast<const SPenPoint*>(wParam);
      copy.x = point.x;
      copy.y = point.y;
      copy.code = static_cast<int>(point.code);
    }
  } else {
    copy.wParam = static_cast<uint64_t>(wParam);
  }
  copy.lParam = static_cast<int64_t>(lParam);
  return copy;
}

std::string StreamEvent(uint64_t id, const std::string& json) {
  return "id: " + std::to_string(id) + "\ndata: " + json + "\n\n";
}

// ---- Viewer ------------------------------------------------------------------

Viewer::Viewer(ServeHub& hub, std::vector<std::shared_ptr<const std::string>> head, uint64_t cursor, bool resumed)
    : m_hub(hub), m_head(std::move(head)), m_cursor(cursor), m_resumed(resumed) {}

void Viewer::SetWake(std::function<void()> wake, std::function<void()> drop) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_wake = std::move(wake);
  m_drop = std::move(drop);
}

void Viewer::Detach() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_wake = nullptr;
  m_drop = nullptr;
  m_closed = true;
}

void Viewer::Nudge() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_parked || !m_wake) return;
  m_parked = false;
  m_wake();
}

void Viewer::Close() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_closed = true;
  if (!m_parked || !m_wake) return;
  m_parked = false;
  m_wake();
}

Viewer::Read Viewer::Take(char* out, size_t max, size_t& size, const std::function<void()>& park) {
  std::lock_guard<std::mutex> guard(m_lock);
  size = 0;
  if (m_closed) return Read::End;
  while (m_headIndex < m_head.size() && size < max) {
    const std::string& part = *m_head[m_headIndex];
    const size_t n = std::min(max - size, part.size() - m_headAt);
    std::memcpy(out + size, part.data() + m_headAt, n);
    size += n;
    m_headAt += n;
    if (m_headAt == part.size()) {
      m_head[m_headIndex++].reset();
      m_headAt = 0;
    }
  }
  if (size > 0) return Read::Data;
  const Read read = m_hub.TakeFromLog(*this, out, max, size);
  if (read == Read::End) m_closed = true;
  if (read == Read::Wait) {
    m_parked = true;
    if (park) park();
  }
  return read;
}

Viewer::Read ServeHub::TakeFromLog(Viewer& viewer, char* out, size_t max, size_t& size) {
  std::lock_guard<std::mutex> guard(m_logLock);
  uint64_t cursor = viewer.m_cursor.load();
  const uint64_t oldest = m_nextPosition - m_log.size();
  if (m_closed || cursor < oldest) return Viewer::Read::End;
  while (size < max && cursor < m_nextPosition) {
    const std::string& text = *m_log[cursor - oldest];
    const size_t n = std::min(max - size, text.size() - viewer.m_offset);
    std::memcpy(out + size, text.data() + viewer.m_offset, n);
    size += n;
    viewer.m_offset += n;
    if (viewer.m_offset == text.size()) {
      viewer.m_offset = 0;
      ++cursor;
    }
  }
  viewer.m_cursor.store(cursor);
  if (size > 0) return Viewer::Read::Data;
  // Parked here, under the log's lock: the broadcaster's next append finds it.
  if (!viewer.m_listed) {
    viewer.m_listed = true;
    m_parked.push_back(viewer.shared_from_this());
  }
  return Viewer::Read::Wait;
}

// ---- Hub -----------------------------------------------------------------------

ServeHub::ServeHub(ServeLimits limits, EventIds ids)
    : m_limits(limits),
      m_idKind(ids),
      m_firstId(ids == EventIds::Run ? SessionBase() : 1),
      m_lastId(m_firstId - 1),
      m_beforeLogId(m_lastId) {
  m_broadcaster = std::thread([this] { Run(); });
}

ServeHub::~ServeHub() { Stop(); }

void ServeHub::SetBoard(unsigned width, unsigned height, const std::string& version) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_model.SetBoard(width, height);
  m_version = version;
  m_eraser = EraserBoard(version);
}

void ServeHub::SetPens(const PenStyles& pens) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_pens = pens;
  }
  BoardMessage colours;
  colours.message = kStateMessage;
  colours.wParam = 4;  // the colours changed
  Post(colours);
}

bool ServeHub::Post(const BoardMessage& message) {
  {
    std::lock_guard<std::mutex> guard(m_inboxLock);
    if (m_stopping) return false;
    if (m_inbox.size() >= m_limits.inbox) {
      ++m_lostInbox;
      return false;
    }
    m_inbox.push_back(message);
  }
  m_inboxReady.notify_one();
  return true;
}

void ServeHub::PostState(bool connected, bool live, uint64_t sequence) {
  BoardMessage state;
  state.message = kStateMessage;
  state.wParam = (connected ? 1u : 0u) | (live ? 2u : 0u);
  state.sequence = sequence;
  Post(state);
}

void ServeHub::StartSession(unsigned width, unsigned height, const std::string& version, uint64_t sequence) {
  BoardMessage session;
  session.message = kSessionMessage;
  session.x = static_cast<int>(std::min(width, 1u << 30));
  session.y = static_cast<int>(std::min(height, 1u << 30));
  session.sequence = sequence;
  {
    // Never lost to a full inbox, unlike a board message: the session's
    // messages that follow would land on the last session's page.
    std::lock_guard<std::mutex> guard(m_inboxLock);
    if (m_stopping) return;
    m_inbox.push_back(session);
    m_sessionVersions.push_back(version);
  }
  m_inboxReady.notify_one();
}

void ServeHub::Flush() {
  std::unique_lock<std::mutex> guard(m_inboxLock);
  m_inboxDrained.wait(guard, [this] { return m_stopping || (m_inbox.empty() && !m_busy); });
}

void ServeHub::Run() {
  std::deque<BoardMessage> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(m_inboxLock);
      m_busy = false;
      m_inboxDrained.notify_all();
      m_inboxReady.wait(guard, [this] { return m_stopping || !m_inbox.empty(); });
      if (m_stopping) return;
      batch.swap(m_inbox);
      for (std::string& version : m_sessionVersions) m_sessionsTaken.push_back(std::move(version));
      m_sessionVersions.clear();
      m_busy = true;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    for (const BoardMessage& message : batch) Handle(message);
    batch.clear();
    DropLagging();
    WakeParked();
  }
}

void ServeHub::SetState(bool connected, bool live, bool gone, const std::string& reason) {
  m_connected = connected;
  m_live = live;
  m_gone = gone;
  m_reason = reason;
  Publish(StateJson(m_connected, m_live, m_gone, m_reason));
}

void ServeHub::Handle(const BoardMessage& message) {
  if (message.sequence != 0 && m_idKind == EventIds::Stream) {
    std::lock_guard<std::mutex> guard(m_logLock);
    m_idFloor = message.sequence << kIdsPerSequenceBits;
  }
  if (message.message == kSessionMessage) {
    NewSession(message);
    return;
  }
  if (message.message == kStateMessage) {
    if (message.wParam & 4u) {
      Publish("{\"type\":\"colours\",\"colours\":" + ColoursJson(m_pens) + "}");
      return;
    }
    const bool connected = (message.wParam & 1u) != 0, live = (message.wParam & 2u) != 0;
    if (!connected) CloseOpenStroke();
    SetState(connected, live, false, {});
    return;
  }
  // The watchdog's check (lParam 0) says the board has gone silent; the one
  // a board below version 2.0 posts for its "v" packet (lParam: the port),
  // like any pen message or board event, says it is there.
  const bool check = message.message == TQ_MSG_BOARD_CHECK;
  const bool silent = check && message.lParam == 0;
  const bool speaks = IsPen(message.message) || message.message == TQ_MSG_BOARD_EVENT ||
                      message.message == TQ_MSG_BOARD_0x90 || (check && !silent);
  if (speaks && !m_live && m_connected) SetState(true, true, false, {});
  if (IsPen(message.message)) {
    HandlePen(message);
  } else if (message.message == TQ_MSG_BOARD_EVENT) {
    const size_t pagesBefore = m_model.Pages().size();
    const InkPage& page = m_model.Pages().back();
    const size_t strokes = page.strokes.size(), footprints = page.footprints.size();
    const bool wasOpen = m_open;
    m_model.BoardEvent(static_cast<unsigned>(message.wParam));
    // The flush ends the stroke being written, an outline included.
    if (wasOpen && message.wParam == 0) {
      const InkPoint last = m_openPoints.empty() ? InkPoint{} : m_openPoints.back();
      StrokeClosed(pagesBefore - 1, strokes, footprints, last.x, last.y);
    }
    Publish(CodeJson("board", message.wParam));
    if (m_model.Pages().size() > pagesBefore) NewPage();
  } else if (message.message == TQ_MSG_COMM_ERROR) {
    Publish(CodeJson("comm", message.wParam));
    if (message.wParam == kLineGone && m_connected) {
      CloseOpenStroke();
      SetState(false, false, true, "line error 8: the board's line went away");
    }
  } else if (silent && m_live) {
    CloseOpenStroke();
    SetState(m_connected, false, true, "the board stopped answering");
  }
}

void ServeHub::HandlePen(const BoardMessage& m) {
  const size_t pagesBefore = m_model.Pages().size();
  const InkPage& page = m_model.Pages().back();
  const size_t strokes = page.strokes.size(), footprints = page.footprints.size();
  if (m.message == TQ_MSG_PEN_DOWN) {
    if (m_open) {
      // A pen-down without the up before it: the model closes the stroke.
      const InkPoint last = m_openPoints.empty() ? InkPoint{} : m_openPoints.back();
      m_model.Pen(m.message, m.x, m.y, m.code);
      StrokeClosed(pagesBefore - 1, strokes, footprints, last.x, last.y);
    } else {
      m_model.Pen(m.message, m.x, m.y, m.code);
    }
    StartStroke(m.code, m.x, m.y);
  } else if (m.message == TQ_MSG_PEN_MOVE) {
    m_model.Pen(m.message, m.x, m.y, m.code);
    if (m_open) {
      AddPoint(m.x, m.y);
    } else {
      StartStroke(m.code, m.x, m.y);  // a stroke the board began without a down
    }
  } else {
    m_model.Pen(m.message, m.x, m.y, m.code);
    // An up with no stroke is the pen hovering: no ink, no event.
    if (m_open) StrokeClosed(pagesBefore - 1, strokes, footprints, m.x, m.y);
  }
}

void ServeHub::StartStroke(int pen, int x, int y) {
  m_open = true;
  m_openPen = pen;
  m_openPoints.assign(1, InkPoint{x, y});
  m_holding = m_eraser && pen == 0;
  if (!m_holding) Publish(PenJson("down", x, y, pen));
}

void ServeHub::AddPoint(int x, int y) {
  m_openPoints.push_back(InkPoint{x, y});
  if (!m_holding) {
    Publish(PenJson("move", x, y, m_openPen));
  } else if (m_openPoints.size() > kOutlinePoints) {
    // Longer than an outline: ink after all, sent as written.
    m_holding = false;
    for (size_t i = 0; i < m_openPoints.size(); ++i) {
      Publish(PenJson(i == 0 ? "down" : "move", m_openPoints[i].x, m_openPoints[i].y, m_openPen));
    }
  }
}

void ServeHub::StrokeClosed(size_t pageIndex, size_t strokesBefore, size_t footprintsBefore, int x, int y) {
  const InkPage& page = m_model.Pages()[pageIndex];
  const bool current = pageIndex + 1 == m_model.Pages().size();
  const bool outline = page.footprints.size() > footprintsBefore;
  if (!outline) {
    if (m_holding) {
      for (size_t i = 0; i < m_openPoints.size(); ++i) {
        Publish(PenJson(i == 0 ? "down" : "move", m_openPoints[i].x, m_openPoints[i].y, m_openPen));
      }
    }
    Publish(PenJson("up", x, y, m_openPen));
    if (page.strokes.size() > strokesBefore && current) {
      const InkStroke& stroke = page.strokes.back();
      m_pieces.push_back(Piece{stroke.pen, stroke.points, nullptr});
    }
  } else if (current || pageIndex + 2 == m_model.Pages().size()) {
    Erase(page.footprints.back());
  }
  m_open = m_holding = false;
  m_openPoints.clear();
}

void ServeHub::CloseOpenStroke() {
  if (!m_open) return;
  const size_t pageIndex = m_model.Pages().size() - 1;
  const InkPage& page = m_model.Pages().back();
  const size_t strokes = page.strokes.size(), footprints = page.footprints.size();
  const InkPoint last = m_openPoints.empty() ? InkPoint{} : m_openPoints.back();
  m_model.Finish();
  StrokeClosed(pageIndex, strokes, footprints, last.x, last.y);
}

// The footprint cuts what is left of the page where it covers it; the
// viewers are told its corners and the places of ink it took.
void ServeHub::Erase(const Footprint& footprint) {
  const FootprintBox box = BoxOf(footprint);
  std::vector<InkPoint> gone;
  std::unordered_set<uint64_t> seen;
  std::vector<Piece> left;
  left.reserve(m_pieces.size());
  for (Piece& piece : m_pieces) {
    bool cut = false;
    for (const InkPoint& p : piece.points) {
      if (box.Holds(p) && InsideFootprint(footprint, p)) {
        cut = true;
        break;
      }
    }
    if (!cut) {
      left.push_back(std::move(piece));
      continue;
    }
    Piece run{piece.pen, {}, nullptr};
    for (const InkPoint& p : piece.points) {
      if (!(box.Holds(p) && InsideFootprint(footprint, p))) {
        run.points.push_back(p);
        continue;
      }
      const uint64_t key = (uint64_t{static_cast<uint32_t>(p.x)} << 32) | static_cast<uint32_t>(p.y);
      if (seen.insert(key).second) gone.push_back(p);
      if (!run.points.empty()) left.push_back(std::move(run));
      run = Piece{piece.pen, {}, nullptr};
    }
    if (!run.points.empty()) left.push_back(std::move(run));
  }
  m_pieces = std::move(left);
  Publish("{\"type\":\"erase\",\"corners\":" + PointsJson(footprint.corners) + ",\"gone\":" + PointsJson(gone) +
          "}");
}

void ServeHub::NewSession(const BoardMessage& message) {
  std::string version;
  if (!m_sessionsTaken.empty()) {
    version = std::move(m_sessionsTaken.front());
    m_sessionsTaken.pop_front();
  }
  CloseOpenStroke();
  m_model = StrokeModel();
  m_model.SetBoard(static_cast<unsigned>(message.x), static_cast<unsigned>(message.y));
  m_version = version;
  m_eraser = EraserBoard(version);
  // The link's state is the new session's to tell (its publisher's
  // "state" follows the open), as a relay that starts at this open knows it.
  m_connected = m_live = m_gone = false;
  m_reason.clear();
  m_pieces.clear();
  m_open = m_holding = false;
  m_openPoints.clear();
  char size[96];
  std::snprintf(size, sizeof size, ",\"width\":%u,\"height\":%u,\"version\":\"", m_model.Area().width,
                m_model.Area().height);
  Publish("{\"type\":\"snapshot\",\"page\":1,\"strokes\":[],\"open\":null" + std::string(size) +
          Escaped(version) + "\"}");
}

void ServeHub::NewPage() {
  m_pieces.clear();
  Publish("{\"type\":\"page\",\"page\":" + std::to_string(m_model.Pages().size()) + "}");
}

void ServeHub::Publish(const std::string& json) {
  std::lock_guard<std::mutex> guard(m_logLock);
  const uint64_t id = std::max(m_lastId + 1, m_idFloor);
  m_lastId = id;
  m_log.push_back(std::make_shared<const std::string>(StreamEvent(id, json)));
  m_logIds.push_back(id);
  m_pageVersion = m_nextPosition++;
  if (m_log.size() > m_limits.log) {
    m_beforeLogId = m_logIds.front();
    m_log.pop_front();
    m_logIds.pop_front();
  }
}

std::optional<uint64_t> ServeHub::ResumeAt(uint64_t id) const {
  const uint64_t oldest = m_nextPosition - m_log.size();
  if (id == m_beforeLogId) return oldest;
  const auto at = std::lower_bound(m_logIds.begin(), m_logIds.end(), id);
  if (at == m_logIds.end() || *at != id) return std::nullopt;
  return oldest + static_cast<uint64_t>(at - m_logIds.begin()) + 1;
}

void ServeHub::WakeParked() {
  std::vector<std::shared_ptr<Viewer>> parked;
  {
    std::lock_guard<std::mutex> guard(m_logLock);
    parked.swap(m_parked);
    for (const auto& viewer : parked) viewer->m_listed = false;
  }
  for (const auto& viewer : parked) {
    std::lock_guard<std::mutex> guard(viewer->m_lock);
    if (!viewer->m_parked) continue;
    viewer->m_parked = false;
    if (viewer->m_wake) viewer->m_wake();
  }
}

// A viewer too far behind has stopped reading, or reads slower than the
// board writes: it is dropped, and comes back by its last id.
void ServeHub::DropLagging() {
  std::vector<std::shared_ptr<Viewer>> lagging;
  {
    std::lock_guard<std::mutex> guard(m_logLock);
    // Behind by what it could have taken since the last look, not by what
    // this batch just added: a viewer parked, or woken and not yet given its
    // turn by the web server, is keeping up.
    for (auto it = m_viewers.begin(); it != m_viewers.end();) {
      const uint64_t cursor = (*it)->m_cursor.load();
      if (!(*it)->m_listed && m_checkedPosition > cursor && m_checkedPosition - cursor > m_limits.viewerBuffer) {
        lagging.push_back(*it);
        it = m_viewers.erase(it);
        ++m_dropped;
      } else {
        ++it;
      }
    }
    m_checkedPosition = m_nextPosition;
  }
  for (const auto& viewer : lagging) {
    std::lock_guard<std::mutex> guard(viewer->m_lock);
    viewer->m_closed = true;
    if (viewer->m_parked && viewer->m_wake) {
      viewer->m_parked = false;
      viewer->m_wake();
    } else if (viewer->m_drop) {
      viewer->m_drop();
    }
  }
}

std::string ServeHub::Hello(bool resume, const std::string& reason) const {
  char text[320];
  std::snprintf(text, sizeof text,
                "{\"type\":\"hello\",\"schema\":%d,\"width\":%u,\"height\":%u,\"version\":\"%s\",\"page\":%zu,"
                "\"connected\":%s,\"live\":%s,\"gone\":%s,\"resume\":%s,",
                kStreamSchema, m_model.Area().width, m_model.Area().height, Escaped(m_version).c_str(),
                m_model.Pages().size(), m_connected ? "true" : "false", m_live ? "true" : "false",
                m_gone ? "true" : "false", resume ? "true" : "false");
  std::string json = text;
  if (!reason.empty()) json += "\"reason\":\"" + reason + "\",";
  return "data: " + json + "\"colours\":" + ColoursJson(m_pens) + "}\n\n";
}

// Under m_lock. Built once per version of the page, its pieces' text kept
// between versions: only what changed is written again.
std::shared_ptr<const std::string> ServeHub::SnapshotLocked() {
  if (m_snapshot && m_snapshotVersion == m_pageVersion) return m_snapshot;
  std::string json = "{\"type\":\"snapshot\",\"page\":" + std::to_string(m_model.Pages().size()) + ",\"strokes\":[";
  bool first = true;
  for (Piece& piece : m_pieces) {
    if (!piece.json) piece.json = std::make_shared<const std::string>(PieceJson(piece.pen, piece.points));
    if (!first) json += ',';
    json += *piece.json;
    first = false;
  }
  json += "],\"open\":";
  json += m_open && !m_holding ? PieceJson(m_openPen, m_openPoints) : "null";
  json += "}";
  uint64_t id;
  {
    std::lock_guard<std::mutex> guard(m_logLock);
    id = m_lastId;
  }
  m_snapshot = std::make_shared<const std::string>(StreamEvent(id, json));
  m_snapshotVersion = m_pageVersion;
  return m_snapshot;
}

std::shared_ptr<const std::string> ServeHub::Snapshot() {
  std::lock_guard<std::mutex> guard(m_lock);
  return SnapshotLocked();
}

std::shared_ptr<Viewer> ServeHub::Join(std::optional<uint64_t> lastEventId) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::optional<uint64_t> resumeAt;
  uint64_t next;
  std::string reason;
  {
    std::lock_guard<std::mutex> logGuard(m_logLock);
    if (m_closed || m_viewers.size() >= m_limits.maxViewers) return nullptr;
    next = m_nextPosition;
    // Resume only from an id this hub gave out and the log still holds.
    if (lastEventId) resumeAt = ResumeAt(*lastEventId);
    if (lastEventId && !resumeAt) {
      reason = *lastEventId >= m_firstId && *lastEventId <= m_lastId ? "the log no longer holds that id"
                                                                      : "not an id of this run";
    }
  }
  const bool resume = resumeAt.has_value();
  std::shared_ptr<Viewer> viewer;
  if (resume) {
    viewer = std::make_shared<Viewer>(
        *this, std::vector<std::shared_ptr<const std::string>>{std::make_shared<const std::string>(Hello(true, {}))},
        *resumeAt, true);
  } else {
    const auto snapshot = SnapshotLocked();
    viewer = std::make_shared<Viewer>(
        *this,
        std::vector<std::shared_ptr<const std::string>>{std::make_shared<const std::string>(Hello(false, reason)),
                                                        snapshot},
        next, false);
  }
  std::lock_guard<std::mutex> logGuard(m_logLock);
  m_viewers.push_back(viewer);
  return viewer;
}

std::shared_ptr<Viewer> ServeHub::Join(std::optional<uint64_t> lastEventId, std::string& first) {
  auto viewer = Join(lastEventId);
  first.clear();
  if (viewer) {
    for (const auto& part : viewer->m_head) first += *part;
  }
  return viewer;
}

void ServeHub::Leave(const std::shared_ptr<Viewer>& viewer) {
  std::lock_guard<std::mutex> guard(m_logLock);
  m_viewers.erase(std::remove(m_viewers.begin(), m_viewers.end(), viewer), m_viewers.end());
  m_parked.erase(std::remove(m_parked.begin(), m_parked.end(), viewer), m_parked.end());
}

bool ServeHub::Page(size_t number, PageCopy& copy) const {
  std::lock_guard<std::mutex> guard(m_lock);
  if (number == 0 || number > m_model.Pages().size()) return false;
  copy.page = m_model.Pages()[number - 1];
  copy.width = m_model.Width();
  copy.height = m_model.Height();
  copy.pens = m_pens;
  // An earlier page no longer changes; the current one with every event.
  copy.version = number < m_model.Pages().size() ? 0 : m_pageVersion + 1;
  return true;
}

size_t ServeHub::PageCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_model.Pages().size();
}

StrokeModel ServeHub::Model() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_model;
}

ServeCounts ServeHub::Counts() const {
  ServeCounts counts;
  {
    std::lock_guard<std::mutex> guard(m_logLock);
    counts.events = m_nextPosition;
    counts.dropped = m_dropped;
    counts.viewers = m_viewers.size();
  }
  std::lock_guard<std::mutex> guard(m_inboxLock);
  counts.lostInbox = m_lostInbox;
  return counts;
}

void ServeHub::Stop() {
  {
    std::lock_guard<std::mutex> guard(m_inboxLock);
    m_stopping = true;
  }
  m_inboxReady.notify_all();
  m_inboxDrained.notify_all();
  if (m_broadcaster.joinable()) m_broadcaster.join();
  std::vector<std::shared_ptr<Viewer>> viewers;
  {
    std::lock_guard<std::mutex> guard(m_logLock);
    m_closed = true;
    viewers.swap(m_viewers);
    m_parked.clear();
  }
  for (const auto& viewer : viewers) {
    std::lock_guard<std::mutex> guard(viewer->m_lock);
    viewer->m_closed = true;
    if (viewer->m_parked && viewer->m_wake) {
      viewer->m_parked = false;
      viewer->m_wake();
    }
  }
}

}  // namespace tqtool
