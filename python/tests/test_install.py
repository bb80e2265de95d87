"""What make install puts down: the package in the interpreter's module
directory, naming the installed library and tq, and a replay that works
from the installed files alone."""

import json
import os
import subprocess
import sys
import sysconfig
import unittest

from support import Scratch, program

CHECK = """
import json, sys, tqapi, tqapi._installed as installed
events = tqapi.replay(sys.argv[1])
print(json.dumps([tqapi.__file__, installed.LIBRARY, installed.TQ, len(events)]))
"""


class InstallTest(Scratch):
    def test_the_installed_package_replays_from_the_installed_library(self):
        cmake = program("TQAPI_CMAKE")
        build = os.environ.get("TQAPI_BUILD_DIR")
        if not build:
            self.skipTest("TQAPI_BUILD_DIR names no build (run through ctest): skipped")
        root = self.path("root")
        subprocess.run([cmake, "--install", build, "--prefix", "/opt/tq"], check=True,
                       capture_output=True, env={**os.environ, "DESTDIR": root})
        site = root + sysconfig.get_path("purelib")
        raw = self.copy_sample("hello-v2.raw")
        env = {"PATH": os.environ.get("PATH", ""), "PYTHONPATH": site,
               # The prefix exists only under the staging root.
               "TQAPI_LIBRARY": root + "/opt/tq/lib/libtqapi.so.1"}
        done = subprocess.run([sys.executable, "-c", CHECK, raw], env=env, check=True,
                              capture_output=True, text=True)
        where, library, tq, count = json.loads(done.stdout)
        self.assertEqual(where, os.path.join(site, "tqapi", "__init__.py"))
        self.assertEqual((library, tq), ("/opt/tq/lib/libtqapi.so.1", "/opt/tq/bin/tq"))
        self.assertGreater(count, 100)


if __name__ == "__main__":
    unittest.main()
