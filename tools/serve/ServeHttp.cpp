#include "serve/ServeHttp.h"

#include <httplib.h>

#include <charconv>

#include "serve/ServeExport.h"
#include "serve/ServePage.h"

namespace tqtool {

namespace {

// A browser's request is a line and a dozen short headers; anything much
// larger is not a viewer.
constexpr size_t kLongestTarget = 2048;
constexpr size_t kMostHeaders = 48;
constexpr size_t kLargestHeaders = 16 * 1024;
// Threads beyond the viewers' own: the page, exports and the 503s.
constexpr size_t kSpareThreads = 8;
// Every viewer's socket takes these from the listening socket: a fixed send
// buffer, which the system would otherwise grow to megabytes for a viewer
// that does not read, hiding for minutes that it is gone; and a send timeout,
// so the thread of a viewer that stopped reading is not held in a send for
// as long as its link lasts.
constexpr int kSendBuffer = 64 * 1024;
constexpr timeval kSendTimeout{3, 0};
// A comment line now and then keeps proxies from closing a quiet stream.
constexpr std::chrono::seconds kKeepAlive{10};

const char kPagePolicy[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'";

bool ParseNumber(const std::string& text, uint64_t& value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

// Refuses what no viewer sends, before any route sees it.
httplib::Server::HandlerResponse Screen(const httplib::Request& request, httplib::Response& response) {
  size_t headerBytes = 0;
  for (const auto& [name, value] : request.headers) headerBytes += name.size() + value.size() + 4;
  if (request.method != "GET" && request.method != "HEAD") {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
  } else if (request.target.size() > kLongestTarget) {
    response.status = 414;
  } else if (request.headers.size() > kMostHeaders || headerBytes > kLargestHeaders) {
    response.status = 431;
  } else if (!request.body.empty() || request.has_header("Content-Length") ||
             request.has_header("Transfer-Encoding")) {
    response.status = 413;  // viewers send nothing
  } else {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  response.set_header("Connection", "close");
  return httplib::Server::HandlerResponse::Handled;
}

}  // namespace

struct ServeHttp::Server {
  httplib::Server http;
};

bool ParseListenAddress(const std::string& text, ListenAddress& address) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  uint64_t port = 0;
  if (!ParseNumber(text.substr(colon + 1), port) || port > 65535) return false;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // a bare IPv6 address is ambiguous
  }
  address.host = host.empty() ? "127.0.0.1" : host;
  address.port = static_cast<int>(port);
  return true;
}

std::string ListenUrl(const ListenAddress& address, int port) {
  std::string host = address.host;
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port) + "/";
}

ServeHttp::ServeHttp(ServeHub& hub, size_t maxViewers) : m_server(new Server), m_hub(hub) {
  httplib::Server& http = m_server->http;
  const size_t threads = maxViewers + kSpareThreads;
  http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http.set_tcp_nodelay(true);  // an event is a few dozen bytes: send it now
  http.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
  });
  http.set_payload_max_length(0);
  http.set_read_timeout(3, 0);
  http.set_write_timeout(3, 0);
  http.set_keep_alive_timeout(2);
  http.set_default_headers({{"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}});
  http.set_pre_routing_handler(Screen);
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::to_string(response.status) + "\n", "text/plain");
  });
  Route();
}

ServeHttp::~ServeHttp() { Stop(); }

void ServeHttp::Route() {
  httplib::Server& http = m_server->http;
  http.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Security-Policy", kPagePolicy);
    response.set_header("Cache-Control", "no-store");
    response.set_content(kServePage, "text/html; charset=utf-8");
  });
  http.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
    std::optional<uint64_t> last;
    uint64_t id = 0;
    // The browser's own reconnection names the last event in the header; a
    // page that opens its stream anew names it in the query.
    if (ParseNumber(request.get_header_value("Last-Event-ID"), id) ||
        ParseNumber(request.get_param_value("lastEventId"), id)) {
      last = id;
    }
    auto pending = std::make_shared<std::string>("retry: 1000\n\n");
    std::string first;
    std::shared_ptr<Viewer> viewer = m_hub.Join(last, first);
    if (!viewer) {
      response.status = 503;
      response.set_header("Retry-After", "5");
      response.set_content("503 the board has as many viewers as it takes\n", "text/plain");
      return;
    }
    *pending += first;
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Accel-Buffering", "no");  // a proxy must not hold events back
    response.set_chunked_content_provider(
        "text/event-stream",
        [viewer, pending](size_t, httplib::DataSink& sink) {
          if (pending->empty() && !viewer->Take(*pending, kKeepAlive)) return false;
          if (pending->empty()) *pending = ":\n\n";
          const bool written = sink.write(pending->data(), pending->size());
          pending->clear();
          return written;
        },
        [this, viewer](bool) { m_hub.Leave(viewer); });
  });
  http.Get(R"(/page/(\d{1,6})\.(svg|pdf))", [this](const httplib::Request& request,
                                                     httplib::Response& response) {
    uint64_t page = 0;
    ParseNumber(request.matches[1].str(), page);
    const StrokeModel model = m_hub.Model();
    if (page >= model.Pages().size()) {
      response.status = 404;
      return;
    }
    const PageFormat format = request.matches[2].str() == "pdf" ? PageFormat::Pdf : PageFormat::Svg;
    std::string body, mediaType, error;
    if (!ExportPage(model, page, format, body, mediaType, error)) {
      response.status = 501;
      response.set_content(error + "\n", "text/plain");
      return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
    response.set_content(body, mediaType.c_str());
  });
}

bool ServeHttp::Bind(const ListenAddress& address, std::string& error) {
  httplib::Server& http = m_server->http;
  if (address.port == 0) {
    m_port = http.bind_to_any_port(address.host);
  } else {
    m_port = http.bind_to_port(address.host, address.port) ? address.port : -1;
  }
  if (m_port <= 0) {
    error = "cannot listen on " + address.host + ":" + std::to_string(address.port) +
            " (in use, or not an address of this machine)";
    return false;
  }
  return true;
}

void ServeHttp::Start() {
  m_thread = std::thread([this] { m_server->http.listen_after_bind(); });
}

void ServeHttp::Stop() {
  if (!m_thread.joinable()) return;
  m_server->http.stop();
  m_thread.join();
}

}  // namespace tqtool
