#!/usr/bin/env bash
# What `kelvane-cli certs plan` costs, and how long its waves take to order every certificate
# within Let's Encrypt's limits: a list of 500,000 domains (1,000,000 names with www.) planned
# with one certificate a domain, and 30,000 domains with www. by registered domain and mixed
# (--cert-group any), both packed. See bench/README.md.
#   bench/certs.sh [PATH-TO-kelvane-cli]        (default: build/cli/kelvane-cli)
# Environment: KELVANE_BENCH_NAMES (default 1000000).
# Exit status: 0 when every plan was written, 1 when one failed, 2 on a usage or setup error.
set -uo pipefail
LC_NUMERIC=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
names=${KELVANE_BENCH_NAMES:-1000000}
die() { printf 'certs.sh: %s\n' "$*" >&2; exit 2; }
(($# <= 1)) || die "usage: bench/certs.sh [PATH-TO-kelvane-cli]"
tool=$(realpath -e -- "${1:-$here/../build/cli/kelvane-cli}" 2>/dev/null) || die "kelvane-cli not found"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-certs-bench.XXXXXX") || die "cannot make a work directory"
trap 'rm -rf -- "$work"' EXIT
failed=0

# One plan: the time, the peak memory and the summary line.
plan() { # LABEL ARGS...
    local label=$1
    shift
    local t0 t1
    t0=$(date +%s.%N)
    if ! /usr/bin/time -f '%M' -o "$work/rss" "$tool" certs plan -s /srv --start 2026-12-08T00:00Z \
        -o "$work/plan.sh" "$@" 2>"$work/err"; then
        cat "$work/err" >&2
        echo "$label: FAILED"
        failed=1
        return
    fi
    t1=$(date +%s.%N)
    printf '%-46s %7.2f s %7.1f MiB  %s\n' "$label" "$(bc <<<"$t1 - $t0")" "$(bc <<<"scale=1; $(cat "$work/rss") / 1024")" \
        "$(grep -o 'certs plan: .*' "$work/err" | sed 's/ ([0-9.]* s)$//')"
}

awk -v n=$((names / 2)) -v seed=20261208 -f "$here/gen-domains.awk" >"$work/million.txt"
plan "$((names / 2)) domains -w, one certificate each" -w "$work/million.txt"
plan "$((names / 2)) domains -w, --pack 0 by registered domain" -w --pack 0 "$work/million.txt"

# 30,000 customers' domains with www., each its own registered domain.
awk 'BEGIN { for (i = 1; i <= 30000; i++) printf "customer%d.com\n", i }' >"$work/30k.txt"
plan "30000 domains -w, --pack 0 by registered domain" -w --pack 0 "$work/30k.txt"
plan "30000 domains -w, --pack 0 --cert-group any" -w --pack 0 --cert-group any "$work/30k.txt"
# 30,000 sites under 100 registered domains (a host's subdomains).
awk 'BEGIN { for (i = 1; i <= 30000; i++) printf "site%d.host%d.net\n", i, i % 100 }' >"$work/30k-sub.txt"
plan "30000 sites of 100 domains -w, --pack 0" -w --pack 0 "$work/30k-sub.txt"
exit "$failed"
