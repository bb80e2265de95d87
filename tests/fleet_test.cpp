// The fleet against the real engine: nats-server started on free loopback
// ports with a store of its own, a bundled capture published as a board,
// and every reader (the relay's follower in this process, tq serve --nats
// over HTTP, tq archive's documents) given every pen message exactly once,
// as `tq replay --events` prints them, through an engine that restarts, a
// cluster node that dies and an archiver that is stopped mid-session.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/HostWindow.h"
#include "fleet/Archiver.h"
#include "fleet/FleetEvents.h"
#include "fleet/NatsLink.h"
#include "fleet/StreamFollower.h"
#include "ink/StrokeModel.h"
#include "support/HttpProbe.h"
#include "support/PenLines.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tqtest::ReplayPenLines;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool PortOpen(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool open = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return open;
}

// A program run as a child, its output into a file; stopped (SIGTERM, then
// SIGKILL) when it goes out of scope.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, const fs::path& log) {
    m_log = log;
    m_pid = fork();
    if (m_pid == 0) {
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execvp(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Child() { Stop(SIGTERM); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status after `signal` (0: none sent), -1 when it had to be killed.
  int Stop(int signal, int waitMs = 10000) {
    if (m_pid <= 0) return m_status;
    if (signal != 0) kill(m_pid, signal);
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return m_status = -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_pid = -1;
    return m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int Wait(int waitMs) { return Stop(0, waitMs); }
  std::string Output() const {
    std::ifstream in(m_log);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  pid_t m_pid = -1;
  int m_status = -1;
  fs::path m_log;
};

Child Tq(const std::vector<std::string>& args, const fs::path& log) { return Child(TQ_TOOL_PATH, args, log); }

// One nats-server with JetStream, on a port and store that survive a restart.
struct Engine {
  int port = FreePort(), clusterPort = 0;
  fs::path store;
  std::vector<std::string> extra;
  std::unique_ptr<Child> process;

  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(port); }
  bool Start(const fs::path& dir) {
    std::vector<std::string> args{"-js", "-a", "127.0.0.1", "-p", std::to_string(port), "-sd", store.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    process = std::make_unique<Child>("nats-server", args, dir / ("engine-" + std::to_string(port) + ".log"));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      if (PortOpen(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void Kill() {
    if (process) process->Stop(SIGKILL);
    process.reset();
  }
};

std::vector<fs::path> Files(const fs::path& dir, const std::string& extension) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == extension) files.push_back(entry.path());
  }
  return files;
}

// The relay's reading of a board's stream, in this process: the pen lines
// it hands on, in order.
class Reader {
 public:
  Reader(const std::string& urls, const std::string& board) {
    tqtool::FleetOptions options;
    options.urls = urls;
    options.board = board;
    std::string error;
    m_connected = m_link.Connect(options, "fleet_test", error);
    m_thread = std::thread([this, board] {
      tqtool::StreamFollower follower(m_link, board, "fleet_test");
      follower.Run([this](uint64_t, const tqtool::FleetEvent& event) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (event.kind == tqtool::FleetKind::Close) ++m_closes;
        if (event.kind != tqtool::FleetKind::Message) return;
        const tqtool::BoardMessage& m = event.message;
        const char* kind = m.message == TQ_MSG_PEN_DOWN ? "down" : m.message == TQ_MSG_PEN_MOVE ? "move"
                           : m.message == TQ_MSG_PEN_UP ? "up" : nullptr;
        if (kind != nullptr) {
          m_lines.push_back(std::string(kind) + " " + std::to_string(m.x) + " " + std::to_string(m.y) + " " +
                            std::to_string(m.code));
        }
      }, [this] { return m_stop.load(); });
    });
  }
  ~Reader() {
    m_stop = true;
    m_thread.join();
  }
  bool Connected() const { return m_connected; }
  // Waits until `count` pen lines have come (or `seconds` pass).
  size_t WaitFor(size_t count, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_lines.size() >= count || Clock::now() > deadline) return m_lines.size();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Waits until the session's close has come (or `seconds` pass).
  Lines UntilClosed(int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_closes > 0) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
  }

 private:
  tqtool::NatsLink m_link;
  bool m_connected = false;
  std::mutex m_lock;
  Lines m_lines;
  int m_closes = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// The pen lines of a viewer's event stream, whatever else its events carry.
// Every kind of board message survives the trip as the line a local window
// would print for it; what is no event is refused.
TEST(FleetEvents, MessagesTravelAsTheirLocalLines) {
  const auto line = [](const tqtool::BoardMessage& m) {
    SPenPoint point{};
    point.x = static_cast<int16_t>(m.x);
    point.y = static_cast<int16_t>(m.y);
    point.code = m.code;
    const bool pen = m.message >= TQ_MSG_PEN_DOWN && m.message <= TQ_MSG_PEN_UP;
    return tqtool::FormatEvent(m.message, pen ? reinterpret_cast<WPARAM>(&point) : static_cast<WPARAM>(m.wParam),
                               static_cast<LPARAM>(m.lParam));
  };
  const tqtool::BoardMessage cases[] = {
      {TQ_MSG_PEN_DOWN, 388, 840, 1, 0, 1}, {TQ_MSG_PEN_MOVE, -5, 32000, 4, 0, 4},
      {TQ_MSG_PEN_UP, 140, 0, 0, 0, 0},     {TQ_MSG_BOARD_EVENT, 0, 0, 0, 2, 1},
      {TQ_MSG_COMM_ERROR, 0, 0, 0, 9, 0},   {TQ_MSG_BOARD_CHECK, 0, 0, 0, 0, 0},
      {TQ_MSG_BOARD_CHECK, 0, 0, 0, 0, 3},  {TQ_MSG_BOARD_0x90, 0, 0, 0, 0x1234, 2},
  };
  for (const tqtool::BoardMessage& m : cases) {
    tqtool::FleetEvent event;
    ASSERT_TRUE(tqtool::ParseEvent(tqtool::MessageJson(m), event)) << tqtool::MessageJson(m);
    EXPECT_EQ(event.kind, tqtool::FleetKind::Message);
    EXPECT_EQ(line(event.message), line(m)) << tqtool::MessageJson(m);
  }
  tqtool::FleetEvent open;
  ASSERT_TRUE(tqtool::ParseEvent(tqtool::OpenJson("hall-2", "hall-2-17", 1700000000, 3396, 4572, "3.2\\\"x"), open));
  EXPECT_EQ(open.kind, tqtool::FleetKind::Open);
  EXPECT_EQ(open.board + " " + open.session + " " + std::to_string(open.start) + " " + std::to_string(open.width) +
                "x" + std::to_string(open.height) + " " + open.version,
            "hall-2 hall-2-17 1700000000 3396x4572 3.2x");
  tqtool::FleetEvent state;
  ASSERT_TRUE(tqtool::ParseEvent(tqtool::StateJson(true, false), state));
  EXPECT_TRUE(state.kind == tqtool::FleetKind::State && state.connected && !state.live);
  for (const char* bad : {"", "{", "{\"type\":\"down\",\"x\":1}", "{\"x\":1}", "[1]", "{\"type\":\"move\",\"x\":a,\"y\":1,\"pen\":1}"}) {
    tqtool::FleetEvent event;
    EXPECT_FALSE(tqtool::ParseEvent(bad, event)) << bad;
  }
  tqtool::FleetEvent future;
  ASSERT_TRUE(tqtool::ParseEvent("{\"v\":2,\"type\":\"laser\",\"x\":1}", future));
  EXPECT_EQ(future.kind, tqtool::FleetKind::Unknown);
}

// The test's engines, stopped whatever happens.
class Fleet : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = tqtest::FreshDir(std::string("fleet-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    m_capture = m_dir / "eraser-v3.raw";
    fs::copy_file(fs::path(TQ_SOURCE_DIR) / "samples" / "eraser-v3.raw", m_capture);
    m_expected = ReplayPenLines(TQ_TOOL_PATH, m_capture);
    ASSERT_GT(m_expected.size(), 1000u);
  }
  void TearDown() override { m_engines.clear(); }

  // Starts `count` engines, a cluster of them when more than one; skips the
  // test when nats-server cannot start.
  void StartEngines(size_t count) {
    m_engines.resize(count);
    for (size_t i = 0; i < count; ++i) {
      m_engines[i].store = m_dir / ("store" + std::to_string(i));
      if (count > 1) m_engines[i].clusterPort = FreePort();
    }
    for (size_t i = 0; count > 1 && i < count; ++i) {
      std::string routes;
      for (size_t j = 0; j < count; ++j) {
        if (j != i) routes += (routes.empty() ? "" : ",") + std::string("nats://127.0.0.1:") + std::to_string(m_engines[j].clusterPort);
      }
      m_engines[i].extra = {"-n", "node" + std::to_string(i), "--cluster_name", "tqfleet", "--cluster",
                            "nats://127.0.0.1:" + std::to_string(m_engines[i].clusterPort), "--routes", routes};
    }
    for (Engine& engine : m_engines) {
      if (!engine.Start(m_dir)) {
        const std::string log = engine.process ? engine.process->Output() : "";
        m_engines.clear();
        GTEST_SKIP() << "nats-server cannot start here (is the Debian package nats-server installed?): " << log;
      }
    }
  }
  std::string Urls() const {
    std::string urls;
    for (const Engine& engine : m_engines) urls += (urls.empty() ? "" : ",") + engine.Url();
    return urls;
  }
  fs::path Log(const std::string& name) const { return m_dir / (name + ".log"); }

  // The page the capture leaves, as a viewer's snapshot gives it.
  std::vector<tqtest::SnapshotStroke> ExpectedPage() const {
    tqtool::StrokeModel model;
    for (const std::string& line : m_expected) {
      std::istringstream words(line);
      std::string kind;
      int x = 0, y = 0, code = 0;
      words >> kind >> x >> y >> code;
      const UINT message = kind == "down" ? TQ_MSG_PEN_DOWN : kind == "move" ? TQ_MSG_PEN_MOVE : TQ_MSG_PEN_UP;
      model.Pen(message, x, y, code);
    }
    model.Finish();
    std::vector<tqtest::SnapshotStroke> page;
    for (const tqtool::InkStroke& stroke : tqtool::Remaining(model.Pages().back())) {
      tqtest::SnapshotStroke s{stroke.pen, {}};
      for (const tqtool::InkPoint& p : stroke.points) s.points.emplace_back(p.x, p.y);
      page.push_back(s);
    }
    return page;
  }

  fs::path m_dir, m_capture;
  Lines m_expected;
  std::vector<Engine> m_engines;
};

TEST_F(Fleet, OneEngineRelayViewerAndArchiveGetEveryEventOnce) {
  StartEngines(1);
  if (IsSkipped()) return;
  const fs::path out = m_dir / "archive";
  fs::create_directories(out);
  Child archive = Tq({"archive", "--nats", Urls(), "--out", out.string(), "--format", "events,xopp,pdf"}, Log("archive"));
  Reader reader(Urls(), "lab");
  ASSERT_TRUE(reader.Connected());
  Child publish = Tq({"publish", "--replay", m_capture.string(), "--speed", "20", "--nats", Urls(), "--board", "lab"},
                    Log("publish"));
  ASSERT_EQ(publish.Wait(30000), 0) << publish.Output();
  EXPECT_EQ(reader.UntilClosed(20), m_expected);

  // Relays started after the session show the same page over HTTP.
  const auto startRelay = [&](const std::string& name, int& port) {
    auto serve = std::make_unique<Child>(TQ_TOOL_PATH,
        std::vector<std::string>{"serve", "--nats", Urls(), "--board", "lab", "--listen", "127.0.0.1:0"}, Log(name));
    port = 0;
    for (int i = 0; i < 200 && port == 0; ++i) {
      std::smatch m;
      const std::string text = serve->Output();
      if (std::regex_search(text, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)"))) port = std::stoi(m[1].str());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return serve;
  };
  int port = 0, otherPort = 0;
  const auto serve = startRelay("serve", port);
  const auto other = startRelay("serve-other", otherPort);
  ASSERT_NE(port, 0) << serve->Output();
  ASSERT_NE(otherPort, 0) << other->Output();
  // A viewer that joins after the session gets the page as a snapshot: what
  // the eraser left of every stroke the capture wrote, none lost or doubled.
  const auto hasSnapshot = [](const std::vector<tqtest::StreamEvent>& events) {
    for (const tqtest::StreamEvent& event : events) {
      if (event.data.find("\"type\":\"snapshot\"") != std::string::npos) return &event;
    }
    return static_cast<const tqtest::StreamEvent*>(nullptr);
  };
  // The page a late viewer of a relay gets, once the relay has caught up
  // with `expected` (or the last one it gave); the snapshot's id in `id`.
  const auto latePage = [&](int relay, const std::vector<tqtest::SnapshotStroke>& expected, std::string* id) {
    std::vector<tqtest::SnapshotStroke> left;
    for (int attempt = 0; attempt < 100; ++attempt) {
      tqtest::EventStream late(relay);
      late.ReadUntil([&](const auto& events) { return hasSnapshot(events) != nullptr; }, 5000);
      const tqtest::StreamEvent* snapshot = hasSnapshot(late.Events());
      if (snapshot == nullptr) continue;
      left.clear();
      if (!tqtest::ParseSnapshot(snapshot->data, left)) break;
      if (id != nullptr) *id = snapshot->id;
      if (left == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return left;
  };
  std::string lastId;
  EXPECT_EQ(latePage(port, ExpectedPage(), &lastId), ExpectedPage());
  EXPECT_EQ(latePage(otherPort, ExpectedPage(), nullptr), ExpectedPage());
  // Both relays number the events by the stream: a viewer of one resumes on
  // the other by its last id, with nothing missed or doubled.
  ASSERT_FALSE(lastId.empty());
  {
    tqtest::EventStream moved(otherPort, lastId);
    ASSERT_TRUE(moved.ReadUntil([](const auto& events) { return !events.empty(); }, 5000));
    EXPECT_NE(moved.Events()[0].data.find("\"resume\":true"), std::string::npos) << moved.Events()[0].data;
  }

  // The board's next session on the same stream: the relay that ran on
  // starts the page afresh rather than stacking the new strokes on the old.
  Child again = Tq({"publish", "--replay", m_capture.string(), "--speed", "20", "--nats", Urls(), "--board", "lab"},
                   Log("publish-again"));
  ASSERT_EQ(again.Wait(30000), 0) << again.Output();
  std::string nextId;
  EXPECT_EQ(latePage(port, ExpectedPage(), &nextId), ExpectedPage());
  EXPECT_GT(std::stoull(nextId), std::stoull(lastId));

  // The archive writes each session once its close has come.
  for (int i = 0; i < 200 && Files(out, ".pdf").size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(archive.Stop(SIGTERM), 0) << archive.Output();
  const auto events = Files(out, ".events");
  ASSERT_EQ(events.size(), 2u);
  for (const fs::path& session : events) {
    EXPECT_EQ(tqtest::FilePenLines(session), m_expected) << session;
    EXPECT_EQ(session.filename().string().rfind("lab-", 0), 0u) << session;
  }
  EXPECT_EQ(Files(out, ".xopp").size(), 2u);
  EXPECT_EQ(Files(out, ".pdf").size(), 2u);
}

// Sessions of one board begun in the same second do not share a file.
TEST(FleetArchive, SessionsAreNamedByBoardAndStartAndNeverShareAName) {
  struct Case {
    const char* board;
    int64_t start;
    const char* file;
  };
  const Case cases[] = {
      {"lab", 1765348200, "lab-20251210-063000"},
      {"lab", 1765348200, "lab-20251210-063000-2"},
      {"lab", 1765348200, "lab-20251210-063000-3"},
      {"lab", 1765348201, "lab-20251210-063001"},
      {"lab", 1765348200, "lab-20251210-063000"},  // an earlier second again: a session read once more
  };
  std::string last;
  int same = 0;
  for (const Case& c : cases) EXPECT_EQ(tqtool::SessionFile(c.board, c.start, last, same), c.file) << c.start;
}

TEST_F(Fleet, PublisherCutFromTheEngineForFiveSecondsLosesNothing) {
  StartEngines(1);
  if (IsSkipped()) return;
  // The capture takes some six seconds at the line's pace.
  Child publish = Tq({"publish", "--replay", m_capture.string(), "--nats", Urls(), "--board", "cut"}, Log("publish"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  m_engines[0].Kill();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ASSERT_TRUE(m_engines[0].Start(m_dir));
  ASSERT_EQ(publish.Wait(40000), 0) << publish.Output();
  EXPECT_NE(publish.Output().find("buffering"), std::string::npos) << publish.Output();
  Reader reader(Urls(), "cut");
  EXPECT_EQ(reader.UntilClosed(20), m_expected);
}

// An engine that never comes: what did not fit the buffer is counted, and
// the command fails.
TEST_F(Fleet, WhatDoesNotFitTheBufferIsCountedAndReported) {
  const std::string nowhere = "nats://127.0.0.1:" + std::to_string(FreePort());
  Child publish = Tq({"publish", "--replay", m_capture.string(), "--speed", "40", "--nats", nowhere, "--board", "lost",
                      "--buffer", "100", "--drain", "0.5"},
                     Log("publish"));
  EXPECT_EQ(publish.Wait(30000), 1);
  const std::string out = publish.Output();
  EXPECT_NE(out.find("the engine is not reachable; buffering up to 100 events"), std::string::npos) << out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("0 events published \\(0 resends the engine already had\\), "
                                                   "(\\d+) lost to a full buffer, 100 not sent")))
      << out;
  // The open, its state, the board's messages, the closing state and close.
  EXPECT_GE(std::stoul(m[1].str()), m_expected.size() + 4 - 100) << out;
}

TEST_F(Fleet, ArchiverStoppedMidSessionWritesTheSessionOnceWhole) {
  StartEngines(1);
  if (IsSkipped()) return;
  const fs::path out = m_dir / "archive";
  fs::create_directories(out);
  const std::vector<std::string> args{"archive", "--nats", Urls(), "--out", out.string(), "--format", "events"};
  Child publish = Tq({"publish", "--replay", m_capture.string(), "--speed", "2", "--nats", Urls(), "--board", "arc"},
                    Log("publish"));
  {
    Child first = Tq(args, Log("archive1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    // Stopped mid-session, it writes what it holds...
    EXPECT_EQ(first.Stop(SIGTERM), 0) << first.Output();
    const auto partial = Files(out, ".events");
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_LT(tqtest::FilePenLines(partial[0]).size(), m_expected.size());
  }
  // ... and the next one reads the session again from its open.
  Child second = Tq(args, Log("archive2"));
  ASSERT_EQ(publish.Wait(30000), 0) << publish.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(second.Stop(SIGTERM), 0) << second.Output();
  const auto events = Files(out, ".events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(tqtest::FilePenLines(events[0]), m_expected);
  // A third finds nothing left to write.
  Child third = Tq(args, Log("archive3"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(third.Stop(SIGTERM), 0);
  EXPECT_NE(third.Output().find("0 sessions"), std::string::npos) << third.Output();
}

TEST_F(Fleet, ClusterNodeKilledMidSessionLosesNothing) {
  StartEngines(3);
  if (IsSkipped()) return;
  const fs::path out = m_dir / "archive";
  fs::create_directories(out);
  // Everyone is given the node that dies; the others they learn from it.
  const std::string doomed = m_engines[1].Url();
  Child archive = Tq({"archive", "--nats", doomed, "--out", out.string(), "--format", "events"}, Log("archive"));
  Reader reader(doomed, "hall");
  Child publish = Tq({"publish", "--replay", m_capture.string(), "--speed", "2", "--replicas", "3", "--nats", doomed,
                      "--board", "hall"},
                     Log("publish"));
  // Mid-session: the stream holds some of the pen messages.
  ASSERT_GT(reader.WaitFor(200, 30), 0u);
  m_engines[1].Kill();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(m_engines[1].Start(m_dir));
  ASSERT_EQ(publish.Wait(60000), 0) << publish.Output();
  EXPECT_NE(publish.Output().find("engine back"), std::string::npos) << publish.Output();
  EXPECT_EQ(reader.UntilClosed(30), m_expected);
  for (int i = 0; i < 300 && Files(out, ".events").empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(archive.Stop(SIGTERM), 0) << archive.Output();
  const auto events = Files(out, ".events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(tqtest::FilePenLines(events[0]), m_expected);
}

}  // namespace
