#!/usr/bin/env bash
# What the layouts cost a real nginx: for 10,000 and 100,000 domains of the generated lists (each
# with its www. and m. names), one server {} per domain against --pack 0 (one block for every
# name), both with the names hash the run sizes, each served by an nginx of its own from a private
# prefix on a free port of 127.0.0.1 beside a default server of the bench's (never the system's
# configuration or service). See bench/README.md.
#   bench/nginx.sh [PATH-TO-kelvane-cli]        (default: build/cli/kelvane-cli)
# Environment: KELVANE_BENCH_SIZES (default "10000 100000"), KELVANE_BENCH_SEED (20240601),
# KELVANE_NGINX (the nginx binary; not NGINX, which nginx reads as the sockets it inherits).
# Exit status: 0 when the targets are met at the largest size, 1 when one is missed or a
# measurement failed, 2 on a usage or setup error.
set -uo pipefail
LC_NUMERIC=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sizes=${KELVANE_BENCH_SIZES:-10000 100000}
seed=${KELVANE_BENCH_SEED:-20240601}
min_start_ratio=20 min_memory_ratio=20
start_timeout=600 test_timeout=600 stop_timeout=120 requests=5

die() { printf 'nginx.sh: %s\n' "$*" >&2; exit 2; }
(($# <= 1)) || die "usage: bench/nginx.sh [PATH-TO-kelvane-cli]"
[[ $sizes =~ ^[[:space:]]*[1-9][0-9]*([[:space:]]+[1-9][0-9]*)*[[:space:]]*$ ]] ||
    die "KELVANE_BENCH_SIZES must be positive integers (got '$sizes')"
read -ra sizes <<<"$sizes"
[[ $seed =~ ^[0-9]+$ ]] || die "KELVANE_BENCH_SEED must be a non-negative integer (got '$seed')"
tool=$(realpath -e -- "${1:-$here/../build/cli/kelvane-cli}" 2>/dev/null) || die "kelvane-cli not found"
[[ -f $tool && -x $tool ]] || die "not executable: $tool"
NGINX_BIN=${KELVANE_NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
unset KELVANE_NGINX NGINX
[[ -x $NGINX_BIN ]] || die "nginx not found: $NGINX_BIN (set KELVANE_NGINX)"
# shellcheck source=tests/e2e/httpd-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/../tests/e2e/httpd-lib.sh" || die "missing tests/e2e/httpd-lib.sh"
[[ -r $here/gen-domains.awk ]] || die "missing list generator $here/gen-domains.awk"
for c in curl awk timeout pgrep; do command -v "$c" >/dev/null || die "needs $c"; done
gen_awk=$(command -v mawk || command -v awk)   # the lists are the same with any awk

work=$(httpd_workdir kelvane-nginx-bench) || die "cannot make a work directory"
nginx_pid=
stop_nginx() {
    httpd_stop "$nginx_pid" "$stop_timeout"
    nginx_pid=
}
trap 'stop_nginx; rm -rf -- "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

port=$(httpd_free_ports 1) || die "no free port on 127.0.0.1"
prefix=$work/server
mkdir -p "$work/site" "$prefix/logs" "$prefix/tmp" || die "cannot write to $work"
marker="kelvane bench site"
echo "$marker" >"$work/site/index.html"
chmod -R a+rX "$work"
conf=$prefix/nginx.conf errlog=$prefix/logs/error.log
# The bench's own server: the default of the port, so that the port has more than one block and
# nginx builds its names hash; a name the entries do not hold gets 421 from it.
{
    printf 'pid %s/logs/nginx.pid;\nerror_log %s warn;\nworker_processes 1;\nevents {}\nhttp {\n' "$prefix" "$errlog"
    printf '    access_log off;\n    default_type text/plain;\n    include %s/hash.conf;\n' "$work"
    for t in client_body proxy fastcgi uwsgi scgi; do printf '    %s_temp_path %s/tmp/%s;\n' "$t" "$prefix" "$t"; done
    printf '    server { listen 127.0.0.1:%s default_server; return 421 "default\\n"; }\n' "$port"
    printf '    include %s/entries.conf;\n}\n' "$work"
} >"$conf"
nginx=("$NGINX_BIN" -p "$prefix" -c "$conf" -e "$errlog")

# The first and the last domain a list gives, as the tool reads its lines: blanks, tabs and CRs
# trimmed, lines without a dot skipped, one leading "www." dropped.
ends() {
    LC_ALL=C awk '{ d = $0; sub(/^[ \t\r]+/, "", d); sub(/[ \t\r]+$/, "", d); if (index(d, ".") == 0) next
        if (substr(d, 1, 4) == "www.") d = substr(d, 5); if (d == "") next; if (first == "") first = d; last = d }
        END { print first, last }' "$1"
}
fmt() { awk -v t="$1" 'BEGIN { printf "%.3f", t }'; }
seconds_since() { awk -v a="${1/,/.}" -v b="${EPOCHREALTIME/,/.}" 'BEGIN { printf "%.3f", b - a }'; }
# mem PID: "RSS PSS" of a process in KiB, from smaps_rollup; PSS is "-" when the kernel has none.
mem() {
    if [[ -r /proc/$1/smaps_rollup ]]; then
        awk '/^Rss:/ { r = $2 } /^Pss:/ { p = $2 } END { if (r == "") exit 1; print r, (p == "" ? "-" : p) }' \
            "/proc/$1/smaps_rollup" 2>/dev/null && return
    fi
    awk '/^VmRSS:/ { r = $2 } END { if (r == "") exit 1; print r, "-" }' "/proc/$1/status" 2>/dev/null
}
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
# sum_cell KiB...: "MASTER + WORKERS MiB" and the total in KiB after a tab; "n/a" without figures
sum_cell() {
    local k=("$@") v rest=0
    for v in "${k[@]}"; do [[ $v =~ ^[0-9]+$ ]] || { printf 'n/a\t'; return; }; done
    for v in "${k[@]:1}"; do rest=$((rest + v)); done
    printf '%s + %s MiB\t%s' "$(mib "${k[0]}")" "$(mib "$rest")" "$((k[0] + rest))"
}
# get NAME [FILE]: the HTTP status of a request for NAME (the body to FILE), its time after a space.
get() {
    curl -s --noproxy '*' --max-time 60 -o "${2:-/dev/null}" -w '%{http_code} %{time_total}' \
        -H "Host: $1" "http://127.0.0.1:$port/" 2>/dev/null || echo "000 0"
}
served() { # served NAME: the name gets the site's page
    local code
    read -r code _ < <(get "$1" "$work/body")
    [[ $code == 200 && $(cat "$work/body" 2>/dev/null) == "$marker" ]]
}
request_ms() { # median time in ms of a few requests for NAME
    local i code t
    for ((i = 0; i < requests; i++)); do
        read -r code t < <(get "$1")
        [[ $code == 200 ]] || t=99
        echo "$t"
    done | sort -g | awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) * 1000 }'
}
hash_values() { # the two sizes of a --nginx-hash-conf file, as "BUCKET/MAX"
    awk '/^server_names_hash_bucket_size / { b = $2 } /^server_names_hash_max_size / { m = $2 }
        END { gsub(/;/, "", b); gsub(/;/, "", m); printf "%s/%s", b, m }' "$1"
}

cat <<EOF
Kelvane nginx benchmark
  tool    : $tool
  nginx   : $NGINX_BIN ($("$NGINX_BIN" -v 2>&1 | sed 's/^nginx version: //')), worker_processes 1, 127.0.0.1:$port
  lists   : gen-domains.awk, seed $seed, sizes ${sizes[*]}; every domain with www. and m. (-w -p m)
  machine : $(nproc) CPUs, $(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo), load average $(cut -d' ' -f1-3 /proc/loadavg) at start
  memory  : RSS and PSS (/proc/PID/smaps_rollup) of the master and its worker, summed; PSS splits the
            pages the two share, RSS counts them twice

EOF
row_fmt='%-7s %-10s %7s %8s %-10s %7s %9s %8s %19s %17s %9s %8s  %s\n'
# shellcheck disable=SC2059  # the format is the table's
printf "$row_fmt" domains layout blocks names bucket/max run "nginx -t" start "RSS master+wrk" "PSS master+wrk" "last name" warnings checks
failed=0 md=()
declare -A start_s mem_kb
for n in "${sizes[@]}"; do
    list=$work/list-$n.txt
    if ! LC_ALL=C "$gen_awk" -v n="$n" -v seed="$seed" -f "$here/gen-domains.awk" >"$list" ||
        [[ $(wc -l <"$list") != "$n" ]]; then
        die "generating a list of $n lines failed"
    fi
    read -r first last < <(ends "$list")
    for layout in per-domain "pack 0"; do
        opts=()
        [[ $layout == per-domain ]] || opts=(--pack 0)
        rm -f "$work/entries.conf" "$work/hash.conf" "$errlog"
        checks=()
        t0=$EPOCHREALTIME
        if ! "$tool" --server-kind nginx -q -w -p m -s "$work/site" --listen "127.0.0.1:$port" "${opts[@]}" \
            -o "$work/entries.conf" --nginx-hash-conf "$work/hash.conf" "$list" 2>"$work/run.err"; then
            echo "kelvane-cli failed for $n, $layout:" >&2
            sed 's/^/  /' "$work/run.err" >&2
            failed=1
            continue
        fi
        t_run=$(seconds_since "$t0")
        chmod a+r "$work/entries.conf" "$work/hash.conf"
        blocks=$(grep -c '^server {' "$work/entries.conf")
        name_count=$(awk '$1 == "server_name" { n += NF - 1 } END { print n + 0 }' "$work/entries.conf")
        hash=$(hash_values "$work/hash.conf")

        t0=$EPOCHREALTIME
        timeout "$test_timeout" "${nginx[@]}" -t >"$work/test.out" 2>&1
        rc=$?
        t_test=$(seconds_since "$t0")
        if ((rc != 0)); then
            echo "nginx -t failed for $n, $layout (status $rc):" >&2
            tail -5 "$work/test.out" >&2
            failed=1
            continue
        fi

        t0=$EPOCHREALTIME
        "${nginx[@]}" -g 'daemon off;' </dev/null >"$prefix/logs/stdout.log" 2>&1 &
        nginx_pid=$!
        up=
        # Until the port takes connections, a connect of the shell's own (no process started that
        # would compete with nginx for the CPUs); then a request for a known name, which the
        # worker answers once it runs.
        deadline=$((${t0/[.,]/} + start_timeout * 1000000))
        while kill -0 "$nginx_pid" 2>/dev/null && ((${EPOCHREALTIME/[.,]/} < deadline)); do
            if ! { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
                sleep 0.01
                continue
            fi
            exec 3>&-
            read -r code _ < <(curl -s --noproxy '*' --max-time "$start_timeout" -o /dev/null -w '%{http_code}' \
                -H "Host: $first" "http://127.0.0.1:$port/" 2>/dev/null || echo 000)
            if [[ $code == [24]?? ]]; then
                up=$(seconds_since "$t0")
                break
            fi
            sleep 0.01
        done
        if [[ -z $up ]]; then
            echo "nginx did not answer for $n, $layout" >&2
            tail -5 "$errlog" "$prefix/logs/stdout.log" >&2
            failed=1
            stop_nginx
            continue
        fi
        served "$first" || checks+=("first name not the site")
        # The worker is up once the first request is answered; give its pages a moment to settle.
        sleep 1
        mapfile -t workers < <(pgrep -P "$nginx_pid")
        ((${#workers[@]} == 1)) || checks+=("${#workers[@]} workers")
        rss=() pss=()
        for pid in "$nginx_pid" "${workers[@]}"; do
            if read -r r p < <(mem "$pid"); then
                rss+=("$r") pss+=("$p")
            else
                checks+=("no memory figure of process $pid")
            fi
        done
        IFS=$'\t' read -r rss_cell rss_total < <(sum_cell "${rss[@]}")
        IFS=$'\t' read -r pss_cell pss_total < <(sum_cell "${pss[@]}")
        ms_last=$(request_ms "$last")
        for name in "$last" "www.$last" "m.$last"; do
            served "$name" || checks+=("$name not the site")
        done
        read -r code _ < <(get "unknown.invalid")
        [[ $code == 421 ]] || checks+=("an unknown name got $code, not the default server")
        stop_nginx
        if grep -qi 'could not build' "$work/test.out" "$errlog" "$prefix/logs/stdout.log" 2>/dev/null; then
            checks+=("nginx: could not build the names hash")
            grep -hi 'could not build' "$work/test.out" "$errlog" "$prefix/logs/stdout.log" | sort -u | sed 's/^/  /' >&2
        fi
        # Other warnings (a name in two blocks: "conflicting server name") are counted, each once
        # however many of nginx -t and the start gave it, and shown, not held against the layout.
        grep -hE '\[(warn|error|crit|alert)\]' "$work/test.out" "$errlog" "$prefix/logs/stdout.log" 2>/dev/null |
            grep -vi 'could not build' | sed -E 's/^.*\] ([0-9]+#[0-9]+: )?//' | sort -u >"$work/warnings"
        warnings=$(wc -l <"$work/warnings")
        if ((warnings > 0)); then
            printf '  nginx, %s %s: %s warning(s) in nginx -t and the start, e.g. %s\n' "$n" "$layout" "$warnings" \
                "$(head -n 1 "$work/warnings")" >&2
        fi
        ((${#checks[@]} == 0)) || failed=1
        verdict=ok
        ((${#checks[@]} == 0)) || verdict="FAIL: $(IFS=';'; echo "${checks[*]}")"
        # shellcheck disable=SC2059  # the format is the table's
        printf "$row_fmt" "$n" "$layout" "$blocks" "$name_count" "$hash" "$(fmt "$t_run") s" "$(fmt "$t_test") s" \
            "$(fmt "$up") s" "$rss_cell" "$pss_cell" "$ms_last ms" "$warnings" "$verdict"
        md+=("$(printf '| %s | %s | %s | %s | %s | %s s | %s s | %s s | %s | %s | %s ms | %s | %s |' "$n" "$layout" \
            "$blocks" "$name_count" "$hash" "$(fmt "$t_run")" "$(fmt "$t_test")" "$(fmt "$up")" "$rss_cell" \
            "$pss_cell" "$ms_last" "$warnings" "$verdict")")
        start_s[$n,$layout]=$up
        # PSS counts the pages the master and its worker share once; RSS, twice.
        if [[ -n $pss_total ]]; then mem_kb[$n,$layout]=$pss_total mem_kind=PSS; else mem_kb[$n,$layout]=$rss_total mem_kind=RSS; fi
        [[ -n ${mem_kb[$n,$layout]} ]] || unset 'start_s[$n,$layout]'
    done
done

echo
echo '| domains | layout | blocks | names | bucket/max | run | nginx -t | start until it answers | RSS master + worker | PSS master + worker | last name (median of '"$requests"') | other nginx warnings | checks |'
echo '|---:|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---|'
printf '%s\n' "${md[@]}"
echo
declare -A start_ratio memory_ratio
largest=0
for n in "${sizes[@]}"; do
    ((n > largest)) && largest=$n
    if [[ -n ${start_s[$n,per-domain]:-} && -n ${start_s[$n,pack 0]:-} ]]; then
        start_ratio[$n]=$(awk -v a="${start_s[$n,per-domain]}" -v b="${start_s[$n,pack 0]}" 'BEGIN { printf "%.1f", a / (b > 0 ? b : 0.001) }')
        memory_ratio[$n]=$(awk -v a="${mem_kb[$n,per-domain]}" -v b="${mem_kb[$n,pack 0]}" 'BEGIN { printf "%.1f", a / (b > 0 ? b : 1) }')
        echo "at $n domains, per-domain / pack 0: start ${start_ratio[$n]}x, memory (${mem_kind:-RSS} of master and worker) ${memory_ratio[$n]}x"
    else
        echo "at $n domains: no ratio (a layout failed)"
    fi
done
n=$largest
if [[ -n ${start_ratio[$n]:-} ]]; then
    echo "targets at $n domains: start at least ${min_start_ratio}x, memory at least ${min_memory_ratio}x"
    awk -v r="${start_ratio[$n]}" -v m="$min_start_ratio" 'BEGIN { exit !(r >= m) }' || { echo "MISSED: start (${start_ratio[$n]}x)" >&2; failed=1; }
    awk -v r="${memory_ratio[$n]}" -v m="$min_memory_ratio" 'BEGIN { exit !(r >= m) }' || { echo "MISSED: memory (${memory_ratio[$n]}x)" >&2; failed=1; }
else
    failed=1
fi
((failed == 0)) && echo "all targets met, every check passed"
exit "$failed"
