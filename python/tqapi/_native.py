"""The C side of the package: libtqapi.so loaded with ctypes, its records,
enumerations and message numbers as the library's header has them, and every
export the package calls with its exact argument and result types.

The library is found, in this order, through TQAPI_LIBRARY, where `make
install` put it relative to the package (never an absolute path, so an
install moved as a whole, or unpacked under another root, still works), and
by its soname through the system's loader. The replay entry lies in the
package's own directory once installed."""

from __future__ import annotations

import ctypes
import os
from typing import Optional

# ---- Types of the host interface ---------------------------------------------

HWND = ctypes.c_void_p
UINT = ctypes.c_uint
DWORD = ctypes.c_uint32
BOOL = ctypes.c_int
WPARAM = ctypes.c_size_t       # uintptr_t
LPARAM = ctypes.c_ssize_t      # intptr_t
LRESULT = ctypes.c_ssize_t     # intptr_t
UINT_PTR = ctypes.c_size_t     # uintptr_t
TQ_PORT = ctypes.c_int
# Every enumeration of the header is forced to 32 bits; the compiler makes
# those without a negative value unsigned.
TQ_ERROR_CODE = ctypes.c_uint
POD_LOCATION = ctypes.c_int
VALIDATION_STATUS = ctypes.c_uint
FILTER_STATUS = ctypes.c_uint
ANTISTREAK_STATUS = ctypes.c_uint

WNDPROC = ctypes.CFUNCTYPE(LRESULT, HWND, UINT, WPARAM, LPARAM)
TIMERPROC = ctypes.CFUNCTYPE(None, HWND, UINT, UINT_PTR, DWORD)


class MSG(ctypes.Structure):
    _fields_ = [("hwnd", HWND), ("message", UINT), ("wParam", WPARAM),
                ("lParam", LPARAM), ("time", DWORD)]


class SFindPortError(ctypes.Structure):
    _fields_ = [("port1", TQ_ERROR_CODE), ("port2", TQ_ERROR_CODE)]


class TQND(ctypes.Structure):
    _fields_ = [("pushed", ctypes.c_uint32), ("rejected", ctypes.c_uint32),
                ("streaksCut", ctypes.c_uint32)]


class SPenPoint(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int32), ("x", ctypes.c_int16), ("y", ctypes.c_int16)]


RECORDS = {"MSG": MSG, "SFindPortError": SFindPortError, "TQND": TQND, "SPenPoint": SPenPoint}
ENUM_TYPES = {"TQ_ERROR_CODE": TQ_ERROR_CODE, "POD_LOCATION": POD_LOCATION,
              "VALIDATION_STATUS": VALIDATION_STATUS, "FILTER_STATUS": FILTER_STATUS,
              "ANTISTREAK_STATUS": ANTISTREAK_STATUS}

# ---- Message numbers and constants -------------------------------------------

WM_QUIT = 0x0012
WM_TIMER = 0x0113
WM_APP = 0x8000
PM_REMOVE = 0x0001
TQ_MSG_PEN_DOWN = 0x8001
TQ_MSG_PEN_MOVE = 0x8002
TQ_MSG_PEN_UP = 0x8003
TQ_MSG_BOARD_EVENT = 0x8004
TQ_MSG_COMM_ERROR = 0x8006
TQ_MSG_BOARD_CHECK = 0x8007
TQ_MSG_BOARD_0x90 = 0xFFFFFFFF

TQ_SUCCESS = 0
TQ_ERR_OPEN_FAILED = 1
TQ_ERR_REOPEN_FAILED = 2
TQ_ERR_NO_ANSWER = 3
TQ_ERR_PROTOCOL = 4
TQ_ERR_GEOMETRY = 5
TQ_ERR_BAD_PORT = 6
TQ_ERR_NOT_OPEN = 7

CONSTANTS = {name: value for name, value in globals().items()
             if name.startswith(("TQ_MSG_", "TQ_SUCCESS", "TQ_ERR_", "WM_", "PM_REMOVE"))}

VERSION_TEXT_SIZE = 20  # the board's version reply, NUL-padded

# ---- The exports ---------------------------------------------------------------

# name: (result type, argument types)
EXPORTS = {
    "TQOpenPort": (TQ_ERROR_CODE, [TQ_PORT, HWND]),
    "TQFindPort": (TQ_PORT, [HWND, ctypes.POINTER(SFindPortError)]),
    "TQClose": (TQ_ERROR_CODE, [TQ_PORT]),
    "TQGetBoardWidth": (TQ_ERROR_CODE, [TQ_PORT, ctypes.POINTER(ctypes.c_uint)]),
    "TQGetMaxBoardHeight": (TQ_ERROR_CODE, [TQ_PORT, ctypes.POINTER(ctypes.c_uint)]),
    "TQGetBoardVersion": (TQ_ERROR_CODE, [TQ_PORT, ctypes.c_char_p]),
    "TQGetTQND": (TQ_ERROR_CODE, [TQ_PORT, ctypes.POINTER(TQND)]),
    "TQSetPodLocation": (TQ_ERROR_CODE, [TQ_PORT, POD_LOCATION]),
    "TQSetBoardHeight": (TQ_ERROR_CODE, [TQ_PORT, ctypes.c_uint]),
    "TQSetValidateStatus": (VALIDATION_STATUS, [TQ_PORT, VALIDATION_STATUS]),
    "TQSetFilterStatus": (FILTER_STATUS, [TQ_PORT, FILTER_STATUS]),
    "TQSetAntiStreakStatus": (ANTISTREAK_STATUS, [TQ_PORT, ANTISTREAK_STATUS]),
    "TQOpenDumpFiles": (None, [TQ_PORT, ctypes.c_char_p, ctypes.c_int]),
    "TQCloseDumpFiles": (None, [TQ_PORT]),
    "TQCreateWindow": (HWND, [WNDPROC, ctypes.c_void_p]),
    "TQDestroyWindow": (BOOL, [HWND]),
    "PostMessageA": (BOOL, [HWND, UINT, WPARAM, LPARAM]),
    "GetMessageA": (BOOL, [ctypes.POINTER(MSG), HWND, UINT, UINT]),
    "PeekMessageA": (BOOL, [ctypes.POINTER(MSG), HWND, UINT, UINT, UINT]),
    "DispatchMessageA": (LRESULT, [ctypes.POINTER(MSG)]),
    "SetTimer": (UINT_PTR, [HWND, UINT_PTR, UINT, TIMERPROC]),
    "KillTimer": (BOOL, [HWND, UINT_PTR]),
    # Not in the header: the calling thread's wake descriptor (Board.fileno).
    "TQGetThreadWakeFd": (ctypes.c_int, []),
}

_INTS = ctypes.POINTER(ctypes.c_int)
_ORDERS = ctypes.POINTER(ctypes.c_int64)

# The native entry beside the library: the replay of a path (the file's
# failure out), and the eraser's rules from the tools' ink code.
REPLAY_EXPORTS = {
    "TQPyReplayFile": (ctypes.c_int, [HWND, ctypes.c_char_p, ctypes.POINTER(ctypes.c_long)]),
    "tq_footprint_outline": (ctypes.c_int, [_INTS, ctypes.c_int, _INTS]),
    "tq_inside_footprint": (ctypes.c_int, [_INTS, ctypes.c_int, ctypes.c_int]),
    "tq_remaining": (ctypes.c_int, [_INTS, _INTS, _ORDERS, ctypes.c_int, _INTS, _ORDERS, ctypes.c_int,
                                    _INTS, _INTS, _INTS]),
}

LIBRARY_ENV = "TQAPI_LIBRARY"
REPLAY_LIBRARY_ENV = "TQAPI_REPLAY_LIBRARY"
LIBRARY_NAME = "libtqapi.so.1"
REPLAY_LIBRARY_NAME = "libtqapi_replay.so"


HERE = os.path.dirname(os.path.abspath(__file__))


def _installed_dir(name: str) -> Optional[str]:
    """A directory `make install` named relative to the package, made whole;
    None for a package that was not installed (a source tree)."""
    try:
        from . import _installed as installed  # written at install time
    except ImportError:
        return None
    relative = getattr(installed, name, None)
    return os.path.normpath(os.path.join(HERE, relative)) if relative else None


def _declare(library, exports):
    for name, (restype, argtypes) in exports.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes


def _library_path() -> str:
    """TQAPI_LIBRARY; else the library where the install put it, relative to
    the package; else its soname, for the loader to find."""
    named = os.environ.get(LIBRARY_ENV)
    if named:
        return named
    where = _installed_dir("LIBRARY_DIR")
    if where is not None and os.path.exists(os.path.join(where, LIBRARY_NAME)):
        return os.path.join(where, LIBRARY_NAME)
    return LIBRARY_NAME


def _load(path, what, variable=LIBRARY_ENV):
    try:
        # The replay entry needs the library by its soname and binds to the
        # copy loaded here: one port table and one message system.
        return ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
    except OSError as error:
        raise OSError(f"cannot load {what} '{path}' ({error}); build and install it with "
                      f"'make install', or name it in {variable}") from None


_lib = None
_replay = None


def lib() -> ctypes.CDLL:
    """The loaded library, declared on first use."""
    global _lib
    if _lib is None:
        loaded = _load(_library_path(), "the board library")
        _declare(loaded, EXPORTS)
        _lib = loaded
    return _lib


def replay_entry() -> ctypes.CDLL:
    """The replay entry: TQAPI_REPLAY_LIBRARY, else the one installed in the
    package, else the one beside the library (a build tree)."""
    global _replay
    if _replay is None:
        library = lib()
        path = os.environ.get(REPLAY_LIBRARY_ENV)
        if not path and os.path.exists(os.path.join(HERE, REPLAY_LIBRARY_NAME)):
            path = os.path.join(HERE, REPLAY_LIBRARY_NAME)
        if not path:
            where = os.path.dirname(library._name)
            path = os.path.join(where, REPLAY_LIBRARY_NAME) if where else REPLAY_LIBRARY_NAME
        loaded = _load(path, "the replay entry", REPLAY_LIBRARY_ENV)
        _declare(loaded, REPLAY_EXPORTS)
        _replay = loaded
    return _replay


def tq_program() -> Optional[str]:
    """Where the `tq` program is: TQAPI_TQ, else installed with the package,
    else on the PATH."""
    import shutil
    named = os.environ.get("TQAPI_TQ")
    if named:
        return named
    where = _installed_dir("PROGRAM_DIR")
    if where is not None and os.access(os.path.join(where, "tq"), os.X_OK):
        return os.path.join(where, "tq")
    return shutil.which("tq")
