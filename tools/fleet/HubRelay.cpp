#include "fleet/HubRelay.h"

#include <cstddef>

#include "common/MessageLoop.h"
#include "common/Report.h"
#include "fleet/StreamFollower.h"

namespace tqtool {

int RelayIntoHub(const FleetOptions& options, ServeHub& hub, const std::function<void()>& ready) {
  NatsLink link;
  std::string error;
  if (!link.Connect(options, "serve", error)) return Failed("serve", error);
  if (ready) ready();
  StreamFollower follower(link, options.board, "serve");
  size_t posted = 0;
  follower.Run(
      [&hub, &posted](uint64_t sequence, const FleetEvent& event) {
        switch (event.kind) {
          case FleetKind::Open:
            // A relay that runs on from one session into the next starts
            // the page afresh, as a relay started now would show it.
            hub.StartSession(event.width, event.height, event.version, sequence);
            break;
          case FleetKind::State:
            hub.PostState(event.connected, event.live, sequence);
            break;
          case FleetKind::Message:
            // The relay, unlike a board's reader, may wait: a long session
            // caught up at once is let through the hub's bounded inbox in
            // parts rather than lost to it.
            if (++posted % 4096 == 0) hub.Flush();
            {
              BoardMessage message = event.message;
              message.sequence = sequence;
              hub.Post(message);
            }
            break;
          default:
            break;
        }
      },
      [] { return StopRequested(); });
  return kExitDone;
}

}  // namespace tqtool
