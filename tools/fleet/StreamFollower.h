// One board's stream read in order by an ordered (ephemeral) consumer of the
// engine, from the last session's "open" on: what came before it is read
// and passed over. Each event is handed on once, with its stream sequence.
//
// The follower outlives the engine: when the link is lost it says so, and
// once the link is back it starts a new consumer at the sequence after the
// last one it handed on, so nothing is missed and nothing comes twice.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fleet/FleetEvents.h"
#include "fleet/NatsLink.h"

namespace tqtool {

class StreamFollower {
 public:
  using Deliver = std::function<void(uint64_t sequence, const FleetEvent& event)>;

  StreamFollower(NatsLink& link, std::string board, std::string command);

  // Runs until `stop` returns true (asked about every half second).
  void Run(const Deliver& deliver, const std::function<bool()>& stop);
  // The stream sequence of the last event handed on.
  uint64_t Last() const { return m_last; }

 private:
  natsSubscription* Subscribe(std::string& why);

  NatsLink& m_link;
  const std::string m_board, m_command;
  uint64_t m_last = 0;
};

}  // namespace tqtool
