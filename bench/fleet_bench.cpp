// The fleet on one machine, against a nats-server this program starts on a
// free loopback port with a store of its own:
//
//   fleet_p50_us, fleet_p99_us   a board message from the moment the window
//       procedure hands it on to the moment a viewer of a relay's hub has
//       it: publisher, engine (acknowledged, stored), ordered consumer,
//       relay, hub, viewer;
//   fleet_local_p50_us, fleet_local_p99_us   the same message on the local
//       tq serve path in the same run: window procedure, hub, viewer (the
//       leg from the board to the window procedure is the same for both;
//       serve_bench measures it);
//   fleet_events_per_s   events one engine node takes (stored and
//       acknowledged) from 50 boards publishing at once, each on a
//       connection of its own.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fleet/FleetEvents.h"
#include "fleet/NatsLink.h"
#include "fleet/Publisher.h"
#include "fleet/StreamFollower.h"
#include "serve/ServeHub.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 2000;
constexpr int kWarmUp = 100;
constexpr int kBoards = 50;
constexpr int kEventsPerBoard = 2000;

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
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

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

tqtool::BoardMessage Move(int i) {
  tqtool::BoardMessage m;
  m.message = TQ_MSG_PEN_MOVE;
  m.x = i % 30000;
  m.y = 100;
  m.code = 1;
  m.lParam = 1;
  return m;
}

// A viewer read as the web server reads it: what waits, else parked until
// the hub wakes it.
class ViewerReader {
 public:
  explicit ViewerReader(tqtool::Viewer& viewer) : m_viewer(viewer) {
    m_viewer.SetWake(
        [this] {
          std::lock_guard<std::mutex> hold(m_lock);
          m_ready = true;
          m_woken.notify_all();
        },
        [] {});
  }
  ~ViewerReader() { m_viewer.Detach(); }

  // Appends what waits to `out`, waiting up to `wait`; false at the end of
  // the stream or when nothing came.
  bool Take(std::string& out, std::chrono::milliseconds wait) {
    char buffer[64 * 1024];
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(m_lock);
        m_ready = false;
      }
      size_t size = 0;
      const tqtool::Viewer::Read read = m_viewer.Take(buffer, sizeof buffer, size, [] {});
      if (read == tqtool::Viewer::Read::Data) {
        out.append(buffer, size);
        return true;
      }
      if (read == tqtool::Viewer::Read::End) return false;
      std::unique_lock<std::mutex> hold(m_lock);
      if (!m_woken.wait_for(hold, wait, [this] { return m_ready; })) return false;
    }
  }

 private:
  tqtool::Viewer& m_viewer;
  std::mutex m_lock;
  std::condition_variable m_woken;
  bool m_ready = false;
};

// How long each message takes from `post` to the viewer of `hub`, one
// message at a time.
template <typename Post>
std::vector<double> Measure(tqtool::ServeHub& hub, const Post& post) {
  std::string first;
  const std::shared_ptr<tqtool::Viewer> viewer = hub.Join(std::nullopt, first);
  std::vector<double> latencies;
  ViewerReader reader(*viewer);
  for (int i = 0; i < kSamples + kWarmUp; ++i) {
    const std::string mark = "\"x\":" + std::to_string(i % 30000) + ",";
    const auto sent = Clock::now();
    post(Move(i));
    std::string seen;
    while (seen.find(mark) == std::string::npos) {
      if (!reader.Take(seen, std::chrono::milliseconds(2000))) break;
      if (Clock::now() - sent > std::chrono::seconds(5)) break;
    }
    if (i >= kWarmUp) latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  hub.Leave(viewer);
  return latencies;
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path store = fs::temp_directory_path() / ("tq-fleet-bench-" + std::to_string(getpid()));
  const int port = FreePort();
  const pid_t engine = fork();
  if (engine == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    const std::string p = std::to_string(port);
    execlp("nats-server", "nats-server", "-js", "-a", "127.0.0.1", "-p", p.c_str(), "-sd", store.c_str(), nullptr);
    _exit(127);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!PortOpen(port) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto stopEngine = [&] {
    kill(engine, SIGTERM);
    waitpid(engine, nullptr, 0);
    fs::remove_all(store);
  };
  if (!PortOpen(port)) {
    std::printf("fleet_bench: nats-server cannot start here (Debian package nats-server): no figures\n");
    stopEngine();
    return 0;
  }
  tqtool::FleetOptions options;
  options.urls = "nats://127.0.0.1:" + std::to_string(port);
  options.board = "bench";
  std::string error;

  // The local path.
  std::vector<double> local;
  {
    tqtool::ServeHub hub;
    hub.SetBoard(3396, 4572, "3.2");
    local = Measure(hub, [&](const tqtool::BoardMessage& m) { hub.Post(m); });
    hub.Stop();
  }

  // Through the engine.
  std::vector<double> fleet;
  {
    tqtool::NatsLink publishLink, relayLink;
    if (!publishLink.Connect(options, "fleet_bench", error) || !relayLink.Connect(options, "fleet_bench", error)) {
      std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
      stopEngine();
      return 1;
    }
    tqtool::PublishSettings settings;
    settings.board = options.board;
    tqtool::Publisher publisher(publishLink, settings, "fleet_bench");
    publisher.Begin({tqtool::OpenJson(options.board, publisher.Session(), publisher.StartSeconds(), 3396, 4572, "3.2")});
    tqtool::ServeHub hub;
    std::atomic<bool> stop{false};
    std::thread relay([&] {
      tqtool::StreamFollower follower(relayLink, options.board, "fleet_bench");
      follower.Run([&](uint64_t, const tqtool::FleetEvent& event) {
        if (event.kind == tqtool::FleetKind::Open) hub.SetBoard(event.width, event.height, event.version);
        if (event.kind == tqtool::FleetKind::Message) hub.Post(event.message);
      }, [&] { return stop.load(); });
    });
    fleet = Measure(hub, [&](const tqtool::BoardMessage& m) { publisher.Post(tqtool::MessageJson(m)); });
    stop = true;
    relay.join();
    publisher.Finish(5);
    hub.Stop();
  }

  // 50 boards at once, each as fast as the engine acknowledges.
  double perSecond = 0.0;
  {
    std::vector<std::unique_ptr<tqtool::NatsLink>> links;
    std::vector<std::unique_ptr<tqtool::Publisher>> publishers;
    for (int b = 0; b < kBoards; ++b) {
      tqtool::FleetOptions boardOptions = options;
      boardOptions.board = "load" + std::to_string(b);
      links.push_back(std::make_unique<tqtool::NatsLink>());
      links.back()->Connect(boardOptions, "fleet_bench", error);
      tqtool::PublishSettings settings;
      settings.board = boardOptions.board;
      // The streams are made before the clock starts.
      tqtool::EnsureStream(links.back()->Js(), settings, error);
      publishers.push_back(std::make_unique<tqtool::Publisher>(*links.back(), settings, "fleet_bench"));
    }
    const auto start = Clock::now();
    for (auto& publisher : publishers) publisher->Begin({});
    for (int i = 0; i < kEventsPerBoard; ++i) {
      for (auto& publisher : publishers) publisher->Post(tqtool::MessageJson(Move(i)));
    }
    uint64_t published = 0;
    for (auto& publisher : publishers) published += publisher->Finish(60).published;
    perSecond = static_cast<double>(published) / std::chrono::duration<double>(Clock::now() - start).count();
  }
  stopEngine();

  std::printf("fleet: %d messages one at a time through publisher, engine (file store, 1 node), relay and hub,\n"
              "against the local path in the same run; then %d boards x %d events at once (2 cores, this machine)\n",
              kSamples, kBoards, kEventsPerBoard);
  std::printf("bench: fleet_p50_us %.1f us\n", Percentile(fleet, 0.50));
  std::printf("bench: fleet_p99_us %.1f us\n", Percentile(fleet, 0.99));
  std::printf("bench: fleet_local_p50_us %.1f us\n", Percentile(local, 0.50));
  std::printf("bench: fleet_local_p99_us %.1f us\n", Percentile(local, 0.99));
  std::printf("bench: fleet_events_per_s %.0f events/s\n", perSecond);
  return 0;
}
