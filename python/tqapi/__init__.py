"""tqapi: the whiteboard pen-capture board from Python.

    import tqapi
    with tqapi.Board(port=1) as board:
        board.record("session.raw")
        for event in board.events():   # until Ctrl-C
            print(event)
    tqapi.export("session.raw", "session.pdf")

The board library (libtqapi.so) is loaded with ctypes on first use: from
TQAPI_LIBRARY when set, else where `make install` put it, else by its name.
"""

from .board import Board, Counters, PodLocation, DELIVERED, RAW, VALIDATED
from .capture import CaptureError, Header, export, read_header, replay
from .errors import MEANINGS, OpenError, PortError, TQError
from .events import (BOARD, CHECK, DOWN, FOOTPRINT, LINE_ERROR, MOVE, PACKET_0x90, UP, Event)
from .strokes import Footprint, Page, Stroke, strokes
from .fleet import FleetError, subscribe

__all__ = [
    "Board", "Counters", "PodLocation", "RAW", "VALIDATED", "DELIVERED",
    "CaptureError", "Header", "export", "read_header", "replay",
    "MEANINGS", "OpenError", "PortError", "TQError",
    "Event", "DOWN", "MOVE", "UP", "FOOTPRINT", "BOARD", "LINE_ERROR", "CHECK", "PACKET_0x90",
    "Footprint", "Page", "Stroke", "strokes",
    "FleetError", "subscribe",
]
