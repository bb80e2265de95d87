#include "support/HttpProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tqtest {

namespace {

using Clock = std::chrono::steady_clock;

int Connect(int port, int receiveBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int StatusOf(const std::string& head) {
  const size_t space = head.find(' ');
  return space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
}

}  // namespace

HttpReply RawRequest(int port, const std::string& request, int timeoutMs) {
  HttpReply reply;
  const int fd = Connect(port, 0);
  if (fd < 0) return reply;
  SendAll(fd, request);  // the server may answer and close before all of it is sent
  std::string all;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 50) <= 0) continue;
    char buffer[16384];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  const size_t end = all.find("\r\n\r\n");
  reply.head = all.substr(0, end);
  reply.body = end == std::string::npos ? std::string() : all.substr(end + 4);
  reply.status = StatusOf(reply.head);
  return reply;
}

HttpReply Get(int port, const std::string& target) {
  return RawRequest(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

EventStream::EventStream(int port, const std::string& lastEventId, int receiveBuffer,
                         const std::string& target) {
  m_fd = Connect(port, receiveBuffer);
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n";
  if (!lastEventId.empty()) request += "Last-Event-ID: " + lastEventId + "\r\n";
  if (m_fd < 0 || !SendAll(m_fd, request + "\r\n")) m_ended = true;
}

EventStream::~EventStream() {
  if (m_fd >= 0) close(m_fd);
}

bool EventStream::ReadUntil(const std::function<bool(const std::vector<StreamEvent>&)>& done,
                            int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done(m_events)) {
    if (m_ended || Clock::now() >= deadline) return false;
    pollfd entry{m_fd, POLLIN, 0};
    if (poll(&entry, 1, 20) <= 0) continue;
    char buffer[65536];
    const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      m_ended = true;
      continue;
    }
    Feed(buffer, static_cast<size_t>(n));
  }
  return true;
}

void EventStream::Feed(const char* data, size_t size) {
  m_raw.append(data, size);
  if (!m_haveHead) {
    const size_t end = m_raw.find("\r\n\r\n");
    if (end == std::string::npos) return;
    const std::string head = m_raw.substr(0, end);
    m_status = StatusOf(head);
    m_chunked = head.find("Transfer-Encoding: chunked") != std::string::npos;
    m_raw.erase(0, end + 4);
    m_haveHead = true;
  }
  if (m_chunked) {
    Dechunk();
  } else {
    m_text += m_raw;
    m_raw.clear();
  }
  ParseEvents();
}

void EventStream::Dechunk() {
  for (;;) {
    const size_t line = m_raw.find("\r\n");
    if (line == std::string::npos) return;
    const size_t size = std::strtoul(m_raw.c_str(), nullptr, 16);
    if (size == 0) {
      m_ended = true;
      return;
    }
    if (m_raw.size() < line + 2 + size + 2) return;
    m_text.append(m_raw, line + 2, size);
    m_raw.erase(0, line + 2 + size + 2);
  }
}

void EventStream::ParseEvents() {
  size_t end;
  while ((end = m_text.find("\n\n")) != std::string::npos) {
    StreamEvent event;
    event.at = Clock::now();
    size_t start = 0;
    while (start < end) {
      size_t stop = m_text.find('\n', start);
      if (stop == std::string::npos || stop > end) stop = end;
      const std::string field = m_text.substr(start, stop - start);
      if (field.rfind("id: ", 0) == 0) event.id = field.substr(4);
      if (field.rfind("data: ", 0) == 0) event.data = field.substr(6);
      start = stop + 1;
    }
    m_text.erase(0, end + 2);
    if (!event.data.empty()) m_events.push_back(event);
  }
}

namespace {

// `{"pen":P,"deltas":[...]}` at `at`; moves `at` past it.
bool ParseStroke(const std::string& data, size_t& at, SnapshotStroke& stroke) {
  const char* start = data.c_str() + at;
  int used = 0;
  if (std::sscanf(start, "{\"pen\":%d,\"deltas\":[%n", &stroke.pen, &used) != 1 || used == 0) return false;
  const char* p = start + used;
  long x = 0, y = 0;
  stroke.points.clear();
  while (*p != ']') {
    char* end = nullptr;
    const long dx = std::strtol(p, &end, 10);
    if (end == p || *end != ',') return false;
    p = end + 1;
    const long dy = std::strtol(p, &end, 10);
    if (end == p) return false;
    x += dx;
    y += dy;
    stroke.points.emplace_back(static_cast<int>(x), static_cast<int>(y));
    p = *end == ',' ? end + 1 : end;
  }
  if (p[1] != '}') return false;
  at = static_cast<size_t>(p + 2 - data.c_str());
  return true;
}

}  // namespace

bool ParseSnapshot(const std::string& data, std::vector<SnapshotStroke>& strokes, SnapshotStroke* open) {
  strokes.clear();
  size_t at = data.find("\"strokes\":[");
  if (data.find("\"type\":\"snapshot\"") == std::string::npos || at == std::string::npos) return false;
  at += 11;
  while (data[at] != ']') {
    SnapshotStroke stroke;
    if (!ParseStroke(data, at, stroke)) return false;
    strokes.push_back(stroke);
    if (data[at] == ',') ++at;
  }
  at = data.find("\"open\":", at);
  if (at == std::string::npos) return false;
  at += 7;
  if (open != nullptr) *open = SnapshotStroke{};
  if (data.compare(at, 4, "null") == 0) return true;
  SnapshotStroke last;
  if (!ParseStroke(data, at, last)) return false;
  if (open != nullptr) *open = last;
  return true;
}

std::vector<std::string> OfType(const std::vector<StreamEvent>& events, const std::string& type) {
  std::vector<std::string> data;
  const std::string tag = "\"type\":\"" + type + "\"";
  for (const StreamEvent& event : events) {
    if (event.data.find(tag) != std::string::npos) data.push_back(event.data);
  }
  return data;
}

}  // namespace tqtest
