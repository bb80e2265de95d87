"""Replay of captures through the package against `tq replay --events`."""

import ctypes
import glob
import os
import re
import struct
import subprocess
import sys
import threading
import unittest
from xml.etree import ElementTree
from unittest import mock

import tqapi
from tqapi import Event, _native
from tqapi.events import from_message
from support import SAMPLES, Scratch, library, program


class ReplayTest(Scratch):
    def setUp(self):
        super().setUp()
        library()

    def test_every_bundled_sample_gives_the_events_tq_prints(self):
        tq = program("TQAPI_TQ")
        samples = sorted(os.path.basename(p) for p in glob.glob(os.path.join(SAMPLES, "*.raw")))
        self.assertGreaterEqual(len(samples), 5)
        for name in samples:
            with self.subTest(sample=name):
                # tq replay writes .val and .out beside its file: a copy of its own.
                ours = tqapi.replay(self.copy_sample(name))
                theirs = subprocess.run([tq, "replay", self.copy_sample(name, "tq-" + name),
                                         "--events"], check=True, capture_output=True,
                                        text=True).stdout.splitlines()
                self.assertEqual([e.line() for e in ours if e.kind != tqapi.FOOTPRINT], theirs)
                self.assertIn("down", {e.kind for e in ours})

    def test_every_message_kind_as_an_event_and_as_tq_prints_it(self):
        point = _native.SPenPoint(3, -2, 700)
        address = ctypes.addressof(point)
        table = [  # message, wParam, lParam, event, tq's line
            (0x8001, address, 3, Event("down", -2, 700, 3), "down -2 700 3 3"),
            (0x8002, address, 3, Event("move", -2, 700, 3), "move -2 700 3 3"),
            (0x8003, address, 0, Event("up", -2, 700, 3), "up -2 700 3 0"),
            (0x8003, 0, 0, Event("up"), "up 0 0 0 0"),
            (0x8004, 2, 4, Event("board", code=2, port=4), "board 2 4"),
            (0x8006, 8, 0, Event("line_error", code=8), "comm 8"),
            (0x8007, 0, 0, Event("check"), "check 0 0"),
            (0xFFFFFFFF, 0, 1, Event("0x90", port=1), "ffff 0 1"),
        ]
        for message, wparam, lparam, event, line in table:
            with self.subTest(message=hex(message), wparam=wparam):
                self.assertEqual(from_message(message, wparam, lparam), event)
                self.assertEqual(event.line(), line)
        self.assertIsNone(from_message(0x8005, 0, 0))
        self.assertEqual(Event("line_error", code=8).meaning, "waiting for line events failed")

    def test_footprints_are_told_as_the_stroke_model_tells_them(self):
        events = tqapi.replay(self.copy_sample("eraser-v3.raw"))
        told = [e.corners for e in events if e.kind == tqapi.FOOTPRINT]
        pages = tqapi.strokes(events)
        modelled = [f.corners for page in pages for f in page.footprints]
        self.assertGreater(len(told), 0)
        self.assertEqual(told, modelled)
        # The eraser took ink off the board: fewer points are left than written.
        written = sum(len(s.points) for page in pages for s in page.strokes)
        left = sum(len(s.points) for page in pages for s in page.remaining)
        self.assertLess(left, written)

    def test_strokes_and_footprints_as_tq_render_counts_them(self):
        tq = program("TQAPI_TQ")
        summary = re.compile(r"^strokes\s+(\d+) strokes of (\d+) samples, (\d+) eraser footprints$",
                             re.MULTILINE)
        for name in ["hello-v1.raw", "pens-v3.raw", "eraser-v3.raw"]:
            with self.subTest(sample=name):
                printed = subprocess.run([tq, "render", self.copy_sample(name, "tq-" + name), "--svg",
                                          self.path("picture.svg")], check=True, capture_output=True,
                                         text=True).stdout
                counts = summary.search(printed)
                if counts is None:
                    self.skipTest("tq render prints no strokes summary to compare with: skipped")
                pages = tqapi.strokes(tqapi.replay(self.copy_sample(name)))
                ours = (sum(len(p.strokes) for p in pages),
                        sum(len(s.points) for p in pages for s in p.strokes),
                        sum(len(p.footprints) for p in pages))
                self.assertEqual(ours, tuple(int(c) for c in counts.groups()))

    def test_what_is_left_as_tq_export_writes_it_to_inkml(self):
        tq = program("TQAPI_TQ")
        if subprocess.run([tq, "export", "--help"], capture_output=True).returncode != 0:
            self.skipTest("tq has no export command to compare with: skipped")
        for name in sorted(os.path.basename(p) for p in glob.glob(os.path.join(SAMPLES, "*.raw"))):
            with self.subTest(sample=name):
                out = self.path(name + ".inkml")
                subprocess.run([tq, "export", self.copy_sample(name, "tq-" + name), "-o", out],
                               check=True, capture_output=True)
                events = tqapi.replay(self.copy_sample(name))
                ours = [[(s.pen, list(s.points)) for s in page.remaining]
                        for page in tqapi.strokes(events)]
                accepted = [ours]
                if events[-1].kind in (tqapi.DOWN, tqapi.MOVE):
                    # The capture ends with the pen on the board: here that
                    # stroke counts as ended, tq export may leave it out.
                    accepted.append(ours[:-1] + [ours[-1][:-1]])
                self.assertIn(self.inkml_pages(out), accepted)

    @staticmethod
    def inkml_pages(path):
        """Per trace group: (pen code, points) of each trace."""
        space = "{http://www.w3.org/2003/InkML}"
        pages = []
        for group in ElementTree.parse(path).getroot().iter(space + "traceGroup"):
            traces = []
            for trace in group.iter(space + "trace"):
                points = [tuple(int(v) for v in pair.split()) for pair in trace.text.split(",")]
                traces.append((int(trace.get("brushRef").lstrip("#pen")), points))
            pages.append(traces)
        return pages

    def test_files_the_replay_refuses(self):
        short = self.path("short.raw")
        with open(short, "wb") as file:
            file.write(b"\0" * 12)
        refused = self.path("refused.raw")
        with open(refused, "wb") as file:
            file.write(struct.pack("<ddI", 0.0, 2.1, 3056) + b"\xa0" * 40)
        fifo = self.path("fifo.raw")
        os.mkfifo(fifo)
        # A capture of sample records, which tq replay refuses without --force.
        records = self.copy_sample("hello-v2.raw", "hello-v2.val")
        cases = [(self.path("missing.raw"), FileNotFoundError), (short, tqapi.CaptureError),
                 (refused, tqapi.CaptureError), (fifo, tqapi.CaptureError),
                 (self.dir, tqapi.CaptureError), (records, tqapi.CaptureError),
                 (self.path("missing.out"), FileNotFoundError)]
        for path, error in cases:
            with self.subTest(path=os.path.basename(path)):
                with self.assertRaises(error):
                    tqapi.replay(path)

    def test_export_runs_tq_export_or_says_it_is_missing(self):
        tq = program("TQAPI_TQ")
        raw = self.copy_sample("hello-v2.raw")
        has_export = subprocess.run([tq, "export", "--help"], capture_output=True).returncode == 0
        with mock.patch.dict(os.environ, {"TQAPI_TQ": self.path("no-tq")}):
            with self.assertRaisesRegex(FileNotFoundError, "not installed"):
                tqapi.export(raw, self.path("out.svg"))
        if not has_export:
            with self.assertRaisesRegex(FileNotFoundError, "no export command"):
                tqapi.export(raw, self.path("out.svg"))
            return
        self.assertEqual(tqapi.export(raw, self.path("out.pic"), format="svg"), self.path("out.pic"))
        with open(self.path("out.pic")) as picture:
            self.assertIn("<svg", picture.read())
        with self.assertRaises(RuntimeError):
            tqapi.export(raw, self.path("out.pic"), format="nonsense")

    def test_a_missing_file_is_a_file_not_found_everywhere(self):
        raw = self.copy_sample("hello-v2.raw")
        missing = self.path("missing.raw")
        cases = [
            ("replay", lambda: tqapi.replay(missing), missing),
            ("read_header", lambda: tqapi.read_header(missing), missing),
            ("export", lambda: tqapi.export(missing, self.path("out.svg")), missing),
            ("export into a missing directory",
             lambda: tqapi.export(raw, self.path("no/out.svg")), self.path("no")),
        ]
        for name, call, path in cases:
            with self.subTest(name):
                with self.assertRaises(FileNotFoundError) as caught:
                    call()
                self.assertEqual(caught.exception.filename, path)

    def test_replays_of_one_capture_at_once_read_it_alike(self):
        raw = self.copy_sample("pens-v3.raw")
        before = sorted(os.listdir(self.dir))
        expected = [e.line() for e in tqapi.replay(raw)]
        self.assertGreater(len(expected), 100)
        # Threads of this process, each replaying into a window of its own,
        # and other processes, all while each other's replays run.
        results, failures = [], []

        def run():
            try:
                results.append([e.line() for e in tqapi.replay(raw)])
            except Exception as error:  # reported below
                failures.append(error)

        script = ("import sys, tqapi\n"
                  "for _ in range(3): lines = [str(e.line()) for e in tqapi.replay(sys.argv[1])]\n"
                  "print('\\n'.join(lines))\n")
        children = [subprocess.Popen([sys.executable, "-c", script, raw], stdout=subprocess.PIPE,
                                     text=True) for _ in range(3)]
        workers = [threading.Thread(target=run) for _ in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        outputs = [child.communicate(timeout=60)[0].splitlines() for child in children]
        self.assertEqual(failures, [])
        self.assertEqual(results, [expected] * 4)
        self.assertEqual([child.returncode for child in children], [0] * 3)
        self.assertEqual(outputs, [[str(line) for line in expected]] * 3)
        # A replay only reads: no .val or .out appears beside the capture.
        self.assertEqual(sorted(os.listdir(self.dir)), before)

if __name__ == "__main__":
    unittest.main()
