#!/usr/bin/env bash
# The Windows DLL exports the TQ functions under their plain names and the
# members of the file classes the host hands in, nothing else.
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
names=$("$objdump" -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p')
grep -qx TQOpenPort <<<"$names" || { echo "TQOpenPort is not exported"; exit 1; }
bad=$(grep -v -E '^(TQ[A-Za-z]+|_Z.*(5CFile|14CFileException|11CFileDialog).*)$' <<<"$names" || true)
if [ -n "$bad" ]; then
  echo "unexpected exported symbols:"
  echo "$bad"
  exit 1
fi
echo "exports ok: $(wc -l <<<"$names") symbols"
