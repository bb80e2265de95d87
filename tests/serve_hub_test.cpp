// The hub and the web routes of tq serve in one process, fed messages as the
// board's window procedure hands them over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "serve/ServeHttp.h"
#include "serve/ServeHub.h"
#include "support/HttpProbe.h"

namespace {

using tqtest::EventStream;
using tqtool::BoardMessage;
using Clock = std::chrono::steady_clock;

// How late a reading viewer may get an event while another has stopped
// reading. Under a sanitizer every step is many times slower and a second of
// fast writing backs up by itself; the bound then only tells a hub that waits
// out the stuck viewer's 3-second send timeout from one that does not.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kWorstDelayMs = 1500.0;
#else
constexpr double kWorstDelayMs = 50.0;
#endif

BoardMessage Pen(UINT message, int x, int y, int code = 1) {
  BoardMessage m;
  m.message = message;
  m.x = x;
  m.y = y;
  m.code = code;
  return m;
}

BoardMessage Flush() {
  BoardMessage m;
  m.message = TQ_MSG_BOARD_EVENT;
  m.wParam = 0;
  return m;
}

void Stroke(tqtool::ServeHub& hub, const std::vector<std::pair<int, int>>& points, int code = 1) {
  for (size_t i = 0; i < points.size(); ++i) {
    hub.Post(Pen(i == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, points[i].first, points[i].second, code));
  }
  hub.Post(Pen(TQ_MSG_PEN_UP, points.back().first, points.back().second, 0));
}

struct Served {
  explicit Served(tqtool::ServeLimits limits = {}) : hub(limits), http(hub, limits.maxViewers) {
    hub.SetBoard(3396, 4572, "3.1");
    hub.PostState(true, true);
    std::string error;
    EXPECT_TRUE(http.Bind(tqtool::ListenAddress{"127.0.0.1", 0}, error)) << error;
    http.Start();
  }
  ~Served() {
    hub.Stop();
    http.Stop();
  }
  tqtool::ServeHub hub;
  tqtool::ServeHttp http;
};

TEST(ServeHub, EraserAndPageBreakBecomeEventsAndPagesStayReachable) {
  Served served;
  tqtool::ServeHub& hub = served.hub;
  EventStream viewer(served.http.Port());
  ASSERT_TRUE(viewer.ReadUntil([](const auto& e) { return !e.empty(); }, 5000));

  Stroke(hub, {{100, 100}, {200, 100}, {300, 100}, {400, 100}});
  // The eraser's outline: corners 1, 2, 3, 1, 4, 3, 4, 2 around (180..320, 80..120).
  Stroke(hub, {{180, 80}, {320, 80}, {320, 120}, {180, 80}, {180, 120}, {320, 120}, {180, 120}, {320, 80}}, 0);
  hub.Post(Flush());
  hub.Post(Flush());  // a flush of the empty new page starts nothing
  Stroke(hub, {{500, 500}, {600, 600}}, 2);
  hub.Flush();

  // Two strokes of ink; the outline between them ends in an erase, not an up.
  ASSERT_TRUE(viewer.ReadUntil([](const auto& e) { return tqtest::OfType(e, "up").size() >= 2; }, 5000));
  const auto erase = tqtest::OfType(viewer.Events(), "erase");
  ASSERT_EQ(erase.size(), 1u);
  EXPECT_NE(erase[0].find("\"corners\":[[180,80],[320,80],[320,120],[180,120]]"), std::string::npos) << erase[0];
  // The places of ink under it, for the page to cut its pieces there.
  EXPECT_NE(erase[0].find("\"gone\":[[200,100],[300,100]]"), std::string::npos) << erase[0];
  // The outline is no ink: no pen event of it, only the erase.
  EXPECT_EQ(tqtest::OfType(viewer.Events(), "down").size(), 2u);
  // Pages count from 1, as tq export --page does.
  const auto pages = tqtest::OfType(viewer.Events(), "page");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_NE(pages[0].find("\"page\":2"), std::string::npos);
  EXPECT_EQ(tqtest::OfType(viewer.Events(), "board").size(), 2u);

  // A late viewer starts at the new page: its snapshot holds the second
  // page's stroke only.
  EventStream late(served.http.Port());
  ASSERT_TRUE(late.ReadUntil([](const auto& e) { return !tqtest::OfType(e, "snapshot").empty(); }, 5000));
  EXPECT_NE(late.Events()[0].data.find("\"page\":2"), std::string::npos);
  const auto snapshot = tqtest::OfType(late.Events(), "snapshot");
  EXPECT_NE(snapshot[0].find("\"strokes\":[{\"pen\":2,\"deltas\":[500,500,100,100]}]"), std::string::npos)
      << snapshot[0];
  EXPECT_TRUE(tqtest::OfType(late.Events(), "erase").empty());

  // Each page as the export draws it, the earlier one still there; there is
  // no page 0.
  const tqtest::HttpReply first = tqtest::Get(served.http.Port(), "/page/1.svg");
  const tqtest::HttpReply second = tqtest::Get(served.http.Port(), "/page/2.svg");
  const tqtest::HttpReply document = tqtest::Get(served.http.Port(), "/page/1.pdf");
  EXPECT_EQ(first.status, 200);
  EXPECT_NE(first.head.find("image/svg+xml"), std::string::npos);
  EXPECT_NE(first.body.find("<svg"), std::string::npos);
  EXPECT_EQ(second.status, 200);
  EXPECT_NE(first.body, second.body);
  EXPECT_EQ(document.status, 200);
  EXPECT_EQ(document.body.rfind("%PDF", 0), 0u);
  EXPECT_EQ(tqtest::Get(served.http.Port(), "/page/3.svg").status, 404);
  EXPECT_EQ(tqtest::Get(served.http.Port(), "/page/0.svg").status, 404);
}

// The page draws what the hello says: the board's area (square when the
// board gave no height) and the pens' colours the documents use.
TEST(ServeHub, TheHelloTellsTheAreaDrawnAndThePensColours) {
  struct {
    unsigned width, height;
    const char* area;
  } const cases[] = {{3396, 4572, "\"width\":3396,\"height\":4572"},
                     {5340, 0, "\"width\":5340,\"height\":5340"}};
  for (const auto& c : cases) {
    tqtool::ServeHub hub;
    hub.SetBoard(c.width, c.height, "3.1");
    std::string first;
    ASSERT_NE(hub.Join(std::nullopt, first), nullptr);
    EXPECT_NE(first.find(c.area), std::string::npos) << first;
    EXPECT_NE(first.find("\"colours\":[\"#1b1b1b\",\"#1f5fbf\",\"#c0392b\",\"#1e8449\",\"#8e44ad\","
                         "\"#d35400\",\"#117a65\",\"#7d6608\"]}"),
              std::string::npos)
        << first;
  }
}

TEST(ServeHub, AViewerThatDoesNotReadIsDroppedWithoutDelayingTheOthers) {
  tqtool::ServeLimits limits;
  limits.viewerBuffer = 256;
  Served served(limits);
  tqtool::ServeHub& hub = served.hub;
  EventStream stuck(served.http.Port(), "", 4096);  // never read again
  EventStream reader(served.http.Port());
  ASSERT_TRUE(reader.ReadUntil([](const auto& e) { return !e.empty(); }, 5000));
  for (int i = 0; i < 200 && hub.Counts().viewers < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(hub.Counts().viewers, 2u);

  // A fast writer for a second: far more than the stuck viewer's socket and
  // buffer hold. Each move's x says when it was handed over.
  constexpr int kMoves = 6000;
  std::vector<Clock::time_point> posted(kMoves);
  std::thread board([&] {
    hub.Post(Pen(TQ_MSG_PEN_DOWN, 0, 0));
    for (int i = 0; i < kMoves; ++i) {
      posted[i] = Clock::now();
      hub.Post(Pen(TQ_MSG_PEN_MOVE, i, 7));
      std::this_thread::sleep_for(std::chrono::microseconds(150));
    }
  });
  const bool all = reader.ReadUntil([](const auto& e) { return tqtest::OfType(e, "move").size() >= kMoves; }, 20000);
  board.join();
  ASSERT_TRUE(all);

  double worstMs = 0.0;
  for (const tqtest::StreamEvent& event : reader.Events()) {
    int x = 0, y = 0, code = 0;
    if (std::sscanf(event.data.c_str(), "{\"type\":\"move\",\"x\":%d,\"y\":%d,\"pen\":%d}", &x, &y, &code) != 3) continue;
    ASSERT_LT(x, kMoves);
    worstMs = std::max(worstMs, std::chrono::duration<double, std::milli>(event.at - posted[x]).count());
  }
  EXPECT_LT(worstMs, kWorstDelayMs);
  EXPECT_EQ(hub.Counts().dropped, 1u);
  EXPECT_EQ(hub.Counts().viewers, 1u);
  EXPECT_EQ(hub.Counts().lostInbox, 0u);
}

BoardMessage Check(LPARAM lParam) {
  BoardMessage m;
  m.message = TQ_MSG_BOARD_CHECK;
  m.lParam = lParam;
  return m;
}

TEST(ServeHub, TheBoardIsSilentAfterTheWatchdogsCheckAndLiveWhenItSpeaks) {
  struct Case {
    const char* what;
    std::vector<BoardMessage> messages;
    std::vector<std::string> states;  // "connected live" of each state event after the first
  };
  BoardMessage lineError;
  lineError.message = TQ_MSG_COMM_ERROR;
  lineError.wParam = 2;
  const Case cases[] = {
      {"watchdog check", {Check(0)}, {"true false"}},
      {"check twice", {Check(0), Check(0)}, {"true false"}},
      {"pen after silence", {Check(0), Pen(TQ_MSG_PEN_DOWN, 1, 1)}, {"true false", "true true"}},
      {"flush after silence", {Check(0), Flush()}, {"true false", "true true"}},
      // A board below 2.0 posts the check, with its port, for its "v" packet.
      {"a short-form board's v packet", {Check(0), Check(3)}, {"true false", "true true"}},
      {"v packet while live", {Check(3)}, {}},
      {"a line error is no sign of life", {Check(0), lineError}, {"true false"}},
  };
  for (const Case& c : cases) {
    Served served;
    served.hub.Flush();
    EventStream viewer(served.http.Port());
    // Joined before the case's messages: they arrive as events, not in its hello.
    for (int i = 0; i < 500 && served.hub.Counts().viewers < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (const BoardMessage& m : c.messages) served.hub.Post(m);
    served.hub.PostState(false, false);  // the end of each case
    ASSERT_TRUE(viewer.ReadUntil([](const auto& e) { return tqtest::OfType(e, "state").size() >= 1 &&
                                                            e.back().data.find("\"connected\":false") != std::string::npos; }, 5000))
        << c.what;
    // The hello tells the state the viewer joined in, the state events each change.
    std::vector<std::string> states;
    for (const tqtest::StreamEvent& event : viewer.Events()) {
      const std::string& data = event.data;
      if (data.find("\"type\":\"state\"") == std::string::npos && data.find("\"type\":\"hello\"") == std::string::npos) {
        continue;
      }
      auto flag = [&](const std::string& key) {
        return data.find("\"" + key + "\":true") != std::string::npos ? "true" : "false";
      };
      states.push_back(std::string(flag("connected")) + " " + flag("live"));
    }
    ASSERT_GE(states.size(), 2u) << c.what;
    EXPECT_EQ(std::vector<std::string>(states.begin() + 1, states.end() - 1), c.states) << c.what;
  }
}

TEST(ServeHub, ListenAddresses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080}, {":9000", true, "127.0.0.1", 9000},
      {"0.0.0.0:0", true, "0.0.0.0", 0},           {"[::1]:8080", true, "::1", 8080},
      {"::1:8080", false, "", 0},                  {"127.0.0.1", false, "", 0},
      {"127.0.0.1:65536", false, "", 0},           {"127.0.0.1:80a", false, "", 0},
      {"127.0.0.1:-1", false, "", 0},              {"", false, "", 0},
  };
  for (const Case& c : cases) {
    tqtool::ListenAddress address;
    EXPECT_EQ(tqtool::ParseListenAddress(c.text, address), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
  }
}

}  // namespace
