/* pty_modem: a test-only preload library for running the Windows test
 * programs under Wine against pseudo-terminals. A pty has no modem lines,
 * so TIOCMGET and its kin fail there, and Wine then ends every
 * WaitCommEvent at once (operation aborted). For pty slaves, and only for
 * them, this library answers the modem ioctls as a line whose DSR, CTS and
 * carrier are up and whose RTS and DTR keep what was set; every other
 * descriptor and request goes to the C library unchanged. Never shipped. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

static int g_lines = TIOCM_RTS | TIOCM_DTR;

static int IsPtySlave(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
  const unsigned int major_number = major(info.st_rdev);
  return major_number >= 136 && major_number <= 143; /* Unix98 pty slaves */
}

int ioctl(int fd, unsigned long request, ...) {
  static int (*real)(int, unsigned long, void*) = 0;
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (real == 0) real = (int (*)(int, unsigned long, void*))dlsym(RTLD_NEXT, "ioctl");
  if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) &&
      IsPtySlave(fd)) {
    int* bits = (int*)argument;
    switch (request) {
      case TIOCMGET: *bits = g_lines | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR; break;
      case TIOCMSET: g_lines = *bits & (TIOCM_RTS | TIOCM_DTR); break;
      case TIOCMBIS: g_lines |= *bits & (TIOCM_RTS | TIOCM_DTR); break;
      default: g_lines &= ~(*bits & (TIOCM_RTS | TIOCM_DTR)); break;
    }
    return 0;
  }
  return real(fd, request, argument);
}
