// Shared between the Windows backend's files only.
#pragma once

#include <windows.h>

#include <cstdint>

namespace tqp::win32 {

// Waits up to `ms` for `handle` (null: only the time), handling messages
// sent to the calling thread's windows meanwhile. True when the handle is
// signalled.
bool WaitPumping(HANDLE handle, uint32_t ms);

// Takes the hooks that count bounded posts off the threads that still run,
// before the library's code goes (FreeLibrary).
void UnhookPosted();

}  // namespace tqp::win32
