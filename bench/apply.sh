#!/usr/bin/env bash
# What `kelvane-cli apply` costs on a real nginx: 10,000 domains (with www.) from nothing, then a
# change of 10 of them, with the time of each step (plan and check, write, test, reload, verify).
# The server is a private nginx on a free port of 127.0.0.1 (never the system's). See
# bench/README.md.
#   bench/apply.sh [PATH-TO-kelvane-cli]        (default: build/cli/kelvane-cli)
# Environment: KELVANE_BENCH_DOMAINS (default 10000), KELVANE_NGINX.
# Exit status: 0 when the change of 10 domains writes 10 files and takes at most 2 s beyond the
# server's own test and reload, 1 when not or a step failed, 2 on a usage or setup error.
set -uo pipefail
LC_NUMERIC=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
domains=${KELVANE_BENCH_DOMAINS:-10000}
die() { printf 'apply.sh: %s\n' "$*" >&2; exit 2; }
(($# <= 1)) || die "usage: bench/apply.sh [PATH-TO-kelvane-cli]"
tool=$(realpath -e -- "${1:-$here/../build/cli/kelvane-cli}" 2>/dev/null) || die "kelvane-cli not found"
NGINX_BIN=${KELVANE_NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
[[ -x $NGINX_BIN ]] || die "nginx not found: $NGINX_BIN (set KELVANE_NGINX)"
# shellcheck source=tests/e2e/httpd-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/../tests/e2e/httpd-lib.sh" || die "missing tests/e2e/httpd-lib.sh"

work=$(httpd_workdir kelvane-apply-bench) || die "cannot make a work directory"
prefix=$work/server
trap '[[ -s $prefix/logs/nginx.pid ]] && httpd_stop "$(cat "$prefix/logs/nginx.pid")" 30; rm -rf -- "$work"' EXIT
port=$(httpd_free_ports 1) || die "no free port on 127.0.0.1"
mkdir -p "$work/site" "$work/sites" "$prefix/logs" "$prefix/tmp" || die "cannot write to $work"
echo "site" >"$work/site/index.html"
conf=$prefix/nginx.conf
{
    printf 'pid %s/logs/nginx.pid;\nerror_log %s/logs/error.log warn;\nworker_processes 1;\nevents {}\nhttp {\n' \
        "$prefix" "$prefix"
    printf '    access_log off;\n    server_names_hash_bucket_size 128;\n    server_names_hash_max_size 65536;\n'
    for t in client_body proxy fastcgi uwsgi scgi; do printf '    %s_temp_path %s/tmp/%s;\n' "$t" "$prefix" "$t"; done
    printf '    server { listen 127.0.0.1:%s default_server; return 421; }\n' "$port"
    printf '    include %s/sites/*.conf;\n}\n' "$work"
} >"$conf"
nginx="'$NGINX_BIN' -p '$prefix' -c '$conf'"
eval "$nginx" || die "nginx did not start"

# Distinct names, one a line.
awk -v n="$domains" 'BEGIN { for (i = 1; i <= n; i++) printf "site%d-bench.example\n", i }' >"$work/list1"
awk 'NR <= 10 { sub(/-bench/, "-changed") } { print }' "$work/list1" >"$work/list2"

# run NAME LIST: applies the list, printing each step's time; sets total and server (the test
# and reload, the server's own part).
run() {
    local label=$1 list=$2 last_t last_step="start" t line
    last_t=$EPOCHREALTIME
    server=0
    printf '%s\n' "$label"
    while IFS= read -r line; do
        t=$EPOCHREALTIME
        printf '  %-46s %7.3f s\n' "$last_step" "$(awk -v a="$last_t" -v b="$t" 'BEGIN { print b - a }')"
        case $last_step in testing* | reloading*)
            server=$(awk -v s="$server" -v a="$last_t" -v b="$t" 'BEGIN { print s + b - a }') ;;
        esac
        last_t=$t
        last_step=${line#kelvane-cli: }
        last_step=${last_step%%:*}
    done < <("$tool" apply --server-kind nginx -s "$work/site" -w --listen "127.0.0.1:$port" --prune \
        --sites-dir "$work/sites" --test-cmd "$nginx -t" --reload-cmd "$nginx -s reload" \
        --server-cmd "$nginx -T" "$list" 2>&1 >/dev/null)
    printf '  %s\n' "$last_step"
}

start=$EPOCHREALTIME
run "apply of $domains domains from nothing" "$work/list1"
total1=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
find "$work/sites" -name '*.conf' -exec touch -d '2001-01-01' {} +
start=$EPOCHREALTIME
run "apply of 10 changed domains" "$work/list2"
total2=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
written=$(find "$work/sites" -name '*.conf' -newermt '2002-01-01' | wc -l)
beyond=$(awk -v t="$total2" -v s="$server" 'BEGIN { printf "%.3f", t - s }')
printf '\n| apply | total | beyond the test and reload | files written |\n|---|---:|---:|---:|\n'
printf '| %s domains from nothing | %s s | | %s |\n' "$domains" "$total1" "$domains"
printf '| 10 changed of %s | %s s | %s s | %s |\n' "$domains" "$total2" "$beyond" "$written"
# 10 new files: the 10 changed domains' (their old files are pruned).
if ((written == 10)) && awk -v b="$beyond" 'BEGIN { exit !(b <= 2) }'; then
    echo "target met: 10 files written, $beyond s beyond the server's test and reload (at most 2 s)"
    exit 0
fi
echo "target missed: $written files written, $beyond s beyond the server's test and reload" >&2
exit 1
