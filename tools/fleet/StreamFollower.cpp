#include "fleet/StreamFollower.h"

#include <chrono>
#include <thread>
#include <vector>

#include "common/Report.h"

namespace tqtool {

StreamFollower::StreamFollower(NatsLink& link, std::string board, std::string command)
    : m_link(link), m_board(std::move(board)), m_command(std::move(command)) {}

natsSubscription* StreamFollower::Subscribe(std::string& why) {
  const std::string stream = StreamName(m_board);
  const std::string subject = BoardSubject(m_board);
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = stream.c_str();
  options.Ordered = true;
  if (m_last == 0) {
    options.Config.DeliverPolicy = js_DeliverAll;
  } else {
    options.Config.DeliverPolicy = js_DeliverByStartSequence;
    options.Config.OptStartSeq = m_last + 1;
  }
  options.Config.Heartbeat = 2LL * 1000000000;
  natsSubscription* sub = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus s = js_SubscribeSync(&sub, m_link.Js(), subject.c_str(), nullptr, &options, &code);
  if (s != NATS_OK) {
    why = NatsWhy(s);
    return nullptr;
  }
  return sub;
}

void StreamFollower::Run(const Deliver& deliver, const std::function<bool()>& stop) {
  natsSubscription* sub = nullptr;
  uint64_t losses = m_link.Losses();
  // Until the first catch-up the events are held, and dropped at every
  // "open": the viewer starts with the last session.
  bool caughtUp = false;
  std::vector<std::pair<uint64_t, FleetEvent>> held;
  std::string lastWhy;
  const auto release = [&] {
    caughtUp = true;
    for (const auto& [sequence, event] : held) deliver(sequence, event);
    held.clear();
  };
  while (!stop()) {
    if (sub != nullptr && (losses != m_link.Losses() || !natsSubscription_IsValid(sub))) {
      // The consumer may have gone with the engine: a new one starts after
      // the last event handed on once the link is back.
      if (!m_link.Connected()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      natsSubscription_Destroy(sub);
      sub = nullptr;
      losses = m_link.Losses();
    }
    if (sub == nullptr) {
      std::string why;
      if (m_link.Connected()) {
        sub = Subscribe(why);
      } else {
        why = "the engine is not reachable";
      }
      if (sub == nullptr) {
        if (!why.empty() && why != lastWhy) Say(m_command, "cannot read the stream of board " + m_board + ": " + why + "; trying on");
        lastWhy = why;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        continue;
      }
      if (!lastWhy.empty()) Say(m_command, "reading board " + m_board + " from sequence " + std::to_string(m_last + 1));
      lastWhy.clear();
    }
    natsMsg* msg = nullptr;
    const natsStatus s = natsSubscription_NextMsg(&msg, sub, 500);
    if (s == NATS_TIMEOUT) {
      if (!caughtUp) release();
      continue;
    }
    if (s != NATS_OK) {
      natsSubscription_Destroy(sub);
      sub = nullptr;
      continue;
    }
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
      const uint64_t sequence = meta->Sequence.Stream;
      const uint64_t pending = meta->NumPending;
      jsMsgMetaData_Destroy(meta);
      if (sequence > m_last) {
        m_last = sequence;
        FleetEvent event;
        const std::string json(natsMsg_GetData(msg), static_cast<size_t>(natsMsg_GetDataLength(msg)));
        if (ParseEvent(json, event) && event.kind != FleetKind::Unknown) {
          if (caughtUp) {
            deliver(sequence, event);
          } else {
            if (event.kind == FleetKind::Open) held.clear();
            held.emplace_back(sequence, event);
          }
        }
        if (!caughtUp && pending == 0) release();
      }
    }
    natsMsg_Destroy(msg);
  }
  natsSubscription_Destroy(sub);
}

}  // namespace tqtool
