// Included first into every Windows test program: the few POSIX calls the
// shared test sources make, over the C runtime's own, and the host API's
// window calls (HostWindow.cpp), which the library brings only on Linux.
// On Windows the serial backend opens COM<n> itself and reads no TQ_COM<n>
// variables; a test that sets one there only changes the environment.
#pragma once

#ifdef __cplusplus
#include <winsock2.h>  // before windows.h, for the board relay connection
#include <windows.h>

#include <io.h>
#include <stdlib.h>
#include <unistd.h>

static inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

// A procedure of the host API has the default calling convention, as on
// Linux, so the shared sources' procedures and lambdas fit on x86 too, where
// WNDPROC is __stdcall; the window class's own procedure calls it.
typedef LRESULT (*TQHostProcedure)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND TQCreateWindow(TQHostProcedure procedure, void* user);
BOOL TQDestroyWindow(HWND window);
void* TQGetWindowUser(HWND window);
#endif
