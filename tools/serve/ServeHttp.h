// The web side of `tq serve`: its own few routes and nothing else.
//   /            the page (ServePage)
//   /events      the board's events as Server-Sent Events (docs/stream.md)
//   /page/K.svg  /page/K.pdf   the export of page K (from 1, as `tq export
//                --page` counts; /page/0 is no page and answers 404)
// Read-only: no route takes a body or reaches the board, no part of a request
// names a file.
//
// The server is libmicrohttpd driven by one thread over epoll: a connection,
// a viewer's stream included, is a socket and a little memory, never a
// thread, so clients that trickle their requests or never read hold nothing
// the others need. What any one client may take is bounded:
//   - the request head: its bytes by the connection's memory (MHD answers a
//     head that does not fit itself, while reading it), its time by a
//     deadline for the whole head however slowly it trickles in, checked by
//     a sweep (MHD's own timeout only counts idle time);
//   - connections: a cap for all, and a cap for each address when the server
//     listens beyond the loopback (on the loopback every client is this
//     machine, or the proxy in front of it);
//   - viewers: at most `maxViewers` streams (the next is answered 503), each
//     a place in the hub's log; one that does not read is dropped;
//   - pictures: at most two drawn at once, off the server's thread, the
//     result kept for as long as its page does not change.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "serve/ServeHub.h"

namespace tqtool {

class StatePage;

struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 8080;
};

// "ADDR:PORT", "[V6ADDR]:PORT" or ":PORT" (the loopback); false for anything else.
bool ParseListenAddress(const std::string& text, ListenAddress& address);

struct ServeHttpLimits {
  size_t maxViewers = 2000;
  // Connections beyond the viewers': pages, pictures, and requests being read.
  size_t spareConnections = 128;
  // Connections from one address when listening beyond the loopback.
  unsigned perAddress = 64;
  unsigned headSeconds = 5;    // for a whole request head
  unsigned idleSeconds = 15;   // a connection doing nothing, a stream not read
  size_t connectionMemory = 32 * 1024;  // the head must fit, with the reply's buffer
  int backlog = 1024;
  unsigned renders = 2;          // pictures drawn at once
  size_t rendersWaiting = 64;    // pictures asked for beyond those: 503
  unsigned keepAliveSeconds = 10;  // a comment on a quiet stream, for proxies
  // Threads serving the connections, each over its own epoll: a fixed few,
  // however many connections. One by default: on a machine of two busy
  // cores a second one shared the sends of an event but made every event
  // wait for both to be scheduled (bench/serve_bench.cpp, TQ_SERVE_THREADS).
  unsigned threads = 1;
};

class ServeHttp {
 public:
  ServeHttp(ServeHub& hub, size_t maxViewers);
  ServeHttp(ServeHub& hub, const ServeHttpLimits& limits);
  // A command's own page (serve/StatePage.h) instead of the live view: every
  // request is the page's to answer.
  ServeHttp(StatePage& page, const ServeHttpLimits& limits);
  ~ServeHttp();
  ServeHttp(const ServeHttp&) = delete;
  ServeHttp& operator=(const ServeHttp&) = delete;

  // Binds the address (port 0: a free one); false with the reason.
  bool Bind(const ListenAddress& address, std::string& error);
  int Port() const { return m_port; }
  // Whether the bound address reaches beyond this machine.
  bool BeyondLoopback() const { return m_beyondLoopback; }
  // Serves on a thread of its own until Stop; false when the server could
  // not start.
  bool Start();
  // Ends every stream and picture being drawn, then the server.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<ServeHub> m_idleHub;  // behind a StatePage, which needs none
  std::unique_ptr<Impl> m_impl;
  int m_port = 0;
  bool m_beyondLoopback = false;
};

// The URL of the address listened on: the address itself, bracketed when
// it is IPv6.
std::string ListenUrl(const ListenAddress& address, int port);

}  // namespace tqtool
