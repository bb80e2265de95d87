"""Capture files: a raw capture replayed through the library into events,
and exported through the `tq` program."""

from __future__ import annotations

import ctypes
import errno
import os
import stat
import struct
import subprocess
from typing import List, NamedTuple, Optional, Union

from . import _native as n
from .events import Event, Window

HEADER_SIZE = 20
PathLike = Union[str, "os.PathLike[str]"]


class Header(NamedTuple):
    """A capture's 20-byte header."""
    protocol: float   # the protocol number of the line, such as 2.0
    version: float    # the board's version, such as 2.1
    baseline: int     # the sensor baseline in board units


class CaptureError(ValueError):
    """A capture file that the library does not replay."""


def read_header(path: PathLike) -> Header:
    """The capture's header: the protocol number and the board version, then
    the sensor baseline. Raises FileNotFoundError for a missing file and
    CaptureError for one that is no regular file or too short."""
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
# Captures of sample records, which the library writes beside a raw capture:
# their bodies are no line bytes to replay.
SAMPLE_CAPTURES = (".val", ".out")


def replay(path: PathLike) -> List[Event]:
    """The events of a raw capture played back through the decoders and the
    stroke filter (all stages on, pod location 0, board height 0), in the
    order a window receives them, as `tq replay --events` prints them. It
    only reads the file: several threads and processes may replay one capture
    at once, and no .val or .out file is written. Raises FileNotFoundError for
    a missing file, OSError when it cannot be read (errno EBUSY while a port
    records to it), and CaptureError for a .val or .out capture, a file that
    is no regular file, or a header the library does not replay."""
    path = os.fspath(path)
    if path.endswith(SAMPLE_CAPTURES):
        os.stat(path)  # a missing file is reported as such first
        raise CaptureError(f"'{path}' is a .val or .out capture of sample records, not a raw "
                           f"capture of the line (read it with tq dump)")
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


def export(path: PathLike, out: PathLike, *options: str, format: Optional[str] = None) -> str:
    """Exports a raw capture to `out` with `tq export`: xopp, inkml, pdf, png
    or svg, from `format` or else from out's extension; further command-line
    options (such as "--no-pages") pass through. Returns `out`. Raises
    FileNotFoundError when the capture, out's directory or the program is
    missing, and RuntimeError with tq's message when the export fails."""
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "no such file", os.fspath(path))
    directory = os.path.dirname(os.fspath(out))
    if directory and os.fspath(out) != "-" and not os.path.isdir(directory):
        raise FileNotFoundError(errno.ENOENT, "no such directory", directory)
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
