#include "serve/ServeHub.h"

#include <algorithm>
#include <cstdio>

#include "export/InkDocument.h"
#include "ink/PenColours.h"

namespace tqtool {

namespace {

bool IsPen(UINT message) {
  return message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP;
}

const char* PenName(UINT message) {
  return message == TQ_MSG_PEN_DOWN ? "down" : (message == TQ_MSG_PEN_MOVE ? "move" : "up");
}

std::string PenJson(const BoardMessage& m) {
  char text[96];
  std::snprintf(text, sizeof text, "{\"type\":\"%s\",\"x\":%d,\"y\":%d,\"pen\":%d}", PenName(m.message),
                m.x, m.y, m.code);
  return text;
}

std::string CodeJson(const char* type, uint64_t code) {
  char text[64];
  std::snprintf(text, sizeof text, "{\"type\":\"%s\",\"code\":%llu}", type,
                static_cast<unsigned long long>(code));
  return text;
}

// "[[X,Y],...]"
template <typename Points>
std::string PointsJson(const Points& points) {
  std::string json = "[";
  for (const InkPoint& p : points) {
    char point[32];
    std::snprintf(point, sizeof point, "%s[%d,%d]", json.size() == 1 ? "" : ",", p.x, p.y);
    json += point;
  }
  return json + "]";
}

std::string EraseJson(const InkPage& page, const Footprint& footprint) {
  return "{\"type\":\"erase\",\"corners\":" + PointsJson(footprint.corners) +
         ",\"gone\":" + PointsJson(ErasedBy(page, footprint)) + "}";
}

// "["#RRGGBB",...]": the pens' colours by code, as the documents draw them.
std::string ColoursJson() {
  std::string json = "[";
  for (const uint32_t rgb : kPenColours) json += (json.size() == 1 ? "\"" : ",\"") + ColourText(rgb) + "\"";
  return json + "]";
}

std::string StateJson(bool connected, bool live) {
  return std::string("{\"type\":\"state\",\"connected\":") + (connected ? "true" : "false") +
         ",\"live\":" + (live ? "true" : "false") + "}";
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

bool Viewer::Take(std::string& out, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(m_lock);
  m_ready.wait_for(guard, wait, [this] { return m_closed || !m_buffer.empty(); });
  for (const auto& text : m_buffer) out += *text;
  m_buffer.clear();
  return !m_closed;
}

ServeHub::ServeHub(ServeLimits limits)
    : m_limits(limits), m_firstId(SessionBase()), m_nextId(m_firstId), m_pageStartId(m_firstId) {
  m_broadcaster = std::thread([this] { Run(); });
}

ServeHub::~ServeHub() { Stop(); }

void ServeHub::SetBoard(unsigned width, unsigned height, const std::string& version) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_model.SetBoard(width, height);
  m_version = version;
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

void ServeHub::PostState(bool connected, bool live) {
  BoardMessage state;
  state.message = kStateMessage;
  state.wParam = (connected ? 1u : 0u) | (live ? 2u : 0u);
  Post(state);
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
      m_busy = true;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    for (const BoardMessage& message : batch) Handle(message);
    batch.clear();
  }
}

void ServeHub::Handle(const BoardMessage& message) {
  if (message.message == kStateMessage) {
    m_connected = (message.wParam & 1u) != 0;
    m_live = (message.wParam & 2u) != 0;
    Publish(StateJson(m_connected, m_live));
    return;
  }
  // The watchdog's check (lParam 0) says the board has gone silent; the one
  // a board below version 2.0 posts for its "v" packet (lParam: the port),
  // like any pen message or board event, says it is there.
  const bool check = message.message == TQ_MSG_BOARD_CHECK;
  const bool silent = check && message.lParam == 0;
  const bool speaks = IsPen(message.message) || message.message == TQ_MSG_BOARD_EVENT ||
                      message.message == TQ_MSG_BOARD_0x90 || (check && !silent);
  if (speaks && !m_live && m_connected) {
    m_live = true;
    Publish(StateJson(m_connected, m_live));
  }
  const size_t pagesBefore = m_model.Pages().size();
  const size_t footprintsBefore = m_model.Pages().back().footprints.size();
  if (IsPen(message.message)) {
    Publish(PenJson(message));
    m_model.Pen(message.message, message.x, message.y, message.code);
  } else if (message.message == TQ_MSG_BOARD_EVENT) {
    Publish(CodeJson("board", message.wParam));
    m_model.BoardEvent(static_cast<unsigned>(message.wParam));
  } else if (message.message == TQ_MSG_COMM_ERROR) {
    Publish(CodeJson("comm", message.wParam));
  } else if (silent && m_live) {
    m_live = false;
    Publish(StateJson(m_connected, m_live));
  }
  // A stroke closed by this message may have been the eraser's outline.
  const InkPage& closedOn = m_model.Pages()[pagesBefore - 1];
  if (closedOn.footprints.size() > footprintsBefore) {
    Publish(EraseJson(closedOn, closedOn.footprints.back()));
  }
  if (m_model.Pages().size() > pagesBefore) {
    m_pageStartId = m_nextId;
    Publish("{\"type\":\"page\",\"page\":" + std::to_string(m_model.Pages().size() - 1) + "}");
  }
}

void ServeHub::Publish(const std::string& json) {
  const uint64_t id = m_nextId++;
  auto text = std::make_shared<const std::string>(StreamEvent(id, json));
  m_log.push_back(Entry{id, text});
  if (m_log.size() > m_limits.log) m_log.pop_front();
  for (auto it = m_viewers.begin(); it != m_viewers.end();) {
    Viewer& viewer = **it;
    bool drop = false;
    {
      std::lock_guard<std::mutex> guard(viewer.m_lock);
      drop = viewer.m_buffer.size() >= m_limits.viewerBuffer;
      if (drop) {
        viewer.m_closed = true;
        viewer.m_buffer.clear();
      } else {
        viewer.m_buffer.push_back(text);
      }
    }
    viewer.m_ready.notify_one();
    if (drop) {
      ++m_dropped;
      it = m_viewers.erase(it);
    } else {
      ++it;
    }
  }
}

std::string ServeHub::Hello(bool resume) const {
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"type\":\"hello\",\"width\":%u,\"height\":%u,\"version\":\"%s\",\"page\":%zu,"
                "\"connected\":%s,\"live\":%s,\"resume\":%s,\"colours\":",
                m_model.Area().width, m_model.Area().height, m_version.c_str(), m_model.Pages().size() - 1,
                m_connected ? "true" : "false", m_live ? "true" : "false", resume ? "true" : "false");
  return std::string("data: ") + text + ColoursJson() + "}\n\n";
}

std::shared_ptr<Viewer> ServeHub::Join(std::optional<uint64_t> lastEventId, std::string& first) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_closed || m_viewers.size() >= m_limits.maxViewers) return nullptr;
  // Resume only from an id this run gave out and the log still holds.
  const uint64_t oldest = m_log.empty() ? m_nextId : m_log.front().id;
  const bool resume = lastEventId && *lastEventId + 1 >= oldest && *lastEventId < m_nextId;
  const uint64_t from = resume ? *lastEventId + 1 : std::max(m_pageStartId, oldest);
  first = Hello(resume);
  const auto start = std::lower_bound(m_log.begin(), m_log.end(), from,
                                      [](const Entry& e, uint64_t id) { return e.id < id; });
  for (auto it = start; it != m_log.end(); ++it) first += *it->text;
  auto viewer = std::make_shared<Viewer>();
  m_viewers.push_back(viewer);
  return viewer;
}

void ServeHub::Leave(const std::shared_ptr<Viewer>& viewer) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_viewers.erase(std::remove(m_viewers.begin(), m_viewers.end(), viewer), m_viewers.end());
}

StrokeModel ServeHub::Model() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_model;
}

ServeCounts ServeHub::Counts() const {
  ServeCounts counts;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    counts.events = m_nextId - m_firstId;
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
  std::lock_guard<std::mutex> guard(m_lock);
  m_closed = true;
  for (const auto& viewer : m_viewers) {
    {
      std::lock_guard<std::mutex> viewerGuard(viewer->m_lock);
      viewer->m_closed = true;
    }
    viewer->m_ready.notify_all();
  }
  m_viewers.clear();
}

}  // namespace tqtool
