// `tq serve --nats`: a board's stream fed into the live view's hub, so the
// viewers of any number of relays on any machines see the same page as
// those of the board's own `tq serve`. The hub numbers its events by the
// stream's sequences (EventIds::Stream), so a viewer's Last-Event-ID resumes
// on any relay of the board, not only on the one that gave it, and each
// session's "open" starts the page afresh.
#pragma once

#include <functional>
#include <string>

#include "fleet/NatsLink.h"
#include "serve/ServeHub.h"

namespace tqtool {

// Connects and feeds `hub` until a stop signal; the exit status. `ready`
// runs once the link is set up (the web server starts then).
int RelayIntoHub(const FleetOptions& options, ServeHub& hub, const std::function<void()>& ready = {});

}  // namespace tqtool
