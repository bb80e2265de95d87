// A board's messages onto its stream, none lost while they fit the buffer.
//
// The window procedure only copies each event into a bounded queue; the
// publishing thread takes them in order and publishes one at a time, the
// next only once the engine acknowledged the one before. Each carries a
// message id (the session and its number) so that the engine drops a resend
// of one it stored but whose acknowledgement was lost. While the engine is
// unreachable the queue keeps what arrives, up to its bound; what does not
// fit is counted and reported at the end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fleet/NatsLink.h"

namespace tqtool {

struct PublishSettings {
  std::string board;
  size_t buffer = 100000;   // events waiting at most
  long replicas = 1;        // of a stream this creates
  long maxAgeSeconds = 30L * 24 * 3600;
  int64_t maxBytes = int64_t{1} << 30;
};

struct PublishCounts {
  uint64_t posted = 0;      // events taken into the buffer
  uint64_t published = 0;   // acknowledged by the engine
  uint64_t duplicates = 0;  // resends the engine already had
  uint64_t lostFull = 0;    // events that did not fit the buffer
  uint64_t unsent = 0;      // still in the buffer when the command ended
};

// Creates the board's stream when it is missing: subject, replicas and a
// bounded retention (age and bytes), duplicates looked for over two minutes.
bool EnsureStream(jsCtx* js, const PublishSettings& settings, std::string& why);

class Publisher {
 public:
  Publisher(NatsLink& link, PublishSettings settings, std::string command);
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // The session: the board's name and the start time in microseconds.
  const std::string& Session() const { return m_session; }
  int64_t StartSeconds() const { return m_startUs / 1000000; }

  // Any thread; never waits for the network. False when the buffer is full
  // and the event is lost. Events posted before Begin are held back.
  bool Post(std::string json);
  // Puts `first` ahead of the events held back, and lets those follow.
  void Begin(const std::vector<std::string>& first);
  // Waits up to `seconds` for the buffer to be published, then stops.
  PublishCounts Finish(double seconds);
  PublishCounts Counts() const;

 private:
  struct Item {
    uint64_t number;
    std::string json;
  };
  void Run();
  bool PublishOne(const Item& item, std::string& why);
  bool PushLocked(std::string json);

  NatsLink& m_link;
  const PublishSettings m_settings;
  const std::string m_command;
  const std::string m_subject;
  const int64_t m_startUs;
  const std::string m_session;
  mutable std::mutex m_lock;
  std::condition_variable m_ready, m_drained;
  std::deque<Item> m_queue;  // the front is being published until acknowledged
  uint64_t m_next = 1;
  bool m_stopping = false;
  bool m_begun = false;
  std::vector<std::string> m_held;
  bool m_fullSaid = false;
  PublishCounts m_counts;
  std::thread m_thread;
};

}  // namespace tqtool
