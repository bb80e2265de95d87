#include "serve/StatePage.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tqtool {

namespace {

const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void Headers(MHD_Response* response, const char* mediaType) {
  MHD_add_response_header(response, "Content-Type", mediaType);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

MHD_Result Send(MHD_Connection* connection, unsigned status, const std::string& text,
                bool close = false) {
  MHD_Response* response = MHD_create_response_from_buffer(
      text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  Headers(response, "text/plain; charset=utf-8");
  if (close) MHD_add_response_header(response, "Connection", "close");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

std::string Header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

// The host a Host header names, without its port: 127.0.0.1, localhost or
// [::1] (any 127.x.y.z too, for --listen on another loopback address).
bool LoopbackHost(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.front() == '[') {
    name = name.substr(0, name.find(']') + 1);
    return name == "[::1]";
  }
  name = name.substr(0, name.find(':'));
  if (name == "localhost") return true;
  in_addr v4{};
  return inet_pton(AF_INET, name.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool LoopbackClient(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return false;
  const sockaddr* address = info->client_addr;
  if (address->sa_family == AF_INET) {
    return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
  }
  return address->sa_family == AF_INET6 &&
         IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
}

// Why a POST is not the page's own, or empty. A browser names the origin
// of every POST it sends; a program without one (curl, a test) may leave
// it out.
std::string ForeignPost(MHD_Connection* connection) {
  if (!LoopbackClient(connection)) return "not from this machine";
  const std::string origin = Header(connection, "Origin");
  if (!origin.empty() && origin != "http://" + Header(connection, "Host"))
    return "from another site (" + origin + ")";
  const std::string site = Header(connection, "Sec-Fetch-Site");
  if (!site.empty() && site != "same-origin") return "from another site (" + site + ")";
  return {};
}

}  // namespace

struct StatePage::Stream {
  StatePage* page = nullptr;
  MHD_Connection* connection = nullptr;
  uint64_t sent = 0;  // the version of the state sent last
  std::string pending;
  size_t offset = 0;
  bool parked = false;
};

StatePage::StatePage(const PageFile* files, size_t count, Act act, size_t maxStreams)
    : m_files(files), m_count(count), m_act(std::move(act)), m_maxStreams(maxStreams) {}

StatePage::~StatePage() { EndStreams(); }

void StatePage::SetState(const std::string& json) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (json == m_state) return;
  m_state = json;
  ++m_version;
  for (Stream* stream : m_streams) {
    if (!stream->parked) continue;
    stream->parked = false;
    MHD_resume_connection(stream->connection);
  }
}

void StatePage::EndStreams() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_ended = true;
  for (Stream* stream : m_streams) {
    if (!stream->parked) continue;
    stream->parked = false;
    MHD_resume_connection(stream->connection);
  }
}

int StatePage::Answer(MHD_Connection* connection, const std::string& url,
                      const std::string& method) {
  if (!LoopbackHost(Header(connection, "Host"))) {
    return Send(connection, 403, "403 this page answers to 127.0.0.1 or localhost only\n", true);
  }
  // The page asks in short paths and sends nothing.
  if (url.size() > 256) return Send(connection, 414, "414\n", true);
  const std::string length = Header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if ((!length.empty() && length != "0") ||
      !Header(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING).empty()) {
    return Send(connection, 413, "413 this page takes no body\n", true);
  }
  if (method == "POST") {
    if (const std::string why = ForeignPost(connection); !why.empty()) {
      return Send(connection, 403, "403 refused: a request " + why + "\n", true);
    }
    const size_t slash = url.find('/', 1);
    const std::string action =
        url.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string argument = slash == std::string::npos ? "" : url.substr(slash + 1);
    const Reply reply = m_act ? m_act(action, argument) : Reply{404, "404\n"};
    return Send(connection, reply.status,
                reply.text.empty() ? std::to_string(reply.status) + "\n" : reply.text);
  }
  if (url == "/state" && method == "GET") return OpenStream(connection);
  if (method != "GET" && method != "HEAD") {
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    Headers(response, "text/plain");
    MHD_add_response_header(response, "Allow", "GET, HEAD, POST");
    const MHD_Result queued = MHD_queue_response(connection, 405, response);
    MHD_destroy_response(response);
    return queued;
  }
  const PageFile* end = m_files + m_count;
  const PageFile* file =
      std::find_if(m_files, end, [&url](const PageFile& f) { return url == f.path; });
  if (file == end) return Send(connection, 404, "404\n");
  MHD_Response* response = MHD_create_response_from_buffer(
      file->size, const_cast<char*>(file->bytes), MHD_RESPMEM_PERSISTENT);
  Headers(response, file->mediaType);
  MHD_add_response_header(response, "Content-Security-Policy", kPolicy);
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

int StatePage::OpenStream(MHD_Connection* connection) {
  auto* stream = new Stream;
  stream->page = this;
  stream->connection = connection;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_ended || m_streams.size() >= m_maxStreams) {
      delete stream;
      return Send(connection, 503, "503 the page is open in as many places as it takes\n", true);
    }
    m_streams.insert(stream);
  }
  MHD_Response* response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &Read, stream, &Free);
  if (response == nullptr) {
    Free(stream);
    return MHD_NO;
  }
  Headers(response, "text/event-stream");
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

// Sends the latest state whenever it is newer than the one sent last; with
// nothing new the connection is parked until SetState (or the end) wakes it.
ssize_t StatePage::Read(void* cls, uint64_t, char* buffer, size_t max) {
  Stream& stream = *static_cast<Stream*>(cls);
  StatePage& page = *stream.page;
  std::lock_guard<std::mutex> guard(page.m_lock);
  if (stream.offset == stream.pending.size()) {
    stream.pending.clear();
    stream.offset = 0;
    if (stream.sent == page.m_version) {
      // The last state goes out before the stream ends.
      if (page.m_ended) return MHD_CONTENT_READER_END_OF_STREAM;
      stream.parked = true;
      MHD_suspend_connection(stream.connection);
      return 0;
    }
    // A browser that lost the stream asks again after a second.
    if (stream.sent == 0) stream.pending = "retry: 1000\n";
    stream.pending += "data: ";
    for (const char c : page.m_state) {
      if (c == '\n') {
        stream.pending += "\ndata: ";
      } else {
        stream.pending.push_back(c);
      }
    }
    stream.pending += "\n\n";
    stream.sent = page.m_version;
  }
  const size_t size = std::min(max, stream.pending.size() - stream.offset);
  std::memcpy(buffer, stream.pending.data() + stream.offset, size);
  stream.offset += size;
  return static_cast<ssize_t>(size);
}

void StatePage::Free(void* cls) {
  auto* stream = static_cast<Stream*>(cls);
  {
    std::lock_guard<std::mutex> guard(stream->page->m_lock);
    stream->page->m_streams.erase(stream);
  }
  delete stream;
}

std::string JsonQuoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

}  // namespace tqtool
