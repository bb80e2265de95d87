"""The board in a loop of the program's own: the examples of docs/python.md
run against a board tqsim plays, and must print what the same drawing
replays to; and the descriptor is readable exactly when pump() has work."""

import os
import re
import selectors
import shutil
import subprocess
import sys
import time
import unittest

import tqapi
from support import SOURCE, Scratch, SimBoard, library, pen_lines, program

DRAWING = ["--board-version", "2.1", "--text", "HI", "--font", "builtin", "--speed", "2400", "--clean"]


def examples():
    """The docs' python blocks by the heading above them."""
    with open(os.path.join(SOURCE, "docs", "python.md")) as file:
        text = file.read()
    found = {}
    for heading, body in re.findall(r"^## (\w+)\n(.*?)(?=^## |\Z)", text, re.S | re.M):
        block = re.search(r"```python\n(.*?)```", body, re.S)
        if block:
            found[heading] = block.group(1)
    return found


class LoopTest(Scratch):
    def setUp(self):
        super().setUp()
        library()
        program("TQAPI_TQSIM")

    def reference(self):
        raw = self.path("reference.raw")
        subprocess.run([os.environ["TQAPI_TQSIM"], *DRAWING, "--raw", raw], check=True,
                       capture_output=True)
        return pen_lines(tqapi.replay(raw))

    def test_the_documented_loops_print_what_the_drawing_replays_to(self):
        expected = self.reference()
        self.assertGreater(len(expected), 40)
        code = examples()
        cases = [("selectors", sys.executable, {}), ("asyncio", sys.executable, {})]
        qt = "/usr/bin/python3"
        if os.access(qt, os.X_OK) and subprocess.run(
                [qt, "-c", "import PyQt5.QtCore"], capture_output=True).returncode == 0:
            cases.append(("Qt", qt, {"QT_QPA_PLATFORM": "offscreen"}))
        for name, python, extra in cases:
            with self.subTest(example=name):
                script = self.path(f"example_{name.lower()}.py")
                with open(script, "w") as file:
                    file.write(code[name])
                with SimBoard(self.path("board"), DRAWING):
                    done = subprocess.run([python, script, self.path("board"), str(len(expected))],
                                          env={**os.environ, **extra}, capture_output=True,
                                          text=True, timeout=60)
                self.assertEqual(done.returncode, 0, done.stderr)
                got = [line for line in done.stdout.splitlines()
                       if line.split()[0] in ("down", "move", "up")]
                self.assertEqual(got, expected)

    def test_the_descriptor_is_readable_while_the_board_waits_on_this_thread(self):
        with SimBoard(self.path("board"), DRAWING), tqapi.Board(device=self.path("board")) as board:
            board.pump()
            with selectors.DefaultSelector() as selector:
                selector.register(board.fileno(), selectors.EVENT_READ)
                # The drawing starts: the reader waits until this thread pumps.
                self.assertTrue(selector.select(timeout=10), "no wake for the board's first message")
                taken = board.pump()
                self.assertTrue(taken)
                self.assertEqual(board.pending(), 0)
                # Woken for every message until the drawing is done: all of it arrives.
                quiet = time.monotonic()
                while time.monotonic() - quiet < 1.5:
                    if selector.select(timeout=tqapi.PUMP_INTERVAL):
                        more = board.pump()
                        taken += more
                        quiet = time.monotonic() if more else quiet
                self.assertEqual(pen_lines(taken), self.reference())
                # Everything handled: nothing wakes.
                board.pump()
                self.assertEqual(selector.select(timeout=0), [])
        with self.assertRaises(tqapi.PortError):
            board.fileno()


if __name__ == "__main__":
    unittest.main()
