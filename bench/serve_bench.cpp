// Latency of tq serve: from the moment the last byte of a pen packet is
// written to the board's pty to the moment a viewer on loopback has read the
// pen event from its stream, with 1 viewer and with 32, all filter stages
// off. The pty floor is measured in the same run.
//
// The board's window lives on a host thread of its own running its message
// loop, as in tq serve; the hub and the web server are the program's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "PtyBench.h"
#include "serve/ServeHttp.h"
#include "serve/ServeHub.h"
#include "TQApi.h"

namespace {

using namespace tqbench;

constexpr int kServeSamples = 1000;
constexpr UINT kQuit = WM_APP + 100;
// Pen events read by all viewers together: the measuring thread sleeps on it
// rather than spin on the two cores the server's threads need.
std::atomic<int> g_arrived{0};

LRESULT OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kQuit) {
    PostQuitMessage(0);
    return 0;
  }
  auto* hub = static_cast<tqtool::ServeHub*>(TQGetWindowUser(window));
  if (hub != nullptr) hub->Post(tqtool::CopyMessage(message, wParam, lParam));
  return 0;
}

// The viewers' ends of their streams, all read by one thread (the viewers
// are elsewhere; here they should not take the server's cores): counts the
// pen events and notes when each viewer's last one arrived.
class Viewers {
 public:
  Viewers() : m_thread([this] { Run(); }) {}
  ~Viewers() {
    m_stop = true;
    m_thread.join();
    for (const Stream& stream : m_streams) close(stream.fd);
  }
  void Add(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char request[] = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, request, sizeof request - 1, 0) < 0) {
      std::perror("viewer");
      std::exit(1);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_streams.push_back(Stream{fd, {}, {}});
  }
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
  };
  void Run() {
    static const std::string kTag = "\"pen\":";
    while (!m_stop) {
      std::vector<pollfd> fds;
      {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const Stream& stream : m_streams) fds.push_back(pollfd{stream.fd, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      const auto now = Clock::now();
      std::lock_guard<std::mutex> guard(m_lock);
      for (size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        char buffer[16384];
        const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        Stream& stream = m_streams[i];
        const std::string text = stream.carry + std::string(buffer, static_cast<size_t>(n));
        int found = 0;
        for (size_t at = text.find(kTag); at != std::string::npos; at = text.find(kTag, at + 1)) ++found;
        stream.carry = text.substr(text.size() > kTag.size() ? text.size() - kTag.size() + 1 : 0);
        if (found == 0) continue;
        stream.at = now;
        g_arrived.fetch_add(found);
        g_arrived.notify_one();
      }
    }
  }
  std::mutex m_lock;
  std::vector<Stream> m_streams;
  std::atomic<bool> m_stop{false};
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
  while (hub.Counts().viewers < count) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // their history read
}

}  // namespace

int main() {
  const std::vector<double> floor = MeasureFloor();

  tqtool::ServeHub hub;
  hub.SetBoard(kBaseline + 340, 4573, "2.1");
  tqtool::ServeHttp http(hub, 32);
  std::string error;
  if (!http.Bind(tqtool::ListenAddress{"127.0.0.1", 0}, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  http.Start();
  std::vector<double> one, many;
  {
    Pty pty;
    Host host(pty, hub);
    Viewers viewers;
    Connect(viewers, 1, http.Port(), hub);
    one = Measure(pty, viewers);
    Connect(viewers, 32, http.Port(), hub);
    many = Measure(pty, viewers);
    hub.Stop();
  }
  http.Stop();

  std::printf("serve latency over %d packets (1 viewer, then 32), pty floor over %zu writes (2 cores, this machine)\n",
              kServeSamples, floor.size());
  std::printf("bench: serve_p50_us %.1f us\n", Percentile(one, 0.50));
  std::printf("bench: serve_p99_us %.1f us\n", Percentile(one, 0.99));
  std::printf("bench: serve32_p50_us %.1f us\n", Percentile(many, 0.50));
  std::printf("bench: serve32_p99_us %.1f us\n", Percentile(many, 0.99));
  std::printf("bench: serve_pty_floor_p50_us %.1f us\n", Percentile(floor, 0.50));
  std::printf("bench: serve_pty_floor_p99_us %.1f us\n", Percentile(floor, 0.99));
  return 0;
}
