"""A board as a Python object: opened, probed and closed with `with`, its
settings as properties, its messages as an iterator of events, or through a
descriptor for a program that runs a loop of its own (selectors, asyncio,
Qt)."""

from __future__ import annotations

import asyncio
import ctypes
import enum
import errno
import fcntl
import os
import signal
import stat
import struct
import threading
import time
import weakref
from typing import AsyncIterator, Iterator, List, NamedTuple, Optional, Union

from . import _native as n
from .errors import OpenError, PortError, check, error_for, open_error
from .events import Event, Window

PORTS = range(1, 9)
# How often the message loop looks at the clock and at Ctrl-C while the
# board is quiet; events themselves wake it at once.
TICK_MS = 200
PUMP_INTERVAL = TICK_MS / 1000
"""Seconds a program with a loop of its own lets pass at most between two
Board.pump() calls while the board is quiet: the board's watchdog is a timer
of that loop, and timers do not make Board.fileno() readable."""
# Capture files TQOpenDumpFiles can write: the raw line, the samples the
# validation let through, the samples delivered to the window.
RAW, VALIDATED, DELIVERED = 1, 2, 4



class Counters(NamedTuple):
    """The stroke filter's counters of a board."""
    pushed: int        # samples that entered the filter
    rejected: int      # samples the validation stage dropped
    streaks_cut: int   # strokes the anti-streak stage cut


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


def device_path(name: Union[str, os.PathLike]) -> str:
    """The device a name stands for, as every tq command reads --device: a
    name without a slash is one under /dev ("ttyUSB0"), "dev/..." a path from
    the root (a systemd instance name), anything else a path as given."""
    name = os.fspath(name)
    if "/" not in name:
        return "/dev/" + name
    return "/" + name if name.startswith("dev/") else name


def _port_device(port: int) -> Optional[str]:
    """The device the library opens for COM<port>, as it reads TQ_COM<port>;
    None when the variable is set but empty (no device)."""
    mapped = os.environ.get(f"TQ_COM{port}")
    if mapped is None:
        return f"/dev/ttyS{port - 1}"
    return mapped or None


def _device_problem(path: str) -> Optional[OSError]:
    """What stops `path` from being opened as a board's line, found by trying
    it the way the library does; None when nothing does now."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        return error
    try:
        if not os.isatty(fd):
            return OSError(errno.ENOTTY, "not a terminal, so no serial line")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return OSError(errno.EBUSY, "in use by another program")
        return None
    finally:
        os.close(fd)


def _open_failure(code: int, port: int) -> PortError | OpenError:
    """The exception of a failed TQOpenPort: the device and, for code 1, the
    system's reason."""
    if code in (6, 7):
        return PortError(code)
    device = _port_device(port)
    if code != n.TQ_ERR_OPEN_FAILED or device is None:
        return open_error(code, device)
    problem = _device_problem(device)
    if problem is None:
        return open_error(code, device)
    reason = problem.strerror
    if problem.errno in (errno.EACCES, errno.EPERM):
        reason += " (a serial line usually needs membership of the dialout group)"
    return open_error(code, device, problem.errno, reason)


class Board:
    """An open board. `Board(port=1)` opens COM1; `Board(device="ttyUSB0")`
    (or a path, "/dev/ttyUSB0") opens that device, on port `port` or a free
    one; `Board()` tries ports 1 and 2. As the tq commands do, the board is
    set up right after the open: pod location `pod` (default 0) and the board
    height `height` (default: the largest the board allows). Raises OpenError
    (naming the device and, when the system refused it, the reason;
    DeviceNotFoundError, also a FileNotFoundError, for a missing device) or
    PortError when the board cannot be opened.

    Events come from events() (a loop of its own), or from pump() when
    fileno() is readable (a loop of the program's: selectors, asyncio's
    aevents(), Qt), always on the thread that opened the board."""

    port: int
    device: Optional[str]

    def __init__(self, port: Optional[int] = None, device: Union[str, os.PathLike, None] = None,
                 pod: int = 0, height: Optional[int] = None) -> None:
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
            code = n.lib().TQOpenPort(port, self._window.handle)
            if code != 0:
                raise _open_failure(code, port)
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

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def __del__(self):
        # A window the library still reports to must not outlive its procedure.
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        """True once the board is closed."""
        return not self._open

    def close(self) -> None:
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

    def _unsigned(self, export: str) -> int:
        value = ctypes.c_uint(0)
        check(getattr(self._lib(), export)(self.port, ctypes.byref(value)))
        return value.value

    @property
    def width(self) -> int:
        """Board width in host units: the sensor baseline plus 340."""
        return self._unsigned("TQGetBoardWidth")

    @property
    def max_height(self) -> int:
        """Largest usable board height in host units."""
        return self._unsigned("TQGetMaxBoardHeight")

    @property
    def version_reply(self) -> bytes:
        """The board's version reply as it came, lead byte included."""
        text = ctypes.create_string_buffer(n.VERSION_TEXT_SIZE)
        check(self._lib().TQGetBoardVersion(self.port, text))
        return text.value

    @property
    def version(self) -> str:
        """The firmware version as text, such as "2.1"."""
        reply = self.version_reply[1:].decode("latin-1")
        return "".join(c for c in reply if c.isprintable()).strip()

    @property
    def counters(self) -> Counters:
        """The stroke filter's counters: samples pushed, rejected, streaks cut."""
        counters = n.TQND()
        check(self._lib().TQGetTQND(self.port, ctypes.byref(counters)))
        return Counters(counters.pushed, counters.rejected, counters.streaksCut)

    # ---- Settings ------------------------------------------------------------

    def _setting(self, name):
        self._lib()  # a closed board has no settings
        return getattr(self, name)

    @property
    def pod_location(self) -> PodLocation:
        """Where the sensor unit sits (PodLocation, 0 to 3): how the board's
        axes map onto the host's. Setting it takes effect at once."""
        return self._setting("_pod_location")

    @pod_location.setter
    def pod_location(self, location: int) -> None:
        if location not in tuple(PodLocation):
            raise ValueError(f"pod location must be 0 to 3, not {location!r}")
        check(self._lib().TQSetPodLocation(self.port, int(location)))
        self._pod_location = PodLocation(location)

    @property
    def height(self) -> int:
        """The board height that pod locations 1 and 3 mirror against."""
        return self._setting("_height")

    @height.setter
    def height(self, height: int) -> None:
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

    def record(self, path: Union[str, os.PathLike], files: int = RAW) -> str:
        """Records the session to `path` (the name with or without ".raw"):
        `files` selects RAW, VALIDATED (.val) and DELIVERED (.out). Returns the
        raw capture's path. Raises FileNotFoundError when the directory is
        missing, and OSError when a file cannot be created or the library
        refuses it: a symbolic link, another user's file, a file another board
        (or a replay) holds."""
        base = os.fspath(path)
        if base.endswith(".raw"):
            base = base[:-4]
        lib = self._lib()
        wanted = [base + ext for bit, ext in ((RAW, ".raw"), (VALIDATED, ".val"), (DELIVERED, ".out"))
                  if files & bit]
        directory = os.path.dirname(base) or "."
        if not os.path.isdir(directory):
            raise FileNotFoundError(errno.ENOENT, "no such directory", directory)
        # This board's own captures first: a file it records to already is
        # not one another holds.
        lib.TQCloseDumpFiles(self.port)
        for name in wanted:
            if _capture_held(name):
                raise OSError(errno.EBUSY, "the file is in use (another board records to it, "
                              "or it is being replayed)", name)
        lib.TQOpenDumpFiles(self.port, os.fsencode(base), files)
        for name in wanted:
            # The library says nothing when it refuses or cannot create a file.
            if not _capture_held(name):
                lib.TQCloseDumpFiles(self.port)
                raise _capture_refusal(name)
        return base + ".raw"

    def stop_recording(self) -> None:
        """Closes the capture files record() opened; the board goes on
        reporting. Does nothing when it is not recording."""
        self._lib().TQCloseDumpFiles(self.port)

    # ---- Events --------------------------------------------------------------

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
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

    # ---- Events for a loop of the program's own ----------------------------

    def _on_own_thread(self, what: str) -> None:
        self._lib()
        if threading.get_ident() != self._thread:
            # The board's messages go to the thread that opened it.
            raise RuntimeError(f"{what} must run on the thread that opened the board")

    def fileno(self) -> int:
        """A descriptor that becomes readable when something waits for this
        board's thread: then call pump(). It is the library's wake descriptor
        of the thread that opened the board (so selectors, asyncio's
        add_reader and Qt's QSocketNotifier can wait on it); pump() makes it
        unreadable again. Every board opened on one thread has the same
        descriptor: pump() each of them when it is readable. Do not read,
        write or close it. Timers do not make
        it readable: call pump() at least every PUMP_INTERVAL seconds too, for
        the board's watchdog. Call it on the thread that opened the board."""
        self._on_own_thread("fileno()")
        return n.lib().TQGetThreadWakeFd()

    def pump(self) -> List[Event]:
        """Handles, without waiting, every message that waits for this thread
        (the board's pen messages, its watchdog's timer) and returns the events
        they made, in order; an empty list when nothing waited. Call it on the
        thread that opened the board."""
        self._on_own_thread("pump()")
        self._window.drain()
        return list(self._window.take())

    def pending(self) -> int:
        """How many events the board has gathered that no pump() or events()
        has taken yet (some arrive while the library waits inside another
        call, such as opening a second board)."""
        return len(self._window.pending)

    async def aevents(self, timeout: Optional[float] = None) -> AsyncIterator[Event]:
        """The board's events in an asyncio program, as they come, for
        `timeout` seconds (None: until the board is closed or the caller
        stops): `async for event in board.aevents(): ...`. It waits on
        fileno() in the running loop, so other tasks run meanwhile; the loop
        must run on the thread that opened the board."""
        self._on_own_thread("aevents()")
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        fd = self.fileno()
        while True:
            for event in self.pump():
                yield event
            if not self._open:
                return
            wait = PUMP_INTERVAL
            if deadline is not None:
                wait = min(wait, deadline - loop.time())
                if wait <= 0:
                    return
            ready = loop.create_future()
            loop.add_reader(fd, lambda: ready.done() or ready.set_result(None))
            try:
                await asyncio.wait_for(ready, wait)
            except asyncio.TimeoutError:
                pass
            finally:
                loop.remove_reader(fd)


# struct flock of Linux: type, whence, start, length, pid.
_FLOCK = "hhqqi4x"
_F_OFD_GETLK = getattr(fcntl, "F_OFD_GETLK", 36)


def _capture_held(path: str) -> bool:
    """Whether a capture is being written to `path` (or it is being replayed):
    either holds a lock of the whole file that a capture's lock would meet."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        probe = struct.pack(_FLOCK, fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
        answer = fcntl.fcntl(fd, _F_OFD_GETLK, probe)
        return struct.unpack(_FLOCK, answer)[0] != fcntl.F_UNLCK
    except OSError:
        return False
    finally:
        os.close(fd)


def _capture_refusal(path: str) -> OSError:
    """Why the library did not record to `path`, as it checks a capture."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return OSError(errno.EACCES, "the capture file cannot be created", path)
    if stat.S_ISLNK(info.st_mode):
        return OSError(errno.ELOOP, "a symbolic link is not recorded to", path)
    if not stat.S_ISREG(info.st_mode):
        return OSError(errno.EINVAL, "not a regular file", path)
    if info.st_uid != os.geteuid():
        return OSError(errno.EACCES, "another user's file is not recorded to", path)
    return OSError(errno.EIO, "the library refused the capture file", path)
