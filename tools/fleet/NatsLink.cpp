#include "fleet/NatsLink.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "common/CommandLine.h"
#include "common/Report.h"

namespace tqtool {

namespace {

const char kStreamPrefix[] = "TQ_BOARD_";

std::vector<std::string> SplitUrls(const std::string& urls) {
  std::vector<std::string> list;
  std::string item;
  for (const char c : urls + ",") {
    if (c == ',') {
      if (!item.empty()) list.push_back(item);
      item.clear();
    } else if (c != ' ') {
      item += c;
    }
  }
  return list;
}

bool Readable(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace

void AddFleetOptions(CommandLine& line, FleetOptions& options, bool board) {
  line.Text("--nats", options.urls, "URL[,URL...]", "the engine's servers (nats://HOST:PORT, tls://...)");
  if (board) line.Text("--board", options.board, "NAME", "the board's name in the engine (letters, digits, - and _)");
  line.Text("--creds", options.creds, "FILE", "credentials file (else NATS_TOKEN or NATS_USER and NATS_PASSWORD)");
  line.Text("--ca", options.ca, "FILE", "certificate authority of a tls:// engine");
}

std::string FleetProblem(const FleetOptions& options, bool board) {
  if (options.urls.empty() || SplitUrls(options.urls).empty()) return "give --nats URL";
  if (board && !ValidBoardName(options.board)) {
    return "--board wants a name of letters, digits, '-' and '_' (at most 64), not '" +
           Printable(options.board) + "'";
  }
  if (!options.creds.empty() && !Readable(options.creds)) return "cannot read --creds " + options.creds;
  if (!options.ca.empty() && !Readable(options.ca)) return "cannot read --ca " + options.ca;
  return {};
}

bool ValidBoardName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string StreamName(const std::string& board) { return kStreamPrefix + board; }
std::string BoardSubject(const std::string& board) { return "tq.board." + board + ".events"; }

std::string BoardOfStream(const std::string& stream) {
  const std::string prefix = kStreamPrefix;
  if (stream.compare(0, prefix.size(), prefix) != 0) return {};
  const std::string board = stream.substr(prefix.size());
  return ValidBoardName(board) ? board : std::string();
}

std::string NatsWhy(natsStatus status) {
  std::string why = natsStatus_GetText(status);
  const char* last = nats_GetLastError(nullptr);
  if (last != nullptr && *last != '\0' && why != last) why += std::string(" (") + last + ")";
  return why;
}

NatsLink::~NatsLink() {
  m_closing = true;
  jsCtx_Destroy(m_js);
  if (m_connection != nullptr) {
    natsConnection_Close(m_connection);
    // Callbacks already queued (a disconnect, a reconnect) still hold this
    // object: wait for the closed callback, which follows them.
    std::unique_lock<std::mutex> hold(m_closedLock);
    m_closedSignal.wait_for(hold, std::chrono::seconds(5), [this] { return m_closed; });
    hold.unlock();
    natsConnection_Destroy(m_connection);
  }
}

void NatsLink::OnClosed(natsConnection*, void* closure) {
  auto* self = static_cast<NatsLink*>(closure);
  std::lock_guard<std::mutex> hold(self->m_closedLock);
  self->m_closed = true;
  self->m_closedSignal.notify_all();
}

bool NatsLink::Connected() const {
  return m_connection != nullptr && natsConnection_Status(m_connection) == NATS_CONN_STATUS_CONNECTED;
}

void NatsLink::OnDisconnected(natsConnection*, void* closure) {
  auto* self = static_cast<NatsLink*>(closure);
  if (self->m_closing) return;
  ++self->m_losses;
  Say(self->m_command, "engine unreachable, reconnecting");
}

void NatsLink::OnReconnected(natsConnection* connection, void* closure) {
  auto* self = static_cast<NatsLink*>(closure);
  char url[256] = "";
  natsConnection_GetConnectedUrl(connection, url, sizeof url);
  Say(self->m_command, std::string(self->m_everConnected.exchange(true) ? "engine back at " : "engine reached at ") + url);
}

bool NatsLink::Connect(const FleetOptions& options, const std::string& command, std::string& error) {
  m_command = command;
  natsOptions* opts = nullptr;
  natsStatus s = natsOptions_Create(&opts);
  const std::vector<std::string> urls = SplitUrls(options.urls);
  std::vector<const char*> servers;
  bool secure = false;
  for (const std::string& url : urls) {
    servers.push_back(url.c_str());
    if (url.compare(0, 6, "tls://") == 0) secure = true;
  }
  if (s == NATS_OK) s = natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size()));
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
  if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, 250);
  if (s == NATS_OK) s = natsOptions_SetReconnectJitter(opts, 100, 500);
  if (s == NATS_OK) s = natsOptions_SetNoRandomize(opts, false);
  if (s == NATS_OK) s = natsOptions_SetPingInterval(opts, 2000);
  if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(opts, 2);
  if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, &NatsLink::OnDisconnected, this);
  if (s == NATS_OK) s = natsOptions_SetReconnectedCB(opts, &NatsLink::OnReconnected, this);
  if (s == NATS_OK) s = natsOptions_SetClosedCB(opts, &NatsLink::OnClosed, this);
  // An engine not there yet is one that comes later: the first connect is
  // retried in the background like any reconnect.
  if (s == NATS_OK) s = natsOptions_SetRetryOnFailedConnect(opts, true, &NatsLink::OnReconnected, this);
  if (s == NATS_OK && !options.creds.empty()) {
    s = natsOptions_SetUserCredentialsFromFiles(opts, options.creds.c_str(), nullptr);
  } else if (s == NATS_OK) {
    const char* token = std::getenv("NATS_TOKEN");
    const char* user = std::getenv("NATS_USER");
    const char* password = std::getenv("NATS_PASSWORD");
    if (token != nullptr && *token != '\0') {
      s = natsOptions_SetToken(opts, token);
    } else if (user != nullptr && *user != '\0') {
      s = natsOptions_SetUserInfo(opts, user, password != nullptr ? password : "");
    }
  }
  if (s == NATS_OK && (secure || !options.ca.empty())) s = natsOptions_SetSecure(opts, true);
  if (s == NATS_OK && !options.ca.empty()) s = natsOptions_LoadCATrustedCertificates(opts, options.ca.c_str());
  if (s != NATS_OK) {
    error = "the engine's options: " + NatsWhy(s);
    natsOptions_Destroy(opts);
    return false;
  }
  s = natsConnection_Connect(&m_connection, opts);
  natsOptions_Destroy(opts);
  if (s == NATS_OK) {
    m_everConnected = true;
  } else if (s != NATS_NOT_YET_CONNECTED) {
    error = "cannot connect to " + options.urls + ": " + NatsWhy(s);
    m_connection = nullptr;
    return false;
  }
  jsOptions jsOpts;
  jsOptions_Init(&jsOpts);
  jsOpts.Wait = 2000;
  s = natsConnection_JetStream(&m_js, m_connection, &jsOpts);
  if (s != NATS_OK) {
    error = "JetStream: " + NatsWhy(s);
    return false;
  }
  return true;
}

}  // namespace tqtool
