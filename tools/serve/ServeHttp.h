// The web side of `tq serve`: its own few routes and nothing else.
//   /            the page (ServePage)
//   /events      the board's events as Server-Sent Events
//   /page/K.svg  /page/K.pdf   the export of page K (from 0)
// Read-only: no route takes a body or reaches the board, no part of a request
// names a file. Requests and their headers are kept small; a viewer beyond
// the limit is answered 503.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "serve/ServeHub.h"

namespace tqtool {

struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 8080;
};

// "ADDR:PORT", "[V6ADDR]:PORT" or ":PORT" (the loopback); false for anything else.
bool ParseListenAddress(const std::string& text, ListenAddress& address);

class ServeHttp {
 public:
  ServeHttp(ServeHub& hub, size_t maxViewers);
  ~ServeHttp();
  ServeHttp(const ServeHttp&) = delete;
  ServeHttp& operator=(const ServeHttp&) = delete;

  // Binds the address (port 0: a free one); false with the reason.
  bool Bind(const ListenAddress& address, std::string& error);
  int Port() const { return m_port; }
  // Serves on a thread of its own until Stop.
  void Start();
  // Stop the hub first: it ends the viewers' streams.
  void Stop();

 private:
  struct Server;
  void Route();
  std::unique_ptr<Server> m_server;
  ServeHub& m_hub;
  int m_port = 0;
  std::thread m_thread;
};

// The URL a person types for the address.
std::string ListenUrl(const ListenAddress& address, int port);

}  // namespace tqtool
