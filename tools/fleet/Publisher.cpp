#include "fleet/Publisher.h"

#include <chrono>

#include "common/MessageLoop.h"
#include "common/Report.h"

namespace tqtool {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

int64_t WallUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool EnsureStream(jsCtx* js, const PublishSettings& settings, std::string& why) {
  const std::string stream = StreamName(settings.board);
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, js, stream.c_str(), nullptr, &code);
  if (s == NATS_OK) {
    jsStreamInfo_Destroy(info);
    return true;
  }
  if (s != NATS_NOT_FOUND) {
    why = "looking for stream " + stream + ": " + NatsWhy(s);
    return false;
  }
  const std::string subject = BoardSubject(settings.board);
  const char* subjects[] = {subject.c_str()};
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = stream.c_str();
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  config.Replicas = settings.replicas;
  config.MaxAge = settings.maxAgeSeconds * kNanosPerSecond;
  config.MaxBytes = settings.maxBytes;
  config.Duplicates = 120 * kNanosPerSecond;
  config.Discard = js_DiscardOld;
  s = js_AddStream(&info, js, &config, nullptr, &code);
  if (s != NATS_OK) {
    why = "creating stream " + stream + ": " + NatsWhy(s);
    return false;
  }
  jsStreamInfo_Destroy(info);
  return true;
}

Publisher::Publisher(NatsLink& link, PublishSettings settings, std::string command)
    : m_link(link),
      m_settings(std::move(settings)),
      m_command(std::move(command)),
      m_subject(BoardSubject(m_settings.board)),
      m_startUs(WallUs()),
      m_session(m_settings.board + "-" + std::to_string(m_startUs)) {
  m_thread = std::thread([this] { Run(); });
}

Publisher::~Publisher() { Finish(0); }

void Publisher::Begin(const std::vector<std::string>& first) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_begun = true;
    for (const std::string& json : first) PushLocked(json);
    for (std::string& json : m_held) PushLocked(std::move(json));
    m_held.clear();
  }
  m_ready.notify_one();
}

bool Publisher::PushLocked(std::string json) {
  if (m_queue.size() >= m_settings.buffer) {
    ++m_counts.lostFull;
    if (!m_fullSaid) {
      m_fullSaid = true;
      Say(m_command, "buffer full (" + std::to_string(m_settings.buffer) + " events): events are being lost");
    }
    return false;
  }
  m_queue.push_back({m_next++, std::move(json)});
  ++m_counts.posted;
  return true;
}

bool Publisher::Post(std::string json) {
  bool taken = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_begun) {
      if (m_held.size() >= m_settings.buffer) {
        ++m_counts.lostFull;
        return false;
      }
      m_held.push_back(std::move(json));
      return true;
    }
    taken = PushLocked(std::move(json));
  }
  if (taken) m_ready.notify_one();
  return taken;
}

PublishCounts Publisher::Finish(double seconds) {
  {
    std::unique_lock<std::mutex> guard(m_lock);
    m_drained.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return m_queue.empty(); });
    m_stopping = true;
  }
  m_ready.notify_all();
  if (m_thread.joinable()) m_thread.join();
  std::lock_guard<std::mutex> guard(m_lock);
  m_counts.unsent = m_queue.size();
  return m_counts;
}

PublishCounts Publisher::Counts() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_counts;
}

bool Publisher::PublishOne(const Item& item, std::string& why) {
  natsMsg* msg = nullptr;
  natsStatus s = natsMsg_Create(&msg, m_subject.c_str(), nullptr, item.json.data(), static_cast<int>(item.json.size()));
  const std::string id = m_session + "-" + std::to_string(item.number);
  if (s == NATS_OK) s = natsMsgHeader_Set(msg, "Nats-Msg-Id", id.c_str());
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = 2000;
  jsPubAck* ack = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  if (s == NATS_OK) s = js_PublishMsg(&ack, m_link.Js(), msg, &options, &code);
  natsMsg_Destroy(msg);
  if (s != NATS_OK) {
    why = NatsWhy(s);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_counts.published;
    if (ack->Duplicate) ++m_counts.duplicates;
  }
  jsPubAck_Destroy(ack);
  return true;
}

void Publisher::Run() {
  bool streamReady = false;
  bool failing = false;
  std::string why;
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> guard(m_lock);
      m_ready.wait(guard, [this] { return m_stopping || !m_queue.empty(); });
      if (m_stopping) return;
      item = m_queue.front();  // a copy: the window procedure may push meanwhile
    }
    bool done = m_link.Connected();
    if (!done) why = "the engine is not reachable";
    if (done && !streamReady) done = streamReady = EnsureStream(m_link.Js(), m_settings, why);
    if (done) done = PublishOne(item, why);
    if (!done) {
      if (!failing) {
        failing = true;
        Say(m_command, "cannot publish" + (why.empty() ? std::string() : ": " + why) + "; buffering up to " +
                           std::to_string(m_settings.buffer) + " events until the engine answers");
      }
      why.clear();
      std::unique_lock<std::mutex> guard(m_lock);
      m_ready.wait_for(guard, std::chrono::milliseconds(100), [this] { return m_stopping; });
      continue;
    }
    size_t waiting = 0;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_queue.pop_front();
      waiting = m_queue.size();
      if (m_queue.empty()) m_drained.notify_all();
    }
    if (failing) {
      failing = false;
      Say(m_command, "publishing again, " + std::to_string(waiting) + " buffered events to send");
    }
  }
}

}  // namespace tqtool
