"""tqapi.subscribe against a real engine: a capture published by tq publish
reads back as the events of the same capture replayed here."""

import os
import shutil
import socket
import subprocess
import time
import unittest

import tqapi
from support import Scratch, library, program


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SubscribeTest(Scratch):
    def setUp(self):
        super().setUp()
        library()
        self.tq = program("TQAPI_TQ")
        server = shutil.which("nats-server")
        if server is None:
            raise unittest.SkipTest("nats-server is not installed (Debian package nats-server): skipped")
        self.port = free_port()
        self.engine = subprocess.Popen(
            [server, "-js", "-a", "127.0.0.1", "-p", str(self.port), "-sd", self.path("store")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self._stop)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                break
            except OSError:
                if time.monotonic() > deadline or self.engine.poll() is not None:
                    raise unittest.SkipTest("nats-server cannot start here: skipped")
                time.sleep(0.05)

    def _stop(self):
        self.engine.terminate()
        try:
            self.engine.wait(10)
        except subprocess.TimeoutExpired:
            self.engine.kill()
            self.engine.wait()

    def test_a_published_capture_reads_back_as_its_replay(self):
        url = f"nats://127.0.0.1:{self.port}"
        capture = self.copy_sample("eraser-v3.raw")
        expected = [e for e in tqapi.replay(self.copy_sample("eraser-v3.raw", "here.raw"))
                    if e.kind in (tqapi.DOWN, tqapi.MOVE, tqapi.UP, tqapi.FOOTPRINT)]
        self.assertIn(tqapi.FOOTPRINT, {e.kind for e in expected})
        for session in range(2):
            with self.subTest(session=session):
                # Published first and read afterwards: the last session, once.
                subprocess.run([self.tq, "publish", "--replay", capture, "--speed", "40",
                                "--nats", url, "--board", "py-hall"], check=True,
                               capture_output=True, timeout=60)
                events = [e for e in tqapi.subscribe(url, "py-hall", timeout=10)
                          if e.kind != tqapi.CHECK]
                self.assertEqual(events, expected)

    def test_a_board_without_a_stream_is_an_error(self):
        with self.assertRaises(tqapi.FleetError):
            next(tqapi.subscribe(f"nats://127.0.0.1:{self.port}", "nobody", timeout=2))


if __name__ == "__main__":
    unittest.main()
