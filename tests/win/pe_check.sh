#!/usr/bin/env bash
# Checks that Windows programs are PE files of the given width that import only DLLs every
# Windows has, so that each .exe runs alone:
#
#   tests/win/pe_check.sh win32|win64 PROGRAM.exe...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 win32|win64 PROGRAM.exe..." >&2; exit 2; }
arch=$1
case $arch in
win32) format='PE32 executable .*Intel 80386' objdump=i686-w64-mingw32-objdump ;;
win64) format='PE32\+ executable .*x86-64' objdump=x86_64-w64-mingw32-objdump ;;
*) echo "$0: win32 or win64, not $1" >&2; exit 2 ;;
esac
shift
# The system's own DLLs, in lower case; anything else (libstdc++-6.dll, libwinpthread-1.dll,
# libgcc_s_*.dll) would have to ship beside the program.
system_dlls='^(kernel32|user32|gdi32|shell32|comctl32|comdlg32|advapi32|ole32|oleaut32|shlwapi|uxtheme|normaliz|ws2_32|iphlpapi|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
failures=0
for exe in "$@"; do
    if ! file -b "$exe" | grep -Eq "$format"; then
        echo "FAIL: $exe is not a $arch program: $(file -b "$exe")" >&2
        failures=$((failures + 1))
        continue
    fi
    dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u)
    [ -n "$dlls" ] || { echo "FAIL: $exe imports nothing (not a program?)" >&2; failures=$((failures + 1)); }
    for dll in $dlls; do
        if ! [[ $dll =~ $system_dlls ]]; then
            echo "FAIL: $exe needs $dll, which Windows does not have" >&2
            failures=$((failures + 1))
        fi
    done
    echo "ok: $exe: $arch, imports $(echo "$dlls" | tr '\n' ' ')"
done
[ "$failures" -eq 0 ]
