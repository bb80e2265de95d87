// tq serve end to end: the program started on a free loopback port with a
// bundled capture played as the board, read by a plain HTTP client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/HttpProbe.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tqtest::EventStream;
using tqtest::StreamEvent;

// The capture copied away from the sources: a replay writes beside it.
fs::path SampleCopy(const std::string& name) {
  const fs::path copy = tqtest::TempDir() / name;
  fs::copy_file(fs::path(TQ_SOURCE_DIR) / "samples" / name, copy, fs::copy_options::overwrite_existing);
  return copy;
}

// `tq replay --events` of the capture: its pen lines as "KIND X Y CODE".
std::vector<std::string> ReplayPenLines(const fs::path& capture) {
  std::vector<std::string> lines;
  const std::string command = std::string(TQ_TOOL_PATH) + " replay --events " + capture.string();
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char line[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string kind;
    int x = 0, y = 0, code = 0;
    fields >> kind >> x >> y >> code;
    if (kind == "down" || kind == "move" || kind == "up") {
      lines.push_back(kind + " " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(code));
    }
  }
  pclose(pipe);
  return lines;
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
  explicit ServeProcess(const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
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

TEST(ServeReplay, EventsAreTheReplaysAndViewersJoiningLateOrAgainGetTheirShare) {
  const fs::path capture = SampleCopy("eraser-v3.raw");
  const std::vector<std::string> expected = ReplayPenLines(capture);
  ASSERT_GT(expected.size(), 1000u);

  ServeProcess serve({"--replay", capture.string(), "--speed", "8", "--listen", "127.0.0.1:0"});
  ASSERT_GT(serve.Port(), 0) << serve.StartLine();
  EXPECT_NE(serve.StartLine().find("board 3."), std::string::npos) << serve.StartLine();

  EventStream first(serve.Port());
  ASSERT_TRUE(first.ReadUntil([&](const auto& e) { return PenCount(e) >= expected.size(); }, 30000))
      << "pen events seen: " << PenCount(first.Events());
  EXPECT_EQ(first.Status(), 200);
  EXPECT_EQ(StreamPenLines(first.Events()), expected);
  ASSERT_FALSE(first.Events().empty());
  EXPECT_NE(first.Events()[0].data.find("\"type\":\"hello\""), std::string::npos);
  EXPECT_TRUE(first.Events()[0].id.empty());
  // Every other event has an id, each above the one before.
  for (size_t i = 2; i < first.Events().size(); ++i) {
    ASSERT_GT(std::stoull(first.Events()[i].id), std::stoull(first.Events()[i - 1].id)) << i;
  }
  EXPECT_FALSE(tqtest::OfType(first.Events(), "erase").empty()) << "the capture wipes with the eraser";

  // A viewer that joins now sees the page from its start, hello first.
  EventStream late(serve.Port());
  ASSERT_TRUE(late.ReadUntil([&](const auto& e) { return PenCount(e) >= expected.size(); }, 10000));
  EXPECT_NE(late.Events()[0].data.find("\"resume\":false"), std::string::npos);
  EXPECT_EQ(StreamPenLines(late.Events()), expected);
  EXPECT_EQ(tqtest::OfType(late.Events(), "erase"), tqtest::OfType(first.Events(), "erase"));

  // One that comes back with the id it saw last gets exactly what followed;
  // one with an id the server never gave out starts the page afresh.
  struct Case {
    size_t seen;       // events the viewer had, hello included
    bool fromServer;   // its id came from this server
  };
  const size_t total = first.Events().size();
  for (const Case c : {Case{total / 3, true}, Case{total - 1, true}, Case{1, false}}) {
    const std::string last = c.fromServer ? first.Events()[c.seen - 1].id : "12345";
    EventStream back(serve.Port(), last);
    const size_t want = c.fromServer ? total - c.seen : total - 1;
    back.ReadUntil([&](const auto& e) { return e.size() >= want + 1; }, 10000);
    ASSERT_EQ(back.Events().size(), want + 1) << "after " << c.seen;
    EXPECT_NE(back.Events()[0].data.find(c.fromServer ? "\"resume\":true" : "\"resume\":false"),
              std::string::npos);
    for (size_t i = 1; i < back.Events().size(); ++i) {
      const StreamEvent& missed = first.Events()[c.fromServer ? c.seen + i - 1 : i];
      ASSERT_EQ(back.Events()[i].id, missed.id) << i;
      ASSERT_EQ(back.Events()[i].data, missed.data) << i;
    }
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
      {"page beyond all", "GET /page/99999999999999999999.svg HTTP/1.1\r\n" + end, 404, 404},
      {"other format", "GET /page/0.png HTTP/1.1\r\n" + end, 404, 404},
      {"huge header", "GET / HTTP/1.1\r\nX-Big: " + std::string(64 * 1024, 'a') + "\r\n" + end, 400, 431},
      {"many headers", "GET / HTTP/1.1\r\n" + manyHeaders + end, 400, 431},
      {"long target", "GET /" + std::string(5000, 'a') + " HTTP/1.1\r\n" + end, 400, 414},
      {"writing to the board", "POST /events HTTP/1.1\r\nContent-Length: 3\r\n" + end + "abc", 400, 413},
      {"a body with a read", "GET / HTTP/1.1\r\nContent-Length: 3\r\n" + end + "abc", 400, 413},
      {"not http", "HELLO\r\n\r\n", 400, 400},
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
  EXPECT_EQ(tqtest::Get(serve.Port(), "/page/0.svg").status, 200);
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

}  // namespace
