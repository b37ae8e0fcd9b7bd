#!/usr/bin/env bash
# The Windows kelvane-cli.exe under wine64 against the Linux kelvane-cli on a generated
# 1,000,000-line list: wall time of each (best of N runs), their ratio, and the outputs compared.
#
#   bench/wine-cli.sh WINDOWS-CLI.exe LINUX-CLI WORK-DIR [RUNS]
#
# Wine's start (about a second in a warm prefix) is part of the Windows time, as a user sees it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
[ $# -ge 3 ] || { echo "usage: $0 WINDOWS-CLI.exe LINUX-CLI WORK-DIR [RUNS]" >&2; exit 2; }
win_cli=$(realpath "$1") linux_cli=$(realpath "$2") runs=${4:-3}
mkdir -p "$3"
work=$(realpath "$3")
cd "$work"
wine_run=$root/tests/win/wine-run.sh

[ -s list-1m.txt ] || awk -v n=1000000 -v seed=20240601 -f "$here/gen-domains.awk" > list-1m.txt
# Starts Wine once, so that making the prefix is not timed.
"$wine_run" "$work/wineprefix" "$win_cli" --version > /dev/null

# Best wall time in seconds of a command over $runs runs.
best() {
    local best_s="" start end
    for _ in $(seq "$runs"); do
        start=$(date +%s.%N)
        "$@" > /dev/null
        end=$(date +%s.%N)
        best_s=$(awk -v s="$start" -v e="$end" -v b="$best_s" 'BEGIN { d = e - s; print (b == "" || d < b) ? d : b }')
    done
    printf '%.3f' "$best_s"
}

start_s=$(best "$wine_run" "$work/wineprefix" "$win_cli" --version)
linux_s=$(best "$linux_cli" -q -w -p m -s /srv/www -o linux.out list-1m.txt)
wine_s=$(best "$wine_run" "$work/wineprefix" "$win_cli" -q -w -p m -s /srv/www -o win.out list-1m.txt)
cmp -s linux.out win.out || { echo "the outputs differ: $work/linux.out $work/win.out" >&2; exit 1; }
awk -v runs="$runs" -v l="$linux_s" -v w="$wine_s" -v s="$start_s" -v bytes="$(wc -c < win.out)" 'BEGIN {
    printf "1,000,000 lines, best of %d: Linux %.3fs; Windows under Wine %.3fs (ratio %.2f), of which %.3fs\n", runs, l, w, w / l, s
    printf "is Wine starting (kelvane-cli.exe --version): %.3fs without it (ratio %.2f); outputs identical (%d bytes)\n", w - s, (w - s) / l, bytes
}'
