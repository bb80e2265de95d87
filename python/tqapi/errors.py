"""The library's result codes as exceptions: each carries the code and what
it means, so a script never has to look a bare number up."""

MEANINGS = {
    1: "line open or probe I/O failed",
    2: "second open failed",
    3: "board silent or reply malformed",
    4: "protocol above 2.0",
    5: "geometry reply malformed or baseline outside 500 to 5000",
    6: "port outside 1 to 8",
    7: "port not open",
}


class TQError(Exception):
    """A failure the library reported with a result code."""

    def __init__(self, code, meaning=None):
        self.code = int(code)
        self.meaning = meaning if meaning is not None else MEANINGS.get(self.code, "unknown error")
        super().__init__(self.code, self.meaning)

    def __str__(self):
        return f"error {self.code}: {self.meaning}"


class OpenError(TQError):
    """The board could not be opened or did not pass the probe (codes 1 to 5)."""


class PortError(TQError):
    """The port number is outside 1 to 8, or no board is open on it (codes 6, 7)."""


def error_for(code):
    """The exception for a non-zero result code."""
    kind = PortError if code in (6, 7) else OpenError if 1 <= code <= 5 else TQError
    return kind(code)


def check(code):
    """Raises the exception of a result code; returns nothing for 0."""
    if code != 0:
        raise error_for(code)
