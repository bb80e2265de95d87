"""Failures as exceptions with the library's code and its meaning."""

import errno
import fcntl
import os
import unittest

import tqapi
from tqapi.errors import error_for
from support import library


class ErrorTest(unittest.TestCase):
    def test_every_code_has_its_class_and_meaning(self):
        table = [
            (1, tqapi.OpenError, "line open or probe I/O failed"),
            (2, tqapi.OpenError, "second open failed"),
            (3, tqapi.OpenError, "board silent or reply malformed"),
            (4, tqapi.OpenError, "protocol above 2.0"),
            (5, tqapi.OpenError, "geometry reply malformed or baseline outside 500 to 5000"),
            (6, tqapi.PortError, "port outside 1 to 8"),
            (7, tqapi.PortError, "port not open"),
            (99, tqapi.TQError, "unknown error"),
        ]
        for code, kind, meaning in table:
            with self.subTest(code=code):
                error = error_for(code)
                self.assertIs(type(error), kind)
                self.assertEqual((error.code, error.meaning, error.args), (code, meaning, (code, meaning)))
                self.assertEqual(str(error), f"error {code}: {meaning}")
        self.assertEqual(repr(tqapi.OpenError(3)), "OpenError(3, 'board silent or reply malformed')")

    def test_boards_that_do_not_open(self):
        library()
        master, slave = os.openpty()  # a line nobody answers on
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        plain = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support.py")
        held = os.openpty()  # a line another program holds
        for fd in held:
            self.addCleanup(os.close, fd)
        fcntl.flock(held[1], fcntl.LOCK_EX)
        cases = [  # arguments, class, code, device, errno
            ({"port": 9}, tqapi.PortError, 6, None, None),
            ({"port": 0}, tqapi.PortError, 6, None, None),
            ({"device": "/nonexistent/tty"}, tqapi.DeviceNotFoundError, 1, "/nonexistent/tty", errno.ENOENT),
            ({"device": plain}, tqapi.OpenError, 1, plain, errno.ENOTTY),
            ({"device": os.ttyname(held[1])}, tqapi.OpenError, 1, os.ttyname(held[1]), errno.EBUSY),
            ({"device": os.ttyname(slave)}, tqapi.OpenError, 3, os.ttyname(slave), None),
        ]
        for arguments, kind, code, device, number in cases:
            with self.subTest(**arguments):
                with self.assertRaises(kind) as caught:
                    tqapi.Board(**arguments)
                error = caught.exception
                self.assertIs(type(error), kind)
                self.assertEqual(error.code, code)
                if kind is not tqapi.PortError:
                    self.assertIsInstance(error, OSError)
                    self.assertEqual((error.device, error.filename, error.errno), (device, device, number))
                    self.assertIn(f"cannot open {device}: error {code}", str(error))
                    if number is not None:
                        self.assertEqual(error.strerror.split(" (")[0],
                                         {errno.ENOENT: os.strerror(errno.ENOENT),
                                          errno.ENOTTY: "not a terminal, so no serial line",
                                          errno.EBUSY: "in use by another program"}[number])
        with self.assertRaises(FileNotFoundError):
            tqapi.Board(device="/nonexistent/tty")


if __name__ == "__main__":
    unittest.main()
