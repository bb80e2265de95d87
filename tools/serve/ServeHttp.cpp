#include "serve/ServeHttp.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/MessageLoop.h"
#include "serve/ServeExport.h"
#include "serve/ServePage.h"
#include "serve/StatePage.h"

namespace tqtool {

namespace {

// A browser's request is a line and a dozen short headers; anything much
// larger is not a viewer.
constexpr size_t kLongestTarget = 2048;
constexpr unsigned kMostHeaders = 48;
// Every socket's send buffer is fixed, which the system would otherwise grow
// to megabytes for a viewer that does not read, hiding for minutes that it
// is gone.
constexpr int kSendBuffer = 64 * 1024;
// How often the sweep looks at the request heads' deadlines and quiet streams.
constexpr int64_t kSweepUs = 200 * 1000;
// Pictures kept, each for as long as its page does not change.
constexpr size_t kPicturesKept = 32;

const char kPagePolicy[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'";

bool ParseNumber(const char* text, uint64_t& value) {
  if (text == nullptr || *text == '\0') return false;
  const char* end = text + std::strlen(text);
  const auto result = std::from_chars(text, end, value);
  return result.ec == std::errc() && result.ptr == end;
}

bool ParseNumber(const std::string& text, uint64_t& value) { return ParseNumber(text.c_str(), value); }

bool IsLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
  }
  return false;
}

MHD_Response* TextResponse(const std::string& text) {
  return MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
}

void CommonHeaders(MHD_Response* response) {
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

// A refusal: a short text, and the connection closed after it.
MHD_Result Refuse(MHD_Connection* connection, unsigned status, const std::string& text = {},
                  const char* header = nullptr, const char* value = nullptr) {
  MHD_Response* response = TextResponse(text.empty() ? std::to_string(status) + "\n" : text);
  CommonHeaders(response);
  MHD_add_response_header(response, "Content-Type", "text/plain");
  MHD_add_response_header(response, "Connection", "close");
  if (header != nullptr) MHD_add_response_header(response, header, value);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

struct ServeHttp::Impl {
  // One connection, from its accept to its close: when its current request
  // head began, for the deadline.
  struct Socket {
    MHD_Connection* connection = nullptr;
    int fd = -1;
    int64_t headStartUs = 0;
    bool reading = true;  // a head is being read
    bool cut = false;
  };

  // One viewer's stream.
  struct Stream {
    Impl* impl = nullptr;
    MHD_Connection* connection = nullptr;
    std::shared_ptr<Viewer> viewer;
    std::atomic<int64_t> lastSentUs{0};
    std::atomic<bool> keepAliveDue{false};
    bool retrySent = false;
  };

  // One picture being drawn, and the requests waiting for it.
  struct Render {
    std::string key;
    uint64_t version = 0;
    PageCopy page;
    PageFormat format = PageFormat::Svg;
    std::vector<MHD_Connection*> waiting;
    bool done = false, ok = false, cancelled = false;
    std::string body, mediaType, error;
  };
  struct Kept {
    uint64_t version = 0;
    std::string body, mediaType;
  };

  // What a request keeps between calls of the handler.
  struct Request {
    std::shared_ptr<Render> render;
  };

  Impl(ServeHub& served, const ServeHttpLimits& bounds) : hub(served), limits(bounds) {}

  ServeHub& hub;
  const ServeHttpLimits limits;
  int listenFd = -1;
  bool beyondLoopback = false;
  MHD_Daemon* daemon = nullptr;
  MHD_Response* page = nullptr;
  StatePage* site = nullptr;  // answers every request when set

  std::mutex socketsLock;
  std::set<Socket*> sockets;

  std::mutex streamsLock;
  std::set<Stream*> streams;
  std::atomic<bool> stopping{false};  // read under either lock below, set under both

  std::mutex renderLock;
  std::condition_variable renderReady;
  std::deque<std::shared_ptr<Render>> renderQueue;
  std::map<std::string, std::shared_ptr<Render>> rendering;  // by key
  std::map<std::string, Kept> pictures;                   // by key
  std::deque<std::string> pictureOrder;
  std::vector<std::thread> renderers;

  std::atomic<bool> sweeping{false};
  std::thread sweeper;

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* uploadData, size_t* uploadSize, void** requestContext);
  static void OnNotify(void* cls, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode code);
  static void OnCompleted(void* cls, MHD_Connection* connection, void** requestContext,
                          MHD_RequestTerminationCode code);
  static ssize_t ReadStream(void* cls, uint64_t position, char* buffer, size_t max);
  static void FreeStream(void* cls);

  MHD_Result Handle(MHD_Connection* connection, const std::string& url, const std::string& method,
                    Request& request);
  MHD_Result Events(MHD_Connection* connection);
  MHD_Result Picture(MHD_Connection* connection, size_t number, PageFormat format, Request& request);
  MHD_Result SendPicture(MHD_Connection* connection, const std::string& body, const std::string& mediaType);
  void RenderLoop();
  void Sweep();
  void StopAll();
};

MHD_Result ServeHttp::Impl::OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                      const char*, const char* uploadData, size_t* uploadSize,
                                      void** requestContext) {
  Impl& impl = *static_cast<Impl*>(cls);
  if (*requestContext == nullptr) {
    *requestContext = new Request;
    // The head is in: its deadline no longer applies.
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr && info->socket_context != nullptr) {
      std::lock_guard<std::mutex> guard(impl.socketsLock);
      static_cast<Socket*>(info->socket_context)->reading = false;
    }
  }
  Request& request = *static_cast<Request*>(*requestContext);
  if (uploadData != nullptr && *uploadSize != 0) {
    *uploadSize = 0;  // viewers send nothing; the refusal is already queued
    return MHD_YES;
  }
  return impl.Handle(connection, url, method, request);
}

MHD_Result ServeHttp::Impl::Handle(MHD_Connection* connection, const std::string& url, const std::string& method,
                                   Request& request) {
  if (request.render) {  // back from the renderer
    const std::shared_ptr<Render> render = std::move(request.render);
    if (!render->done || render->cancelled) return Refuse(connection, 503, "503 the server is stopping\n");
    if (!render->ok) return Refuse(connection, 501, render->error + "\n");
    return SendPicture(connection, render->body, render->mediaType);
  }
  if (site != nullptr) return static_cast<MHD_Result>(site->Answer(connection, url, method));
  if (method != "GET" && method != "HEAD") return Refuse(connection, 405, {}, "Allow", "GET, HEAD");
  const int arguments = MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, nullptr, nullptr);
  if (url.size() > kLongestTarget || arguments > 8) return Refuse(connection, 414);
  if (MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr) > static_cast<int>(kMostHeaders)) {
    return Refuse(connection, 431);
  }
  if (MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH) != nullptr ||
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr) {
    return Refuse(connection, 413);  // viewers send nothing
  }
  if (url == "/") return MHD_queue_response(connection, MHD_HTTP_OK, page);
  if (url == "/events") return Events(connection);
  // /page/K.svg or /page/K.pdf, K of one to six digits.
  const std::string prefix = "/page/";
  if (url.compare(0, prefix.size(), prefix) == 0) {
    const size_t dot = url.find('.', prefix.size());
    const std::string digits = url.substr(prefix.size(), dot == std::string::npos ? 0 : dot - prefix.size());
    const std::string format = dot == std::string::npos ? "" : url.substr(dot + 1);
    uint64_t number = 0;
    if (digits.size() <= 6 && ParseNumber(digits, number) && (format == "svg" || format == "pdf")) {
      return Picture(connection, static_cast<size_t>(number), format == "pdf" ? PageFormat::Pdf : PageFormat::Svg,
                     request);
    }
  }
  return Refuse(connection, 404);
}

MHD_Result ServeHttp::Impl::Events(MHD_Connection* connection) {
  std::optional<uint64_t> last;
  uint64_t id = 0;
  // The browser's own reconnection names the last event in the header; a
  // page that opens its stream anew names it in the query.
  if (ParseNumber(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID"), id) ||
      ParseNumber(MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "lastEventId"), id)) {
    last = id;
  }
  auto stream = std::make_unique<Stream>();
  stream->impl = this;
  stream->connection = connection;
  {
    std::lock_guard<std::mutex> guard(streamsLock);
    if (!stopping) stream->viewer = hub.Join(last);
    if (!stream->viewer) {
      return Refuse(connection, 503, "503 the board has as many viewers as it takes\n", "Retry-After", "5");
    }
    streams.insert(stream.get());
  }
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  const int fd = info != nullptr ? info->connect_fd : -1;
  stream->lastSentUs = NowUs();
  stream->viewer->SetWake([connection] { MHD_resume_connection(connection); },
                          [fd] {
                            if (fd >= 0) shutdown(fd, SHUT_RDWR);
                          });
  Stream* raw = stream.release();
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &ReadStream, raw,
                                                             &FreeStream);
  if (response == nullptr) {
    FreeStream(raw);
    return MHD_NO;
  }
  CommonHeaders(response);
  MHD_add_response_header(response, "Content-Type", "text/event-stream");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Accel-Buffering", "no");  // a proxy must not hold events back
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

ssize_t ServeHttp::Impl::ReadStream(void* cls, uint64_t, char* buffer, size_t max) {
  Stream& stream = *static_cast<Stream*>(cls);
  size_t size = 0;
  if (!stream.retrySent) {
    static const char kRetry[] = "retry: 1000\n\n";
    stream.retrySent = true;
    if (max >= sizeof kRetry - 1) {
      std::memcpy(buffer, kRetry, sizeof kRetry - 1);
      return static_cast<ssize_t>(sizeof kRetry - 1);
    }
  }
  if (stream.keepAliveDue.exchange(false) && max >= 3) {
    stream.lastSentUs = NowUs();
    std::memcpy(buffer, ":\n\n", 3);
    return 3;
  }
  MHD_Connection* connection = stream.connection;
  const Viewer::Read read =
      stream.viewer->Take(buffer, max, size, [connection] { MHD_suspend_connection(connection); });
  if (read == Viewer::Read::End) return MHD_CONTENT_READER_END_OF_STREAM;
  if (read == Viewer::Read::Wait) return 0;  // suspended until the hub wakes it
  stream.lastSentUs = NowUs();
  return static_cast<ssize_t>(size);
}

void ServeHttp::Impl::FreeStream(void* cls) {
  Stream* stream = static_cast<Stream*>(cls);
  stream->viewer->Detach();
  stream->impl->hub.Leave(stream->viewer);
  {
    std::lock_guard<std::mutex> guard(stream->impl->streamsLock);
    stream->impl->streams.erase(stream);
  }
  delete stream;
}

MHD_Result ServeHttp::Impl::SendPicture(MHD_Connection* connection, const std::string& body,
                                        const std::string& mediaType) {
  MHD_Response* response = TextResponse(body);
  CommonHeaders(response);
  MHD_add_response_header(response, "Content-Type", mediaType.c_str());
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

// A picture comes from the kept ones while its page is unchanged; else it is
// drawn by a renderer, the request suspended meanwhile, and requests for the
// same picture wait for the same drawing.
MHD_Result ServeHttp::Impl::Picture(MHD_Connection* connection, size_t number, PageFormat format,
                                    Request& request) {
  PageCopy copy;
  if (!hub.Page(number, copy)) return Refuse(connection, 404);
  const std::string key = std::to_string(number) + (format == PageFormat::Pdf ? ".pdf" : ".svg");
  std::unique_lock<std::mutex> guard(renderLock);
  if (stopping) return Refuse(connection, 503);
  const auto kept = pictures.find(key);
  if (kept != pictures.end() && kept->second.version == copy.version) {
    const std::string body = kept->second.body, mediaType = kept->second.mediaType;
    guard.unlock();
    return SendPicture(connection, body, mediaType);
  }
  std::shared_ptr<Render> render;
  const auto drawing = rendering.find(key);
  if (drawing != rendering.end() && drawing->second->version == copy.version) {
    render = drawing->second;
  } else {
    if (renderQueue.size() >= limits.rendersWaiting) {
      guard.unlock();
      return Refuse(connection, 503, "503 too many pictures asked for at once\n", "Retry-After", "2");
    }
    render = std::make_shared<Render>();
    render->key = key;
    render->version = copy.version;
    render->page = std::move(copy);
    render->format = format;
    rendering[key] = render;
    renderQueue.push_back(render);
    renderReady.notify_one();
  }
  render->waiting.push_back(connection);
  request.render = render;
  MHD_suspend_connection(connection);
  return MHD_YES;
}

void ServeHttp::Impl::RenderLoop() {
  for (;;) {
    std::shared_ptr<Render> render;
    {
      std::unique_lock<std::mutex> guard(renderLock);
      renderReady.wait(guard, [this] { return stopping || !renderQueue.empty(); });
      if (stopping) return;
      render = renderQueue.front();
      renderQueue.pop_front();
    }
    std::string body, mediaType, error;
    const bool ok = ExportPage(render->page.page, render->page.width, render->page.height, render->page.pens,
                                   render->format, body, mediaType, error);
    std::lock_guard<std::mutex> guard(renderLock);
    render->ok = ok;
    render->body = std::move(body);
    render->mediaType = std::move(mediaType);
    render->error = std::move(error);
    render->done = true;
    if (ok) {
      if (pictures.find(render->key) == pictures.end()) pictureOrder.push_back(render->key);
      pictures[render->key] = Kept{render->version, render->body, render->mediaType};
      while (pictureOrder.size() > kPicturesKept) {
        pictures.erase(pictureOrder.front());
        pictureOrder.pop_front();
      }
    }
    if (rendering[render->key] == render) rendering.erase(render->key);
    for (MHD_Connection* connection : render->waiting) MHD_resume_connection(connection);
    render->waiting.clear();
  }
}

void ServeHttp::Impl::OnNotify(void* cls, MHD_Connection* connection, void** socketContext,
                               MHD_ConnectionNotificationCode code) {
  Impl& impl = *static_cast<Impl*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* socket = new Socket;
    socket->connection = connection;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    socket->fd = info != nullptr ? info->connect_fd : -1;
    if (socket->fd >= 0) {
      setsockopt(socket->fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
      const int yes = 1;  // an event is a few dozen bytes: send it now
      setsockopt(socket->fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    }
    socket->headStartUs = NowUs();
    *socketContext = socket;
    std::lock_guard<std::mutex> guard(impl.socketsLock);
    impl.sockets.insert(socket);
  } else if (*socketContext != nullptr) {
    // Closed: MHD closes the socket after this returns, so the sweep never
    // touches a descriptor that may have been given to another connection.
    auto* socket = static_cast<Socket*>(*socketContext);
    {
      std::lock_guard<std::mutex> guard(impl.socketsLock);
      impl.sockets.erase(socket);
    }
    delete socket;
    *socketContext = nullptr;
  }
}

void ServeHttp::Impl::OnCompleted(void* cls, MHD_Connection* connection, void** requestContext,
                                  MHD_RequestTerminationCode) {
  Impl& impl = *static_cast<Impl*>(cls);
  delete static_cast<Request*>(*requestContext);
  *requestContext = nullptr;
  // A connection kept alive reads its next head against a new deadline.
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info != nullptr && info->socket_context != nullptr) {
    std::lock_guard<std::mutex> guard(impl.socketsLock);
    auto* socket = static_cast<Socket*>(info->socket_context);
    socket->reading = true;
    socket->headStartUs = NowUs();
  }
}

// Every kSweepUs: a connection whose head is not in by its deadline is cut
// (its socket shut down: MHD sees the end and closes it), and a stream quiet
// for a while is woken to send a comment.
void ServeHttp::Impl::Sweep() {
  while (sweeping) {
    std::this_thread::sleep_for(std::chrono::microseconds(kSweepUs));
    const int64_t now = NowUs();
    {
      std::lock_guard<std::mutex> guard(socketsLock);
      for (Socket* socket : sockets) {
        if (socket->reading && !socket->cut && now - socket->headStartUs > int64_t{limits.headSeconds} * 1000000) {
          socket->cut = true;
          shutdown(socket->fd, SHUT_RDWR);
        }
      }
    }
    // Woken outside the streams' lock: a stream ending meanwhile takes it.
    std::vector<std::shared_ptr<Viewer>> quiet;
    {
      std::lock_guard<std::mutex> guard(streamsLock);
      for (Stream* stream : streams) {
        if (now - stream->lastSentUs.load() > int64_t{limits.keepAliveSeconds} * 1000000) {
          stream->lastSentUs = now;
          stream->keepAliveDue = true;
          quiet.push_back(stream->viewer);
        }
      }
    }
    for (const auto& viewer : quiet) viewer->Nudge();
  }
}

// Every suspended connection is resumed before the daemon stops: the
// streams end, the pictures being waited for are answered 503.
void ServeHttp::Impl::StopAll() {
  std::vector<std::shared_ptr<Viewer>> open;
  {
    std::lock_guard<std::mutex> guard(streamsLock);
    stopping = true;
    for (Stream* stream : streams) open.push_back(stream->viewer);
  }
  for (const auto& viewer : open) viewer->Close();
  {
    std::lock_guard<std::mutex> guard(renderLock);
    stopping = true;
    renderReady.notify_all();
    for (auto& [key, render] : rendering) {
      render->cancelled = true;
      for (MHD_Connection* connection : render->waiting) MHD_resume_connection(connection);
      render->waiting.clear();
    }
    rendering.clear();
    renderQueue.clear();
  }
  for (std::thread& renderer : renderers) renderer.join();
  renderers.clear();
  sweeping = false;
  if (sweeper.joinable()) sweeper.join();
  if (site != nullptr) site->EndStreams();
  MHD_stop_daemon(daemon);
  daemon = nullptr;
}

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
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(port) + "/";
}

namespace {

ServeHttpLimits LimitsFor(size_t maxViewers) {
  ServeHttpLimits limits;
  limits.maxViewers = maxViewers;
  return limits;
}

}  // namespace

ServeHttp::ServeHttp(ServeHub& hub, size_t maxViewers) : ServeHttp(hub, LimitsFor(maxViewers)) {}

ServeHttp::ServeHttp(ServeHub& hub, const ServeHttpLimits& limits) : m_impl(new Impl(hub, limits)) {}

ServeHttp::ServeHttp(StatePage& page, const ServeHttpLimits& limits)
    : m_idleHub(new ServeHub(ServeLimits{1, 1, 0, 1})), m_impl(new Impl(*m_idleHub, limits)) {
  m_impl->site = &page;
}

ServeHttp::~ServeHttp() {
  Stop();
  if (m_impl->page != nullptr) MHD_destroy_response(m_impl->page);
  if (m_impl->listenFd >= 0) close(m_impl->listenFd);
}

bool ServeHttp::Bind(const ListenAddress& address, std::string& error) {
  error = "cannot listen on " + address.host + ":" + std::to_string(address.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    error += " (not a numeric address)";
    return false;
  }
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (fd >= 0 && found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
  const bool bound = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
                     listen(fd, m_impl->limits.backlog) == 0;
  const int cause = errno;
  m_beyondLoopback = !IsLoopback(found->ai_addr);
  freeaddrinfo(found);
  if (!bound) {
    if (fd >= 0) close(fd);
    error += std::string(" (") + std::strerror(cause) + ")";
    return false;
  }
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  m_port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  m_impl->listenFd = fd;
  m_impl->beyondLoopback = m_beyondLoopback;
  error.clear();
  return true;
}

bool ServeHttp::Start() {
  Impl& impl = *m_impl;
  if (impl.listenFd < 0 || impl.daemon != nullptr) return false;
  if (impl.page == nullptr) {
    impl.page = MHD_create_response_from_buffer(std::strlen(kServePage), const_cast<char*>(kServePage),
                                                MHD_RESPMEM_PERSISTENT);
    CommonHeaders(impl.page);
    MHD_add_response_header(impl.page, "Content-Type", "text/html; charset=utf-8");
    MHD_add_response_header(impl.page, "Content-Security-Policy", kPagePolicy);
    MHD_add_response_header(impl.page, "Cache-Control", "no-store");
  }
  const unsigned connections = static_cast<unsigned>(impl.limits.maxViewers + impl.limits.spareConnections);
  // On the loopback every client is this machine or its proxy: only the
  // cap for all applies.
  const unsigned perAddress = impl.beyondLoopback ? impl.limits.perAddress : connections;
  impl.daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO, 0, nullptr, nullptr,
      &Impl::OnRequest, &impl, MHD_OPTION_THREAD_POOL_SIZE, impl.limits.threads > 1 ? impl.limits.threads : 0u,
      MHD_OPTION_LISTEN_SOCKET, impl.listenFd, MHD_OPTION_CONNECTION_LIMIT, connections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      impl.limits.connectionMemory, MHD_OPTION_CONNECTION_TIMEOUT, impl.limits.idleSeconds,
      MHD_OPTION_NOTIFY_CONNECTION, &Impl::OnNotify, &impl, MHD_OPTION_NOTIFY_COMPLETED, &Impl::OnCompleted, &impl,
      MHD_OPTION_END);
  if (impl.daemon == nullptr) return false;
  impl.stopping = false;
  for (unsigned i = 0; i < impl.limits.renders; ++i) impl.renderers.emplace_back([&impl] { impl.RenderLoop(); });
  impl.sweeping = true;
  impl.sweeper = std::thread([&impl] { impl.Sweep(); });
  return true;
}

void ServeHttp::Stop() {
  if (m_impl->daemon == nullptr) return;
  m_impl->StopAll();
  m_impl->listenFd = -1;  // MHD closed it with the daemon
}

}  // namespace tqtool
