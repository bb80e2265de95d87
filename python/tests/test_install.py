"""What make install puts down: the package in the module directory of the
install prefix, finding the installed library, its replay entry and tq
relative to itself, from an install staged under another root, so with no
absolute path of the prefix anywhere in it."""

import json
import os
import subprocess
import sys
import sysconfig
import unittest

from support import Scratch, program

CHECK = """
import json, os, sys, tqapi, tqapi._native as native
events = tqapi.replay(sys.argv[1])
with open(os.path.join(os.path.dirname(tqapi.__file__), "_installed.py")) as file:
    installed = file.read()
print(json.dumps([tqapi.__file__, native.lib()._name, native.replay_entry()._name,
                  native.tq_program(), len(events), installed]))
"""

SYSTEM_PYTHON = "/usr/bin/python3"


def system_layout():
    """The system interpreter's minor version when it is Debian's (with the
    dist-packages schemes), else None."""
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        return None
    done = subprocess.run([SYSTEM_PYTHON, "-c", "import sys, sysconfig; print(sys.version_info[1], "
                           "'deb_system' in sysconfig.get_scheme_names())"],
                          capture_output=True, text=True)
    minor, debian = done.stdout.split()
    return int(minor) if debian == "True" else None


class InstallTest(Scratch):
    def test_the_installed_package_finds_its_files_relative_to_itself(self):
        cmake = program("TQAPI_CMAKE")
        build = os.environ.get("TQAPI_BUILD_DIR")
        if not build:
            self.skipTest("TQAPI_BUILD_DIR names no build (run through ctest): skipped")
        here = sysconfig.get_path("purelib", "posix_prefix", vars={"base": "/opt/tq", "platbase": "/opt/tq"})
        cases = [("/opt/tq", sys.executable, here)]  # prefix, interpreter, module directory
        minor = system_layout()
        if minor is not None:
            cases += [("/usr", SYSTEM_PYTHON, "/usr/lib/python3/dist-packages"),
                      ("/usr/local", SYSTEM_PYTHON, f"/usr/local/lib/python3.{minor}/dist-packages")]
        raw = self.copy_sample("hello-v2.raw")
        for prefix, python, site in cases:
            with self.subTest(prefix=prefix):
                root = self.path("root" + prefix.replace("/", "-"))
                subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                               capture_output=True, env={**os.environ, "DESTDIR": root})
                # Nothing names the library, tq or the prefix, which exists only
                # under the staging root.
                env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": root + site}
                done = subprocess.run([python, "-c", CHECK, raw], env=env, capture_output=True,
                                      text=True)
                self.assertEqual(done.returncode, 0, done.stderr)
                where, library, replay, tq, count, installed = json.loads(done.stdout)
                package = os.path.join(root + site, "tqapi")
                self.assertEqual(where, os.path.join(package, "__init__.py"))
                self.assertTrue(os.path.samefile(os.path.dirname(library), root + prefix + "/lib")
                                or os.path.dirname(library).startswith(root + prefix + "/lib/"), library)
                self.assertTrue(os.path.exists(library))
                self.assertEqual(os.path.dirname(replay), package)
                self.assertEqual(tq, root + prefix + "/bin/tq")
                self.assertGreater(count, 100)
                self.assertNotIn('"/', installed)
                self.assertTrue(os.path.exists(os.path.join(package, "py.typed")))


if __name__ == "__main__":
    unittest.main()
