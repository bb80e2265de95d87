// tq serve's web side against clients that do not behave: sockets that
// trickle their requests, a request of endless headers, a thousand viewers at
// once, slow viewers joining a long session. Real sockets on the loopback,
// the hub and the server in this process.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serve/ServeHttp.h"
#include "serve/ServeHub.h"
#include "support/HttpProbe.h"
#include "support/OneHourSession.h"

namespace {

using Clock = std::chrono::steady_clock;
using tqtool::BoardMessage;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlack = 20.0;
#else
constexpr double kSlack = 1.0;
#endif

struct Served {
  explicit Served(tqtool::ServeLimits limits = {}, tqtool::ServeHttpLimits httpLimits = {})
      : hub(limits), http(hub, httpLimits) {
    hub.SetBoard(3396, 4572, "3.1");
    hub.PostState(true, true);
    std::string error;
    EXPECT_TRUE(http.Bind(tqtool::ListenAddress{"127.0.0.1", 0}, error)) << error;
    EXPECT_TRUE(http.Start());
  }
  ~Served() {
    hub.Stop();
    http.Stop();
  }
  tqtool::ServeHub hub;
  tqtool::ServeHttp http;
};

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Send(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// True when the server ended the connection within `ms`: end of stream or reset.
bool ClosedWithin(int fd, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return true;
  }
  return false;
}

size_t RssBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return static_cast<size_t>(std::stoull(line.substr(6))) * 1024;
  }
  return 0;
}

void RaiseFileLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

BoardMessage Pen(UINT message, int x, int y, int code = 1) {
  BoardMessage m;
  m.message = message;
  m.x = x;
  m.y = y;
  m.code = code;
  return m;
}

// Forty sockets that send their request a byte at a time hold nothing the
// page needs, and each is cut once its head's deadline passes, however
// steadily it trickles.
TEST(ServeLimits, TricklingClientsDoNotHoldThePageAndAreCutAtTheirDeadline) {
  tqtool::ServeHttpLimits limits;
  limits.headSeconds = 2;
  Served served({}, limits);
  const int port = served.http.Port();
  std::vector<int> tricklers;
  for (int i = 0; i < 40; ++i) {
    const int fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Send(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));
    tricklers.push_back(fd);
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    while (trickling) {
      for (const int fd : tricklers) send(fd, "a", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  const auto start = Clock::now();
  double slowestMs = 0.0;
  while (Clock::now() - start < std::chrono::milliseconds(1500)) {
    const auto asked = Clock::now();
    const tqtest::HttpReply page = tqtest::Get(port, "/");
    slowestMs = std::max(slowestMs, std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
    EXPECT_EQ(page.status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_LT(slowestMs, 1000.0 * kSlack);
  // Cut at 2 s from their first byte, though a byte came every 200 ms.
  size_t cut = 0;
  for (const int fd : tricklers) cut += ClosedWithin(fd, 2500);
  trickling = false;
  trickle.join();
  EXPECT_EQ(cut, tricklers.size());
  for (const int fd : tricklers) close(fd);
}

// A request of 300,000 headers is refused while it is read: the server's
// memory does not grow with it.
TEST(ServeLimits, ARequestOfEndlessHeadersIsRefusedWithoutGrowingTheServer) {
  Served served;
  std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (int i = 0; i < 300000; ++i) request += "X-H-" + std::to_string(i) + ": v\r\n";
  request += "\r\n";
  const size_t before = RssBytes();
  const tqtest::HttpReply reply = tqtest::RawRequest(served.http.Port(), request, 10000);
  const size_t after = RssBytes();
  EXPECT_TRUE(reply.status == 431 || reply.status == 0) << reply.head;
  EXPECT_LT(after, before + 10 * 1024 * 1024) << before << " -> " << after;
  EXPECT_EQ(tqtest::Get(served.http.Port(), "/").status, 200);
}

// A thousand viewers on the loopback at once all get every event; the next
// one beyond the limit is answered 503.
TEST(ServeLimits, AThousandViewersAllGetTheEvents) {
  RaiseFileLimit();
  constexpr size_t kViewers = 1000;
  tqtool::ServeLimits limits;
  limits.maxViewers = kViewers;
  tqtool::ServeHttpLimits httpLimits;
  httpLimits.maxViewers = kViewers;
  Served served(limits, httpLimits);
  const int port = served.http.Port();
  std::vector<int> fds;
  for (size_t i = 0; i < kViewers; ++i) {
    const int fd = Connect(port);
    ASSERT_GE(fd, 0) << i;
    ASSERT_TRUE(Send(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    fds.push_back(fd);
  }
  for (int i = 0; i < 1000 && served.hub.Counts().viewers < kViewers; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(served.hub.Counts().viewers, kViewers);
  EXPECT_EQ(tqtest::RawRequest(port, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 3000).status,
            503);

  served.hub.Post(Pen(TQ_MSG_PEN_DOWN, 10, 10));
  for (int i = 0; i < 50; ++i) served.hub.Post(Pen(TQ_MSG_PEN_MOVE, 10 + i, 10));
  served.hub.Post(Pen(TQ_MSG_PEN_UP, 60, 10, 0));
  const std::string last = "{\"type\":\"up\",\"x\":60,\"y\":10,\"pen\":1}";
  std::vector<std::string> text(kViewers);
  std::vector<bool> done(kViewers, false);
  size_t finished = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (finished < kViewers && Clock::now() < deadline) {
    std::vector<pollfd> entries;
    for (size_t i = 0; i < kViewers; ++i) {
      if (!done[i]) entries.push_back(pollfd{fds[i], POLLIN, 0});
    }
    if (poll(entries.data(), entries.size(), 100) <= 0) continue;
    for (const pollfd& entry : entries) {
      if ((entry.revents & (POLLIN | POLLHUP)) == 0) continue;
      const size_t i = static_cast<size_t>(std::find(fds.begin(), fds.end(), entry.fd) - fds.begin());
      char buffer[16384];
      const ssize_t n = recv(entry.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) {
        done[i] = true;  // ended early: counted below as a failure
        ++finished;
        continue;
      }
      text[i].append(buffer, static_cast<size_t>(n));
      if (text[i].find(last) != std::string::npos) {
        done[i] = true;
        ++finished;
      }
    }
  }
  size_t complete = 0;
  for (const std::string& t : text) complete += t.find(last) != std::string::npos && t.find("\"x\":59,") != std::string::npos;
  EXPECT_EQ(complete, kViewers);
  for (const int fd : fds) close(fd);
}

// Slow viewers joining an hour-long page each get its snapshot, shared, not
// a copy of the history each: the server's memory stays bounded, and a viewer
// that reads keeps getting the ink at once.
TEST(ServeLimits, SlowViewersJoiningALongSessionCostLittleAndDelayNoOne) {
  tqtool::ServeLimits limits;
  limits.inbox = 1 << 20;
  Served served(limits);
  tqtool::ServeHub& hub = served.hub;
  const tqtest::SessionCounts session = tqtest::WriteSession([&](const BoardMessage& m) { hub.Post(m); });
  hub.Flush();
  ASSERT_GT(session.points, 200000u);
  const size_t snapshotBytes = hub.Snapshot()->size();
  EXPECT_LT(snapshotBytes, 2u * 1024 * 1024);

  tqtest::EventStream reader(served.http.Port());
  ASSERT_TRUE(reader.ReadUntil([](const auto& e) { return e.size() >= 2; }, 10000 * static_cast<int>(kSlack)));
  const size_t before = RssBytes();
  // 32 viewers on thin links that read 1 KiB every 20 ms.
  std::vector<int> slow;
  for (int i = 0; i < 32; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(served.http.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(Send(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    slow.push_back(fd);
  }
  std::atomic<bool> reading{true};
  std::thread sip([&] {
    while (reading) {
      for (const int fd : slow) {
        char buffer[1024];
        recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (int i = 0; i < 500 && hub.Counts().viewers < 33; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(hub.Counts().viewers, 33u);

  // Two seconds of writing as fast as the board does; each move's x says
  // when it was handed over.
  constexpr int kMoves = 200;
  std::vector<Clock::time_point> posted(kMoves);
  std::thread board([&] {
    hub.Post(Pen(TQ_MSG_PEN_DOWN, 0, 7));
    for (int i = 0; i < kMoves; ++i) {
      posted[i] = Clock::now();
      hub.Post(Pen(TQ_MSG_PEN_MOVE, i, 7));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const bool all = reader.ReadUntil(
      [](const auto& e) { return !e.empty() && e.back().data.find("\"x\":199,\"y\":7") != std::string::npos; }, 10000);
  board.join();
  ASSERT_TRUE(all);
  const size_t after = RssBytes();
  reading = false;
  sip.join();
  double worstMs = 0.0;
  for (const tqtest::StreamEvent& event : reader.Events()) {
    int x = 0;
    if (std::sscanf(event.data.c_str(), "{\"type\":\"move\",\"x\":%d,\"y\":7,", &x) != 1) continue;
    worstMs = std::max(worstMs, std::chrono::duration<double, std::milli>(event.at - posted[x]).count());
  }
  EXPECT_LT(worstMs, 50.0 * kSlack * (kSlack > 1.0 ? 1.5 : 1.0));
  // The snapshot is the hub's one copy: 32 joiners add their connections'
  // buffers, not 32 pages.
  EXPECT_LT(after, before + 16 * 1024 * 1024) << before << " -> " << after;
  for (const int fd : slow) close(fd);
}

// Listening beyond the loopback, one address may hold only so many
// connections; the next is closed at once, and a place that frees up is
// taken again.
TEST(ServeLimits, OneAddressHoldsOnlyItsShareOfConnections) {
  tqtool::ServeHub hub;
  tqtool::ServeHttpLimits limits;
  limits.perAddress = 8;
  tqtool::ServeHttp http(hub, limits);
  std::string error;
  ASSERT_TRUE(http.Bind(tqtool::ListenAddress{"0.0.0.0", 0}, error)) << error;
  EXPECT_TRUE(http.BeyondLoopback());
  ASSERT_TRUE(http.Start());
  std::vector<int> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(Connect(http.Port()));
    ASSERT_TRUE(Send(held.back(), "GET / HTTP/1.1\r\n"));  // a head not yet finished
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int beyond = Connect(http.Port());
  EXPECT_TRUE(ClosedWithin(beyond, 2000));
  close(beyond);
  close(held.back());
  held.pop_back();
  bool served = false;
  for (int i = 0; i < 20 && !served; ++i) {
    served = tqtest::Get(http.Port(), "/").status == 200;
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(served);
  for (const int fd : held) close(fd);
  hub.Stop();
  http.Stop();
}

// Pictures of an hour-long page asked for many at once are drawn off the
// server's thread, a few at a time, the same drawing shared: all are
// answered alike, and the page is served meanwhile.
TEST(ServeLimits, ManyPicturesAtOnceShareTheirDrawingAndHoldNothingUp) {
  tqtool::ServeLimits limits;
  limits.inbox = 1 << 20;
  Served served(limits);
  tqtest::WriteSession([&](const BoardMessage& m) { served.hub.Post(m); }, 900.0);
  served.hub.Flush();
  const int port = served.http.Port();
  constexpr int kAsked = 16;
  std::vector<tqtest::HttpReply> replies(kAsked);
  std::vector<std::thread> askers;
  for (int i = 0; i < kAsked; ++i) {
    askers.emplace_back([&, i] { replies[i] = tqtest::RawRequest(port, "GET /page/1.pdf HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 30000); });
  }
  const auto asked = Clock::now();
  const tqtest::HttpReply page = tqtest::Get(port, "/");
  const double pageMs = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
  for (std::thread& asker : askers) asker.join();
  EXPECT_EQ(page.status, 200);
  EXPECT_LT(pageMs, 1000.0 * kSlack);
  for (int i = 0; i < kAsked; ++i) {
    EXPECT_EQ(replies[i].status, 200) << i << ": " << replies[i].head;
    EXPECT_EQ(replies[i].body.rfind("%PDF", 0), 0u) << i;
    EXPECT_EQ(replies[i].body.size(), replies[0].body.size()) << i;
  }
  // Kept while the page does not change: the next one is not drawn again.
  const auto again = Clock::now();
  EXPECT_EQ(tqtest::Get(port, "/page/1.pdf").body.size(), replies[0].body.size());
  const double keptMs = std::chrono::duration<double, std::milli>(Clock::now() - again).count();
  EXPECT_LT(keptMs, 200.0 * kSlack);
}

}  // namespace
