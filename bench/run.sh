#!/usr/bin/env bash
# Speed and memory benchmark for kelvane-cli: a run against the floor of an atomic replace of the
# same bytes (kelvane-bench-floor), its instructions per list line under callgrind, its peak
# memory in each layout, and the same run from the dialog when kelvane-dialog-bench is built.
# See bench/README.md.
#   bench/run.sh [PATH-TO-kelvane-cli]        (default: build/cli/kelvane-cli; the other programs
#                                              come from the same build tree)
# Exit status: 0 when every target is met, 1 when one is missed or a measurement failed,
# 2 on a usage or setup error.
# shellcheck disable=SC2016  # awk programs and bash -c snippets are single-quoted on purpose
set -uo pipefail
LC_NUMERIC=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
runs=${KELVANE_BENCH_RUNS:-5} rounds=${KELVANE_BENCH_ROUNDS:-11} lines=${KELVANE_BENCH_LINES:-1000000}
big_lines=${KELVANE_BENCH_BIG_LINES:-10000000} split_lines=${KELVANE_BENCH_SPLIT_LINES:-100000}
cg_lines=${KELVANE_BENCH_CG_LINES:-200000} seed=${KELVANE_BENCH_SEED:-20240601}
awk=${KELVANE_BENCH_AWK:-awk} dialog=${KELVANE_BENCH_DIALOG:-} floor=${KELVANE_BENCH_FLOOR:-}
site=/var/www/sites prefix=m
max_tool_floor=1.10 min_awk_tool=4 max_rss_mib=16 max_ipl=400 max_dialog_cli=1.10 max_gap_ms=50

die() { printf 'run.sh: %s\n' "$*" >&2; exit 2; }
(( $# <= 1 )) || die "usage: bench/run.sh [PATH-TO-kelvane-cli]"
for v in runs rounds lines big_lines split_lines cg_lines seed; do
    [[ ${!v} =~ ^[0-9]+$ ]] || die "KELVANE_BENCH_${v^^} must be a non-negative integer (got '${!v}')"
    printf -v "$v" %d "$((10#${!v}))"
done
(( runs > 0 && rounds > 0 && lines > 0 && cg_lines > 0 )) ||
    die "KELVANE_BENCH_RUNS, _ROUNDS, _LINES and _CG_LINES must be positive"
tool=$(realpath -e -- "${1:-$here/../build/cli/kelvane-cli}" 2>/dev/null)
[[ -f $tool && -x $tool ]] || die "kelvane-cli not found or not executable: ${1:-build/cli/kelvane-cli}"
floor=$(realpath -e -- "${floor:-$(dirname "$(dirname "$tool")")/bench/kelvane-bench-floor}" 2>/dev/null)
[[ -f $floor && -x $floor ]] ||
    die "kelvane-bench-floor not found (build it: cmake --build build --target kelvane-bench-floor, or set KELVANE_BENCH_FLOOR)"
if [[ -n $dialog ]]; then    # a named one must be there; the one of the tool's build is optional
    dialog=$(realpath -e -- "$dialog" 2>/dev/null)
    [[ -f $dialog && -x $dialog ]] || die "KELVANE_BENCH_DIALOG: not an executable: $KELVANE_BENCH_DIALOG"
else
    dialog="$(dirname "$(dirname "$tool")")/bench/kelvane-dialog-bench"
    [[ -f $dialog && -x $dialog ]] || { no_dialog=$dialog; dialog=; }
fi
for c in hyperfine jq "$awk" /usr/bin/time valgrind; do command -v "$c" > /dev/null || die "needs $c"; done
[[ -r $here/gen-domains.awk ]] || die "missing list generator $here/gen-domains.awk"
gen_awk=$(command -v mawk || command -v "$awk")   # the lists are the same with any awk; mawk is fastest

# Lists stay in a work directory that is given; everything else goes to a directory removed on exit.
if [[ -n ${KELVANE_BENCH_WORKDIR:-} ]]; then
    work=$(mkdir -p -- "$KELVANE_BENCH_WORKDIR" && cd -- "$KELVANE_BENCH_WORKDIR" && pwd) ||
        die "cannot use work directory $KELVANE_BENCH_WORKDIR"
    tmp=$(mktemp -d "$work/run.XXXXXX") || die "cannot write to $work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-bench.XXXXXX") || die "mktemp failed"; tmp=$work
fi
trap 'rm -rf -- "$tmp"' EXIT; trap 'exit 130' INT; trap 'exit 143' TERM

q() { printf '%q ' "$@"; }                       # one command line for hyperfine -N
elapsed() { awk -v a="${1/,/.}" -v b="${2/,/.}" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { [[ -n $1 && -n $2 ]] && awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# stats SCALE: median, min and max of the numbers on standard input, divided by SCALE
stats() { sort -g | awk -v s="$1" '{ v[NR] = $1 / s } END { if (NR) printf "%.10g %.10g %.10g\n",
    NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR] }'; }

# The tool's rule for list lines, in awk: trim blanks, tabs and CRs, skip lines without a dot,
# drop one leading "www.", skip what is left empty. Then its entry, or the entry's size.
rule='d = $0; sub(/^[ \t\r]+/, "", d); sub(/[ \t\r]+$/, "", d); if (index(d, ".") == 0) next
    if (substr(d, 1, 4) == "www.") d = substr(d, 5); if (d == "") next;'
printf '%s\n' "{ $rule"' printf "<VirtualHost *>\r\n    DocumentRoot %s\r\n    ServerAlias %s www.%s %s.%s\r\n'\
'</VirtualHost>\r\n", site, d, d, pfx, d > out }' > "$tmp/entries.awk"
expect() {  # expect LIST: size in bytes and number of entries the tool should write
    LC_ALL=C "$gen_awk" -v site="$site" -v pfx="$prefix" "{ $rule"' n++
        b += 77 + length(site) + length(pfx) + 3 * length(d) } END { printf "%.0f %.0f\n", b, n }' "$1"
}

make_list() {  # make_list N FILE: generate the list, or reuse it while generator and seed are the same
    local want t
    want="$(sha256sum < "$here/gen-domains.awk" | cut -d' ' -f1) n=$1 seed=$seed"
    if [[ -s $2 && $(cat -- "$2.stamp" 2>/dev/null) == "$want" ]]; then echo "  reusing $2"; return; fi
    rm -f -- "$2.stamp"; t=$EPOCHREALTIME
    if ! LC_ALL=C "$gen_awk" -v n="$1" -v seed="$seed" -f "$here/gen-domains.awk" > "$2" ||
        [[ $(wc -l < "$2") != "$1" ]]; then rm -f -- "$2"; die "generating $2 failed"; fi
    echo "$want" > "$2.stamp"
    echo "  generated $2 ($1 lines, $(stat -c %s -- "$2") bytes) in $(elapsed "$t" "$EPOCHREALTIME") s"
}

# cpu: the wall clock, the CPU time of the whole machine and that of this script's finished
# children, in seconds; foreign CPU0 CPU1: the share of the CPUs other processes used in between.
cpu() { awk -v hz="$(getconf CLK_TCK)" -v w="${EPOCHREALTIME/,/.}" 'NR == 1 { m = $2 + $3 + $4 + $7 + $8 + $9 }
    FNR == 1 && NR > 1 { sub(/.*\) /, ""); o = $14 + $15 } END { printf "%s %.2f %.2f", w, m / hz, o / hz }' /proc/stat "/proc/$$/stat"; }
foreign() {
    local f; f=$(awk -v c="$(nproc)" -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ")
        f = y[2] - x[2] - y[3] + x[3]; printf "%.0f", f < 0 ? 0 : 100 * f / ((y[1] - x[1]) * c) }')
    printf '  %-12s %s%% of %s CPUs busy with other work while timing\n' "" "$f" "$(nproc)"
    (( f < 10 )) || echo "  note: the machine was not idle; the times above may be skewed. Re-run on a quiet one."
}

fails=0 results=()
result() { [[ $3 != FAIL ]] || fails=$((fails + 1)); results+=("$(printf '  %-44s %-46s %s' "$@")"); }
verdict() {  # verdict LABEL VALUE OP LIMIT [UNIT]: a figure held to a target
    local ok=FAIL
    [[ -n $2 ]] && awk -v a="$2" -v b="$4" "BEGIN { exit !(a $3 b) }" && ok=PASS
    result "$1" "$(printf '%-14s (target %s %s%s)' "${2:-n/a}${2:+${5:+ $5}}" "$3" "$4" "${5:+ $5}")" "$ok"
}
same() {  # same LABEL FILE1 FILE2: the two files hold the same bytes
    local d; d=$(cmp -- "$2" "$3" 2>&1 | head -n1)
    result "$1" "${d:-identical}" "$([[ -z $d ]] && echo PASS || echo FAIL)"
}
size_check() {  # size_check LABEL OUTPUT LIST: the output's size and entry count
    local b n eb en; read -r eb en < <(expect "$3")
    b=$(stat -c %s -- "$2"); n=$(grep -c '^<VirtualHost \*>' "$2")
    if [[ "$b $n" == "$eb $en" ]]; then result "$1" "$n entries, $b bytes, as expected" PASS
    else result "$1" "got $n entries / $b bytes, expected $en / $eb" FAIL; fi
}
rss() {  # rss LABEL FEED CMD...: peak RSS of one run of CMD, fed FEED through a pipe when given
    local label=$1 feed=$2 t0 kib mib=; shift 2
    sync; t0=$EPOCHREALTIME
    if [[ -n $feed ]]; then cat -- "$feed" | /usr/bin/time -f %M -o "$tmp/rss" "$@"
    else /usr/bin/time -f %M -o "$tmp/rss" "$@"; fi
    local rc=$? t1=$EPOCHREALTIME; kib=$(tail -n1 "$tmp/rss")
    if (( rc == 0 )) && [[ $kib =~ ^[0-9]+$ ]]; then
        mib=$(awk -v k="$kib" 'BEGIN { printf "%.2f", k / 1024 }')
        printf '  %-36s %8s MiB   (%s KiB, wall %s s)\n' "$label" "$mib" "$kib" "$(elapsed "$t0" "$t1")"
    else printf '  %-36s FAILED\n' "$label"; sed 's/^/    /' "$tmp/rss" >&2; fi
    verdict "peak RSS, $label" "$mib" "<=" "$max_rss_mib" MiB
}

awk_version=$({ "$awk" --version || "$awk" -W version; } 2>/dev/null | head -n1)
awk_path=$(command -v "$awk")
base_cmd=("$tool" -q -w -p "$prefix" -s "$site")
tool_cmd=("${base_cmd[@]}" -o)   # followed by OUT [LIST]
args="-w -p $prefix -s $site"
cat <<EOF
Kelvane benchmark
  tool       : $tool
  floor      : $floor
  awk        : $awk_path -> $(readlink -f -- "$awk_path") (${awk_version:-version unknown}), run with LC_ALL=C
  timer      : $(hyperfine --version) -N, --prepare sync: $rounds rounds after a warm-up round, each one run
               of the tool, the floor, the piped run and cp in turn; awk: 1 warm-up run, $runs timed runs
  counter    : $(valgrind --version) --tool=callgrind, the first $cg_lines lines of the list
  machine    : $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg) at start
  work dir   : $work
  command    : kelvane-cli -q $args -o OUT LIST
  floor run  : kelvane-bench-floor TOOL-OUTPUT OUT2  (the same bytes to a new file beside OUT2 in 1 MiB
               pieces, the write-back of each started at once, renamed over OUT2)
  piped      : bash -c 'cat LIST | kelvane-cli -q $args -o OUT'  (hyperfine -N: bash's start-up is timed too)
  dialog     : ${dialog:-not measured (no kelvane-dialog-bench at ${no_dialog:-})}
               ${dialog:+QT_QPA_PLATFORM=offscreen kelvane-dialog-bench $args -d DIR LIST}

Preparing
EOF
list="$work/list-$lines.txt" ref="$tmp/ref.conf"
make_list "$lines" "$list"
"${tool_cmd[@]}" "$ref" "$list" || { echo "  kelvane-cli failed on $list" >&2; exit 1; }
# The floor replaces, and cp overwrites, a file of the output's size, as the tool's runs do.
for f in out-floor out-cp; do cp -- "$ref" "$tmp/$f.conf" || { echo "  cannot copy $ref" >&2; exit 1; }; done
cp_cmd=(cp) cp_desc="cp (this filesystem does not clone files)"
head -c 65536 "$ref" > "$tmp/probe" && cp --reflink=always -- "$tmp/probe" "$tmp/probe2" 2>/dev/null &&
    cp_cmd=(cp --reflink=never) cp_desc="cp --reflink=never (this filesystem clones files with a plain cp)"
out_bytes=$(stat -c %s -- "$ref")
echo "  copy       : $cp_desc"
echo "  list       : $lines lines, $(stat -c %s -- "$list") bytes; output $out_bytes bytes"
size_check "output, $lines lines" "$ref" "$list"
LC_ALL=C "$awk" -v site="$site" -v pfx="$prefix" -v out="$tmp/out-awk.conf" -f "$tmp/entries.awk" "$list"
same "awk output = tool output" "$ref" "$tmp/out-awk.conf"

# --- timing ----------------------------------------------------------------------------------
# One hyperfine call a round, one run of each command in it: the tool and the floor take turns,
# and each round's ratio compares two runs made moments apart on a machine whose speed drifts.
printf '\nTiming, warm cache, %s rounds after a warm-up round (hyperfine, one run of each a round)\n' "$rounds"
declare -A med=()
: > "$tmp/rounds"
cpu0=$(cpu) timed=1
for (( r = 0; r <= rounds; r++ )); do
    if ! hyperfine -N --style none --prepare sync --runs 1 --export-json "$tmp/round.json" \
        -n tool "$(q "${tool_cmd[@]}" "$tmp/out-tool.conf" "$list")" \
        -n floor "$(q "$floor" "$ref" "$tmp/out-floor.conf")" \
        -n piped "$(q bash -c "cat -- $(q "$list")| $(q "${tool_cmd[@]}" "$tmp/out-pipe.conf")")" \
        -n cp "$(q "${cp_cmd[@]}" -- "$ref" "$tmp/out-cp.conf")" > "$tmp/round.log" 2>&1; then
        echo "  FAILED: a timed command failed in round $r"; sed 's/^/    /' "$tmp/round.log" >&2
        timed=0; break
    fi
    (( r == 0 )) || jq -r --arg r "$r" '.results[] | "\($r) \(.command) \(.times[0])"' "$tmp/round.json" >> "$tmp/rounds"
done
# rounds A B: A's time over B's in each round (median, min, max)
rounds() { awk -v a="$1" -v b="$2" '{ t[$1 " " $2] = $3; r[$1] } END { for (i in r) print t[i " " a] / t[i " " b] }' \
    "$tmp/rounds" | stats 1; }
declare -A rat=()
if (( timed )); then
    for name in tool floor piped cp; do
        read -r m lo hi < <(awk -v n="$name" '$2 == n { print $3 }' "$tmp/rounds" | stats 1)
        med[$name]=$m
        printf '  %-12s median %8.3f s   (min %.3f, max %.3f)\n' "$name" "$m" "$lo" "$hi"
    done
    for pair in tool/floor piped/floor tool/cp floor/cp; do
        read -r m lo hi < <(rounds "${pair%/*}" "${pair#*/}")
        rat[$pair]=$(printf '%.3f' "$m")
        printf '  %-12s %s   (rounds: median; min %.3f, max %.3f)\n' "$pair" "${rat[$pair]}" "$lo" "$hi"
    done
fi
if hyperfine -N --style none --prepare sync --warmup 1 --runs "$runs" --export-json "$tmp/awk.json" \
    -n awk "$(q env LC_ALL=C "$awk" -v site="$site" -v pfx="$prefix" -v out="$tmp/out-awk.conf" \
                -f "$tmp/entries.awk" "$list")"
then
    read -r m lo hi < <(jq -r '.results[0] | "\(.median) \(.min) \(.max)"' "$tmp/awk.json")
    med[awk]=$m
    printf '  %-12s median %8.3f s   (min %.3f, max %.3f; %s runs after the rounds)\n' awk "$m" "$lo" "$hi" "$runs"
else
    echo "  FAILED: the awk baseline failed"
fi
foreign "$cpu0" "$(cpu)"
verdict "tool/floor wall time" "${rat[tool/floor]:-}" "<=" "$max_tool_floor"
result "piped/floor wall time" "${rat[piped/floor]:-n/a} (no target)" INFO
result "tool/cp wall time" "${rat[tool/cp]:-n/a} (no target; cp overwrites in place)" INFO
verdict "awk/tool wall time" "$(ratio "${med[awk]:-}" "${med[tool]:-}")" ">=" "$min_awk_tool"
same "piped output = file output" "$ref" "$tmp/out-pipe.conf"
same "tool output stable (timed runs)" "$ref" "$tmp/out-tool.conf"
same "floor output = tool output" "$ref" "$tmp/out-floor.conf"
same "cp copy intact" "$ref" "$tmp/out-cp.conf"
rm -f -- "$tmp/out-cp.conf" "$tmp/out-awk.conf" "$tmp/out-pipe.conf" "$tmp/out-floor.conf"

# --- instructions ----------------------------------------------------------------------------
# Counted, not timed: the figure is the same on a busy machine and on a quiet one.
printf '\nInstructions (callgrind, every thread of the process, start-up included)\n'
cg_list="$tmp/list-cg.txt" ipl=""
head -n "$cg_lines" -- "$list" > "$cg_list"
cg_n=$(wc -l < "$cg_list")
if valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.out" --log-file="$tmp/cg.log" \
    "${tool_cmd[@]}" "$tmp/out-cg.conf" "$cg_list"; then
    ir=$(sed -n 's/^totals: *//p' "$tmp/cg.out")
    if [[ $ir =~ ^[0-9]+$ ]]; then
        ipl=$(awk -v i="$ir" -v n="$cg_n" 'BEGIN { printf "%.1f", i / n }')
        printf '  %-24s %s instructions, %s a line\n' "$cg_n lines" "$ir" "$ipl"
    else echo "  FAILED: no total in the callgrind output"; fi
    size_check "output under callgrind, $cg_n lines" "$tmp/out-cg.conf" "$cg_list"
else
    echo "  FAILED: kelvane-cli under valgrind"; sed 's/^/    /' "$tmp/cg.log" >&2
fi
verdict "instructions per list line" "$ipl" "<=" "$max_ipl"
rm -f -- "$tmp/out-cg.conf" "$tmp/cg.out" "$cg_list"

# --- the same list from the dialog -----------------------------------------------------------
# hyperfine times kelvane-cli; its --prepare runs the dialog before each of the tool's runs,
# warm-up included, with a sync before both, so the two take turns on the machine. The dialog
# prints its own time (Start to end of run) and largest event-loop gap; the snippet adds the
# wall time of the whole program.
if [[ -n $dialog ]]; then
    printf '\nDialog run, warm cache, median of %s (Qt offscreen platform), taking turns with the tool\n' "$runs"
    mkdir -p -- "$tmp/dialog"; dialog_cli="" gap=""
    prep='sync; t=${EPOCHREALTIME/[.,]/}; r=$("${@:2}" 2>> "$1.log") || exit; '
    prep+='echo "$r wall_us=$(( ${EPOCHREALTIME/[.,]/} - t ))" >> "$1.res"; sync'
    prep=(bash -c "$prep" bash "$tmp/dialog" env QT_QPA_PLATFORM=offscreen "$dialog" -w -p "$prefix" -s "$site"
          -d "$tmp/dialog" --expect-bytes "$out_bytes" "$list")
    cpu0=$(cpu)
    if hyperfine -N --style none --warmup 1 --runs "$runs" --export-json "$tmp/dialog.json" \
        --prepare "$(q "${prep[@]}")" -n kelvane-cli "$(q "${tool_cmd[@]}" "$tmp/out-tool.conf" "$list")"; then
        vals() { awk -v k="$1=" -v from="$2" 'NR >= from { for (i = 1; i <= NF; i++)
            if (index($i, k) == 1) print substr($i, length(k) + 1) }' "$tmp/dialog.res"; }
        read -r d_med d_min d_max < <(vals dialog_seconds 2 | stats 1)
        read -r w_med _ < <(vals wall_us 2 | stats 1e6)
        read -r t_med t_min t_max < <(jq -r '.results[0] | "\(.median) \(.min) \(.max)"' "$tmp/dialog.json")
        read -r _ e_min e_max < <(vals progress_events 2 | stats 1)   # when the program reports them
        read -r gui _ < <(vals gui_cpu_ms 2 | stats 1)
        gap=$(vals max_gap_ms 1 | sort -g | tail -n1)
        dialog_cli=$(ratio "$d_med" "$t_med")
        printf '  %-12s median %8.3f s   (min %.3f, max %.3f; Start to end of run)\n' dialog "$d_med" "$d_min" "$d_max"
        printf '  %-12s median %8.3f s   (whole program: Qt start-up, run, close)\n' "" "$w_med"
        printf '  %-12s median %8.3f s   (min %.3f, max %.3f; the runs in between)\n' kelvane-cli "$t_med" "$t_min" "$t_max"
        printf '  %-12s largest gap %s ms over %d runs (warm-up included)\n' "event loop" "$gap" $((runs + 1))
        printf '  %-12s %sdialog thread busy %.1f ms of the run (median)\n' "" \
            "${e_min:+$e_min-$e_max progress events a run, }" "$gui"
        printf '  %-12s dialog/cli %s against the runs in between, %s against the timing above\n' "" "$dialog_cli" \
            "$(ratio "$d_med" "${med[tool]:-}" || echo n/a)"
        foreign "$cpu0" "$(cpu)"
    else
        echo "  FAILED: a run of the dialog or of kelvane-cli failed"
        sed 's/^/    /' "$tmp/dialog.log" >&2 2>/dev/null
    fi
    verdict "dialog/cli wall time" "$dialog_cli" "<=" "$max_dialog_cli"
    verdict "dialog event-loop max gap" "$gap" "<=" "$max_gap_ms" ms
    same "dialog output = tool output" "$ref" "$tmp/dialog/_out.txt"
    same "tool output stable (dialog runs)" "$ref" "$tmp/out-tool.conf"
    rm -rf -- "$tmp/dialog"
else
    result "dialog run" "skipped (kelvane-dialog-bench not built)" SKIP
fi

# --- peak memory -----------------------------------------------------------------------------
printf '\n%s\n' "Peak memory (max RSS of kelvane-cli, /usr/bin/time, one run each)"
rss "$lines lines" "" "${tool_cmd[@]}" "$tmp/out-tool.conf" "$list"
rss "$lines lines, piped" "$list" "${tool_cmd[@]}" "$tmp/out-pipe.conf"
rss "$lines lines, --pack 0" "" "${tool_cmd[@]}" "$tmp/out-layout.conf" --pack 0 "$list"
rss "$lines lines, --https --pack 2" "" "${tool_cmd[@]}" "$tmp/out-layout.conf" --https --pack 2 "$list"
rss "$lines lines, --https --pack 100" "" "${tool_cmd[@]}" "$tmp/out-layout.conf" --https --pack 100 "$list"
rm -f -- "$tmp"/out-*.conf "$ref"
# A file per entry: on a shorter list, as creating and removing a million small files takes
# minutes on a busy disk.
if (( split_lines > 0 )); then
    split_list="$tmp/list-split.txt" split_dir="$tmp/split"
    head -n "$split_lines" -- "$list" > "$split_list" && mkdir -- "$split_dir"
    split_n=$(wc -l < "$split_list")
    rss "$split_n lines, --split DIR" "" "${base_cmd[@]}" --split "$split_dir" "$split_list"
    # One file for each name; a name seen again is not written twice.
    want=$(LC_ALL=C "$gen_awk" "{ $rule"' if (!(d in seen)) { seen[d]; n++ } } END { print n + 0 }' "$split_list")
    got=$(find "$split_dir" -maxdepth 1 -type f -name '*.conf' | wc -l)
    if [[ $got == "$want" ]]; then result "split, $split_n lines" "$got files, one for each name" PASS
    else result "split, $split_n lines" "$got files, expected $want (one for each name)" FAIL; fi
    rm -rf -- "$split_dir" "$split_list"
else
    result "peak RSS, --split" "skipped (KELVANE_BENCH_SPLIT_LINES=0)" SKIP
fi
if (( big_lines > 0 )); then
    big_list="$work/list-$big_lines.txt" big_out="$tmp/out-big.conf"
    make_list "$big_lines" "$big_list"
    need=$(( out_bytes * big_lines * 22 / (lines * 10) ))   # two outputs, and some room
    if (( $(df -P -B1 -- "$tmp" | awk 'NR == 2 { print $4 }') < need )); then
        result "peak RSS, $big_lines lines" "not measured: $need bytes of free disk needed in $work" FAIL
    else
        rss "$big_lines lines" "" "${tool_cmd[@]}" "$big_out" "$big_list"
        rss "$big_lines lines, piped" "$big_list" "${tool_cmd[@]}" "$big_out.piped"
        size_check "output, $big_lines lines" "$big_out" "$big_list"
        same "piped = file, $big_lines lines" "$big_out" "$big_out.piped"
        rm -f -- "$big_out" "$big_out.piped"
    fi
else
    result "peak RSS, large list" "skipped (KELVANE_BENCH_BIG_LINES=0)" SKIP
fi
printf '%s\n' "" Results "${results[@]}" ""
(( fails == 0 )) || { echo "FAIL: $fails check(s) failed"; exit 1; }
echo "PASS: all targets met"
