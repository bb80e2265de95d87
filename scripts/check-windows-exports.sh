#!/usr/bin/env bash
# Checks a Windows build's DLL and import libraries against TQApi.h, for the
# x86 or the x64 build alike:
#  - the C exports of TQApi.dll are exactly the functions TQApi.h declares
#    with TQAPI, under their plain names (no @N, no leading underscore); the
#    other exports are only the members of the file classes the host hands in;
#  - dist/windows/TQApi.def lists the same functions;
#  - TQApi.lib, the import library for MSVC, imports the same functions,
#    decorated as MSVC-compiled __cdecl callers name them (x86: _TQClose),
#    and names each one as libTQApi.dll.a does, the import library the mingw
#    linker made from the compiled code (so the .def agrees with the calling
#    convention the code has);
#  - an MSVC-style link (lld-link, /SAFESEH on x86 as Visual Studio sets it)
#    of a caller of every function against TQApi.lib succeeds and imports
#    them all from TQApi.dll by name.
#
# Usage: check-windows-exports.sh BUILD_DIRECTORY
set -euo pipefail
build=$(cd "${1:?usage: check-windows-exports.sh BUILD_DIRECTORY}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
dll=$build/TQApi.dll
work=$(mktemp -d "${TMPDIR:-/tmp}/tq-exports.XXXXXX")
trap 'rm -rf "$work"' EXIT

case $(x86_64-w64-mingw32-objdump -f "$dll" | sed -n 's/.*file format //p') in
  pei-i386) arch=x86 prefix=i686-w64-mingw32 target=i686-pc-windows-msvc underscore=_ ;;
  pei-x86-64) arch=x64 prefix=x86_64-w64-mingw32 target=x86_64-pc-windows-msvc underscore= ;;
  *) echo "$dll: not a Windows x86 or x64 DLL" >&2; exit 1 ;;
esac
failed=0
# same LABEL FILE_A FILE_B: the two sorted lists are equal, else the difference.
same() {
  if ! diff -u --label "$2" --label "$3" "$work/$2" "$work/$3" >"$work/diff"; then
    echo "$arch: $1:"
    sed -n '3,$p' "$work/diff"
    failed=1
  fi
}

# The functions TQApi.h exports on Windows: the header as the compiler of this
# architecture sees it (_WIN32, C), its TQAPI declarations.
printf '#include "TQApi.h"\n' >"$work/header.c"
"$prefix-gcc" -E -DTQAPI_BUILDING -I"$source_dir/include" "$work/header.c" |
  awk '/^# [0-9]+ "/ { own = ($3 ~ /TQApi\.h"$/); next }
       own && /dllexport/' >"$work/declarations"
sed -E 's/__attribute__\(\(dllexport\)\)//; s/\(.*//; s/.*[ *]//' "$work/declarations" | sort >"$work/header"
if [ "$(wc -l <"$work/header")" -lt 10 ]; then
  echo "$arch: found only $(wc -l <"$work/header") exports in TQApi.h" >&2
  exit 1
fi
if grep -E 'stdcall|fastcall|thiscall|vectorcall' "$work/declarations"; then
  echo "$arch: TQApi.h gives an export a calling convention; TQApi.def and the import libraries assume __cdecl"
  failed=1
fi

sed -n '/^EXPORTS/,$p' "$source_dir/dist/windows/TQApi.def" |
  sed -E 's/;.*//; /^EXPORTS/d; /^[[:space:]]*$/d; s/^[[:space:]]+//; s/[[:space:]].*//' | sort >"$work/def"
same "TQApi.def against TQApi.h" header def

"$prefix-objdump" -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' >"$work/exports"
grep -v '^_Z' "$work/exports" | sort >"$work/dll"
same "the C exports of TQApi.dll against TQApi.h" header dll
bad=$(grep '^_Z' "$work/exports" | grep -v -E '^_Z.*(5CFile|14CFileException|11CFileDialog)' || true)
if [ -n "$bad" ]; then
  echo "$arch: unexpected exports of TQApi.dll:"
  echo "$bad"
  failed=1
fi

# The import symbols of an import library, decorated as they are; and without
# the __imp_ prefix and the x86 underscore, for comparing with the header.
imports() { llvm-nm --defined-only "$1" | sed -n 's/^[0-9a-f]* [A-Za-z] __imp_//p' | grep -v '^_\?_Z' | sort -u; }
imports "$build/TQApi.lib" >"$work/lib-decorated"
imports "$build/libTQApi.dll.a" >"$work/implib-decorated"
sed -n "s/^$underscore//p" "$work/lib-decorated" >"$work/lib"
same "the imports of TQApi.lib against TQApi.h" header lib
same "TQApi.lib against libTQApi.dll.a" implib-decorated lib-decorated
if grep '@' "$work/lib-decorated"; then
  echo "$arch: TQApi.lib has decorated (@N) names"
  failed=1
fi

# A caller as MSVC would build it: clang in MSVC mode, lld-link with the
# options link.exe takes. Under __cdecl the symbol does not depend on the
# signature, so every function is declared void(void) here.
{
  sed 's/.*/__declspec(dllimport) void &(void);/' "$work/header"
  echo 'void (*const tq_all[])(void) = {'
  sed 's/.*/  &,/' "$work/header"
  echo '};'
  echo 'int tq_entry(void) { return tq_all[0] != 0; }'
} >"$work/caller.c"
safeseh=
[ "$arch" = x86 ] && safeseh=/safeseh
clang --target="$target" -c -o "$work/caller.obj" "$work/caller.c"
if lld-link /nologo /machine:"$arch" /entry:tq_entry /subsystem:console /nodefaultlib $safeseh \
     /out:"$work/caller.exe" "$work/caller.obj" "$build/TQApi.lib" >"$work/link.log" 2>&1; then
  "$prefix-objdump" -p "$work/caller.exe" | sed -n '/DLL Name: TQApi.dll/,/^$/p' |
    sed -n 's/^[[:space:]]*[0-9a-f]\+[[:space:]]\+[0-9]\+[[:space:]]\+//p' | sort >"$work/caller"
  same "what an MSVC-linked caller imports from TQApi.dll against TQApi.h" header caller
else
  echo "$arch: an MSVC-style link against TQApi.lib failed:"
  cat "$work/link.log"
  failed=1
fi

[ $failed -eq 0 ] || exit 1
echo "$arch exports ok: $(wc -l <"$work/header") functions in TQApi.h, TQApi.def, TQApi.dll, TQApi.lib" \
  "and libTQApi.dll.a; $(grep -c '^_Z' "$work/exports") file-class members"
