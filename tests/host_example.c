/* A host program as the README shows it: open a board, ask it what it is,
 * set it up, receive pen messages for a while, close it. Plain C, linked
 * against the shared library. Usage: host_example PORT [SECONDS] */
#include <stdio.h>
#include <stdlib.h>

#include "TQApi.h"

static LRESULT on_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)window;
  (void)lParam;
  if (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP) {
    const SPenPoint* point = (const SPenPoint*)wParam;
    printf("pen %s %d %d code %d\n",
           message == TQ_MSG_PEN_DOWN ? "down" : message == TQ_MSG_PEN_MOVE ? "move" : "up",
           point->x, point->y, (int)point->code);
  } else if (message == TQ_MSG_COMM_ERROR) {
    printf("line error %u\n", (unsigned)wParam);
  } else if (message == TQ_MSG_BOARD_CHECK) {
    printf("board silent\n");
  } else if (message == TQ_MSG_BOARD_EVENT) {
    printf("board event %u\n", (unsigned)wParam);
  }
  return 0;
}

static volatile int g_done = 0;

static void on_deadline(HWND window, UINT message, UINT_PTR id, DWORD time) {
  (void)window; (void)message; (void)id; (void)time;
  g_done = 1;
  PostQuitMessage(0);
}

int main(int argc, char** argv) {
  TQ_PORT port = argc > 1 ? atoi(argv[1]) : 1;
  int seconds = argc > 2 ? atoi(argv[2]) : 0;
  HWND window = TQCreateWindow(on_message, NULL);
  HWND other = TQCreateWindow(on_message, NULL);
  unsigned int width = 0, height = 0;
  char version[20];
  MSG msg;
  TQ_ERROR_CODE result = TQOpenPort(port, window);
  if (result != TQ_SUCCESS) {
    fprintf(stderr, "open failed: %d\n", (int)result);
    return 1;
  }
  TQGetBoardWidth(port, &width);
  TQGetMaxBoardHeight(port, &height);
  TQGetBoardVersion(port, version);
  printf("version %s width %u max-height %u\n", version + 1, width, height);
  TQSetPodLocation(port, POD_LOCATION_0);
  TQSetBoardHeight(port, height);
  if (TQSetHWND(port, other) != window || TQSetHWND(port, window) != other) {
    fprintf(stderr, "window switch failed\n");
    return 1;
  }
  if (seconds > 0) {
    SetTimer(NULL, 0, (UINT)seconds * 1000u, on_deadline);
    while (!g_done && GetMessageA(&msg, NULL, 0, 0)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  result = TQClose(port);
  printf("closed %d\n", (int)result);
  TQDestroyWindow(other);
  TQDestroyWindow(window);
  return result == TQ_SUCCESS ? 0 : 1;
}
