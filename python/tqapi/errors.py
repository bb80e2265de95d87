"""The library's result codes as exceptions: each carries the code and what
it means, so a script never has to look a bare number up. A board that
cannot be opened also says which device it was and, when the system refused
the device, the system's reason, as `errno` and `strerror`."""

from __future__ import annotations

import errno as _errno
from typing import Optional

MEANINGS = {
    1: "line open or probe I/O failed",
    2: "second open failed",
    3: "board silent or reply malformed",
    4: "protocol above 2.0",
    5: "geometry reply malformed or baseline outside 500 to 5000",
    6: "port outside 1 to 8",
    7: "port not open",
}
"""The library's result codes (TQ_ERROR_CODE) and what each means."""


class TQError(Exception):
    """A failure the library reported with a result code: `code` is the
    number, `meaning` the words for it."""

    code: int
    meaning: str

    def __init__(self, code: int, meaning: Optional[str] = None) -> None:
        self.code = int(code)
        self.meaning = meaning if meaning is not None else MEANINGS.get(self.code, "unknown error")
        super().__init__(self.code, self.meaning)

    def __str__(self) -> str:
        return f"error {self.code}: {self.meaning}"


class OpenError(TQError, OSError):
    """The board could not be opened or did not pass the probe (codes 1 to
    5). Also an OSError: `device` (and `filename`) is the device's path when
    it is known; `errno` and `strerror` are the system's reason when the
    system refused the device (missing, not a terminal, no permission, in
    use), else None.

        try:
            board = tqapi.Board(device="ttyUSB0")
        except tqapi.OpenError as error:
            print(error.device, error.code, error.errno, error.strerror)
    """

    device: Optional[str]

    def __init__(self, code: int, meaning: Optional[str] = None, device: Optional[str] = None,
                 errno: Optional[int] = None, strerror: Optional[str] = None) -> None:
        super().__init__(code, meaning)
        # OSError took the code for an errno value: set what it really is.
        self.device = device
        self.filename = device
        self.errno = errno
        self.strerror = strerror

    def __str__(self) -> str:
        text = super().__str__()
        if self.device is not None:
            text = f"cannot open {self.device}: {text}"
        if self.strerror:
            text += f" [Errno {self.errno}] {self.strerror}"
        return text


class DeviceNotFoundError(OpenError, FileNotFoundError):
    """The device to open does not exist (an OpenError of code 1 that is also
    a FileNotFoundError)."""


class DevicePermissionError(OpenError, PermissionError):
    """The device exists but this user may not open it: usually membership of
    the dialout group is missing (an OpenError that is also a
    PermissionError)."""


class PortError(TQError):
    """The port number is outside 1 to 8, or no board is open on it (codes 6, 7)."""


def error_for(code: int) -> TQError:
    """The exception for a non-zero result code."""
    kind = PortError if code in (6, 7) else OpenError if 1 <= code <= 5 else TQError
    return kind(code)


def open_error(code: int, device: Optional[str], number: Optional[int] = None,
               reason: Optional[str] = None) -> OpenError:
    """The OpenError of a failed open of `device`, of the class its system
    error calls for: DeviceNotFoundError for ENOENT, DevicePermissionError
    for EACCES and EPERM."""
    kind = {_errno.ENOENT: DeviceNotFoundError, _errno.EACCES: DevicePermissionError,
            _errno.EPERM: DevicePermissionError}.get(number, OpenError)
    return kind(code, None, device, number, reason)


def check(code: int) -> None:
    """Raises the exception of a result code; returns nothing for 0."""
    if code != 0:
        raise error_for(code)
