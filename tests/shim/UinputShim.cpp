// A stand-in for /dev/uinput, loaded with LD_PRELOAD: the program under test
// opens "/dev/uinput" and gets /dev/null instead; every ioctl on it is
// answered here and written to the file named by UINPUT_SHIM_LOG, one a
// line, and so is every input_event written to it:
//   ioctl NAME VALUE | abs CODE MIN MAX RESOLUTION | setup BUS "NAME" |
//   id VENDOR PRODUCT (hex, after setup) | phys "PHYS" |
//   event TYPE CODE VALUE | close
// It answers UI_GET_VERSION with 5 and UI_GET_SYSNAME with a name that has
// no node in /sys, as a kernel without udev would leave it. When
// UINPUT_SHIM_NOTIFY_FD names a descriptor, every SYN_REPORT written also
// puts the CLOCK_MONOTONIC time in nanoseconds (8 bytes) there.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Read by every thread's ioctl and write, set by the daemon's open and close.
std::atomic<int> g_fd{-1};
std::FILE* g_log = nullptr;

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void Log(const char* format, ...) {
  if (g_log == nullptr) {
    const char* path = std::getenv("UINPUT_SHIM_LOG");
    if (path == nullptr) return;
    g_log = std::fopen(path, "w");
    if (g_log == nullptr) return;
  }
  va_list args;
  va_start(args, format);
  std::vfprintf(g_log, format, args);
  va_end(args);
  std::fflush(g_log);
}

int StandIn() {
  using OpenFn = int (*)(const char*, int, ...);
  const int fd = Next<OpenFn>("open")("/dev/null", O_RDWR | O_CLOEXEC);
  g_fd = fd;
  return fd;
}

bool IsUinput(const char* path) { return path != nullptr && std::strcmp(path, "/dev/uinput") == 0; }

const char* BitName(unsigned long request) {
  switch (request) {
    case UI_SET_EVBIT: return "UI_SET_EVBIT";
    case UI_SET_KEYBIT: return "UI_SET_KEYBIT";
    case UI_SET_ABSBIT: return "UI_SET_ABSBIT";
    case UI_SET_MSCBIT: return "UI_SET_MSCBIT";
    case UI_SET_RELBIT: return "UI_SET_RELBIT";
    case UI_SET_PROPBIT: return "UI_SET_PROPBIT";
    default: return nullptr;
  }
}

int Answer(unsigned long request, void* argument) {
  if (request == UI_GET_VERSION) {
    *static_cast<unsigned*>(argument) = 5;
    Log("ioctl UI_GET_VERSION 0\n");
  } else if (_IOC_TYPE(request) == 'U' && _IOC_NR(request) == 44) {  // UI_GET_SYSNAME(len)
    std::snprintf(static_cast<char*>(argument), _IOC_SIZE(request), "input-stand-in");
    Log("ioctl UI_GET_SYSNAME 0\n");
  } else if (const char* name = BitName(request); name != nullptr) {
    Log("ioctl %s %ld\n", name, reinterpret_cast<long>(argument));
  } else if (request == UI_ABS_SETUP) {
    const auto* setup = static_cast<const uinput_abs_setup*>(argument);
    Log("abs %u %d %d %d\n", setup->code, setup->absinfo.minimum, setup->absinfo.maximum,
        setup->absinfo.resolution);
  } else if (request == UI_DEV_SETUP) {
    const auto* setup = static_cast<const uinput_setup*>(argument);
    Log("setup %u \"%s\"\nid %04x %04x\n", setup->id.bustype, setup->name, setup->id.vendor,
        setup->id.product);
  } else if (request == UI_SET_PHYS) {
    Log("phys \"%s\"\n", static_cast<const char*>(argument));
  } else if (request == UI_DEV_CREATE) {
    Log("ioctl UI_DEV_CREATE 0\n");
  } else if (request == UI_DEV_DESTROY) {
    Log("ioctl UI_DEV_DESTROY 0\n");
  } else {
    Log("ioctl other %lx\n", request);
    errno = EINVAL;
    return -1;
  }
  return 0;
}

void Notify() {
  const char* fd = std::getenv("UINPUT_SHIM_NOTIFY_FD");
  if (fd == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  using WriteFn = ssize_t (*)(int, const void*, size_t);
  Next<WriteFn>("write")(std::atoi(fd), &ns, sizeof ns);
}

}  // namespace

extern "C" {

// The C library's `name` with the mode that a creating open passes.
static int OpenNext(const char* name, const char* path, int flags, va_list args) {
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  using OpenFn = int (*)(const char*, int, ...);
  return Next<OpenFn>(name)(path, flags, mode);
}

int open(const char* path, int flags, ...) {
  if (IsUinput(path)) return StandIn();
  va_list args;
  va_start(args, flags);
  const int fd = OpenNext("open", path, flags, args);
  va_end(args);
  return fd;
}

int open64(const char* path, int flags, ...) {
  if (IsUinput(path)) return StandIn();
  va_list args;
  va_start(args, flags);
  const int fd = OpenNext("open64", path, flags, args);
  va_end(args);
  return fd;
}

int __open_2(const char* path, int flags) {
  if (IsUinput(path)) return StandIn();
  using OpenFn = int (*)(const char*, int);
  return Next<OpenFn>("__open_2")(path, flags);
}

int __open64_2(const char* path, int flags) {
  if (IsUinput(path)) return StandIn();
  using OpenFn = int (*)(const char*, int);
  return Next<OpenFn>("__open64_2")(path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (fd >= 0 && fd == g_fd) return Answer(request, argument);
  using IoctlFn = int (*)(int, unsigned long, ...);
  return Next<IoctlFn>("ioctl")(fd, request, argument);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  using WriteFn = ssize_t (*)(int, const void*, size_t);
  if (fd < 0 || fd != g_fd) return Next<WriteFn>("write")(fd, buffer, count);
  const auto* events = static_cast<const input_event*>(buffer);
  for (size_t i = 0; i < count / sizeof(input_event); ++i) {
    Log("event %u %u %d\n", events[i].type, events[i].code, events[i].value);
    if (events[i].type == EV_SYN && events[i].code == SYN_REPORT) Notify();
  }
  return static_cast<ssize_t>(count);
}

int close(int fd) {
  if (fd >= 0 && fd == g_fd) {
    Log("close\n");
    g_fd = -1;
  }
  using CloseFn = int (*)(int);
  return Next<CloseFn>("close")(fd);
}

}  // extern "C"
