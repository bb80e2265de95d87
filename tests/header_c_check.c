/* The public header must be usable from plain C. */
#include "TQApi.h"

static int check(HWND window) {
  SFindPortError errors;
  TQND counters;
  SPenPoint point;
  unsigned int width = 0;
  char version[20];
  TQ_PORT port = TQFindPort(window, &errors);
  point.code = 0;
  point.x = 0;
  point.y = 0;
  (void)point;
  (void)TQGetBoardWidth(port, &width);
  (void)TQGetBoardVersion(port, version);
  (void)TQGetTQND(port, &counters);
  (void)TQSetPodLocation(port, POD_LOCATION_3);
  (void)TQSetValidateStatus(port, VALIDATION_ON);
  TQCloseDumpFiles(port);
  return (int)TQClose(port) + (int)sizeof(SPenPoint) + TQ_MSG_PEN_DOWN;
}

int tq_header_c_check(void) { return check((HWND)0); }
