// A page of a command's own, served by ServeHttp in place of the live view:
// a few fixed files, the command's state as it changes, and a few things the
// page may ask the command to do. The command owns the state and decides
// what each request means; this class only carries them.
//   GET  /, /NAME.js, /NAME.css   the page's files (`files`)
//   GET  /state                   the state, JSON, as Server-Sent Events:
//                                 the whole of it first, then again each time
//                                 SetState changes it (a viewer that falls
//                                 behind gets only the latest)
//   POST /ACTION[/ARGUMENT]       handed to the command's `act`, no body
//
// The page runs on the person's own machine, in the same browser that
// visits other sites, so a request that changes something must come from
// the page itself: POSTs are taken from loopback clients only, never with
// another site's Origin (or a Sec-Fetch-Site other than same-origin); no
// GET changes anything, so a cross-site image or link can do nothing; and
// every request must name a loopback host (127.0.0.1, localhost, [::1]),
// which keeps out a site whose own name was made to resolve to this machine.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

struct MHD_Connection;

namespace tqtool {

struct PageFile {
  const char* path;  // "/" for the page itself
  const char* mediaType;
  const char* bytes;
  size_t size;
};

class StatePage {
 public:
  struct Reply {
    unsigned status = 200;
    std::string text;  // what the page shows when the status is not 2xx
  };
  // Called on the web server's thread for each accepted POST: the first
  // name in the path and what follows its slash ("redo", "2").
  using Act = std::function<Reply(const std::string& action, const std::string& argument)>;

  StatePage(const PageFile* files, size_t count, Act act, size_t maxStreams = 16);
  ~StatePage();
  StatePage(const StatePage&) = delete;
  StatePage& operator=(const StatePage&) = delete;

  // From any thread: every open stream sends `json` next.
  void SetState(const std::string& json);

  // For ServeHttp, on its thread: answers a request (an MHD_Result).
  int Answer(MHD_Connection* connection, const std::string& url, const std::string& method);
  // Ends every open stream; no new one starts.
  void EndStreams();

 private:
  struct Stream;
  static ssize_t Read(void* cls, uint64_t position, char* buffer, size_t max);
  static void Free(void* cls);
  int OpenStream(MHD_Connection* connection);

  const PageFile* m_files;
  size_t m_count;
  Act m_act;
  size_t m_maxStreams;
  std::mutex m_lock;
  std::string m_state = "{}";
  uint64_t m_version = 1;
  bool m_ended = false;
  std::set<Stream*> m_streams;
};

// `text` as a JSON string, quotes included.
std::string JsonQuoted(const std::string& text);

}  // namespace tqtool
