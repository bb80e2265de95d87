"""A board as a Python object: opened, probed and closed with `with`, its
settings as properties, its messages as an iterator of events."""

import ctypes
import enum
import os
import signal
import threading
import time
import weakref
from collections import namedtuple

from . import _native as n
from .errors import PortError, check, error_for
from .events import Window

PORTS = range(1, 9)
# How often the message loop looks at the clock and at Ctrl-C while the
# board is quiet; events themselves wake it at once.
TICK_MS = 200
# Capture files TQOpenDumpFiles can write: the raw line, the samples the
# validation let through, the samples delivered to the window.
RAW, VALIDATED, DELIVERED = 1, 2, 4

Counters = namedtuple("Counters", "pushed rejected streaks_cut")


class PodLocation(enum.IntEnum):
    """Where the sensor unit sits on the board."""
    LOCATION_0 = 0  # axes as they are (the value after opening)
    LOCATION_1 = 1  # both axes mirrored, against width and height
    LOCATION_2 = 2  # axes exchanged, new y mirrored against the width
    LOCATION_3 = 3  # axes exchanged, new x mirrored against the height


_held = {}  # port: the Board of this process that holds it (a weak reference)


def _free_port():
    for port in PORTS:
        if port not in _held:
            return port
    raise PortError(6, "every port 1 to 8 is in use")


def _release(ports):
    """The library closes whatever is open on a port it opens: the Board that
    held it is closed first, so that it does not speak for the new one."""
    for port in ports:
        holder = _held.get(port)
        board = holder() if holder is not None else None
        if board is not None:
            board.close()


class _Interrupt:
    """Turns Ctrl-C into a flag while the event loop runs, so that it ends
    the loop wherever it lands, inside the loop or in the caller's body."""

    def __init__(self):
        self.raised = False
        self._previous = None
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._set)

    def _set(self, _signum, _frame):
        if self.raised:  # a second Ctrl-C: the caller's body may be stuck
            raise KeyboardInterrupt
        self.raised = True

    def restore(self):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
            self._previous = None


def device_path(name):
    """The device a name stands for, as every tq command reads --device: a
    name without a slash is one under /dev ("ttyUSB0"), "dev/..." a path from
    the root (a systemd instance name), anything else a path as given."""
    name = os.fspath(name)
    if "/" not in name:
        return "/dev/" + name
    return "/" + name if name.startswith("dev/") else name


class Board:
    """An open board. `Board(port=1)` opens COM1; `Board(device="ttyUSB0")`
    (or a path, "/dev/ttyUSB0") opens that device, on port `port` or a free
    one; `Board()` tries ports 1 and 2. As the tq commands do, the board is
    set up right after the open: pod location `pod` (default 0) and the board
    height `height` (default: the largest the board allows). Raises OpenError
    or PortError when the board cannot be opened."""

    def __init__(self, port=None, device=None, pod=0, height=None):
        self._window = Window()
        self._open = False
        try:
            self.port = self._open_port(port, device)
        except BaseException:
            self._window.destroy()
            raise
        self._open = True
        _held[self.port] = weakref.ref(self)
        self._thread = threading.get_ident()
        self.device = None if device is None else device_path(device)
        self._pod_location = PodLocation.LOCATION_0
        self._height = 0
        # All three filter stages are on after opening.
        self._switches = {"TQSetValidateStatus": True, "TQSetFilterStatus": True,
                          "TQSetAntiStreakStatus": True}
        try:
            self.pod_location = pod
            self.height = self.max_height if height is None else height
        except BaseException:
            self.close()
            raise

    def _open_port(self, port, device):
        if device is None and port is None:
            return self._find()
        if port is None:
            port = _free_port()
        if not isinstance(port, int):
            raise TypeError(f"port must be an int 1 to 8, not {type(port).__name__}")
        _release((port,))
        name = f"TQ_COM{port}"
        previous = os.environ.get(name)
        if device is not None:
            # The library names COM<n> through the environment at every open.
            os.environ[name] = device_path(device)
        try:
            check(n.lib().TQOpenPort(port, self._window.handle))
        finally:
            if device is not None and previous is None:
                os.environ.pop(name, None)
            elif device is not None:
                os.environ[name] = previous
        return port

    def _find(self):
        _release((1, 2))
        errors = n.SFindPortError()
        found = n.lib().TQFindPort(self._window.handle, ctypes.byref(errors))
        if found != 0:
            return found
        first, second = error_for(errors.port1), error_for(errors.port2)
        raise type(second)(second.code, f"no board on port 1 ({first.meaning}) "
                                        f"or port 2 ({second.meaning})")

    # ---- Life ------------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def __del__(self):
        # A window the library still reports to must not outlive its procedure.
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self):
        return not self._open

    def close(self):
        """Stops the reader and closes the line; no event arrives after it.
        Closing a closed board does nothing."""
        if not getattr(self, "_open", False):
            return
        self._open = False
        if _held.get(self.port) is not None and _held[self.port]() in (self, None):
            del _held[self.port]
        n.lib().TQClose(self.port)
        self._window.destroy()

    def _lib(self):
        if not self._open:
            raise PortError(7)
        return n.lib()

    # ---- What the board told at the probe ----------------------------------

    def _unsigned(self, export):
        value = ctypes.c_uint(0)
        check(getattr(self._lib(), export)(self.port, ctypes.byref(value)))
        return value.value

    @property
    def width(self):
        """Board width in host units: the sensor baseline plus 340."""
        return self._unsigned("TQGetBoardWidth")

    @property
    def max_height(self):
        """Largest usable board height in host units."""
        return self._unsigned("TQGetMaxBoardHeight")

    @property
    def version_reply(self):
        """The board's version reply as it came, lead byte included."""
        text = ctypes.create_string_buffer(n.VERSION_TEXT_SIZE)
        check(self._lib().TQGetBoardVersion(self.port, text))
        return text.value

    @property
    def version(self):
        """The firmware version as text, such as "2.1"."""
        reply = self.version_reply[1:].decode("latin-1")
        return "".join(c for c in reply if c.isprintable()).strip()

    @property
    def counters(self):
        """The stroke filter's counters: samples pushed, rejected, streaks cut."""
        counters = n.TQND()
        check(self._lib().TQGetTQND(self.port, ctypes.byref(counters)))
        return Counters(counters.pushed, counters.rejected, counters.streaksCut)

    # ---- Settings ------------------------------------------------------------

    def _setting(self, name):
        self._lib()  # a closed board has no settings
        return getattr(self, name)

    @property
    def pod_location(self):
        return self._setting("_pod_location")

    @pod_location.setter
    def pod_location(self, location):
        if location not in tuple(PodLocation):
            raise ValueError(f"pod location must be 0 to 3, not {location!r}")
        check(self._lib().TQSetPodLocation(self.port, int(location)))
        self._pod_location = PodLocation(location)

    @property
    def height(self):
        """The board height that pod locations 1 and 3 mirror against."""
        return self._setting("_height")

    @height.setter
    def height(self, height):
        if not isinstance(height, int) or not 0 <= height <= 0x7FFFFFFF:
            raise ValueError(f"board height must be an int 0 to 2147483647, not {height!r}")
        check(self._lib().TQSetBoardHeight(self.port, height))
        self._height = height

    def _switch(self, export, on):
        lib = self._lib()
        getattr(lib, export)(self.port, 1 if on else 0)
        self._switches[export] = bool(on)

    validate = property(lambda self: self._setting("_switches")["TQSetValidateStatus"],
                        lambda self, on: self._switch("TQSetValidateStatus", on),
                        doc="The validation stage: drops samples off a plausible stroke.")
    smooth = property(lambda self: self._setting("_switches")["TQSetFilterStatus"],
                      lambda self, on: self._switch("TQSetFilterStatus", on),
                      doc="The smoothing stage: averages each inner sample with its neighbours.")
    antistreak = property(lambda self: self._setting("_switches")["TQSetAntiStreakStatus"],
                          lambda self, on: self._switch("TQSetAntiStreakStatus", on),
                          doc="The anti-streak stage: cuts a stroke where a sample jumps off it.")

    # ---- Capture files ----------------------------------------------------

    def record(self, path, files=RAW):
        """Records the session to `path` (the name with or without ".raw"):
        `files` selects RAW, VALIDATED (.val) and DELIVERED (.out). Returns the
        raw capture's path; raises OSError when a file cannot be created."""
        base = os.fspath(path)
        if base.endswith(".raw"):
            base = base[:-4]
        self._lib().TQOpenDumpFiles(self.port, os.fsencode(base), files)
        wanted = [ext for bit, ext in ((RAW, ".raw"), (VALIDATED, ".val"), (DELIVERED, ".out"))
                  if files & bit]
        for ext in wanted:
            # The library says nothing when it cannot create a file.
            if not os.path.exists(base + ext):
                n.lib().TQCloseDumpFiles(self.port)
                raise OSError(f"cannot create the capture file '{base + ext}'")
        return base + ".raw"

    def stop_recording(self):
        self._lib().TQCloseDumpFiles(self.port)

    # ---- Events --------------------------------------------------------------

    def events(self, timeout=None):
        """Iterates over what the board reports, as it comes, for `timeout`
        seconds (None: until Ctrl-C or the caller stops). Ctrl-C ends the loop
        and closes the board at the next event or tick, also when it lands in
        the loop's body; a second Ctrl-C raises KeyboardInterrupt at once.
        Events arrive only while the loop runs: meanwhile the board's reader
        waits. Call it on the thread that opened the board."""
        lib = self._lib()
        if threading.get_ident() != self._thread:
            # The board's messages go to the thread that opened it.
            raise RuntimeError("events() must run on the thread that opened the board")
        deadline = None if timeout is None else time.monotonic() + timeout
        interrupt = _Interrupt()
        tick = lib.SetTimer(None, 0, TICK_MS, n.TIMERPROC())
        try:
            while True:
                yield from self._window.take()
                if interrupt.raised:
                    self.close()
                    yield from self._window.take()
                    return
                if not self._open or (deadline is not None and time.monotonic() >= deadline):
                    return
                if not self._window.wait():
                    return
        finally:
            lib.KillTimer(None, tick)
            interrupt.restore()
