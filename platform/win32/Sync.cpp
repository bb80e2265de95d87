// Events, the recursive lock, threads, time and the temporary directory on
// Windows: each passes straight through to the Win32 call of the same role.
// A waiting thread keeps handling the messages sent to its windows, as the
// reader thread sends its notifications synchronously to the host's thread.
#include <windows.h>

#include <new>

#include "platform/Platform.h"
#include "platform/win32/Win32Internal.h"

namespace tqp {

struct Event::Impl {
  HANDLE handle = nullptr;
};

Event::Event() : m_impl(std::make_unique<Impl>()) {
  m_impl->handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Event::~Event() {
  if (m_impl->handle != nullptr) CloseHandle(m_impl->handle);
}

void Event::Set() { SetEvent(m_impl->handle); }

void Event::Reset() { ResetEvent(m_impl->handle); }

bool Event::IsSet() const { return WaitForSingleObject(m_impl->handle, 0) == WAIT_OBJECT_0; }

bool Event::Wait(uint32_t ms) { return win32::WaitPumping(m_impl->handle, ms); }

intptr_t Event::Native() const { return reinterpret_cast<intptr_t>(m_impl->handle); }

struct RecursiveLock::Impl {
  CRITICAL_SECTION section;
};

RecursiveLock::RecursiveLock() : m_impl(std::make_unique<Impl>()) {
  InitializeCriticalSection(&m_impl->section);
}

RecursiveLock::~RecursiveLock() { DeleteCriticalSection(&m_impl->section); }

void RecursiveLock::Lock() { EnterCriticalSection(&m_impl->section); }

void RecursiveLock::Unlock() { LeaveCriticalSection(&m_impl->section); }

namespace {

struct ThreadStart {
  void (*procedure)(void*);
  void* argument;
};

// The reader thread ends with exit code 100.
constexpr DWORD kThreadExitCode = 100;

DWORD WINAPI ThreadEntry(void* context) {
  const ThreadStart start = *static_cast<ThreadStart*>(context);
  delete static_cast<ThreadStart*>(context);
  start.procedure(start.argument);
  return kThreadExitCode;
}

}  // namespace

bool StartThread(void (*procedure)(void*), void* argument) {
  auto* start = new (std::nothrow) ThreadStart{procedure, argument};
  if (start == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, 0, &ThreadEntry, start, CREATE_SUSPENDED, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);
  ResumeThread(thread);
  CloseHandle(thread);  // nobody joins the thread
  return true;
}

uint32_t TickCount() { return GetTickCount(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

std::string TempPath() {
  char path[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof path, path);
  if (length == 0 || length > sizeof path) return std::string();
  return std::string(path, length);
}

char PathSeparator() { return '\\'; }

namespace {
bool g_processEnding = false;
}  // namespace

bool ProcessIsEnding() { return g_processEnding; }

}  // namespace tqp

// At process exit Windows ends the other threads before the library's
// detach: the readers are gone, and the exit handler must not wait for them.
// Unloaded by FreeLibrary, the library stops its ports in that handler, and
// the host's threads, which go on, lose the hooks that count posts.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) tqp::g_processEnding = true;
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) tqp::win32::UnhookPosted();
  return TRUE;
}
