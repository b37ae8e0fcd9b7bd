#!/usr/bin/env bash
# Throughput and memory benchmark for kelvane-cli, reading the list from a
# file and from a pipe, and the same run from the dialog when
# kelvane-dialog-bench is built.
#
#   bench/run.sh [PATH-TO-kelvane-cli]
#
# The default binary is build/cli/kelvane-cli under the repository root. The
# dialog is measured with kelvane-dialog-bench from the same build tree
# (BUILD/bench/ next to BUILD/cli/), or the one in KELVANE_BENCH_DIALOG.
# Everything is measured on a warm page cache, after one warm-up run of each
# command, with the commands taking turns. See bench/README.md for the
# environment variables.
#
# Exit status: 0 when every target is met, 1 when a target is missed or a
# measurement could not be made, 2 on a usage or setup error.

set -uo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd "$script_dir/.." && pwd)
generator="$script_dir/gen-domains.awk"

runs=${KELVANE_BENCH_RUNS:-5}
lines=${KELVANE_BENCH_LINES:-1000000}
big_lines=${KELVANE_BENCH_BIG_LINES:-10000000}
seed=${KELVANE_BENCH_SEED:-20240601}
baseline_awk=${KELVANE_BENCH_AWK:-awk}

# Limits the tool is held to.
max_tool_over_cp=1.25
min_awk_over_tool=4
max_rss_mib=16
max_dialog_over_tool=1.10
max_dialog_gap_ms=50

site=/var/www/sites
prefix=m

die() { printf 'run.sh: %s\n' "$*" >&2; exit 2; }

case $# in
    0) tool="$repo_root/build/cli/kelvane-cli" ;;
    1) tool=$1 ;;
    *) die "usage: bench/run.sh [PATH-TO-kelvane-cli]" ;;
esac

is_count() { [[ $1 =~ ^[0-9]+$ ]] && (( 10#$1 > 0 )); }
is_count "$runs"  || die "KELVANE_BENCH_RUNS must be a positive integer (got '$runs')"
is_count "$lines" || die "KELVANE_BENCH_LINES must be a positive integer (got '$lines')"
[[ $big_lines =~ ^[0-9]+$ ]] || die "KELVANE_BENCH_BIG_LINES must be a non-negative integer (got '$big_lines')"
[[ $seed =~ ^[0-9]+$ ]] || die "KELVANE_BENCH_SEED must be a non-negative integer (got '$seed')"
runs=$((10#$runs)); lines=$((10#$lines)); big_lines=$((10#$big_lines))

[[ -f $tool && -x $tool ]] || die "kelvane-cli not found or not executable: $tool (build it with: cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build)"
tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")

# The dialog program of the same build as the tool, unless one is named. A
# named one must be there; the default one is optional.
if [[ -n ${KELVANE_BENCH_DIALOG:-} ]]; then
    dialog=$KELVANE_BENCH_DIALOG
    [[ -f $dialog && -x $dialog ]] || die "KELVANE_BENCH_DIALOG: not found or not executable: $dialog"
    dialog=$(cd "$(dirname "$dialog")" && pwd)/$(basename "$dialog")
else
    dialog="$(dirname "$(dirname "$tool")")/bench/kelvane-dialog-bench"
    if [[ ! -f $dialog || ! -x $dialog ]]; then
        dialog_missing=$dialog
        dialog=""
    fi
fi
[[ -r $generator ]] || die "missing list generator: $generator"
command -v "$baseline_awk" >/dev/null || die "awk not found: $baseline_awk"
[[ -x /usr/bin/time ]] || die "/usr/bin/time (GNU time) is needed for the peak-memory check"

# mawk writes the lists about twice as fast as gawk; the file is the same
# with either, since the generator does not use awk's own rand().
if command -v mawk >/dev/null; then gen_awk=mawk; else gen_awk=$baseline_awk; fi

# --- work directory --------------------------------------------------------
# A directory we create is removed on exit. A directory given by the user is
# left in place with its generated lists (they are reused on the next run
# when the generator and seed are unchanged); only our outputs are deleted.
if [[ -n ${KELVANE_BENCH_WORKDIR:-} ]]; then
    work=$KELVANE_BENCH_WORKDIR
    mkdir -p "$work" || die "cannot create work directory $work"
    work=$(cd "$work" && pwd)
    own_work=0
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-bench.XXXXXX") || die "mktemp failed"
    own_work=1
fi

# shellcheck disable=SC2317  # called from the EXIT trap
cleanup() {
    if (( own_work )); then
        rm -rf -- "$work"
    else
        rm -f -- "$work"/out-*.conf "$work"/ref.conf "$work"/entries.awk \
                 "$work"/*.log "$work"/*.time "$work"/*.times "$work"/*.cpu \
                 "$work"/probe-*.conf "$work"/dialog.res
        rm -rf -- "$work"/dialog
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- helpers ---------------------------------------------------------------
now_ns() { date +%s%N; }

# stamp VAR: the wall clock in ns into VAR; without starting a process when
# the shell has EPOCHREALTIME (microseconds), so it adds nothing to a timing.
# shellcheck disable=SC2034  # the result goes out through the nameref
stamp() {
    local -n stamp_ref=$1
    if [[ -n ${EPOCHREALTIME:-} ]]; then
        local t=${EPOCHREALTIME/[.,]/}
        stamp_ref=$(( 10#$t * 1000 ))
    else
        stamp_ref=$(now_ns)
    fi
}

# stats SCALE: median, min and max of the numbers on standard input, each
# divided by SCALE.
stats() {
    sort -g | awk -v s="$1" '
        { t[NR] = $1 }
        END {
            med = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
            printf "%.6f %.6f %.6f\n", med / s, t[1] / s, t[NR] / s
        }'
}

# fdiv A B [DIGITS] -> A/B as a decimal string
fdiv() { awk -v a="$1" -v b="$2" -v d="${3:-3}" 'BEGIN { printf "%.*f", d, a / b }'; }

# fcmp A OP B -> status 0 when the comparison holds
fcmp() { awk -v a="$1" -v b="$3" -v op="$2" 'BEGIN {
    r = (op == "<=") ? (a <= b) : (op == ">=") ? (a >= b) : 0; exit !r }'; }

file_size() { stat -c %s -- "$1"; }

avail_bytes() { df -P -B1 -- "$1" | awk 'NR == 2 { print $4 }'; }

# make_list N FILE: generate (or reuse) an N-line list.
make_list() {
    local n=$1 file=$2 stamp want
    stamp="$file.stamp"
    want="$(sha256sum < "$generator" | cut -d' ' -f1) n=$n seed=$seed"
    if [[ -s $file && -r $stamp && $(<"$stamp") == "$want" ]]; then
        printf '  reusing %s\n' "$file"
        return 0
    fi
    rm -f -- "$stamp"
    local t0 t1
    t0=$(now_ns)
    if ! LC_ALL=C "$gen_awk" -v n="$n" -v seed="$seed" -f "$generator" > "$file"; then
        rm -f -- "$file"
        die "generating $file failed"
    fi
    t1=$(now_ns)
    local got
    got=$(wc -l < "$file")
    [[ $got -eq $n ]] || die "generator wrote $got lines to $file, expected $n"
    printf '%s\n' "$want" > "$stamp"
    printf '  generated %s (%s lines, %s bytes) in %s s\n' \
        "$file" "$n" "$(file_size "$file")" "$(fdiv $((t1 - t0)) 1000000000 1)"
}

# CPU seconds used by the whole machine (all CPUs, idle and I/O wait left
# out) and by this script's finished children; the difference over the timed
# section is what other processes took while we measured.
machine_cpu_s() {
    awk -v hz="$(getconf CLK_TCK)" '$1 == "cpu" { printf "%.2f", ($2 + $3 + $4 + $7 + $8 + $9) / hz; exit }' /proc/stat
}
# `times` must run in this shell, not in a pipeline or $(...) subshell,
# which starts with its children's times at zero.
own_cpu_s() {
    times > "$work/own.times"
    awk 'NR == 2 {
        t = 0
        for (i = 1; i <= 2; i++) { split($i, p, "m"); sub(/s$/, "", p[2]); t += p[1] * 60 + p[2] }
        printf "%.2f", t
    }' "$work/own.times"
}

# cpu_mark, then foreign_since_mark: sets `foreign` to the share (%) of the
# machine's CPUs that other processes kept busy in between.
cpu_mark() {
    cpu0_all=$(machine_cpu_s); own_cpu_s > "$work/own0.cpu"; timing_start=$(now_ns)
}
foreign_since_mark() {
    local timing_end cpu1_all cpu0_own cpu1_own
    timing_end=$(now_ns); own_cpu_s > "$work/own1.cpu"; cpu1_all=$(machine_cpu_s)
    cpu0_own=$(<"$work/own0.cpu"); cpu1_own=$(<"$work/own1.cpu")
    foreign=$(awk -v a0="$cpu0_all" -v a1="$cpu1_all" -v o0="$cpu0_own" -v o1="$cpu1_own" \
                  -v w=$((timing_end - timing_start)) -v c="$(nproc)" \
                  'BEGIN { f = (a1 - a0) - (o1 - o0); if (f < 0) f = 0; printf "%.0f", 100 * f / (w / 1e9 * c) }')
    printf '  %-12s %s%% of %s CPUs busy with other work while timing\n' "" "$foreign" "$(nproc)"
    if (( foreign >= 10 )); then
        echo "  note: the machine was not idle; the times above may be skewed. Re-run on a quiet machine."
    fi
}

# peak_rss OUTVAR_KIB OUTVAR_SECONDS FEED CMD...: one run under GNU time.
# With a FEED file, cat pipes it into CMD's standard input; the peak is that
# of CMD alone, not of cat.
# shellcheck disable=SC2034  # results go out through the namerefs
peak_rss() {
    local -n rss_ref=$1 wall_ref=$2; local feed=$3; shift 3
    local tf="$work/rss.time" t0 t1 rc
    rm -f -- "$tf"
    sync
    t0=$(now_ns)
    if [[ -n $feed ]]; then
        cat -- "$feed" | /usr/bin/time -f '%M' -o "$tf" "$@" > /dev/null
    else
        /usr/bin/time -f '%M' -o "$tf" "$@" > /dev/null
    fi
    rc=$?
    t1=$(now_ns)
    if (( rc != 0 )); then
        printf '    run failed (status %d): %s%s\n' "$rc" "${feed:+cat $feed | }" "$*" >&2
        [[ -r $tf ]] && sed 's/^/    /' "$tf" >&2
        return 1
    fi
    rss_ref=$(tail -n1 "$tf")
    [[ $rss_ref =~ ^[0-9]+$ ]] || { printf '    could not read peak RSS from %s\n' "$tf" >&2; return 1; }
    wall_ref=$(fdiv $((t1 - t0)) 1000000000 3)
}

# The same entries as the tool writes, in awk: trim blanks/tabs/CR at both
# ends, skip lines without a dot, drop one leading "www.", skip empties.
# shellcheck disable=SC2016  # an awk program, not shell expansions
awk_prog='{ d = $0; sub(/^[ \t\r]+/, "", d); sub(/[ \t\r]+$/, "", d); if (index(d, ".") == 0) next; if (substr(d, 1, 4) == "www.") d = substr(d, 5); if (d == "") next; printf "<VirtualHost *>\r\n    DocumentRoot %s\r\n    ServerAlias %s www.%s %s.%s\r\n</VirtualHost>\r\n", site, d, d, pfx, d > out }'

# Expected size in bytes and entry count of the tool's output, same rules.
# shellcheck disable=SC2016
expect_prog='{ d = $0; sub(/^[ \t\r]+/, "", d); sub(/[ \t\r]+$/, "", d); if (index(d, ".") == 0) next; if (substr(d, 1, 4) == "www.") d = substr(d, 5); if (d == "") next; n++; b += 17 + 17 + length(site) + 2 + 16 + 3 * length(d) + 5 + 1 + length(pfx) + 1 + 2 + 16 } END { printf "%.0f %.0f\n", b, n }'

awk_path=$(command -v "$baseline_awk")
awk_real=$(readlink -f -- "$awk_path")
awk_version=$("$baseline_awk" --version 2>/dev/null | head -n1)
[[ -n $awk_version ]] || awk_version=$("$baseline_awk" -W version 2>/dev/null | head -n1)
[[ -n $awk_version ]] || awk_version="version unknown"
case $(basename "$awk_real") in
    mawk*) awk_kind=mawk ;;
    gawk*) awk_kind=gawk ;;
    busybox*) awk_kind="busybox awk" ;;
    *) case $awk_version in
           *"GNU Awk"*) awk_kind=gawk ;;
           mawk*) awk_kind=mawk ;;
           *) awk_kind=$(basename "$awk_real") ;;
       esac ;;
esac

if [[ -n ${EPOCHREALTIME:-} ]]; then clock="bash \$EPOCHREALTIME"; else clock="date +%s%N"; fi
timer_desc="$clock (1 warm-up round, $runs timed rounds, order turned each round, sync before each run)"

echo "Kelvane benchmark"
echo "  tool       : $tool"
echo "  awk        : $awk_path -> $awk_real ($awk_kind: $awk_version), run with LC_ALL=C"
echo "  timer      : $timer_desc"
echo "  machine    : $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown) at start"
echo "  work dir   : $work"
echo "  command    : kelvane-cli -q -w -p $prefix -s $site -o OUT LIST"
echo "  piped      : cat LIST | kelvane-cli -q -w -p $prefix -s $site -o OUT"
if [[ -n $dialog ]]; then
    echo "  dialog     : $dialog"
    echo "               QT_QPA_PLATFORM=offscreen kelvane-dialog-bench -w -p $prefix -s $site -d DIR LIST"
else
    echo "  dialog     : not measured (no kelvane-dialog-bench at $dialog_missing)"
fi
echo

failures=0
declare -a verdicts=()
verdict() {  # verdict LABEL VALUE OP LIMIT UNIT
    local label=$1 value=$2 op=$3 limit=$4 unit=${5:-} res
    if [[ -z $value ]]; then
        res=FAIL; value="n/a"
    elif fcmp "$value" "$op" "$limit"; then
        res=PASS
    else
        res=FAIL
    fi
    [[ $res == FAIL ]] && failures=$((failures + 1))
    verdicts+=("$(printf '  %-31s %-16s %-28s %s' "$label" "$value${unit:+ $unit}" "(target $op $limit${unit:+ $unit})" "$res")")
}
check() {  # check LABEL OK(0/1) DETAIL
    local res=PASS
    if (( $2 != 1 )); then res=FAIL; failures=$((failures + 1)); fi
    verdicts+=("$(printf '  %-31s %-45s %s' "$1" "$3" "$res")")
}

list="$work/list-$lines.txt"
out_tool="$work/out-tool.conf"
out_pipe="$work/out-pipe.conf"
out_cp="$work/out-cp.conf"
out_awk="$work/out-awk.conf"
ref="$work/ref.conf"
awk_file="$work/entries.awk"
printf '%s\n' "$awk_prog" > "$awk_file"

echo "Preparing"
make_list "$lines" "$list"

# First run of the tool: produces the reference output.
if ! "$tool" -q -w -p "$prefix" -s "$site" -o "$out_tool" "$list"; then
    echo "  kelvane-cli failed on $list" >&2
    exit 1
fi
[[ -s $out_tool ]] || { echo "  kelvane-cli wrote no output to $out_tool" >&2; exit 1; }
cp -- "$out_tool" "$ref" || { echo "  copying the reference output failed" >&2; exit 1; }
# The cp destination exists beforehand, with the same size, just as the
# tool's output file does: both timings overwrite an existing file.
cp -- "$ref" "$out_cp" || { echo "  cp to $out_cp failed" >&2; exit 1; }

# On a filesystem that can share extents (btrfs, XFS) a plain cp clones the
# file without writing its data, which says nothing about write speed; make
# cp copy the bytes there.
cp_cmd=(cp)
cp_desc="cp (this filesystem does not clone files)"
head -c 65536 "$ref" > "$work/probe-src.conf"
if cp --reflink=always -- "$work/probe-src.conf" "$work/probe-dst.conf" 2>/dev/null; then
    cp_cmd=(cp --reflink=never)
    cp_desc="cp --reflink=never (this filesystem clones files with a plain cp)"
fi
rm -f -- "$work/probe-src.conf" "$work/probe-dst.conf"

out_bytes=$(file_size "$ref")
read -r exp_bytes exp_entries < <(LC_ALL=C "$gen_awk" -v site="$site" -v pfx="$prefix" "$expect_prog" "$list")
printf '  copy       : %s\n' "$cp_desc"
printf '  list       : %s lines, %s bytes\n' "$lines" "$(file_size "$list")"
printf '  output     : %s bytes (expected from the list: %s entries, %s bytes)\n' "$out_bytes" "$exp_entries" "$exp_bytes"
[[ $out_bytes == "$exp_bytes" ]]; out_size_ok=$(( $? == 0 ))

# awk baseline, checked byte for byte against the tool.
if LC_ALL=C "$baseline_awk" -v site="$site" -v pfx="$prefix" -v out="$out_awk" -f "$awk_file" "$list"; then
    if cmp -s -- "$ref" "$out_awk"; then
        awk_same=1; awk_same_desc="awk output is byte-identical to kelvane-cli output (cmp)"
    else
        awk_same=0; awk_same_desc="awk output DIFFERS from kelvane-cli output: $(cmp -- "$ref" "$out_awk" 2>&1 | head -n1)"
    fi
else
    awk_same=0; awk_same_desc="awk baseline failed to run"
fi
echo "  $awk_same_desc"
echo

# --- timing ----------------------------------------------------------------
# One warm-up round, then $runs timed rounds. Every round runs each command
# once; the order turns by one place from round to round, so that each
# command runs in each place in turn and all see the machine in the same
# state. Dirty pages are flushed (untimed) before every run, so no run pays
# for the write-back of an earlier run's output; the page cache stays warm.
# The clock is read in this shell: the piped run is timed from the start of
# the pipeline until both cat and the tool have exited.
names=(tool piped cp awk)
declare -A shown=([tool]="tool" [piped]="tool (piped)" [cp]="cp" [awk]="awk")
timed_run() {  # timed_run NAME: one run of that command
    case $1 in
        tool)  "$tool" -q -w -p "$prefix" -s "$site" -o "$out_tool" "$list" ;;
        piped) cat -- "$list" | "$tool" -q -w -p "$prefix" -s "$site" -o "$out_pipe" ;;
        cp)    "${cp_cmd[@]}" -- "$ref" "$out_cp" ;;
        awk)   LC_ALL=C "$baseline_awk" -v site="$site" -v pfx="$prefix" -v out="$out_awk" -f "$awk_file" "$list" ;;
    esac > /dev/null
}

echo "Timing, warm cache, median of $runs, the commands taking turns"
rm -f -- "$out_pipe"
declare -A med run_ns failed
cpu_mark
for (( i = 0; i <= runs; i++ )); do
    for (( k = 0; k < ${#names[@]}; k++ )); do
        name=${names[(i + k) % ${#names[@]}]}
        [[ -n ${failed[$name]:-} ]] && continue
        sync
        stamp t0
        if ! timed_run "$name"; then
            printf '    %s: %s failed\n' "${shown[$name]}" "$( (( i == 0 )) && echo "warm-up run" || echo "run $i")" >&2
            failed[$name]=1
            continue
        fi
        stamp t1
        (( i > 0 )) && run_ns[$name]+="$((t1 - t0))"$'\n'
    done
done
for name in "${names[@]}"; do
    med[$name]=""
    if [[ -n ${failed[$name]:-} ]]; then
        printf '  %-12s FAILED\n' "${shown[$name]}"
        continue
    fi
    read -r m_median m_min m_max < <(printf '%s' "${run_ns[$name]}" | stats 1e9)
    med[$name]=$m_median
    printf '  %-12s median %8.3f s   (min %.3f, max %.3f)\n' "${shown[$name]}" "$m_median" "$m_min" "$m_max"
done

foreign_since_mark

# The timed runs must have produced the same bytes as the reference run.
cmp -s -- "$ref" "$out_tool"; tool_stable=$(( $? == 0 ))
cmp -s -- "$ref" "$out_cp";   cp_ok=$(( $? == 0 ))
if [[ -n ${failed[piped]:-} ]]; then
    pipe_same=0; pipe_same_desc="no piped run completed"
elif cmp -s -- "$ref" "$out_pipe"; then
    pipe_same=1; pipe_same_desc="identical"
else
    pipe_same=0; pipe_same_desc="differs: $(cmp -- "$ref" "$out_pipe" 2>&1 | head -n1)"
fi
echo

# --- the same list from the dialog ------------------------------------------
# kelvane-dialog-bench fills the dialog's fields with the list's path and the
# same settings, clicks Start and times the run up to its end (the dialog's
# "open the output"), while a 5 ms timer records the longest stretch its event
# loop went without turning. Its runs alternate with runs of the tool, each
# after a sync, so that both see the machine in the same state; the ratio is
# taken against these runs of the tool (against the timing above as well, for
# reference). The warm-up run's gap counts too: a stall is a stall whenever it
# happens. The wall time of the whole dialog program (Qt start-up and the
# dialog's close included) is shown for reference.
dialog_over_tool="" dialog_gap="" dialog_same=0 dialog_same_desc=""
if [[ -n $dialog ]]; then
    echo "Dialog run, warm cache, median of $runs (Qt offscreen platform), alternating with the tool"
    dialog_dir="$work/dialog"
    dialog_out="$dialog_dir/_out.txt"
    rm -rf -- "$dialog_dir"
    mkdir -p -- "$dialog_dir" || die "cannot create $dialog_dir"
    dialog_cmd=(env QT_QPA_PLATFORM=offscreen "$dialog" -w -p "$prefix" -s "$site" -d "$dialog_dir"
                --expect-bytes "$out_bytes" "$list")
    tool_cmd=("$tool" -q -w -p "$prefix" -s "$site" -o "$out_tool" "$list")
    dialog_ok=1
    d_secs=() d_walls=() d_gaps=() d_updates=() d_gui=() t_walls=()
    cpu_mark
    for (( i = 0; i <= runs; i++ )); do
        if (( i == 0 )); then what="warm-up run"; else what="run $i"; fi
        # Which goes first changes from one round to the next.
        for side in $(( i % 2 )) $(( 1 - i % 2 )); do
            sync
            if (( side == 0 )); then
                stamp t0
                if ! "${tool_cmd[@]}" > /dev/null; then
                    printf '    kelvane-cli %s failed: %s\n' "$what" "${tool_cmd[*]}" >&2
                    dialog_ok=0; break 2
                fi
                stamp t1
                (( i > 0 )) && t_walls+=($((t1 - t0)))
                continue
            fi
            stamp t0
            "${dialog_cmd[@]}" > "$work/dialog.res" 2> "$work/dialog.log"
            rc=$?
            stamp t1
            res=$(grep '^dialog_seconds=' "$work/dialog.res" | tail -n1)
            sec=$(sed -n 's/.*dialog_seconds=\([0-9.]*\).*/\1/p' <<< "$res")
            gap=$(sed -n 's/.*max_gap_ms=\([0-9.]*\).*/\1/p' <<< "$res")
            upd=$(sed -n 's/.*progress_events=\([0-9]*\).*/\1/p' <<< "$res")
            gui=$(sed -n 's/.*gui_cpu_ms=\([0-9.]*\).*/\1/p' <<< "$res")
            if (( rc != 0 )) || [[ -z $sec || -z $gap ]]; then
                printf '    dialog %s failed (status %d): %s\n' "$what" "$rc" "${dialog_cmd[*]}" >&2
                sed 's/^/    /' "$work/dialog.log" "$work/dialog.res" >&2
                dialog_ok=0; break 2
            fi
            d_gaps+=("$gap")
            if (( i > 0 )); then
                d_secs+=("$sec"); d_walls+=($((t1 - t0))); d_updates+=("$upd"); d_gui+=("${gui:-0}")
            fi
        done
    done
    if (( dialog_ok )); then
        read -r d_median d_min d_max < <(printf '%s\n' "${d_secs[@]}" | stats 1)
        read -r w_median _ _ < <(printf '%s\n' "${d_walls[@]}" | stats 1e9)
        read -r t_median t_min t_max < <(printf '%s\n' "${t_walls[@]}" | stats 1e9)
        read -r gui_median _ _ < <(printf '%s\n' "${d_gui[@]}" | stats 1)
        read -r _ upd_min upd_max < <(printf '%s\n' "${d_updates[@]}" | stats 1)
        dialog_gap=$(printf '%s\n' "${d_gaps[@]}" | sort -g | tail -n1)
        printf '  %-12s median %8.3f s   (min %.3f, max %.3f; Start to end of run)\n' dialog "$d_median" "$d_min" "$d_max"
        printf '  %-12s median %8.3f s   (whole program: Qt start-up, run, close)\n' "" "$w_median"
        printf '  %-12s median %8.3f s   (min %.3f, max %.3f; the runs in between)\n' kelvane-cli "$t_median" "$t_min" "$t_max"
        printf '  %-12s largest gap %s ms over %d runs (warm-up included)\n' "event loop" "$dialog_gap" $((runs + 1))
        printf '  %-12s %.0f-%.0f progress events a run, dialog thread busy %.1f ms of the run (median)\n' \
            "" "$upd_min" "$upd_max" "$gui_median"
        dialog_over_tool=$(fdiv "$d_median" "$t_median" 2)
        if [[ -n ${med[tool]} ]]; then
            printf '  %-12s dialog/cli %s against the runs in between, %s against the timing above\n' \
                "" "$dialog_over_tool" "$(fdiv "$d_median" "${med[tool]}" 2)"
        fi
        # The tool's runs in between must have written the reference bytes too.
        cmp -s -- "$ref" "$out_tool" || tool_stable=0
        if cmp -s -- "$ref" "$dialog_out"; then
            dialog_same=1; dialog_same_desc="identical"
        else
            dialog_same_desc="differs: $(cmp -- "$ref" "$dialog_out" 2>&1 | head -n1)"
        fi
    else
        printf '  %-12s FAILED\n' dialog
        dialog_same_desc="no complete dialog run"
    fi
    foreign_since_mark
    # Its output is no longer needed; free the space before the large run.
    rm -rf -- "$dialog_dir"
    echo
fi

# rss_row OUTVAR_MIB ROW FEED CMD...: peak_rss, printed as one row.
rss_row() {
    local -n mib_ref=$1; local row=$2; shift 2
    local kib='' wall=''
    mib_ref=""
    if peak_rss kib wall "$@"; then
        mib_ref=$(fdiv "$kib" 1024 2)
        printf '  %-22s %8s MiB   (%s KiB, wall %s s)\n' "$row" "$mib_ref" "$kib" "$wall"
    else
        printf '  %-22s FAILED\n' "$row"
    fi
}

echo "Peak memory (max RSS of kelvane-cli, /usr/bin/time, one run each)"
rss1_mib="" rss1p_mib=""
rss_row rss1_mib "$lines lines, file" "" "$tool" -q -w -p "$prefix" -s "$site" -o "$out_tool" "$list"
rss_row rss1p_mib "$lines lines, piped" "$list" "$tool" -q -w -p "$prefix" -s "$site" -o "$out_pipe"

# The small list's files are no longer needed; free the space before the
# large run.
rm -f -- "$out_cp" "$out_awk" "$ref" "$out_pipe"

rss2_mib="" rss2p_mib="" big_desc="" big_ok=1 big_pipe_desc="" big_pipe_ok=0
if (( big_lines > 0 )); then
    big_list="$work/list-$big_lines.txt"
    big_out="$work/out-big.conf"
    big_pipe_out="$work/out-big-pipe.conf"
    make_list "$big_lines" "$big_list"
    # Rough need: the output grows with the list at the rate measured above,
    # and the file run's output stays until the piped run's is compared.
    need=$(awk -v o="$out_bytes" -v a="$lines" -v b="$big_lines" 'BEGIN { printf "%.0f", o / a * b * 2.2 }')
    have=$(avail_bytes "$work")
    if [[ $have =~ ^[0-9]+$ ]] && (( have < need )); then
        printf '  %-22s not measured: %s bytes free in %s, about %s needed\n' "$big_lines lines" "$have" "$work" "$need"
        big_desc="not measured (disk space)"; big_ok=0
        big_pipe_desc=$big_desc
    else
        rss_row rss2_mib "$big_lines lines, file" "" "$tool" -q -w -p "$prefix" -s "$site" -o "$big_out" "$big_list"
        if [[ -n $rss2_mib ]]; then
            read -r big_exp_bytes big_exp_entries < <(LC_ALL=C "$gen_awk" -v site="$site" -v pfx="$prefix" "$expect_prog" "$big_list")
            big_bytes=$(file_size "$big_out")
            big_entries=$(grep -c '^<VirtualHost \*>' "$big_out")
            if [[ $big_bytes == "$big_exp_bytes" && $big_entries == "$big_exp_entries" ]]; then
                big_desc="$big_entries entries, $big_bytes bytes, as expected"
            else
                big_desc="got $big_entries entries / $big_bytes bytes, expected $big_exp_entries / $big_exp_bytes"
                big_ok=0
            fi
            printf '  %-22s output: %s\n' "" "$big_desc"
        else
            big_desc="run failed"; big_ok=0
        fi
        rss_row rss2p_mib "$big_lines lines, piped" "$big_list" "$tool" -q -w -p "$prefix" -s "$site" -o "$big_pipe_out"
        if [[ -z $rss2p_mib ]]; then
            big_pipe_desc="run failed"
        else
            if cmp -s -- "$big_out" "$big_pipe_out"; then
                big_pipe_ok=1; big_pipe_desc="identical"
            else
                big_pipe_desc="differs: $(cmp -- "$big_out" "$big_pipe_out" 2>&1 | head -n1)"
            fi
            printf '  %-22s output: %s (against the file run)\n' "" "$big_pipe_desc"
        fi
        rm -f -- "$big_out" "$big_pipe_out"
    fi
fi
echo

tool_over_cp="" pipe_over_cp="" awk_over_tool=""
[[ -n ${med[tool]} && -n ${med[cp]} ]]  && tool_over_cp=$(fdiv "${med[tool]}" "${med[cp]}" 2)
[[ -n ${med[piped]} && -n ${med[cp]} ]] && pipe_over_cp=$(fdiv "${med[piped]}" "${med[cp]}" 2)
[[ -n ${med[tool]} && -n ${med[awk]} ]] && awk_over_tool=$(fdiv "${med[awk]}" "${med[tool]}" 2)

echo "Results"
verdict "tool/cp wall time"          "$tool_over_cp"  "<=" "$max_tool_over_cp"
verdict "tool (piped)/cp wall time"  "$pipe_over_cp"  "<=" "$max_tool_over_cp"
verdict "awk/tool wall time"         "$awk_over_tool" ">=" "$min_awk_over_tool"
verdict "peak RSS, $lines lines"       "$rss1_mib"  "<=" "$max_rss_mib" MiB
verdict "peak RSS piped, $lines lines" "$rss1p_mib" "<=" "$max_rss_mib" MiB
if (( big_lines > 0 )); then
    verdict "peak RSS, $big_lines lines"       "$rss2_mib"  "<=" "$max_rss_mib" MiB
    verdict "peak RSS piped, $big_lines lines" "$rss2p_mib" "<=" "$max_rss_mib" MiB
    check "output, $big_lines lines" "$big_ok" "$big_desc"
    check "piped = file, $big_lines lines" "$big_pipe_ok" "$big_pipe_desc"
else
    verdicts+=("$(printf '  %-31s %s' "peak RSS, large list" "skipped (KELVANE_BENCH_BIG_LINES=0)")")
fi
check "output size, $lines lines" "$out_size_ok" "$([[ $out_size_ok == 1 ]] && echo "$out_bytes bytes, as expected" || echo "$out_bytes bytes, expected $exp_bytes")"
check "awk output = tool output" "$awk_same" "$([[ $awk_same == 1 ]] && echo identical || echo differs)"
check "piped output = file output" "$pipe_same" "$pipe_same_desc"
check "tool output stable"       "$tool_stable" "$([[ $tool_stable == 1 ]] && echo 'timed runs match first run' || echo 'timed runs differ from first run')"
check "cp copy intact"           "$cp_ok" "$([[ $cp_ok == 1 ]] && echo identical || echo differs)"
if [[ -n $dialog ]]; then
    verdict "dialog/cli wall time"      "$dialog_over_tool" "<=" "$max_dialog_over_tool"
    verdict "dialog event-loop max gap" "$dialog_gap"       "<=" "$max_dialog_gap_ms" ms
    check "dialog output = tool output" "$dialog_same" "$dialog_same_desc"
else
    verdicts+=("$(printf '  %-31s %s' "dialog run" "skipped (kelvane-dialog-bench not built)")")
fi
printf '%s\n' "${verdicts[@]}"
echo

if (( failures > 0 )); then
    echo "FAIL: $failures check(s) failed"
    exit 1
fi
echo "PASS: all targets met"
exit 0
