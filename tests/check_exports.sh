#!/usr/bin/env bash
# The shared library shows the TQ exports, the host API and the file classes
# the host hands in; the only other symbols allowed are the C++ runtime's own
# (type information and statics of the standard library's templates).
set -euo pipefail
lib=$1
names=$(nm -D --defined-only "$lib" | awk '{print $NF}')
grep -qx TQOpenPort <<<"$names" || { echo "TQOpenPort is not exported"; exit 1; }
bad=$(grep -v -E '^(TQ[A-Za-z]+|SendMessageA|PostMessageA|ReplyMessage|GetMessageA|PeekMessageA|DispatchMessageA|TranslateMessage|PostQuitMessage|SetTimer|KillTimer|GetTickCount|_Z.*(5CFile|14CFileException|11CFileDialog).*|_ZT[ISV]N?St.*|_ZZNSt.*|_ZZN9__gnu_cxx.*|_init|_fini|_edata|_end|__bss_start)$' <<<"$names" || true)
if [ -n "$bad" ]; then
  echo "unexpected exported symbols:"
  echo "$bad"
  exit 1
fi
echo "exports ok: $(wc -l <<<"$names") symbols"
