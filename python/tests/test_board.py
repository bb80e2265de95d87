"""A board played by tqsim on a pty, through Board: what it reports live is
what the same drawing replays to, and Ctrl-C ends the loop and closes it."""

import errno
import os
import signal
import subprocess
import sys
import threading
import time
import unittest
from unittest import mock

import tqapi
from support import Scratch, SimBoard, library, pen_lines, program

DRAWING = ["--text", "HI", "--font", "builtin", "--speed", "2400", "--clean"]


def live_events(board, count, seconds=15):
    """Events until `count` pen events have come, or `seconds` have passed."""
    seen, pens = [], 0
    for event in board.events(timeout=seconds):
        seen.append(event)
        pens += event.kind in ("down", "move", "up")
        if pens >= count:
            break
    return seen


class BoardTest(Scratch):
    def setUp(self):
        super().setUp()
        library()
        program("TQAPI_TQSIM")

    def reference(self, args):
        """The same board's drawing written as a capture and replayed."""
        raw = self.path("reference.raw")
        subprocess.run([os.environ["TQAPI_TQSIM"], *args, "--raw", raw], check=True,
                       capture_output=True)
        return pen_lines(tqapi.replay(raw))

    def test_a_live_board_reports_what_its_capture_replays_to(self):
        cases = [  # board version, baseline, pod location
            ("1.2", 3056, tqapi.PodLocation.LOCATION_0),
            ("2.1", 2000, tqapi.PodLocation.LOCATION_0),
            ("3.1", 3056, tqapi.PodLocation.LOCATION_2),
        ]
        for version, baseline, pod in cases:
            with self.subTest(version=version, pod=pod):
                args = ["--board-version", version, "--baseline", str(baseline), *DRAWING]
                expected = self.reference(args)
                self.assertGreater(len(expected), 40)
                with SimBoard(self.path("board"), args), tqapi.Board(device=self.path("board")) as board:
                    self.assertEqual(board.version, version)
                    width = baseline + 340
                    self.assertEqual(board.width, width)
                    self.assertEqual(board.max_height, int((5500 ** 2 - baseline ** 2) ** 0.5))
                    board.pod_location = pod
                    self.assertEqual(board.pod_location, pod)
                    got = pen_lines(live_events(board, len(expected)))
                    self.assertGreater(board.counters.pushed, 0)
                if pod == tqapi.PodLocation.LOCATION_2:
                    # Axes exchanged, the new y mirrored against the width.
                    expected = [self.exchange(line, width) for line in expected]
                self.assertEqual(got, expected)
                self.assertTrue(board.closed)

    @staticmethod
    def loop_elsewhere(board, outcome):
        try:
            next(board.events(timeout=1))
            outcome.append("ran")
        except RuntimeError:
            outcome.append("refused")

    @staticmethod
    def exchange(line, width):
        kind, x, y, *rest = line.split()
        return " ".join([kind, y, str(width - int(x)), *rest])

    def test_settings_and_recording(self):
        args = ["--board-version", "2.1", *DRAWING]
        with SimBoard(self.path("board"), args, seconds=10):
            with tqapi.Board(device=self.path("board")) as board:
                self.assertEqual((board.validate, board.smooth, board.antistreak), (True,) * 3)
                # Set up as every tq command sets a board up.
                self.assertEqual((board.pod_location, board.height), (0, board.max_height))
                board.smooth = False
                board.height = 1200
                self.assertEqual((board.smooth, board.height), (False, 1200))
                for name, value in [("pod_location", 4), ("pod_location", -1), ("height", -1),
                                    ("height", 2 ** 31)]:
                    with self.subTest(setting=name, value=value):
                        with self.assertRaises(ValueError):
                            setattr(board, name, value)
                raw = board.record(self.path("session"))
                self.assertEqual(raw, self.path("session.raw"))
                live_events(board, 20)
                # The capture a port is writing is not replayed under it.
                with self.assertRaises(OSError) as caught:
                    tqapi.replay(raw)
                self.assertIn("in use", str(caught.exception))
                # A second open of the port closes the first board, as the
                # library closes whatever was open on a port it opens.
                with tqapi.Board(port=board.port, device=self.path("board")) as again:
                    self.assertTrue(board.closed)
                    self.assertEqual(again.version, "2.1")
                    outcome = []
                    worker = threading.Thread(target=self.loop_elsewhere, args=(again, outcome))
                    worker.start()
                    worker.join()
                    self.assertEqual(outcome, ["refused"])
            for name in ["width", "max_height", "version", "counters", "smooth"]:
                with self.subTest(after_close=name):
                    with self.assertRaises(tqapi.PortError) as closed:
                        getattr(board, name)
                    self.assertEqual(closed.exception.code, 7)
            board.close()  # closing twice does nothing
            header = tqapi.read_header(raw)
            self.assertEqual((header.version, header.baseline), (2.1, 3056))
            self.assertGreater(len(tqapi.replay(raw)), 0)

    def test_record_refuses_what_the_library_refuses(self):
        args = ["--board-version", "2.1", *DRAWING]
        target = self.path("target.raw")
        open(target, "wb").close()
        os.symlink(target, self.path("link.raw"))
        with SimBoard(self.path("one"), args), SimBoard(self.path("two"), args), \
                tqapi.Board(device=self.path("one")) as first, \
                tqapi.Board(device=self.path("two")) as second:
            self.assertEqual(first.record(self.path("session")), self.path("session.raw"))
            # Recording again to the same file is this board's own business.
            self.assertEqual(first.record(self.path("session.raw")), self.path("session.raw"))
            cases = [  # path, exception, errno
                (self.path("session.raw"), OSError, errno.EBUSY),   # the other board records there
                (self.path("link.raw"), OSError, errno.ELOOP),      # a symbolic link
                (self.path("none/session"), FileNotFoundError, errno.ENOENT),
            ]
            for path, kind, number in cases:
                with self.subTest(path=os.path.basename(path)):
                    with self.assertRaises(kind) as caught:
                        second.record(path)
                    self.assertEqual(caught.exception.errno, number)
            self.assertEqual(os.path.getsize(target), 0)
            live_events(first, 10)
            first.stop_recording()
        self.assertGreater(tqapi.read_header(self.path("session.raw")).version, 2)

    def test_a_board_found_on_port_1_or_2(self):
        master, slave = os.openpty()  # a line nobody answers on
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        silent = os.ttyname(slave)
        with SimBoard(self.path("board"), ["--board-version", "2.1", *DRAWING]):
            with mock.patch.dict(os.environ, {"TQ_COM1": silent, "TQ_COM2": self.path("board")}):
                with tqapi.Board() as board:
                    self.assertEqual((board.port, board.version), (2, "2.1"))
        with mock.patch.dict(os.environ, {"TQ_COM1": self.path("none"), "TQ_COM2": silent}):
            with self.assertRaises(tqapi.OpenError) as caught:
                tqapi.Board()
        self.assertEqual(caught.exception.code, 3)
        self.assertIn("port 1 (line open or probe I/O failed)", caught.exception.meaning)

    def test_a_board_gone_silent_is_checked_by_the_loop(self):
        # The watchdog runs from this thread's message loop: it asks at about
        # 4 s and reports at its next tick, 2 s on.
        args = ["--board-version", "2.1", "--silent-after", "0.2", *DRAWING]
        with SimBoard(self.path("board"), args), tqapi.Board(device=self.path("board")) as board:
            started = time.monotonic()
            kinds = []
            for event in board.events(timeout=12):
                kinds.append(event.kind)
                if event.kind == tqapi.CHECK:
                    break
        self.assertEqual(kinds[-1], tqapi.CHECK)
        self.assertGreater(time.monotonic() - started, 3)

    def test_ctrl_c_ends_the_loop_and_closes_the_board(self):
        script = (
            "import sys, tqapi\n"
            "board = tqapi.Board(device=sys.argv[1])\n"
            "count = 0\n"
            "for event in board.events():\n"
            "    count += 1\n"
            "    if count == 1: print('first', flush=True)\n"
            "print('closed', board.closed, count > 0, flush=True)\n")
        args = ["--board-version", "2.1", "--repeat", *DRAWING]
        with SimBoard(self.path("board"), args):
            child = subprocess.Popen([sys.executable, "-c", script, self.path("board")],
                                     stdout=subprocess.PIPE, text=True)
            try:
                self.assertEqual(child.stdout.readline().strip(), "first")
                time.sleep(0.3)
                child.send_signal(signal.SIGINT)
                out, _ = child.communicate(timeout=10)
            finally:
                if child.poll() is None:
                    child.kill()
                    child.wait()
        self.assertEqual(child.returncode, 0)
        self.assertEqual(out.strip(), "closed True True")


if __name__ == "__main__":
    unittest.main()
