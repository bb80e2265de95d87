"""What a board's window receives, as small immutable events, and the hidden
window that gathers them."""

import ctypes
import collections
from dataclasses import dataclass

from . import _native as n
from .footprints import footprint_corners, is_footprint_outline

DOWN = "down"              # pen tip down
MOVE = "move"              # pen moved while down
UP = "up"                  # pen lifted, hovering, or stroke ended
FOOTPRINT = "footprint"    # the eraser's outline, told after its pen-up
BOARD = "board"            # code 0 the board flushed its strokes, 2 its pen-code-5 button
LINE_ERROR = "line_error"  # code: what failed on the serial line
CHECK = "check"            # the board stayed silent after it was asked for a sign of life
PACKET_0x90 = "0x90"       # a type-0x90 packet of a board below version 2.0

LINE_ERRORS = {
    1: "command write failed",
    2: "read failed",
    3: "applying line settings failed",
    4: "line settings text rejected",
    5: "reading line settings failed",
    6: "setting the event mask failed",
    7: "setting timeouts failed",
    8: "waiting for line events failed",
    9: "completing a read or write failed",
}
BOARD_EVENTS = {0: "the board flushed its strokes", 2: "the board's pen-code-5 button"}


@dataclass(frozen=True, slots=True)
class Event:
    """One thing a board reported, immutable. `kind` is one of DOWN, MOVE, UP
    (pen events: `x`, `y` in host units, `pen` the pen code), FOOTPRINT (the
    eraser's outline, told after its pen-up: `corners`), BOARD (`code` 0 a
    flush, 2 the pen-code-5 button; `port`), LINE_ERROR (`code`, see
    `meaning`), CHECK (the board stayed silent; `port`) or PACKET_0x90."""

    kind: str
    x: int = 0
    y: int = 0
    pen: int = 0           # pen code of a pen event
    code: int = 0          # board event, line error or check code
    port: int = 0          # port number a board event, check or 0x90 packet names
    corners: tuple = ()    # four (x, y) pairs of a footprint

    @property
    def meaning(self):
        """Words for a board event's or a line error's code, else None."""
        table = {BOARD: BOARD_EVENTS, LINE_ERROR: LINE_ERRORS}.get(self.kind)
        return table.get(self.code, "unknown") if table is not None else None

    def line(self):
        """The event as `tq replay --events` and `tq live --events` print it;
        None for a footprint, which those print as its pen messages."""
        if self.kind in (DOWN, MOVE):
            return f"{self.kind} {self.x} {self.y} {self.pen} {self.pen}"
        if self.kind == UP:
            return f"up {self.x} {self.y} {self.pen} 0"
        if self.kind == LINE_ERROR:
            return f"comm {self.code}"
        names = {BOARD: "board", CHECK: "check", PACKET_0x90: "ffff"}
        return f"{names[self.kind]} {self.code} {self.port}" if self.kind in names else None


_PEN_KINDS = {n.TQ_MSG_PEN_DOWN: DOWN, n.TQ_MSG_PEN_MOVE: MOVE, n.TQ_MSG_PEN_UP: UP}
_CODED_KINDS = {n.TQ_MSG_BOARD_EVENT: BOARD, n.TQ_MSG_COMM_ERROR: LINE_ERROR,
                n.TQ_MSG_BOARD_CHECK: CHECK, n.TQ_MSG_BOARD_0x90: PACKET_0x90}
# Posted to the window itself so that the message loop returns as soon as a
# sent message has left an event waiting.
_WAKE = n.WM_APP + 0x100


def from_message(message, wparam, lparam):
    """The event of one window message, None for a message of no meaning."""
    if message in _PEN_KINDS:
        point = n.SPenPoint.from_address(wparam) if wparam else n.SPenPoint()
        return Event(_PEN_KINDS[message], point.x, point.y, point.code)
    if message in _CODED_KINDS:
        port = lparam if message != n.TQ_MSG_COMM_ERROR else 0
        return Event(_CODED_KINDS[message], code=wparam, port=port)
    return None


class Window:
    """A message window of the calling thread whose procedure turns every
    message into an event and keeps it until it is taken."""

    def __init__(self):
        self.pending = collections.deque()
        self._points = []
        self._lib = n.lib()
        # The procedure object must live as long as the window: the library
        # calls it from its loop.
        self._procedure = n.WNDPROC(self._handle)
        self.handle = self._lib.TQCreateWindow(self._procedure, None)
        if not self.handle:
            raise OSError("the library could not create a message window")

    def _handle(self, window, message, wparam, lparam):
        # The point behind a pen message is valid only now: it is copied.
        event = from_message(message, wparam, lparam)
        if event is None:
            return 0
        wake = not self.pending
        self.pending.append(event)
        self._follow(event)
        if wake:
            self._lib.PostMessageA(self.handle, _WAKE, 0, 0)
        return 0

    def _follow(self, event):
        """Tells the eraser's outline once its pen-up has come."""
        if event.kind == DOWN:
            self._points = [(event.x, event.y)]
        elif event.kind == MOVE:
            self._points.append((event.x, event.y))
        elif event.kind == UP:
            if is_footprint_outline(self._points):
                self.pending.append(Event(FOOTPRINT, corners=footprint_corners(self._points)))
            self._points = []
        elif event.kind == BOARD and event.code == 0:
            self._points = []

    def wait(self):
        """Waits for one posted message or timer of this thread, handling the
        messages sent meanwhile; False when the loop was told to quit."""
        msg = n.MSG()
        if self._lib.GetMessageA(ctypes.byref(msg), None, 0, 0) == 0:
            return False
        self._lib.DispatchMessageA(ctypes.byref(msg))
        return True

    def drain(self):
        """Handles every message waiting for this thread, without waiting."""
        msg = n.MSG()
        while self._lib.PeekMessageA(ctypes.byref(msg), None, 0, 0, n.PM_REMOVE):
            self._lib.DispatchMessageA(ctypes.byref(msg))

    def take(self):
        while self.pending:
            yield self.pending.popleft()

    def destroy(self):
        if self.handle:
            self._lib.TQDestroyWindow(self.handle)
            self.handle = None
