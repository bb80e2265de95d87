"""What the tests need from the build: the library, tq and tqsim, named by
the environment ctest sets; each test that lacks one says so and skips."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SAMPLES = os.environ.get("TQAPI_SAMPLES") or os.path.join(SOURCE, "samples")
INCLUDE = os.environ.get("TQAPI_INCLUDE") or os.path.join(SOURCE, "include")


def program(variable):
    """The program the environment names; skips the test when it is missing."""
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        raise unittest.SkipTest(f"{variable} names no program (run through ctest): skipped")
    return path


def library():
    import tqapi._native
    try:
        return tqapi._native.lib()
    except OSError as error:
        raise unittest.SkipTest(f"the board library cannot be loaded: {error}: skipped")


class Scratch(unittest.TestCase):
    """A test with a temporary directory of its own."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tqapi-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def copy_sample(self, name, as_name=None):
        target = self.path(as_name or name)
        shutil.copyfile(os.path.join(SAMPLES, name), target)
        return target


class SimBoard:
    """tqsim playing a board on a pty, reachable through a link."""

    def __init__(self, link, args, seconds=20):
        self.link = link
        self.process = subprocess.Popen(
            [program("TQAPI_TQSIM"), *args, "--pty", "--link", link, "--timeout", str(seconds)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not os.path.exists(link):
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.close()
                raise AssertionError(f"tqsim made no board at {link}")
            time.sleep(0.05)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def pen_lines(events):
    return [e.line() for e in events if e.kind in ("down", "move", "up")]
