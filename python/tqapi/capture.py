"""Capture files: a raw capture replayed through the library into events,
and exported through the `tq` program."""

import ctypes
import errno
import os
import stat
import struct
import subprocess
from collections import namedtuple

from . import _native as n
from .events import Window

HEADER_SIZE = 20
Header = namedtuple("Header", "protocol version baseline")


class CaptureError(ValueError):
    """A capture file that the library does not replay."""


def read_header(path):
    """The capture's header: the protocol number and the board version, then
    the sensor baseline."""
    if not stat.S_ISREG(os.stat(path).st_mode):
        # A directory, FIFO or device has no end to replay; opening a FIFO
        # would wait for a writer.
        raise CaptureError(f"'{path}' is not a regular file")
    with open(path, "rb") as file:
        data = file.read(HEADER_SIZE)
    if len(data) < HEADER_SIZE:
        raise CaptureError(f"'{path}' is {len(data)} bytes, shorter than a capture header")
    return Header(*struct.unpack("<ddI", data))


def _accepted(header):
    return 0.0 < header.protocol < 100.0 and 0.0 < header.version < 100.0


# The file failures the replay reports, as the system's errors.
_CAUSES = {2: (errno.ENOENT, "no such file"), 5: (errno.EACCES, "access denied"),
           11: (errno.EBUSY, "the file is in use (a port may be capturing to it)")}


def replay(path):
    """The events of a raw capture played back through the decoders and the
    stroke filter (all stages on, pod location 0, board height 0), in the
    order a window receives them. Writes PATH.val and PATH.out beside it, as
    the library does. Raises OSError when the file cannot be opened and
    CaptureError when its header is not one the library replays."""
    path = os.fspath(path)
    header = read_header(path)
    if not _accepted(header):
        raise CaptureError(f"'{path}': header not accepted (protocol {header.protocol:g}, "
                           f"board version {header.version:g})")
    window = Window()
    try:
        os_error = ctypes.c_long(0)
        cause = n.replay_entry().TQPyReplayFile(window.handle, os.fsencode(path),
                                                ctypes.byref(os_error))
        if cause != 0:
            number, words = _CAUSES.get(cause, (errno.EIO, "the file cannot be opened"))
            raise OSError(os_error.value or number, words, path)
        # Messages that boards below version 2.0 post arrive now, after the
        # sent ones, as they would in a host's message loop.
        window.drain()
        return list(window.take())
    finally:
        window.destroy()


def export(path, out, *options, format=None):
    """Exports a raw capture to `out` with `tq export`: xopp, inkml, pdf, png
    or svg, from `format` or else from out's extension; further command-line
    options (such as "--no-pages") pass through. Returns `out`. Raises
    FileNotFoundError when the program is missing and RuntimeError with its
    message when it fails."""
    program = n.tq_program()
    if program is None or not os.access(program, os.X_OK):
        raise FileNotFoundError(errno.ENOENT, "the tq program is not installed "
                                "(make install, or name it in TQAPI_TQ)", program or "tq")
    command = [program, "export", os.fspath(path), "-o", os.fspath(out), *options]
    if format is not None:
        command += ["--format", format]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        if "unknown command" in done.stderr or "usage: tq COMMAND" in done.stderr:
            raise FileNotFoundError(errno.ENOENT, f"{program} has no export command", program)
        raise RuntimeError(f"tq export failed ({done.returncode}): {done.stderr.strip()}")
    return os.fspath(out)
