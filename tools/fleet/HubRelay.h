// `tq serve --nats`: a board's stream fed into the live view's hub, so the
// viewers of any number of relays on any machines see the same page as
// those of the board's own `tq serve`. The hub numbers its events itself:
// a viewer's Last-Event-ID resumes on the relay that gave it, not on another.
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
