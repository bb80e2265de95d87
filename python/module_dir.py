"""Prints the module directory for pure Python packages of an install prefix,
as this interpreter lays it out: Debian's dist-packages for /usr and
/usr/local when the interpreter is Debian's, else PREFIX/lib/pythonX.Y/site-packages.
Usage: module_dir.py PREFIX"""

import sys
import sysconfig

prefix = sys.argv[1].rstrip("/") or "/"
schemes = sysconfig.get_scheme_names()
if prefix == "/usr" and "deb_system" in schemes:
    scheme, base = "deb_system", prefix
elif prefix == "/usr/local" and "posix_local" in schemes:
    # Debian's local scheme adds the "local" to the base itself.
    scheme, base = "posix_local", "/usr"
else:
    scheme, base = "posix_prefix", prefix
print(sysconfig.get_path("purelib", scheme, vars={"base": base, "platbase": base}))
