#!/usr/bin/env bash
# What the layouts cost a real Apache: for 10,000 and 100,000 domains (with www. and a prefix),
# the one-entry-per-domain default against --pack 0 and --pack 100, each served by an Apache of
# its own on a free port of 127.0.0.1 (never the system's configuration). See bench/README.md.
#   bench/apache.sh [PATH-TO-kelvane-cli]        (default: build/cli/kelvane-cli)
# Environment: KELVANE_BENCH_SIZES (default "10000 100000"), APACHE2, APACHE_MODULES_DIR.
# Exit status: 0 when the targets are met at the largest size, 1 when one is missed or a
# measurement failed, 2 on a usage or setup error.
set -uo pipefail
LC_NUMERIC=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sizes=${KELVANE_BENCH_SIZES:-10000 100000}
min_start_ratio=10 min_memory_ratio=10
start_timeout=300

die() { printf 'apache.sh: %s\n' "$*" >&2; exit 2; }
(($# <= 1)) || die "usage: bench/apache.sh [PATH-TO-kelvane-cli]"
tool=$(realpath -e -- "${1:-$here/../build/cli/kelvane-cli}" 2>/dev/null) || die "kelvane-cli not found"
[[ -x $tool ]] || die "not executable: $tool"
# shellcheck disable=SC1091  # checked on its own
source "$here/../tests/e2e/httpd-lib.sh" || die "missing tests/e2e/httpd-lib.sh"
httpd_find || die "apache2 not found"
for c in curl awk /usr/bin/time; do command -v "$c" >/dev/null || die "needs $c"; done

work=$(httpd_workdir kelvane-apache-bench) || die "cannot make a work directory"
httpd_pid=
stop_apache() {
    httpd_stop "$httpd_pid" 30
    httpd_pid=
}
trap 'stop_apache; rm -rf -- "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

port=$(httpd_free_ports 1) || die "no free port on 127.0.0.1"
mkdir -p "$work/site" "$work/server/logs" "$work/server/run"
echo bench >"$work/site/index.html"
conf_head=$(httpd_conf_head "$work/server" "$port" authz_core dir) || die "cannot configure Apache"
chmod -R a+rX "$work"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
# RSS in MB of a process, and of all its children together.
rss_mb() { awk '/^VmRSS:/ { s += $2 } END { printf "%.0f", s / 1024 }' "$@" 2>/dev/null; }
children_status() { local c; for c in $(pgrep -P "$1"); do echo "/proc/$c/status"; done; }
# Median time in ms of five requests for a host.
request_ms() {
    local t
    for _ in 1 2 3 4 5; do
        t=$(curl -s -o /dev/null --noproxy '*' --max-time 30 -w '%{time_total}' -H "Host: $1" "http://127.0.0.1:$port/") || t=99
        echo "$t"
    done | sort -g | awk 'NR == 3 { printf "%.1f", $1 * 1000 }'
}

failed=0
declare -A start_s rss_total
printf '| domains | layout | entries | apache2 -t | start until it answers | RSS parent + children | first domain | last domain |\n'
printf '|---:|---|---:|---:|---:|---:|---:|---:|\n'
for n in $sizes; do
    list=$work/list-$n.txt
    awk -v n="$n" 'BEGIN { for (i = 1; i <= n; i++) printf "site%d.bench%d.test\n", i, i % 97 }' >"$list"
    first=site1.bench1.test last="site$n.bench$((n % 97)).test"
    for layout in default "pack 0" "pack 100"; do
        out=$work/vhosts.conf
        opts=()
        [[ $layout == default ]] || opts=(--pack "${layout#pack }")
        "$tool" -q -w -p m -s "$work/site" "${opts[@]}" -o "$out" "$list" || { echo "kelvane-cli failed" >&2; failed=1; continue; }
        entries=$(grep -c '^<VirtualHost' "$out")
        conf=$work/server/httpd.conf
        cat >"$conf" <<EOF
$conf_head
ServerName bench.invalid
DirectoryIndex index.html
<Directory "$work/site">
    Require all granted
</Directory>
Include "$out"
EOF
        httpd=(env -i PATH="$PATH" "$APACHE2" -d "$work/server" -f "$conf")
        t0=$(now)
        "${httpd[@]}" -t >/dev/null 2>&1 || { echo "apache2 -t failed for $n, $layout" >&2; failed=1; continue; }
        t_syntax=$(elapsed "$t0" "$(now)")

        t0=$(now)
        "${httpd[@]}" -DFOREGROUND </dev/null >"$work/server/logs/stdout.log" 2>&1 &
        httpd_pid=$!
        up=
        while awk -v t="$(elapsed "$t0" "$(now)")" -v m="$start_timeout" 'BEGIN { exit !(t < m) }' &&
            kill -0 "$httpd_pid" 2>/dev/null; do
            if [[ $(curl -s --noproxy '*' --max-time 2 -H "Host: $first" "http://127.0.0.1:$port/") == bench ]]; then
                up=$(elapsed "$t0" "$(now)")
                break
            fi
            sleep 0.05
        done
        if [[ -z $up ]]; then
            echo "apache did not answer for $n, $layout" >&2
            tail -5 "$work/server/logs/error.log" >&2
            failed=1
            stop_apache
            continue
        fi
        # The children that start with the server, each with its copy of the configuration.
        sleep 2
        rss_parent=$(rss_mb "/proc/$httpd_pid/status")
        mapfile -t kids < <(children_status "$httpd_pid")
        rss_kids=0
        ((${#kids[@]} == 0)) || rss_kids=$(rss_mb "${kids[@]}")
        ms_first=$(request_ms "$first")
        ms_last=$(request_ms "$last")
        stop_apache
        printf '| %s | %s | %s | %s s | %s s | %s MB + %s MB (%d children) | %s ms | %s ms |\n' "$n" "$layout" \
            "$entries" "$t_syntax" "$up" "$rss_parent" "$rss_kids" "${#kids[@]}" "$ms_first" "$ms_last"
        start_s[$n,$layout]=$up
        rss_total[$n,$layout]=$((rss_parent + rss_kids))
    done
done

n=${sizes##* }
if [[ -n ${start_s[$n,default]:-} && -n ${start_s[$n,pack 0]:-} ]]; then
    start_ratio=$(awk -v a="${start_s[$n,default]}" -v b="${start_s[$n,pack 0]}" 'BEGIN { printf "%.1f", a / (b > 0 ? b : 0.01) }')
    memory_ratio=$(awk -v a="${rss_total[$n,default]}" -v b="${rss_total[$n,pack 0]}" 'BEGIN { printf "%.1f", a / (b > 0 ? b : 1) }')
    echo
    echo "at $n domains, --pack 0 against the default: starts ${start_ratio}x faster (target ${min_start_ratio}x), takes ${memory_ratio}x less memory (target ${min_memory_ratio}x)"
    awk -v r="$start_ratio" -v m="$min_start_ratio" 'BEGIN { exit !(r >= m) }' || { echo "MISSED: start" >&2; failed=1; }
    awk -v r="$memory_ratio" -v m="$min_memory_ratio" 'BEGIN { exit !(r >= m) }' || { echo "MISSED: memory" >&2; failed=1; }
else
    failed=1
fi
exit "$failed"
