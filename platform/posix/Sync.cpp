// Events, the recursive lock, threads, time and the temporary directory.
// A manual-reset event is an eventfd that holds a count while the event is
// signalled, so poll() sees it as readable until Reset: the reader thread can
// wait for it together with the serial line.
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace tqp {

struct Event::Impl {
  std::mutex lock;
  std::atomic<bool> set{false};
  int fd = -1;
};

Event::Event() : m_impl(std::make_unique<Impl>()) {
  m_impl->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Event::~Event() {
  if (m_impl->fd >= 0) close(m_impl->fd);
}

void Event::Set() {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  if (m_impl->set.load(std::memory_order_relaxed)) return;
  m_impl->set.store(true, std::memory_order_release);
  const uint64_t one = 1;
  ssize_t ignored = write(m_impl->fd, &one, sizeof one);
  (void)ignored;
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(m_impl->lock);
  if (!m_impl->set.load(std::memory_order_relaxed)) return;
  m_impl->set.store(false, std::memory_order_release);
  uint64_t value;
  ssize_t ignored = read(m_impl->fd, &value, sizeof value);
  (void)ignored;
}

bool Event::IsSet() const { return m_impl->set.load(std::memory_order_acquire); }

bool Event::Wait(uint32_t ms) {
  return posix::WaitFdPumping(
      m_impl->fd, ms, [](void* self) { return static_cast<Event*>(self)->IsSet(); }, this);
}

intptr_t Event::Native() const { return m_impl->fd; }

struct RecursiveLock::Impl {
  std::recursive_mutex mutex;
};

RecursiveLock::RecursiveLock() : m_impl(std::make_unique<Impl>()) {}
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::Lock() { m_impl->mutex.lock(); }
void RecursiveLock::Unlock() { m_impl->mutex.unlock(); }

bool StartThread(void (*procedure)(void*), void* argument) {
  try {
    std::thread thread([procedure, argument] {
      // Above-normal priority needs privileges a normal user lacks on Linux;
      // the attempt is best effort.
      sched_param param{};
      param.sched_priority = 0;
      pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
      procedure(argument);
    });
    thread.detach();
    return true;
  } catch (...) {
    return false;
  }
}

uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
  timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

std::string TempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  if (path.back() != '/') path.push_back('/');
  return path;
}

char PathSeparator() { return '/'; }

bool ProcessIsEnding() { return false; }

}  // namespace tqp
