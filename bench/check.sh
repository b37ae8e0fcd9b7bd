#!/usr/bin/env bash
# `kelvane-cli check` against a run of the same list and options: the time of each (median of
# hyperfine's runs) and their peak memory, on the generated list of bench/run.sh. The check reads
# a saved `apache2ctl -S` output with wild aliases, so that every name is also looked up among the
# server's. See bench/README.md.
#   bench/check.sh [PATH-TO-kelvane-cli]        (default: build/cli/kelvane-cli)
# Environment: KELVANE_BENCH_LINES (default 1000000), KELVANE_BENCH_RUNS (default 5).
# Exit status: 0 when the check takes at most twice the run's time, 1 when not, 2 on a setup error.
set -uo pipefail
LC_NUMERIC=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
lines=${KELVANE_BENCH_LINES:-1000000} runs=${KELVANE_BENCH_RUNS:-5}
max_ratio=2
die() { printf 'check.sh: %s\n' "$*" >&2; exit 2; }
(($# <= 1)) || die "usage: bench/check.sh [PATH-TO-kelvane-cli]"
tool=$(realpath -e -- "${1:-$here/../build/cli/kelvane-cli}" 2>/dev/null) || die "kelvane-cli not found"
for c in hyperfine jq /usr/bin/time; do command -v "$c" >/dev/null || die "needs $c"; done
dump=$here/../tests/engine/data/apache2-S-loopback.txt
[[ -r $dump ]] || die "missing $dump"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-check-bench.XXXXXX") || die "mktemp failed"
trap 'rm -rf -- "$work"' EXIT
awk=$(command -v mawk || command -v awk)
"$awk" -v n="$lines" -v seed=20240601 -f "$here/gen-domains.awk" >"$work/list.txt"

opts=(-q -w -p m -s /var/www/sites -o "$work/out.conf")
run=("$tool" "${opts[@]}" "$work/list.txt")
check=("$tool" check "${opts[@]}" --server-dump "$dump" "$work/list.txt")
# The check reports findings (exit 3): -i lets hyperfine time it all the same.
hyperfine -N -i --warmup 1 --runs "$runs" --export-json "$work/times.json" \
    -n run "$(printf '%q ' "${run[@]}")" -n check "$(printf '%q ' "${check[@]}")" >/dev/null 2>&1 ||
    die "hyperfine failed"
median() { jq -r --arg n "$1" '.results[] | select(.command == $n) | .median' "$work/times.json"; }
t_run=$(median run) t_check=$(median check)
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
rss_run=$(rss "${run[@]}") rss_check=$(rss "${check[@]}")
findings=$("${check[@]}" 2>/dev/null | wc -l)

ratio=$(awk -v a="$t_check" -v b="$t_run" 'BEGIN { printf "%.2f", a / b }')
printf '| %s lines | time (median of %s) | peak RSS |\n|---|---:|---:|\n' "$lines" "$runs"
printf '| run: %s | %.3f s | %d KB |\n' "${opts[*]:0:6}" "$t_run" "$rss_run"
printf '| check, same options, with --server-dump (%s findings) | %.3f s | %d KB |\n' "$findings" "$t_check" "$rss_check"
echo
echo "check / run: ${ratio}x (target at most ${max_ratio}x)"
awk -v r="$ratio" -v m="$max_ratio" 'BEGIN { exit !(r <= m) }'
