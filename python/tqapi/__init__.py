"""tqapi: the whiteboard pen-capture board from Python.

A live session, recorded and saved as a PDF:

    import tqapi
    with tqapi.Board(port=1) as board:        # or Board(device="ttyUSB0")
        board.record("session.raw")
        for event in board.events():         # until Ctrl-C
            print(event.kind, event.x, event.y, event.pen)
    tqapi.export("session.raw", "session.pdf")

A capture without a board:

    events = tqapi.replay("session.raw")     # what a window received
    for page in tqapi.strokes(events):       # strokes, footprints, what is left
        print(len(page.strokes), len(page.remaining))

In a program with a loop of its own (selectors, asyncio, Qt), nothing runs
on a thread of the package's: wait on `board.fileno()`, then call
`board.pump()`, which handles what waits and returns the events; call it at
least every `PUMP_INTERVAL` seconds. In asyncio, `async for event in
board.aevents()`.

Board             an open board: settings as properties, events, recording
Event             one thing a board reported; DOWN, MOVE, UP, FOOTPRINT, BOARD,
                  LINE_ERROR, CHECK, PACKET_0x90 are its kinds
replay            the events of a raw capture, read only
read_header       a capture's Header (protocol, board version, baseline)
strokes           events into Pages of Strokes and Footprints
export            a capture into xopp, inkml, pdf, png or svg (runs tq export)
TQError           a failure the library reported with a code: OpenError (also
                  an OSError, with the device, errno and strerror;
                  DeviceNotFoundError, DevicePermissionError), PortError
CaptureError      a file that is no capture to replay (a ValueError)

The board library (libtqapi.so.1) is loaded with ctypes on first use: from
TQAPI_LIBRARY when set, else where `make install` put it relative to this
package, else by its name through the system's loader.
"""

from .board import (DELIVERED, PUMP_INTERVAL, RAW, VALIDATED, Board, Counters, PodLocation,
                    device_path)
from .capture import CaptureError, Header, export, read_header, replay
from .errors import (MEANINGS, DeviceNotFoundError, DevicePermissionError, OpenError, PortError,
                     TQError)
from .events import (BOARD, CHECK, DOWN, FOOTPRINT, LINE_ERROR, MOVE, PACKET_0x90, UP, Event)
from .strokes import Footprint, Page, Stroke, strokes
from .fleet import FleetError, subscribe

__all__ = [
    "Board", "Counters", "PodLocation", "RAW", "VALIDATED", "DELIVERED", "PUMP_INTERVAL",
    "device_path",
    "CaptureError", "Header", "export", "read_header", "replay",
    "MEANINGS", "OpenError", "DeviceNotFoundError", "DevicePermissionError", "PortError", "TQError",
    "Event", "DOWN", "MOVE", "UP", "FOOTPRINT", "BOARD", "LINE_ERROR", "CHECK", "PACKET_0x90",
    "Footprint", "Page", "Stroke", "strokes",
    "FleetError", "subscribe",
]
