"""Failures as exceptions with the library's code and its meaning."""

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
        cases = [
            ({"port": 9}, tqapi.PortError, 6),
            ({"port": 0}, tqapi.PortError, 6),
            ({"device": "/nonexistent/tty"}, tqapi.OpenError, 1),
            ({"device": os.ttyname(slave)}, tqapi.OpenError, 3),
        ]
        for arguments, kind, code in cases:
            with self.subTest(**arguments):
                with self.assertRaises(kind) as caught:
                    tqapi.Board(**arguments)
                self.assertEqual(caught.exception.code, code)


if __name__ == "__main__":
    unittest.main()
