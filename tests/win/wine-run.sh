#!/usr/bin/env bash
# Runs a Windows program under wine64 in the given prefix, made on first use:
#   wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
# Wine's own diagnostics are silenced; the program's output and exit status pass through.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
# A Wine session started without a display leaves every later program of that prefix without one,
# even under xvfb-run: programs run without a display get a prefix of their own.
[ -n "${DISPLAY:-}" ] || prefix=$prefix-nodisplay
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
[ -x "$wine" ] || { echo "wine-run.sh: wine64 not found (apt-get install wine64)" >&2; exit 127; }
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
# One initialisation, even when several tests start at once.
(
    flock 9
    if [ ! -f "$prefix/.kelvane-ready" ]; then
        "$wine" wineboot -i >/dev/null 2>&1 || true
        "$(dirname "$wine")/wineserver" -w 2>/dev/null || wineserver -w 2>/dev/null || true
        touch "$prefix/.kelvane-ready"
    fi
) 9>"$prefix.lock"
exec "$wine" "$@"
