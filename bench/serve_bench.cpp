// Latency of tq serve: from the moment the last byte of a pen packet is
// written to the board's pty to the moment a viewer on loopback has read the
// pen event from its stream, with 1 viewer, 32 and 1000, all filter stages
// off. The pty floor is measured in the same run, round by round between the
// viewers' measurements; each figure is the median of the rounds' own.
// And a viewer joining an hour-long page: how long until it holds the page,
// and how many bytes that took.
//
// The board's window lives on a host thread of its own running its message
// loop, as in tq serve; the hub and the web server are the program's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/epoll.h>
#include <sys/resource.h>

#include <mutex>

#include "PtyBench.h"
#include "serve/ServeHttp.h"
#include "serve/ServeHub.h"
#include "TQApi.h"
#include "../tests/support/OneHourSession.h"

namespace {

using namespace tqbench;

constexpr int kServeSamples = 300;
// TQ_SERVE_BENCH_ROUNDS overrides, for a quick look.
const int kRounds = std::getenv("TQ_SERVE_BENCH_ROUNDS") ? std::atoi(std::getenv("TQ_SERVE_BENCH_ROUNDS")) : 5;
constexpr UINT kQuit = WM_APP + 100;
// Pen events read by all viewers together: the measuring thread sleeps on it
// rather than spin on the two cores the server's threads need.
std::atomic<int> g_arrived{0};

// A viewer's connection on loopback, its request for the stream sent; `who`
// names it when that fails, which ends the benchmark.
int OpenEvents(int port, const char* who) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char request[] = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      send(fd, request, sizeof request - 1, 0) < 0) {
    std::perror(who);
    std::exit(1);
  }
  return fd;
}

LRESULT OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kQuit) {
    PostQuitMessage(0);
    return 0;
  }
  auto* hub = static_cast<tqtool::ServeHub*>(TQGetWindowUser(window));
  if (hub != nullptr) hub->Post(tqtool::CopyMessage(message, wParam, lParam));
  return 0;
}

// The viewers' ends of their streams, all read by one thread over epoll (the
// viewers are elsewhere; here they should take as little of the server's
// cores as they can): counts the pen events and notes when each viewer's last
// one arrived.
class Viewers {
 public:
  Viewers() : m_epoll(epoll_create1(EPOLL_CLOEXEC)), m_thread([this] { Run(); }) {}
  ~Viewers() {
    m_stop = true;
    m_thread.join();
    for (const Stream& stream : m_streams) close(stream.fd);
    close(m_epoll);
  }
  void Add(int port) {
    const int fd = OpenEvents(port, "viewer");
    std::lock_guard<std::mutex> guard(m_lock);
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.u64 = m_streams.size();
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &watch);
    m_streams.push_back(Stream{fd, {}, {}, false});
  }
  size_t Joined() const { return m_joined.load(); }
  size_t Size() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_streams.size();
  }
  // When each viewer last read a pen event.
  std::vector<Clock::time_point> Times() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Clock::time_point> times;
    for (const Stream& stream : m_streams) times.push_back(stream.at);
    return times;
  }

 private:
  struct Stream {
    int fd;
    std::string carry;
    Clock::time_point at;
    bool joined = false;
  };
  void Run() {
    // Pen events alone carry a "y": not the hello, the snapshot or a state.
    static const std::string kTag = "\"y\":";
    std::vector<epoll_event> ready(1024);
    while (!m_stop) {
      const int count = epoll_wait(m_epoll, ready.data(), static_cast<int>(ready.size()), 20);
      if (count <= 0) continue;
      const auto now = Clock::now();
      int arrived = 0;
      std::lock_guard<std::mutex> guard(m_lock);
      for (int r = 0; r < count; ++r) {
        Stream& stream = m_streams[ready[r].data.u64];
        char buffer[16384];
        const ssize_t n = recv(stream.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) continue;
        stream.carry.append(buffer, static_cast<size_t>(n));
        const std::string& text = stream.carry;
        if (!stream.joined && text.find("\"type\":\"snapshot\"") != std::string::npos) {
          stream.joined = true;
          ++m_joined;
        }
        int found = 0;
        for (size_t at = text.find(kTag); at != std::string::npos; at = text.find(kTag, at + 1)) ++found;
        stream.carry.erase(0, text.size() > kTag.size() ? text.size() - kTag.size() + 1 : 0);
        if (found == 0) continue;
        stream.at = now;
        arrived += found;
      }
      // One wake-up for all the streams this round read.
      if (arrived > 0) {
        g_arrived.fetch_add(arrived);
        g_arrived.notify_one();
      }
    }
  }
  std::mutex m_lock;
  std::vector<Stream> m_streams;
  std::atomic<bool> m_stop{false};
  std::atomic<size_t> m_joined{0};
  int m_epoll;
  std::thread m_thread;
};

// The board's host: opens the port on its own thread and runs the loop.
class Host {
 public:
  Host(const Pty& pty, tqtool::ServeHub& hub) {
    setenv("TQ_COM1", pty.path.c_str(), 1);
    std::atomic<int> opened{-1};
    std::thread prober([&] { AnswerProbe(pty); });
    m_thread = std::thread([&, this] {
      m_window = TQCreateWindow(&OnMessage, &hub);
      const TQ_ERROR_CODE result = TQOpenPort(1, m_window);
      if (result == TQ_SUCCESS) {
        TQSetValidateStatus(1, VALIDATION_OFF);
        TQSetAntiStreakStatus(1, ANTISTREAK_OFF);
        TQSetFilterStatus(1, FILTER_OFF);
      }
      opened = result;
      MSG msg;
      while (result == TQ_SUCCESS && GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
      TQClose(1);
      TQDestroyWindow(m_window);
    });
    prober.join();
    while (opened.load() < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (opened.load() != TQ_SUCCESS) {
      std::fprintf(stderr, "open failed: %d\n", opened.load());
      std::exit(1);
    }
  }
  ~Host() {
    PostMessageA(m_window, kQuit, 0, 0);
    m_thread.join();
  }

 private:
  HWND m_window = nullptr;
  std::thread m_thread;
};

// Every viewer's latency for each packet, one after the other.
std::vector<double> Measure(const Pty& pty, Viewers& viewers) {
  std::vector<double> latencies;
  for (int i = 0; i < kServeSamples + 50; ++i) {
    const int target = g_arrived.load() + static_cast<int>(viewers.Size());
    pty.Write(kPenPacket, sizeof kPenPacket - 1);
    const auto sent = Clock::now();
    pty.Write(kPenPacket + sizeof kPenPacket - 1, 1);
    for (int seen = g_arrived.load(); seen < target; seen = g_arrived.load()) g_arrived.wait(seen);
    for (const Clock::time_point at : viewers.Times()) {
      if (i >= 50) latencies.push_back(std::chrono::duration<double, std::micro>(at - sent).count());
    }
  }
  return latencies;
}

void Connect(Viewers& viewers, size_t count, int port, tqtool::ServeHub& hub) {
  while (viewers.Size() < count) viewers.Add(port);
  (void)hub;
  while (viewers.Joined() < count) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One viewer joins the hour-long page: milliseconds until it has the hello
// and the snapshot, and their bytes.
void LateJoin(int port, double& ms, double& bytes) {
  const auto start = Clock::now();
  const int fd = OpenEvents(port, "late viewer");
  std::string text;
  std::vector<char> buffer(1 << 16);
  // The snapshot is whole once its event ends ("}\n\n" after its "open").
  while (text.find("\"open\":") == std::string::npos || text.find("\n\n", text.find("\"open\":")) == std::string::npos) {
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    text.append(buffer.data(), static_cast<size_t>(n));
  }
  ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  const size_t head = text.find("\r\n\r\n");
  bytes = static_cast<double>(text.size() - (head == std::string::npos ? 0 : head + 4));
  close(fd);
}

}  // namespace

int main() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  std::vector<double> floor99, floor50, one99, one50, many99, many50, crowd99, crowd50;
  {
    tqtool::ServeHub hub;
    hub.SetBoard(kBaseline + 340, 4573, "2.1");
    tqtool::ServeHttpLimits httpLimits;
    httpLimits.maxViewers = 1100;
    // TQ_SERVE_THREADS: the server's threads, for comparing.
    if (const char* threads = std::getenv("TQ_SERVE_THREADS")) httpLimits.threads = static_cast<unsigned>(std::atoi(threads));
    tqtool::ServeHttp http(hub, httpLimits);
    std::string error;
    if (!http.Bind(tqtool::ListenAddress{"127.0.0.1", 0}, error) || !http.Start()) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    Pty pty;
    Host host(pty, hub);
    // The packet's pen is code 0, which on a board with an eraser may be its
    // outline: its first eight points are held back. The stroke started
    // before any viewer, every packet measured is a move of ink.
    for (int i = 0; i < 10; ++i) pty.Write(kPenPacket, sizeof kPenPacket);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int round = 0; round < kRounds; ++round) {
      const std::vector<double> floor = MeasureFloor();
      floor50.push_back(Percentile(floor, 0.50));
      floor99.push_back(Percentile(floor, 0.99));
      struct Step {
        size_t viewers;
        std::vector<double>*p50, *p99;
      };
      for (const Step step : {Step{1, &one50, &one99}, Step{32, &many50, &many99}, Step{1000, &crowd50, &crowd99}}) {
        Viewers viewers;
        Connect(viewers, step.viewers, http.Port(), hub);
        const std::vector<double> latencies = Measure(pty, viewers);
        step.p50->push_back(Percentile(latencies, 0.50));
        step.p99->push_back(Percentile(latencies, 0.99));
      }
    }
    hub.Stop();
    http.Stop();
  }

  // The hour-long page.
  std::vector<double> joinMs, joinBytes;
  {
    tqtool::ServeLimits limits;
    limits.inbox = 1 << 20;
    tqtool::ServeHub hub(limits);
    hub.SetBoard(3396, 4572, "3.1");
    hub.PostState(true, true);
    tqtest::WriteSession([&](const tqtool::BoardMessage& m) { hub.Post(m); });
    hub.Flush();
    tqtool::ServeHttp http(hub, 32);
    std::string error;
    if (!http.Bind(tqtool::ListenAddress{"127.0.0.1", 0}, error) || !http.Start()) return 1;
    for (int round = 0; round < kRounds; ++round) {
      double ms = 0, bytes = 0;
      LateJoin(http.Port(), ms, bytes);
      joinMs.push_back(ms);
      joinBytes.push_back(bytes);
    }
    hub.Stop();
    http.Stop();
  }

  std::printf("serve latency: %d rounds of %d packets each with 1, 32 and 1000 viewers, the pty floor before each "
              "round; medians of the rounds (2 cores, this machine)\n",
              kRounds, kServeSamples);
  std::printf("bench: serve_p50_us %.1f us\n", Median(one50));
  std::printf("bench: serve_p99_us %.1f us\n", Median(one99));
  std::printf("bench: serve32_p50_us %.1f us\n", Median(many50));
  std::printf("bench: serve32_p99_us %.1f us\n", Median(many99));
  std::printf("bench: serve1000_p50_us %.1f us\n", Median(crowd50));
  std::printf("bench: serve1000_p99_us %.1f us\n", Median(crowd99));
  std::printf("bench: serve_pty_floor_p50_us %.1f us\n", Median(floor50));
  std::printf("bench: serve_pty_floor_p99_us %.1f us\n", Median(floor99));
  std::printf("bench: serve_latejoin_ms %.1f ms\n", Median(joinMs));
  std::printf("bench: serve_latejoin_bytes %.0f bytes\n", Median(joinBytes));
  return 0;
}
