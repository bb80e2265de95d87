// Shared between the POSIX backend's files only.
#pragma once

#include <cstdint>

namespace tqp::posix {

// Waits up to `ms` for `fd` to become readable or for ready(context) to
// hold, handling messages sent to the calling thread's windows meanwhile.
// Returns ready(context) at the end.
bool WaitFdPumping(int fd, uint32_t ms, bool (*ready)(void*), void* context);

}  // namespace tqp::posix
