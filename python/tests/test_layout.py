"""The binding's records, enumerations and constants against what the C
compiler makes of the header: a changed header cannot silently break it."""

import ctypes
import os
import shutil
import subprocess
import tempfile
import unittest

from tqapi import _native as n
from support import INCLUDE


def c_program():
    """Prints every size, offset, signedness and value the binding assumes."""
    lines = ["#include <stddef.h>", "#include <stdio.h>", '#include "TQApi.h"', "int main(void) {"]
    out = 'printf("%s %lld\\n", "{key}", (long long)({expr}));'
    for name, record in n.RECORDS.items():
        lines.append(out.replace("{key}", f"sizeof {name}").replace("{expr}", f"sizeof({name})"))
        for field, kind in record._fields_:
            key = f"{name}.{field}"
            lines.append(out.replace("{key}", f"offsetof {key}")
                         .replace("{expr}", f"offsetof({name}, {field})"))
            lines.append(out.replace("{key}", f"sizeof {key}")
                         .replace("{expr}", f"sizeof((({name}*)0)->{field})"))
            if kind is not n.HWND:
                lines.append(out.replace("{key}", f"signed {key}")
                             .replace("{expr}", f"(__typeof__((({name}*)0)->{field}))-1 < 0"))
    for name in n.ENUM_TYPES:
        lines.append(out.replace("{key}", f"sizeof {name}").replace("{expr}", f"sizeof({name})"))
        lines.append(out.replace("{key}", f"signed {name}").replace("{expr}", f"({name})-1 < 0"))
    for name in n.CONSTANTS:
        lines.append(out.replace("{key}", f"value {name}").replace("{expr}", name))
    return "\n".join(lines + ["return 0;", "}"]) + "\n"


def python_view():
    view = {}
    for name, record in n.RECORDS.items():
        view[f"sizeof {name}"] = ctypes.sizeof(record)
        for field, kind in record._fields_:
            key = f"{name}.{field}"
            view[f"offsetof {key}"] = getattr(record, field).offset
            view[f"sizeof {key}"] = ctypes.sizeof(kind)
            if kind is not n.HWND:
                view[f"signed {key}"] = int(kind(-1).value < 0)
    for name, kind in n.ENUM_TYPES.items():
        view[f"sizeof {name}"] = ctypes.sizeof(kind)
        view[f"signed {name}"] = int(kind(-1).value < 0)
    for name, value in n.CONSTANTS.items():
        view[f"value {name}"] = value
    return view


class LayoutTest(unittest.TestCase):
    def test_records_enumerations_and_constants_match_the_c_compiler(self):
        compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if not compiler or not shutil.which(compiler):
            self.skipTest("no C compiler: the layout check is skipped")
        with tempfile.TemporaryDirectory() as scratch:
            source = os.path.join(scratch, "layout.c")
            binary = os.path.join(scratch, "layout")
            with open(source, "w") as file:
                file.write(c_program())
            subprocess.run([compiler, "-std=gnu99", "-Wall", "-Werror", "-I", INCLUDE, source,
                            "-o", binary], check=True)
            printed = subprocess.run([binary], check=True, capture_output=True, text=True).stdout
        compiled = {}
        for line in printed.splitlines():
            key, value = line.rsplit(" ", 1)
            compiled[key] = int(value)
        # The constants print as signed 64-bit; message 0xFFFFFFFF is unsigned.
        compiled = {k: v & 0xFFFFFFFF if k.startswith("value") else v for k, v in compiled.items()}
        self.assertEqual(python_view(), compiled)


if __name__ == "__main__":
    unittest.main()
