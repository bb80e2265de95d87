// tq serve end to end: the program started on a free loopback port with a
// bundled capture played as the board, read by a plain HTTP client.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <sstream>
#include <string>
#include <vector>


#include <algorithm>
#include <cmath>
#include <cstring>

#include "ink/StrokeModel.h"
#include "sim/PtyBoard.h"
#include "serve/ServeHttp.h"
#include "serve/ServeHub.h"
#include "support/HeadlessBrowser.h"
#include "support/HttpProbe.h"
#include "support/OneHourSession.h"
#include "support/PenLines.h"
#include "support/PngPixels.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tqtest::ReplayPenLines;
using tqtest::EventStream;
using tqtest::StreamEvent;

// The capture copied away from the sources: a replay writes beside it.
fs::path SampleCopy(const std::string& name) {
  const fs::path copy = tqtest::TempDir() / name;
  fs::copy_file(fs::path(TQ_SOURCE_DIR) / "samples" / name, copy, fs::copy_options::overwrite_existing);
  return copy;
}

// The same lines from the stream's pen events.
std::vector<std::string> StreamPenLines(const std::vector<StreamEvent>& events) {
  std::vector<std::string> lines;
  for (const StreamEvent& event : events) {
    char kind[8] = {};
    int x = 0, y = 0, code = 0;
    if (std::sscanf(event.data.c_str(), "{\"type\":\"%7[a-z]\",\"x\":%d,\"y\":%d,\"pen\":%d}", kind, &x,
                    &y, &code) == 4) {
      lines.push_back(std::string(kind) + " " + std::to_string(x) + " " + std::to_string(y) + " " +
                      std::to_string(code));
    }
  }
  return lines;
}

// `tq serve` as a child process; its first line names the address.
class ServeProcess {
 public:
  // `errors`: a file for its standard error (else the test's own).
  explicit ServeProcess(const std::vector<std::string>& args, const std::string& errors = "") {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      if (!errors.empty()) {
        const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) dup2(fd, 2);
      }
      std::vector<char*> argv{const_cast<char*>(TQ_TOOL_PATH), const_cast<char*>("serve")};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(TQ_TOOL_PATH, argv.data());
      _exit(127);
    }
    close(out[1]);
    m_out = out[0];
    ReadStartLine();
  }
  ~ServeProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int status = 0;
      waitpid(m_pid, &status, 0);
    }
    if (m_out >= 0) close(m_out);
  }
  int Port() const { return m_port; }
  // Sends SIGTERM and waits for the exit: the milliseconds it took, or -1
  // when it had not ended after `patienceMs` (it is then killed).
  double Terminate(int patienceMs, int& status) {
    const auto start = std::chrono::steady_clock::now();
    kill(m_pid, SIGTERM);
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(patienceMs)) {
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      }
      usleep(5000);
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return -1.0;
  }
  const std::string& StartLine() const { return m_line; }
  bool Running() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }

 private:
  void ReadStartLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (m_line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{m_out, POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(m_out, buffer, sizeof buffer);
      if (n <= 0) break;
      m_line.append(buffer, static_cast<size_t>(n));
    }
    const size_t at = m_line.find("http://127.0.0.1:");
    if (at != std::string::npos) m_port = std::atoi(m_line.c_str() + at + 17);
  }

  pid_t m_pid = -1;
  int m_out = -1;
  int m_port = 0;
  std::string m_line;
};

size_t PenCount(const std::vector<StreamEvent>& events) { return StreamPenLines(events).size(); }

// The replay's pen lines through the stroke model.
tqtool::StrokeModel ModelOf(const std::vector<std::string>& lines) {
  tqtool::StrokeModel model;
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string kind;
    int x = 0, y = 0, code = 0;
    fields >> kind >> x >> y >> code;
    model.Pen(kind == "down" ? TQ_MSG_PEN_DOWN : (kind == "move" ? TQ_MSG_PEN_MOVE : TQ_MSG_PEN_UP), x, y, code);
  }
  return model;
}

std::string FileText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the stream drew: each stroke as down, moves and up of one pen, each
// eraser footprint as one erase. `fault` names the first event that breaks
// the rules (an up without a down, a move of another pen, ...).
struct Drawing {
  std::vector<tqtest::SnapshotStroke> strokes;
  std::vector<std::string> footprints;  // "[[X,Y],...4]"
  std::string fault;
};

Drawing StreamDrawing(const std::vector<StreamEvent>& events) {
  Drawing drawing;
  bool open = false;
  tqtest::SnapshotStroke stroke;
  for (const StreamEvent& event : events) {
    char kind[8] = {};
    int x = 0, y = 0, pen = 0;
    if (std::sscanf(event.data.c_str(), "{\"type\":\"%7[a-z]\",\"x\":%d,\"y\":%d,\"pen\":%d}", kind, &x, &y,
                    &pen) == 4) {
      const std::string k = kind;
      if ((k == "down") == open || (k != "down" && pen != stroke.pen)) {
        if (drawing.fault.empty()) drawing.fault = event.id + ": " + event.data;
      }
      if (k == "down") stroke = tqtest::SnapshotStroke{pen, {{x, y}}};
      if (k == "move") stroke.points.emplace_back(x, y);
      if (k == "up") drawing.strokes.push_back(stroke);
      open = k != "up";
    } else if (event.data.find("\"type\":\"erase\"") != std::string::npos) {
      if (open && drawing.fault.empty()) drawing.fault = "erase in a stroke: " + event.id;
      const size_t at = event.data.find("\"corners\":") + 10;
      drawing.footprints.push_back(event.data.substr(at, event.data.find("]]", at) + 2 - at));
    }
  }
  return drawing;
}

// The same from the stroke model: every page's strokes and footprints.
Drawing ModelDrawing(const tqtool::StrokeModel& model) {
  Drawing drawing;
  for (const tqtool::InkPage& page : model.Pages()) {
    for (const tqtool::InkStroke& stroke : page.strokes) {
      tqtest::SnapshotStroke s{stroke.pen, {}};
      for (const tqtool::InkPoint& p : stroke.points) s.points.emplace_back(p.x, p.y);
      drawing.strokes.push_back(s);
    }
    for (const tqtool::Footprint& f : page.footprints) {
      std::string corners = "[";
      for (const tqtool::InkPoint& c : f.corners) {
        corners += (corners.size() > 1 ? ",[" : "[") + std::to_string(c.x) + "," + std::to_string(c.y) + "]";
      }
      drawing.footprints.push_back(corners + "]");
    }
  }
  return drawing;
}

std::vector<tqtest::SnapshotStroke> AsSnapshot(const std::vector<tqtool::InkStroke>& strokes) {
  std::vector<tqtest::SnapshotStroke> out;
  for (const tqtool::InkStroke& stroke : strokes) {
    tqtest::SnapshotStroke s{stroke.pen, {}};
    for (const tqtool::InkPoint& p : stroke.points) s.points.emplace_back(p.x, p.y);
    out.push_back(s);
  }
  return out;
}

TEST(ServeReplay, EventsAreTheReplaysAndViewersJoiningLateOrAgainGetTheirShare) {
  const fs::path capture = SampleCopy("eraser-v3.raw");
  const std::vector<std::string> lines = ReplayPenLines(TQ_TOOL_PATH, capture);
  ASSERT_GT(lines.size(), 1000u);
  const tqtool::StrokeModel model = ModelOf(lines);
  const Drawing expected = ModelDrawing(model);
  ASSERT_GT(expected.footprints.size(), 0u) << "the capture wipes with the eraser";
  // The whole replay has been seen once every stroke and footprint has.
  auto whole = [&](const std::vector<StreamEvent>& e) {
    return tqtest::OfType(e, "up").size() + tqtest::OfType(e, "erase").size() >=
           expected.strokes.size() + expected.footprints.size();
  };

  ServeProcess serve({"--replay", capture.string(), "--speed", "8", "--listen", "127.0.0.1:0"});
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  EXPECT_NE(serve.StartLine().find("board 3."), std::string::npos) << serve.StartLine();

  EventStream first(serve.Port());
  ASSERT_TRUE(first.ReadUntil(whole, 30000)) << "pen events seen: " << PenCount(first.Events());
  EXPECT_EQ(first.Status(), 200);
  // The strokes as the stroke model has them, one pen each from down to up,
  // and the eraser's outlines as erase events only, never as ink.
  const Drawing drawn = StreamDrawing(first.Events());
  EXPECT_EQ(drawn.fault, "");
  EXPECT_EQ(drawn.strokes, expected.strokes);
  EXPECT_EQ(drawn.footprints, expected.footprints);
  ASSERT_FALSE(first.Events().empty());
  EXPECT_NE(first.Events()[0].data.find("\"type\":\"hello\""), std::string::npos);
  EXPECT_NE(first.Events()[0].data.find("\"schema\":2"), std::string::npos);
  EXPECT_TRUE(first.Events()[0].id.empty());
  // Every other event has an id, each above the one before.
  for (size_t i = 2; i < first.Events().size(); ++i) {
    ASSERT_GT(std::stoull(first.Events()[i].id), std::stoull(first.Events()[i - 1].id)) << i;
  }

  // A viewer that joins now gets the page in one snapshot: what the eraser left.
  EventStream late(serve.Port());
  ASSERT_TRUE(late.ReadUntil([](const auto& e) { return e.size() >= 2; }, 10000));
  EXPECT_NE(late.Events()[0].data.find("\"resume\":false"), std::string::npos);
  std::vector<tqtest::SnapshotStroke> left;
  ASSERT_TRUE(tqtest::ParseSnapshot(late.Events()[1].data, left)) << late.Events()[1].data.substr(0, 200);
  EXPECT_EQ(left, AsSnapshot(tqtool::Remaining(model.Pages().back())));

  // One that comes back with the id it saw last, in the header as a browser
  // sends it or in the query as the page does after a refusal, gets exactly
  // what followed; one with an id the server never gave out gets the
  // snapshot, and its hello says why it does not resume.
  struct Case {
    size_t seen;       // events the viewer had, hello included
    bool fromServer;   // its id came from this server
    bool inQuery;
  };
  const size_t total = first.Events().size();
  for (const Case c : {Case{total / 3, true, false}, Case{total - 1, true, false}, Case{total / 2, true, true},
                       Case{1, false, false}, Case{1, false, true}}) {
    const std::string last = c.fromServer ? first.Events()[c.seen - 1].id : "12345";
    EventStream back(serve.Port(), c.inQuery ? "" : last, 0, c.inQuery ? "/events?lastEventId=" + last : "/events");
    const size_t want = c.fromServer ? total - c.seen : 1;
    back.ReadUntil([&](const auto& e) { return e.size() >= want + 1; }, 10000);
    ASSERT_EQ(back.Events().size(), want + 1) << "after " << c.seen;
    EXPECT_NE(back.Events()[0].data.find(c.fromServer ? "\"resume\":true" : "\"resume\":false,\"reason\":"),
              std::string::npos)
        << back.Events()[0].data;
    if (!c.fromServer) {
      EXPECT_EQ(back.Events()[1].data, late.Events()[1].data);
      continue;
    }
    for (size_t i = 1; i < back.Events().size(); ++i) {
      const StreamEvent& missed = first.Events()[c.seen + i - 1];
      ASSERT_EQ(back.Events()[i].id, missed.id) << i;
      ASSERT_EQ(back.Events()[i].data, missed.data) << i;
    }
  }
}

TEST(ServeReplay, EveryBoardVersionsCaptureComesOutAsItsReplay) {
  for (const char* name : {"hello-v1.raw", "hello-v2.raw", "pens-v3.raw", "hello-v4.raw"}) {
    const fs::path capture = SampleCopy(name);
    const Drawing expected = ModelDrawing(ModelOf(ReplayPenLines(TQ_TOOL_PATH, capture)));
    ServeProcess serve({"--replay", capture.string(), "--speed", "30", "--listen", "127.0.0.1:0"});
    ASSERT_GT(serve.Port(), 0) << name << ": " << serve.StartLine();
    EventStream viewer(serve.Port());
    viewer.ReadUntil([&](const auto& e) { return tqtest::OfType(e, "up").size() >= expected.strokes.size(); }, 20000);
    const Drawing drawn = StreamDrawing(viewer.Events());
    EXPECT_EQ(drawn.fault, "") << name;
    EXPECT_EQ(drawn.strokes, expected.strokes) << name;
  }
}

TEST(ServeReplay, RequestsOutsideItsRoutesAreRefusedAndChangeNothing) {
  const fs::path capture = SampleCopy("hello-v2.raw");
  ServeProcess serve({"--replay", capture.string(), "--speed", "50", "--listen", "127.0.0.1:0"});
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  const std::string end = "Host: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string manyHeaders;
  for (int i = 0; i < 100; ++i) manyHeaders += "X-Header-" + std::to_string(i) + ": x\r\n";
  struct Case {
    const char* what;
    std::string request;
    int lowest, highest;  // the status expected
  };
  const Case cases[] = {
      {"unknown path", "GET /nothing HTTP/1.1\r\n" + end, 404, 404},
      {"traversal", "GET /../../../../etc/passwd HTTP/1.1\r\n" + end, 400, 404},
      {"encoded traversal", "GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n" + end, 400, 404},
      {"traversal after a page", "GET /page/0.svg/../../../etc/passwd HTTP/1.1\r\n" + end, 400, 404},
      {"traversal in a page", "GET /page/..%2f..%2fetc%2fpasswd.svg HTTP/1.1\r\n" + end, 400, 404},
      {"absolute path", "GET //etc/passwd HTTP/1.1\r\n" + end, 400, 404},
      {"page that is not", "GET /page/7.svg HTTP/1.1\r\n" + end, 404, 404},
      {"page 0: pages count from 1", "GET /page/0.svg HTTP/1.1\r\n" + end, 404, 404},
      {"page beyond all", "GET /page/99999999999999999999.svg HTTP/1.1\r\n" + end, 404, 404},
      {"other format", "GET /page/1.png HTTP/1.1\r\n" + end, 404, 404},
      {"huge header", "GET / HTTP/1.1\r\nX-Big: " + std::string(64 * 1024, 'a') + "\r\n" + end, 400, 431},
      {"many headers", "GET / HTTP/1.1\r\n" + manyHeaders + end, 400, 431},
      {"long target", "GET /" + std::string(5000, 'a') + " HTTP/1.1\r\n" + end, 400, 414},
      {"writing to the board", "POST /events HTTP/1.1\r\nContent-Length: 3\r\n" + end + "abc", 400, 413},
      {"a body with a read", "GET / HTTP/1.1\r\nContent-Length: 3\r\n" + end + "abc", 400, 413},
      // Not HTTP at all: answered 400, or the connection closed without a word.
      {"not http", "HELLO\r\n\r\n", 0, 400},
  };
  for (const Case& c : cases) {
    const tqtest::HttpReply reply = tqtest::RawRequest(serve.Port(), c.request);
    EXPECT_GE(reply.status, c.lowest) << c.what << ": " << reply.head;
    EXPECT_LE(reply.status, c.highest) << c.what << ": " << reply.head;
    EXPECT_EQ(reply.body.find("root:"), std::string::npos) << c.what;
    EXPECT_LT(reply.body.size(), 200u) << c.what;
  }
  // Still serving, and the board's events unharmed.
  ASSERT_TRUE(serve.Running());
  EXPECT_EQ(tqtest::Get(serve.Port(), "/").status, 200);
  EXPECT_EQ(tqtest::Get(serve.Port(), "/page/1.svg").status, 200);
  EventStream viewer(serve.Port());
  EXPECT_TRUE(viewer.ReadUntil([](const auto& e) { return PenCount(e) > 10; }, 10000));
}

TEST(ServeReplay, ViewersBeyondTheLimitAreAnswered503) {
  const fs::path capture = SampleCopy("hello-v2.raw");
  ServeProcess serve({"--replay", capture.string(), "--listen", "127.0.0.1:0", "--viewers", "2"});
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  auto hello = [](const auto& e) { return !e.empty(); };
  auto one = std::make_unique<EventStream>(serve.Port());
  EventStream two(serve.Port());
  ASSERT_TRUE(one->ReadUntil(hello, 5000));
  ASSERT_TRUE(two.ReadUntil(hello, 5000));
  const tqtest::HttpReply refused = tqtest::RawRequest(
      serve.Port(), "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 3000);
  EXPECT_EQ(refused.status, 503) << refused.head;
  // The page and the pictures are still served while the viewers are full.
  EXPECT_EQ(tqtest::Get(serve.Port(), "/").status, 200);
  // A place that frees up is taken by the next viewer.
  one.reset();
  bool admitted = false;
  for (int attempt = 0; attempt < 50 && !admitted; ++attempt) {
    EventStream next(serve.Port());
    admitted = next.ReadUntil(hello, 2000) && next.Status() == 200;
    if (!admitted) usleep(100 * 1000);
  }
  EXPECT_TRUE(admitted);
}

// The URL printed names the address listened on; beyond the loopback a
// warning says the view is open to anyone who reaches it. The pens' colours
// given go to the viewers.
TEST(ServeReplay, TheAddressListenedOnIsNamedAndAnOpenOneIsWarnedOf) {
  const fs::path capture = SampleCopy("hello-v2.raw");
  const fs::path errors = tqtest::TempDir() / "serve-listen-stderr";
  struct Case {
    const char* listen;
    const char* url;
    bool warned;
  };
  for (const Case c : {Case{"127.0.0.1:0", "serving http://127.0.0.1:", false},
                       Case{"0.0.0.0:0", "serving http://0.0.0.0:", true},
                       Case{"[::1]:0", "serving http://[::1]:", false}}) {
    ServeProcess serve({"--replay", capture.string(), "--listen", c.listen, "--pens", "1=#ff0000,2=#00ff00"},
                       errors.string());
    EXPECT_NE(serve.StartLine().find(c.url), std::string::npos) << c.listen << ": " << serve.StartLine();
    EXPECT_EQ(FileText(errors).find("no password") != std::string::npos, c.warned) << c.listen << ": "
                                                                                   << FileText(errors);
    if (serve.Port() == 0) continue;
    EventStream viewer(serve.Port());
    ASSERT_TRUE(viewer.ReadUntil([](const auto& e) { return !e.empty(); }, 5000));
    EXPECT_NE(viewer.Events()[0].data.find("\"colours\":[\"#1b1b1b\",\"#ff0000\",\"#00ff00\","),
              std::string::npos)
        << viewer.Events()[0].data;
  }
}

// The example client of docs/stream.md, run as it is written against the
// server, reads the replay's strokes.
TEST(ServeReplay, TheStreamsDocumentedExampleClientReadsTheStrokes) {
  const std::string doc = FileText(fs::path(TQ_SOURCE_DIR) / "docs" / "stream.md");
  const size_t start = doc.find("```python\n"), end = doc.find("\n```", start + 10);
  ASSERT_NE(start, std::string::npos);
  const fs::path client = tqtest::TempDir() / "stream_client.py";
  std::ofstream(client) << doc.substr(start + 10, end - start - 10) << "\n";
  const fs::path capture = SampleCopy("hello-v2.raw");
  const Drawing expected = ModelDrawing(ModelOf(ReplayPenLines(TQ_TOOL_PATH, capture)));
  ServeProcess serve({"--replay", capture.string(), "--listen", "127.0.0.1:0"});
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  // The page before the first stroke, by its id: the client resumes from
  // there and so reads every stroke as it was written, however late it starts.
  EventStream first(serve.Port());
  ASSERT_TRUE(first.ReadUntil([](const auto& e) { return e.size() >= 2; }, 5000));
  ASSERT_NE(first.Events()[1].data.find("\"strokes\":[],\"open\":null"), std::string::npos)
      << "the replay wrote before the first viewer joined";
  const std::string command = "timeout 20 python3 " + client.string() + " 'http://127.0.0.1:" +
                              std::to_string(serve.Port()) + "/events?lastEventId=" + first.Events()[1].id + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> lines;
  std::vector<tqtest::SnapshotStroke> strokes;
  char line[256];
  size_t ended = 0;
  while (ended < expected.strokes.size() && std::fgets(line, sizeof line, pipe) != nullptr) {
    lines.push_back(line);
    std::istringstream fields(line);
    std::string type;
    int x = 0, y = 0, pen = 0;
    fields >> type >> x >> y >> pen;
    if (type == "down") strokes.push_back(tqtest::SnapshotStroke{pen, {}});
    if ((type == "down" || type == "move") && !strokes.empty()) strokes.back().points.emplace_back(x, y);
    ended += type == "up";
  }
  int status = 0;
  serve.Terminate(5000, status);  // the stream ends, and with it the client
  pclose(pipe);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "hello\n");
  ASSERT_EQ(strokes.size(), expected.strokes.size());
  for (size_t i = 0; i < strokes.size(); ++i) {
    EXPECT_EQ(strokes[i].pen, expected.strokes[i].pen) << i;
    EXPECT_EQ(strokes[i].points, expected.strokes[i].points) << i;
  }
}

// A client that trickles its request holds the server up no more than any
// other: SIGTERM ends it at once.
TEST(ServeReplay, SigtermEndsTheServerWithinASecondWhateverItsClientsDo) {
  const fs::path capture = SampleCopy("hello-v2.raw");
  ServeProcess serve({"--replay", capture.string(), "--listen", "127.0.0.1:0"});
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  EventStream viewer(serve.Port());  // a viewer whose stream is open
  ASSERT_TRUE(viewer.ReadUntil([](const auto& e) { return !e.empty(); }, 5000));
  EventStream idle(serve.Port(), "", 4096);  // one that never reads
  std::atomic<bool> trickling{true};
  std::thread trickler([&] {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(serve.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (size_t i = 0; trickling; ++i) {
      send(fd, i < request.size() ? &request[i] : "a", 1, MSG_NOSIGNAL);
      usleep(100 * 1000);
    }
    close(fd);
  });
  usleep(500 * 1000);
  int status = 0;
  const double ms = serve.Terminate(5000, status);
  trickling = false;
  trickler.join();
  EXPECT_GE(ms, 0.0) << "still running 5 s after SIGTERM";
  EXPECT_LT(ms, 1000.0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A board whose line goes away is reported (a state event, a line on
// standard error) and opened again when it comes back.
TEST(ServeReplay, ABoardThatGoesIsReportedAndOpenedAgainWhenItReturns) {
  const fs::path dir = tqtest::FreshDir("serve-board-returns");
  const std::string link = (dir / "board").string(), errors = (dir / "stderr").string();
  // The simulator's board of version 3.1 on a pty, named by a link.
  auto plug = [&link](tqsim::PtyBoard& board) {
    tqsim::BoardModel model;
    std::string error;
    if (!tqsim::MakeModel(3.1, 3056, model) || !board.Open(error) || !board.Link(link, error)) {
      ADD_FAILURE() << error;
      return;
    }
    board.AnswerAs(tqsim::RepliesOf(model));
    board.Start();
  };
  auto board = std::make_unique<tqsim::PtyBoard>();
  plug(*board);
  ServeProcess serve({"--device", link, "--listen", "127.0.0.1:0"}, errors);
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  EventStream viewer(serve.Port());
  ASSERT_TRUE(viewer.ReadUntil([](const auto& e) { return !e.empty(); }, 5000));
  board->HangUp();  // unplugged
  auto gone = [](const std::vector<StreamEvent>& e) {
    return !tqtest::OfType(e, "state").empty() &&
           tqtest::OfType(e, "state").back().find("\"connected\":false,\"live\":false,\"gone\":true") !=
               std::string::npos;
  };
  ASSERT_TRUE(viewer.ReadUntil(gone, 10000)) << FileText(errors);
  for (int i = 0; i < 40 && FileText(errors).find("gone") == std::string::npos; ++i) usleep(50 * 1000);
  EXPECT_NE(FileText(errors).find("tq serve: the board is gone: line error 8"), std::string::npos) << FileText(errors);
  EXPECT_TRUE(serve.Running());

  // The board comes back: within one round of reopening (3 s) and its probe.
  board->Stop();
  board = std::make_unique<tqsim::PtyBoard>();
  plug(*board);
  const size_t before = viewer.Events().size();
  auto back = [&](const std::vector<StreamEvent>& e) {
    for (size_t i = before; i < e.size(); ++i) {
      if (e[i].data.find("{\"type\":\"state\",\"connected\":true,\"live\":true") == 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(viewer.ReadUntil(back, 10000)) << FileText(errors);
  for (int i = 0; i < 40 && FileText(errors).find("back") == std::string::npos; ++i) usleep(50 * 1000);
  EXPECT_NE(FileText(errors).find("tq serve: the board is back"), std::string::npos) << FileText(errors);
}

// Pixels of a picture that carry ink.
struct Mask {
  int width = 0, height = 0;
  std::vector<uint8_t> on;
  Mask(int w, int h) : width(w), height(h), on(static_cast<size_t>(w) * h, 0) {}
  bool At(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height && on[y * width + x]; }
  bool Near(double x, double y, double radius) const {
    for (int dy = -static_cast<int>(radius); dy <= static_cast<int>(radius); ++dy)
      for (int dx = -static_cast<int>(radius); dx <= static_cast<int>(radius); ++dx)
        if (At(static_cast<int>(std::lround(x)) + dx, static_cast<int>(std::lround(y)) + dy)) return true;
    return false;
  }
  void Disc(double cx, double cy, double radius) {
    for (int y = static_cast<int>(cy - radius) - 1; y <= static_cast<int>(cy + radius) + 1; ++y)
      for (int x = static_cast<int>(cx - radius) - 1; x <= static_cast<int>(cx + radius) + 1; ++x)
        if (x >= 0 && y >= 0 && x < width && y < height && std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius)
          on[y * width + x] = 1;
  }
};

struct Frame {
  double left = 0, top = 0, scale = 1;
};

// Points every half pixel along each piece of ink, in screen pixels.
std::vector<std::pair<double, double>> Trace(const std::vector<tqtool::InkStroke>& pieces, const Frame& f) {
  std::vector<std::pair<double, double>> points;
  for (const tqtool::InkStroke& piece : pieces) {
    for (size_t i = 0; i < piece.points.size(); ++i) {
      const auto& a = piece.points[i];
      const auto& b = piece.points[i + 1 < piece.points.size() ? i + 1 : i];
      const double ax = f.left + a.x * f.scale, ay = f.top + a.y * f.scale;
      const double bx = f.left + b.x * f.scale, by = f.top + b.y * f.scale;
      const int steps = std::max(1, static_cast<int>(std::hypot(bx - ax, by - ay) * 2.0));
      for (int s = 0; s <= steps; ++s) points.emplace_back(ax + (bx - ax) * s / steps, ay + (by - ay) * s / steps);
    }
  }
  return points;
}

// The ink of a PNG screenshot inside the board, the status bar left out.
Mask InkOf(const std::string& png, const Frame& f, double boardWidth, double boardHeight, const double bar[4]) {
  const tqtest::PngPixels picture = tqtest::DecodePng(png);
  Mask mask(picture.width, picture.height);
  for (int y = 0; y < mask.height; ++y) {
    for (int x = 0; x < mask.width; ++x) {
      const bool onBoard = x > f.left + 2 && x < f.left + boardWidth * f.scale - 2 && y > f.top + 2 &&
                           y < f.top + boardHeight * f.scale - 2;
      const bool onBar = x >= bar[0] - 4 && x <= bar[0] + bar[2] + 4 && y >= bar[1] - 4 && y <= bar[1] + bar[3] + 4;
      if (onBoard && !onBar && picture.Darkest(x, y) < 200) mask.on[y * mask.width + x] = 1;
    }
  }
  return mask;
}

// The plain version of a page: the replay's pen messages through the stroke
// model, and what the eraser left of them.
std::vector<tqtool::InkStroke> InkLeft(const std::vector<std::string>& lines, bool& erased) {
  const tqtool::StrokeModel model = ModelOf(lines);
  erased = !model.Pages().back().footprints.empty();
  return tqtool::Remaining(model.Pages().back());
}

// Waits until the page holds `points` points of ink (what the eraser left).
bool WaitForInk(tqtest::HeadlessBrowser& browser, const std::vector<tqtool::InkStroke>& left) {
  size_t points = 0;
  for (const tqtool::InkStroke& piece : left) points += piece.points.size();
  std::string seen;
  for (int i = 0; i < 150; ++i) {
    browser.Evaluate("String(window.tq ? tq.pieces.reduce((n, p) => n + p.points.length, 0) : -1)", seen);
    if (std::atoll(seen.c_str()) == static_cast<long long>(points)) return true;
    usleep(100 * 1000);
  }
  std::string state;
  browser.Evaluate("JSON.stringify({events: tq.events, page: tq.page, strokes: tq.strokes.length, "
                   "footprints: tq.footprints.length, open: !!tq.open, ready: tq.source.readyState})", state);
  ADD_FAILURE() << "the page holds " << seen << " points of ink, not " << points << ": " << state;
  return false;
}

std::string Status(tqtest::HeadlessBrowser& browser) {
  std::string status;
  browser.Evaluate("document.getElementById('status').textContent", status);
  return status;
}

// The status line as it reads once it says `want`, or after 5 s: the page
// rewrites it on its next animation frame, not with the event that changed it.
std::string StatusOnceItReads(tqtest::HeadlessBrowser& browser, const std::string& want) {
  std::string status;
  for (int i = 0; i < 50 && (status = Status(browser)) != want; ++i) usleep(100 * 1000);
  return status;
}

// The screenshot's ink against the plain version's.
void ExpectScreenshotShows(tqtest::HeadlessBrowser& browser, const std::vector<tqtool::InkStroke>& left) {
  std::string layout;
  ASSERT_TRUE(browser.Evaluate(
      "new Promise(done => requestAnimationFrame(() => requestAnimationFrame(() => { const b = "
      "document.getElementById('bar').getBoundingClientRect(); done(JSON.stringify({left: tq.frame.left, "
      "top: tq.frame.top, scale: tq.frame.scale, width: tq.width, height: tq.height, barLeft: b.left, "
      "barTop: b.top, barWidth: b.width, barHeight: b.height})); })))",
      layout));
  std::string png;
  ASSERT_TRUE(browser.Screenshot(png));
  // TQ_SERVE_SCREENSHOT=FILE keeps the picture (the README's comes from here).
  if (const char* keep = std::getenv("TQ_SERVE_SCREENSHOT")) {
    if (std::FILE* out = std::fopen(keep, "wb")) {
      std::fwrite(png.data(), 1, png.size(), out);
      std::fclose(out);
    }
  }
  const Frame frame{tqtest::JsonNumber(layout, "left"), tqtest::JsonNumber(layout, "top"),
                    tqtest::JsonNumber(layout, "scale")};
  ASSERT_GT(frame.scale, 0.05) << layout;
  const double bar[4] = {tqtest::JsonNumber(layout, "barLeft"), tqtest::JsonNumber(layout, "barTop"),
                         tqtest::JsonNumber(layout, "barWidth"), tqtest::JsonNumber(layout, "barHeight")};
  const Mask ink = InkOf(png, frame, tqtest::JsonNumber(layout, "width"), tqtest::JsonNumber(layout, "height"), bar);
  ASSERT_EQ(ink.width, 800);

  // Every piece the eraser left is drawn, nearly all along its length...
  const double halfWidth = std::max(1.5, 5.0 * frame.scale) / 2.0;
  const auto along = Trace(left, frame);
  size_t drawn = 0;
  for (const auto& [x, y] : along) drawn += ink.Near(x, y, 1.5);
  EXPECT_GT(drawn, along.size() * 97 / 100) << drawn << " of " << along.size();
  // ...and no ink lies anywhere else: not under the eraser, not the outline.
  Mask allowed(ink.width, ink.height);
  for (const auto& [x, y] : along) allowed.Disc(x, y, halfWidth + 2.5);
  size_t inked = 0, stray = 0;
  for (size_t i = 0; i < ink.on.size(); ++i) {
    inked += ink.on[i];
    stray += ink.on[i] && !allowed.on[i];
  }
  EXPECT_GT(inked, 500u);
  EXPECT_LT(stray, inked / 200 + 1) << stray << " stray of " << inked << " ink pixels";
}

TEST(ServeBrowser, ThePageDrawsWhatTheEraserLeftAndComesBackWithTheServer) {
  if (tqtest::HeadlessBrowser::Program().empty()) {
    GTEST_SKIP() << "chromium is not installed (Debian package chromium): the page is not checked in a browser";
  }
  const fs::path wiped = SampleCopy("eraser-v3.raw"), written = SampleCopy("hello-v2.raw");
  bool erased = false;
  const std::vector<tqtool::InkStroke> wipedLeft = InkLeft(ReplayPenLines(TQ_TOOL_PATH, wiped), erased);
  ASSERT_TRUE(erased);
  const std::vector<tqtool::InkStroke> writtenLeft = InkLeft(ReplayPenLines(TQ_TOOL_PATH, written), erased);

  auto serve = std::make_unique<ServeProcess>(
      std::vector<std::string>{"--replay", wiped.string(), "--speed", "20", "--listen", "127.0.0.1:0"});
  const int port = serve->Port();
  ASSERT_GT(port, 0) << serve->StartLine();
  // The browser joins at once and sees the ink come and go.
  tqtest::HeadlessBrowser browser(800, 1000);
  ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(port) + "/"));
  ASSERT_TRUE(WaitForInk(browser, wipedLeft));
  EXPECT_EQ(StatusOnceItReads(browser, "live"), "live");
  ExpectScreenshotShows(browser, wipedLeft);

  // The server goes and comes back with another board: the page says so,
  // reconnects by itself and draws the new board's page afresh.
  serve.reset();
  EXPECT_EQ(StatusOnceItReads(browser, "server unreachable, reconnecting"), "server unreachable, reconnecting");
  serve = std::make_unique<ServeProcess>(std::vector<std::string>{
      "--replay", written.string(), "--speed", "20", "--listen", "127.0.0.1:" + std::to_string(port)});
  ASSERT_EQ(serve->Port(), port) << serve->StartLine();
  ASSERT_TRUE(WaitForInk(browser, writtenLeft));
  EXPECT_EQ(StatusOnceItReads(browser, "live"), "live");
  ExpectScreenshotShows(browser, writtenLeft);
}

}  // namespace

namespace {

std::string Evaluated(tqtest::HeadlessBrowser& browser, const std::string& expression) {
  std::string value;
  browser.Evaluate(expression, value);
  return value;
}

}  // namespace

// Until its stream first opens the page says it is connecting, not that the
// server is out of reach; then it draws the board.
TEST(ServeBrowser, ThePageSaysConnectingUntilItsStreamOpens) {
  if (tqtest::HeadlessBrowser::Program().empty()) GTEST_SKIP() << "chromium is not installed";
  const fs::path capture = SampleCopy("hello-v2.raw");
  ServeProcess serve({"--replay", capture.string(), "--listen", "127.0.0.1:0", "--viewers", "1"});
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  auto holder = std::make_unique<EventStream>(serve.Port());  // the one place: the page is refused
  ASSERT_TRUE(holder->ReadUntil([](const auto& e) { return !e.empty(); }, 5000));
  tqtest::HeadlessBrowser browser(800, 1000);
  ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(serve.Port()) + "/"));
  usleep(500 * 1000);
  EXPECT_EQ(Status(browser), "connecting");
  EXPECT_EQ(Evaluated(browser, "document.getElementById('dot').className"), "waiting");
  holder.reset();  // the page tries again after 3 s and gets in
  EXPECT_EQ(StatusOnceItReads(browser, "live"), "live");
}

// A viewer opening the page after an hour of writing sees the whole page
// drawn within a second: one snapshot of what is left, not the hour's events.
TEST(ServeBrowser, AnHourLongPageIsDrawnWholeWithinASecond) {
  if (tqtest::HeadlessBrowser::Program().empty()) GTEST_SKIP() << "chromium is not installed";
  tqtool::ServeLimits limits;
  limits.inbox = 1 << 20;
  tqtool::ServeHub hub(limits);
  hub.SetBoard(3396, 4572, "3.1");
  hub.PostState(true, true);
  tqtest::WriteSession([&](const tqtool::BoardMessage& m) { hub.Post(m); });
  hub.Flush();
  tqtool::ServeHttp http(hub, 8);
  std::string error;
  ASSERT_TRUE(http.Bind(tqtool::ListenAddress{"127.0.0.1", 0}, error)) << error;
  ASSERT_TRUE(http.Start());
  const auto snapshot = hub.Snapshot();
  EXPECT_LT(snapshot->size(), 2u * 1024 * 1024);
  std::vector<tqtest::SnapshotStroke> left;
  ASSERT_TRUE(tqtest::ParseSnapshot(*snapshot, left));
  size_t points = 0;
  for (const auto& stroke : left) points += stroke.points.size();

  tqtest::HeadlessBrowser browser(800, 1000);
  ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(http.Port()) + "/"));
  std::string painted;
  for (int i = 0; i < 100 && (painted = Evaluated(browser, "String(tq.paintedAt || '')")).empty(); ++i) {
    usleep(50 * 1000);
  }
  ASSERT_FALSE(painted.empty());
  EXPECT_EQ(Evaluated(browser, "String(tq.pieces.reduce((n, p) => n + p.points.length, 0))"), std::to_string(points));
  // Milliseconds from the page's request to its first whole drawing.
  RecordProperty("first_whole_paint_ms", painted);
  RecordProperty("snapshot_bytes", std::to_string(snapshot->size()));
  EXPECT_LT(std::atof(painted.c_str()), 1000.0) << painted << " ms, " << snapshot->size() << " bytes";
  hub.Stop();
  http.Stop();
}
