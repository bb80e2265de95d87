// The hub and the web routes of tq serve in one process, fed messages as the
// board's window procedure hands them over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
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

namespace {

// What waits for a viewer, read straight from the hub: the data of each event.
// What waits for a viewer, event by event: its id ("" for the hello) and data.
std::vector<std::pair<std::string, std::string>> DrainEvents(tqtool::Viewer& viewer) {
  std::string text;
  std::vector<char> buffer(1 << 16);
  size_t size = 0;
  while (viewer.Take(buffer.data(), buffer.size(), size, nullptr) == tqtool::Viewer::Read::Data) {
    text.append(buffer.data(), size);
  }
  std::vector<std::pair<std::string, std::string>> events;
  std::string id;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    if (line.rfind("id: ", 0) == 0) id = line.substr(4);
    if (line.rfind("data: ", 0) == 0) {
      events.emplace_back(id, line.substr(6));
      id.clear();
    }
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return events;
}

std::vector<std::string> Drain(tqtool::Viewer& viewer) {
  std::vector<std::string> data;
  for (auto& event : DrainEvents(viewer)) data.push_back(std::move(event.second));
  return data;
}

// "down 1 2 3" for a pen event, the type alone for the others.
std::vector<std::string> Brief(const std::vector<std::string>& data) {
  std::vector<std::string> out;
  for (const std::string& d : data) {
    char kind[16] = {};
    int x = 0, y = 0, pen = 0;
    if (std::sscanf(d.c_str(), "{\"type\":\"%15[a-z]\",\"x\":%d,\"y\":%d,\"pen\":%d}", kind, &x, &y, &pen) == 4) {
      out.push_back(std::string(kind) + " " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(pen));
    } else if (std::sscanf(d.c_str(), "{\"type\":\"%15[a-z]\"", kind) == 1) {
      out.push_back(kind);
    }
  }
  return out;
}

BoardMessage Outline(int index, int l, int t, int r, int b) {
  const int corners[8][2] = {{l, t}, {r, t}, {r, b}, {l, t}, {l, b}, {r, b}, {l, b}, {r, t}};
  return Pen(index == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, corners[index][0], corners[index][1], 0);
}

}  // namespace

// Whatever the board sends, a viewer sees strokes as down, moves and up of
// one pen, the eraser as erase alone, and no up without a stroke.
TEST(ServeHub, TheStreamIsStrokesOfOnePenAndTheEraserIsNeverInk) {
  BoardMessage lineGone;
  lineGone.message = TQ_MSG_COMM_ERROR;
  lineGone.wParam = 8;
  std::vector<BoardMessage> outline;
  for (int i = 0; i < 8; ++i) outline.push_back(Outline(i, 10, 10, 60, 40));
  outline.push_back(Pen(TQ_MSG_PEN_UP, 60, 10, 0));
  std::vector<BoardMessage> longZero = {Pen(TQ_MSG_PEN_DOWN, 0, 0, 0)};
  for (int i = 1; i < 9; ++i) longZero.push_back(Pen(TQ_MSG_PEN_MOVE, i, 0, 0));
  struct Case {
    const char* what;
    const char* version;
    std::vector<BoardMessage> messages;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"the up carries the stroke's pen",
       "3.1",
       {Pen(TQ_MSG_PEN_DOWN, 1, 2, 3), Pen(TQ_MSG_PEN_MOVE, 4, 5, 3), Pen(TQ_MSG_PEN_UP, 4, 5, 0)},
       {"down 1 2 3", "move 4 5 3", "up 4 5 3"}},
      {"hovering ups are no events",
       "3.1",
       {Pen(TQ_MSG_PEN_UP, 9, 9, 0), Pen(TQ_MSG_PEN_DOWN, 1, 1, 2), Pen(TQ_MSG_PEN_UP, 1, 1, 0),
        Pen(TQ_MSG_PEN_UP, 9, 9, 0)},
       {"down 1 1 2", "up 1 1 2"}},
      {"a down without an up closes the stroke before",
       "2.1",
       {Pen(TQ_MSG_PEN_DOWN, 1, 1, 2), Pen(TQ_MSG_PEN_DOWN, 5, 5, 1), Pen(TQ_MSG_PEN_UP, 5, 5, 0)},
       {"down 1 1 2", "up 1 1 2", "down 5 5 1", "up 5 5 1"}},
      {"a move without a down starts a stroke",
       "2.1",
       {Pen(TQ_MSG_PEN_MOVE, 3, 3, 1), Pen(TQ_MSG_PEN_UP, 3, 3, 0)},
       {"down 3 3 1", "up 3 3 1"}},
      {"the eraser's outline is one erase", "3.1", outline, {"erase"}},
      {"pen 0 longer than an outline is ink", "3.1", longZero,
       {"down 0 0 0", "move 1 0 0", "move 2 0 0", "move 3 0 0", "move 4 0 0", "move 5 0 0", "move 6 0 0",
        "move 7 0 0", "move 8 0 0"}},
      {"pen 0 on a board without an eraser is ink at once", "4.0",
       {Pen(TQ_MSG_PEN_DOWN, 1, 1, 0), Pen(TQ_MSG_PEN_MOVE, 2, 2, 0)},
       {"down 1 1 0", "move 2 2 0"}},
      {"a lost line closes the stroke",
       "3.1",
       {Pen(TQ_MSG_PEN_DOWN, 1, 1, 2), Pen(TQ_MSG_PEN_MOVE, 2, 2, 2), lineGone},
       {"down 1 1 2", "move 2 2 2", "comm", "up 2 2 2", "state"}},
      {"a flush closes the stroke before the page",
       "3.1",
       {Pen(TQ_MSG_PEN_DOWN, 1, 1, 2), Flush()},
       {"down 1 1 2", "up 1 1 2", "board", "page"}},
  };
  for (const Case& c : cases) {
    tqtool::ServeHub hub;
    hub.SetBoard(3396, 4572, c.version);
    hub.PostState(true, true);
    hub.Flush();
    auto viewer = hub.Join(std::nullopt);
    ASSERT_NE(viewer, nullptr);
    Drain(*viewer);  // hello and snapshot
    for (const BoardMessage& m : c.messages) hub.Post(m);
    hub.Flush();
    EXPECT_EQ(Brief(Drain(*viewer)), c.events) << c.what;
  }
}

// A viewer joining late gets what is left on the page: the snapshot holds the
// stroke model's remaining ink, piece for piece, however the page was written.
TEST(ServeHub, TheSnapshotHoldsWhatTheStrokeModelLeavesOnThePage) {
  tqtool::ServeLimits limits;
  limits.inbox = 1 << 20;
  for (const uint32_t seed : {1u, 2u, 3u}) {
    tqtool::ServeHub hub(limits);
    hub.SetBoard(3396, 4572, "3.1");
    uint32_t state = seed;
    auto next = [&state](int range) {
      state = state * 1664525u + 1013904223u;
      return static_cast<int>((state >> 8) % static_cast<uint32_t>(range));
    };
    for (int stroke = 0; stroke < 300; ++stroke) {
      if (next(10) == 0) {  // the eraser, somewhere
        const int l = next(900), t = next(900);
        for (int i = 0; i < 8; ++i) hub.Post(Outline(i, l, t, l + 120, t + 60));
        hub.Post(Pen(TQ_MSG_PEN_UP, 0, 0, 0));
        continue;
      }
      int x = next(1000), y = next(1000);
      const int code = next(4);  // pen 0 too: ink that is held back until it is longer than an outline
      const int points = 1 + next(40);
      hub.Post(Pen(TQ_MSG_PEN_DOWN, x, y, code));
      for (int i = 1; i < points; ++i) hub.Post(Pen(TQ_MSG_PEN_MOVE, x += next(9) - 4, y += next(9) - 4, code));
      if (stroke == 299) break;  // the last one still being written
      hub.Post(Pen(TQ_MSG_PEN_UP, x, y, 0));
    }
    hub.Flush();
    const tqtool::StrokeModel model = hub.Model();
    std::vector<tqtest::SnapshotStroke> left, expected;
    tqtest::SnapshotStroke open;
    ASSERT_TRUE(tqtest::ParseSnapshot(*hub.Snapshot(), left, &open));
    for (const tqtool::InkStroke& piece : tqtool::Remaining(model.Pages().back())) {
      tqtest::SnapshotStroke s{piece.pen, {}};
      for (const tqtool::InkPoint& p : piece.points) s.points.emplace_back(p.x, p.y);
      expected.push_back(s);
    }
    EXPECT_EQ(left, expected) << "seed " << seed;
    // The stroke still open comes with it (unless it is pen 0 and short, held back).
    EXPECT_FALSE(open.points.empty() && open.pen != 0) << "seed " << seed;
  }
}

// Resuming is exact while the log holds the viewer's id; beyond it the viewer
// gets the snapshot, and its hello says it does not resume and why.
TEST(ServeHub, AViewerBeyondTheLogGetsTheSnapshotAndIsToldSo) {
  tqtool::ServeLimits limits;
  limits.log = 64;
  tqtool::ServeHub hub(limits);
  hub.SetBoard(3396, 4572, "3.1");
  hub.Post(Pen(TQ_MSG_PEN_DOWN, 100, 100, 1));
  hub.Flush();
  auto first = hub.Join(std::nullopt);
  std::string text;
  std::vector<char> buffer(1 << 16);
  size_t size = 0;
  while (first->Take(buffer.data(), buffer.size(), size, nullptr) == tqtool::Viewer::Read::Data) text.append(buffer.data(), size);
  const uint64_t early = std::stoull(text.substr(text.rfind("id: ") + 4));
  for (int i = 0; i < 10; ++i) hub.Post(Pen(TQ_MSG_PEN_MOVE, 100 + i, 100, 1));
  hub.Flush();
  auto near = hub.Join(early);
  const auto resumed = Drain(*near);
  ASSERT_EQ(resumed.size(), 11u);
  EXPECT_NE(resumed[0].find("\"resume\":true"), std::string::npos);
  for (int i = 0; i < 100; ++i) hub.Post(Pen(TQ_MSG_PEN_MOVE, 200 + i, 100, 1));
  hub.Flush();
  auto far = hub.Join(early);
  const auto restarted = Drain(*far);
  ASSERT_EQ(restarted.size(), 2u);
  EXPECT_NE(restarted[0].find("\"resume\":false,\"reason\":\"the log no longer holds that id\""), std::string::npos)
      << restarted[0];
  std::vector<tqtest::SnapshotStroke> left;
  tqtest::SnapshotStroke open;
  ASSERT_TRUE(tqtest::ParseSnapshot(restarted[1], left, &open));
  EXPECT_TRUE(left.empty());
  EXPECT_EQ(open.points.size(), 111u);  // the stroke being written, all of it
  // The viewer that was parked in the log's hold is dropped for lagging: its place is gone.
  EXPECT_EQ(first->Take(buffer.data(), buffer.size(), size, nullptr), tqtool::Viewer::Read::End);
}

// Relays of one board's stream: each hub is fed the stream's messages with
// their sequences, as tq serve --nats feeds it, and numbers its events by
// them. A viewer moves from one relay to another by its last id.
TEST(ServeHub, RelaysOfOneStreamGiveEveryEventTheSameIdAndResumeEachOthersViewers) {
  struct Sent {
    uint64_t sequence;
    std::function<void(tqtool::ServeHub&, uint64_t)> post;
  };
  const auto pen = [](UINT message, int x, int y, int code) {
    return [=](tqtool::ServeHub& hub, uint64_t sequence) {
      BoardMessage m = Pen(message, x, y, code);
      m.sequence = sequence;
      hub.Post(m);
    };
  };
  const auto session = [](unsigned width, unsigned height) {
    return [=](tqtool::ServeHub& hub, uint64_t sequence) { hub.StartSession(width, height, "3.1", sequence); };
  };
  std::vector<Sent> stream;
  uint64_t sequence = 1;
  stream.push_back({sequence++, session(3396, 4572)});
  stream.push_back({sequence++, [](tqtool::ServeHub& hub, uint64_t s) { hub.PostState(true, true, s); }});
  for (int i = 0; i < 5; ++i) stream.push_back({sequence++, pen(i == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, 100 + 10 * i, 100, 1)});
  stream.push_back({sequence++, pen(TQ_MSG_PEN_UP, 140, 100, 0)});
  // A pen-0 stroke is held back as a maybe-outline: its ninth point lets
  // nine events out at once, all from one stream message.
  for (int i = 0; i < 10; ++i) stream.push_back({sequence++, pen(i == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, 300 + 7 * i, 400, 0)});
  stream.push_back({sequence++, pen(TQ_MSG_PEN_UP, 363, 400, 0)});
  const size_t secondSession = stream.size();
  stream.push_back({sequence++, session(3396, 3396)});
  stream.push_back({sequence++, [](tqtool::ServeHub& hub, uint64_t s) { hub.PostState(true, true, s); }});
  stream.push_back({sequence++, pen(TQ_MSG_PEN_DOWN, 700, 700, 2)});
  stream.push_back({sequence++, pen(TQ_MSG_PEN_MOVE, 710, 705, 2)});
  stream.push_back({sequence++, pen(TQ_MSG_PEN_UP, 710, 705, 0)});

  const auto feed = [&](tqtool::ServeHub& hub, size_t from) {
    for (size_t i = from; i < stream.size(); ++i) stream[i].post(hub, stream[i].sequence);
    hub.Flush();
  };
  // One relay has run since before the first session; another starts now
  // and, as a follower does, reads the stream from the last session's open.
  tqtool::ServeHub early({}, tqtool::EventIds::Stream), late({}, tqtool::EventIds::Stream);
  auto watching = early.Join(std::nullopt);
  feed(early, 0);
  feed(late, secondSession);
  const auto seen = DrainEvents(*watching);
  ASSERT_EQ(seen.size(), 26u);  // hello, snapshot, then 24 events

  // The second session began afresh on the relay that ran on: an empty
  // page of the new size, and a late joiner's snapshot is the new session's ink only.
  const auto reset = std::find_if(seen.begin() + 2, seen.end(), [](const auto& e) {
    return e.second.rfind("{\"type\":\"snapshot\",\"page\":1,\"strokes\":[],", 0) == 0 &&
           e.second.find("\"height\":3396") != std::string::npos;
  });
  ASSERT_NE(reset, seen.end());
  EXPECT_EQ(reset->second,
            "{\"type\":\"snapshot\",\"page\":1,\"strokes\":[],\"open\":null,\"width\":3396,\"height\":3396,"
            "\"version\":\"3.1\"}");
  std::string earlyFirst, lateFirst;
  early.Join(std::nullopt, earlyFirst);
  late.Join(std::nullopt, lateFirst);
  EXPECT_EQ(earlyFirst, lateFirst);
  EXPECT_NE(earlyFirst.find("\"strokes\":[{\"pen\":2,\"deltas\":[700,700,10,5]}]"), std::string::npos) << earlyFirst;

  // Ids increase, and the second session's have the same ids on both relays.
  using Events = std::vector<std::pair<std::string, std::string>>;
  for (size_t i = 2; i < seen.size(); ++i) {
    EXPECT_LT(std::stoull(seen[i - 1].first), std::stoull(seen[i].first));
  }
  struct Case {
    const char* what;
    size_t from;      // resume after seen[from]
    bool onLate;      // on the relay started late
    bool resumes;
  };
  const size_t lastOfFirst = static_cast<size_t>(reset - seen.begin()) - 1;
  const Case cases[] = {
      {"an early id on the relay that has it", 3, false, true},
      {"the first session's last id on the relay that has it", lastOfFirst, false, true},
      {"the first session's last id on a relay that never read it", lastOfFirst, true, false},
      {"the new session's snapshot id on the other relay", lastOfFirst + 1, true, true},
      {"a stroke's id on the other relay", lastOfFirst + 3, true, true},
      {"the very last id on the other relay", seen.size() - 1, true, true},
  };
  for (const Case& c : cases) {
    tqtool::ServeHub& hub = c.onLate ? late : early;
    auto viewer = hub.Join(std::stoull(seen[c.from].first));
    const auto got = DrainEvents(*viewer);
    ASSERT_FALSE(got.empty()) << c.what;
    EXPECT_EQ(got[0].second.find("\"resume\":true") != std::string::npos, c.resumes) << c.what << ": " << got[0].second;
    if (!c.resumes) continue;
    const Events expected(seen.begin() + static_cast<long>(c.from) + 1, seen.end());
    EXPECT_EQ(Events(got.begin() + 1, got.end()), expected) << c.what;
  }
}
