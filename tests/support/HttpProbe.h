// A plain HTTP client for the tests of tq serve: raw requests to a loopback
// port, and a reader of an event stream that notes when each event arrived.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tqtest {

struct HttpReply {
  int status = 0;  // 0: no reply
  std::string head;
  std::string body;
};

// Sends `request` as it is to 127.0.0.1:`port` and reads until the server
// closes the connection or `timeoutMs` passes.
HttpReply RawRequest(int port, const std::string& request, int timeoutMs = 5000);
HttpReply Get(int port, const std::string& target);

struct StreamEvent {
  std::string id;    // empty for an event without one
  std::string data;
  std::chrono::steady_clock::time_point at;
};

class EventStream {
 public:
  // Connects and asks for `target`, naming `lastEventId` in the header;
  // `receiveBuffer` > 0 shrinks the socket's receive buffer (a viewer on a
  // thin link).
  explicit EventStream(int port, const std::string& lastEventId = "", int receiveBuffer = 0,
                       const std::string& target = "/events");
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Reads until done(events) holds, the stream ends or `timeoutMs` passes.
  bool ReadUntil(const std::function<bool(const std::vector<StreamEvent>&)>& done, int timeoutMs);
  int Status() const { return m_status; }
  bool Ended() const { return m_ended; }
  const std::vector<StreamEvent>& Events() const { return m_events; }

 private:
  void Feed(const char* data, size_t size);
  void Dechunk();
  void ParseEvents();

  int m_fd = -1;
  int m_status = 0;
  bool m_ended = false;
  bool m_chunked = false;
  std::string m_raw;    // bytes off the socket not yet dechunked
  std::string m_text;   // the stream's text not yet parsed into events
  bool m_haveHead = false;
  std::vector<StreamEvent> m_events;
};

// One stroke of a `snapshot` event: its pen and points (from its deltas).
struct SnapshotStroke {
  int pen = 0;
  std::vector<std::pair<int, int>> points;
  bool operator==(const SnapshotStroke&) const = default;
};
// The strokes of a snapshot event's data, the open stroke (if any) in `open`;
// false when the data is not one.
bool ParseSnapshot(const std::string& data, std::vector<SnapshotStroke>& strokes, SnapshotStroke* open = nullptr);

// The events' data of one "type", in order.
std::vector<std::string> OfType(const std::vector<StreamEvent>& events, const std::string& type);

}  // namespace tqtest
