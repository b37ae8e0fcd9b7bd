#!/usr/bin/env bash
# End-to-end test of `kelvane-cli apply` against a real Apache httpd and a real nginx, each running
# from a private root in a temp dir on a free port of 127.0.0.1 (never the system's configuration,
# service or port 80). Each server loads a default vhost of the test's own, then the *.conf of the
# directory apply manages: Apache through an enabled directory of links (Debian style), nginx from
# the site directory itself. For each server:
#   1. 1,000 domains applied: the files are the split layout with apply's first line, every name
#      sampled is served; a second list adds 10 files and changes 5: only those 15 are written (the
#      others keep their modification time), the summary counts them, the server reloads once;
#      --dry-run prints that plan and changes nothing; --prune would remove only apply's files.
#   2. A user's file the server cannot load (from the start, or only once apply's new files are
#      there): exit 1 with the server's message, the directories as they were.
#   3. A reload that fails (before or after the server reloaded): exit 1, rolled back, old answers.
#   4. A user's vhost that takes a listed name first: exit 3 (the check) without --force; with it
#      the verification fails: exit 1 naming the name, rolled back, old answers.
#   5. apply killed (SIGKILL) after the files and before the reload, and after the reload: --recover
#      and the next apply bring back a state the server accepted, and its answers.
#   6. Two applies at once: the second waits and wins; --no-wait exits 1 at once.
#   7. Requests in a loop while every file changes: none fails.
#
# Usage: apply_test.sh KELVANE_CLI_PATH
# Skipped (77) without apache2, nginx or curl. Overridable: APACHE2, APACHE_MODULES_DIR,
# KELVANE_NGINX (not NGINX, which nginx reads itself); KEEP_WORKDIR=1 keeps the temp dir.
set -uo pipefail

CLI=${1:?usage: apply_test.sh KELVANE_CLI_PATH}
[[ -x $CLI ]] || { echo "FAIL: kelvane-cli not executable: $CLI" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/e2e/httpd-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/httpd-lib.sh"
httpd_find || { echo "apache2 not found: skipped"; exit 77; }
NGINX=${KELVANE_NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
unset KELVANE_NGINX
[[ -x $NGINX ]] || { echo "nginx not found: skipped"; exit 77; }
command -v curl >/dev/null || { echo "curl not found: skipped"; exit 77; }

WORK=$(httpd_workdir kelvane-apply) || exit 1
SERVER_PID=''
LOOP_PID=''
cleanup() {
    local rc=$?
    set +e
    [[ -n $LOOP_PID ]] && kill "$LOOP_PID" 2>/dev/null
    httpd_stop "$SERVER_PID"
    if [[ -n ${KEEP_WORKDIR:-} ]]; then echo "work dir kept: $WORK" >&2; else rm -rf -- "$WORK"; fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

failures=0
die() { echo "FAIL: $*" >&2; exit 1; }
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
check() { # WHAT COMMAND...: ok when the command succeeds
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

MARKER='# kelvane-cli apply'
PAIR=2 # domains per entry: a change of an entry's second domain changes its file, not its name

# ---- The lists -----------------------------------------------------------------------------------
# L1: 1,000 domains, 500 entries. L2: the second domain of 5 entries replaced (5 files change) and
# 20 domains more (10 files added). BRK: L2 and one entry more.
mkdir -p "$WORK/lists" "$WORK/www"/{A,B,default,user}
for d in A B default user; do echo "$d" >"$WORK/www/$d/index.html"; done
chmod -R a+rX "$WORK"
L1=$WORK/lists/l1.txt L2=$WORK/lists/l2.txt BRK=$WORK/lists/brk.txt
for i in $(seq 1 1000); do echo "n$i.apply.test"; done >"$L1"
SWAPPED=(2 200 500 800 1000) # their entries' files: n1, n199, n499, n799, n999
CHANGED_FILES=()
{
    for i in $(seq 1 1000); do
        if [[ " ${SWAPPED[*]} " == *" $i "* ]]; then echo "swap$i.apply.test"; else echo "n$i.apply.test"; fi
    done
    for i in $(seq 1 20); do echo "new$i.apply.test"; done
} >"$L2"
for i in "${SWAPPED[@]}"; do CHANGED_FILES+=("n$((i - 1)).apply.test.conf"); done
ADDED_FILES=()
for i in $(seq 1 2 20); do ADDED_FILES+=("new$i.apply.test.conf"); done
{ cat "$L2"; printf '%s\n' brk1.apply.test brk2.apply.test; } >"$BRK"

# sample LIST: the first and last domains, every 20th, and their www. forms.
sample() {
    awk 'NR == 1 || NR % 20 == 0 { print } END { print }' "$1" | sort -u | while read -r d; do
        printf '%s\nwww.%s\n' "$d" "$d"
    done
}

# ---- Each server: its commands, start, stop, reloads -----------------------------------------------
# Set by setup_apache/setup_nginx: KIND, W, PORT, SITES, ENABLED (empty for nginx), CONF, LOG,
# TEST_CMD, RELOAD_CMD, SERVER_CMD, KIND_OPTS, RELOAD_MARK (the log line of each reload).
q() { printf '%q' "$1"; }
setup_apache() {
    KIND=apache W=$WORK/apache
    SITES=$W/sites-available ENABLED=$W/sites-enabled
    local sr=$W/server head
    CONF=$sr/httpd.conf LOG=$sr/logs/error.log
    mkdir -p "$sr/logs" "$sr/run" "$SITES" "$ENABLED"
    head=$(httpd_conf_head "$sr" "$PORT" authz_core dir) || die "apache: the configuration's head"
    cat >"$CONF" <<EOF
$head
ServerName apply-e2e.invalid
DirectoryIndex index.html
<Directory "$WORK">
    Require all granted
</Directory>
<VirtualHost 127.0.0.1:$PORT>
    ServerName default.invalid
    DocumentRoot "$WORK/www/default"
</VirtualHost>
IncludeOptional "$ENABLED/*.conf"
EOF
    local base
    base="env -i PATH=$(q "$PATH") $(q "$APACHE2") -d $(q "$sr") -f $(q "$CONF")"
    TEST_CMD="$base -t" RELOAD_CMD="$base -k graceful" SERVER_CMD="$base -S"
    KIND_OPTS=()
    RELOAD_MARK='Doing graceful restart'
    TRAP_MESSAGE='cannot occur within <VirtualHost> section'
}
setup_nginx() {
    KIND=nginx W=$WORK/nginx
    SITES=$W/sites ENABLED=''
    CONF=$W/nginx.conf LOG=$W/error.log
    mkdir -p "$SITES" "$W/tmp"
    {
        printf 'pid %s/nginx.pid;\nerror_log %s notice;\nworker_processes 1;\nevents {}\nhttp {\n' "$W" "$LOG"
        printf '    access_log off;\n'
        for t in client_body proxy fastcgi uwsgi scgi; do printf '    %s_temp_path %s/tmp/%s;\n' "$t" "$W" "$t"; done
        printf '    server_names_hash_bucket_size 128;\n    server_names_hash_max_size 8192;\n'
        printf '    server { listen 127.0.0.1:%s default_server; root "%s"; }\n' "$PORT" "$WORK/www/default"
        printf '    include %s/*.conf;\n}\n' "$SITES"
    } >"$CONF"
    local base
    base="$(q "$NGINX") -e $(q "$LOG") -p $(q "$W") -c $(q "$CONF")"
    TEST_CMD="$base -t" RELOAD_CMD="$base -s reload" SERVER_CMD="$base -T"
    KIND_OPTS=(--server-kind nginx)
    RELOAD_MARK='(SIGHUP) received'
    TRAP_MESSAGE='"server" directive is not allowed here'
}
start_server() {
    chmod -R a+rX "$W"
    if [[ $KIND == apache ]]; then
        env -i PATH="$PATH" "$APACHE2" -d "$W/server" -f "$CONF" -DFOREGROUND </dev/null >"$W/server/stdout.log" 2>&1 &
        SERVER_PID=$!
    else
        "$NGINX" -e "$LOG" -p "$W" -c "$CONF" 2>"$W/start.log" || { cat "$W/start.log" >&2; die "nginx did not start"; }
        for _ in $(seq 50); do [[ -s $W/nginx.pid ]] && break; sleep 0.1; done
        SERVER_PID=$(cat "$W/nginx.pid" 2>/dev/null)
    fi
    for _ in $(seq 100); do
        [[ $(fetch default.invalid) == default ]] && return 0
        sleep 0.1
    done
    tail -n 20 "$LOG" >&2
    die "$KIND did not answer on $PORT"
}
stop_server() {
    httpd_stop "$SERVER_PID"
    SERVER_PID=''
}
reloads() { grep -cF "$RELOAD_MARK" "$LOG"; }
# reload_by_hand: what the test itself changed in the directories, loaded.
reload_by_hand() {
    sh -c "$RELOAD_CMD" >/dev/null 2>&1 || { tail -n 5 "$LOG" >&2; fail "$KIND: the test's own reload failed"; }
    sleep 0.5
}

# fetch NAME: what the server answers for NAME ("ERR" on a connection error; the code on a 5xx).
fetch() {
    local out
    out=$(curl -s --noproxy '*' --max-time 5 -w ' %{http_code}' -H "Host: $1" "http://127.0.0.1:$PORT/") ||
        { echo ERR; return; }
    out=${out//$'\n'/}
    if [[ $out == *' 200' ]]; then echo "${out% 200}"; else echo "${out##* }"; fi
}
# serves BODY NAME...: each name answers BODY. A reload takes a moment to show, and for a while
# the server's old workers may still answer with the old configuration: each name is asked again
# until it answers BODY, for at most 5 s in all.
serves() {
    local want=$1 n got bad=0 end=$((${EPOCHREALTIME/./} + 5000000))
    shift
    for n in "$@"; do
        while got=$(fetch "$n") && [[ $got != "$want" ]] && ((${EPOCHREALTIME/./} < end)); do sleep 0.1; done
        [[ $got == "$want" ]] || { ((bad++ < 5)) && echo "  $n: '$got', not '$want'" >&2; }
    done
    ((bad == 0)) || { echo "  $bad of $# names not '$want'" >&2; return 1; }
}
# serves_list BODY LIST: serves, for the sample of LIST.
serves_list() {
    local names
    mapfile -t names < <(sample "$2")
    serves "$1" "${names[@]}"
}

# ---- apply, its references and the directories' state ----------------------------------------------
# apply_run TAG [OPTION...] LIST: kelvane-cli apply with the server's commands (TEST, RELOAD, SERVER
# override them) and the directories, no run options (RUN_SITE sets -s, the default A); its output
# in $W/TAG.out and $W/TAG.err; returns its exit status.
apply_run() {
    local tag=$1 opts
    shift
    opts=(--sites-dir "$SITES")
    [[ -z $ENABLED ]] || opts+=(--enabled-dir "$ENABLED")
    opts+=(--test-cmd "${TEST:-$TEST_CMD}" --reload-cmd "${RELOAD:-$RELOAD_CMD}" --server-cmd "${SERVER:-$SERVER_CMD}")
    local t0=${EPOCHREALTIME/./} rc
    # In a shell of its own, which reports its death by a signal, not this one.
    (
        timeout -k 5 120 "$CLI" apply "${KIND_OPTS[@]}" -w --pack "$PAIR" --listen "127.0.0.1:$PORT" \
            -s "$WORK/www/${RUN_SITE:-A}" "${opts[@]}" "$@" >"$W/$tag.out" 2>"$W/$tag.err"
        exit $?
    ) 2>/dev/null
    rc=$?
    echo "$tag $(((${EPOCHREALTIME/./} - t0) / 1000)) ms, exit $rc" >>"$W/durations"
    return $rc
}
# recover_run TAG: apply --recover with the same directories and commands.
recover_run() {
    local opts=(--sites-dir "$SITES")
    [[ -z $ENABLED ]] || opts+=(--enabled-dir "$ENABLED")
    timeout -k 5 120 "$CLI" apply --recover "${KIND_OPTS[@]}" "${opts[@]}" --test-cmd "$TEST_CMD" \
        --reload-cmd "$RELOAD_CMD" --server-cmd "$SERVER_CMD" >"$W/$1.out" 2>"$W/$1.err"
}
# expect_rc TAG WANT GOT WHAT: ok when GOT is WANT, else the failure with apply's messages.
expect_rc() {
    if (($3 == $2)); then
        pass "$KIND: $4"
        return 0
    fi
    fail "$KIND: $4: exit $3, expected $2"
    sed 's/^/  stderr: /' "$W/$1.err" | head -n 10 >&2
    return 1
}
# reference LIST SITE DIR: the split layout kelvane-cli writes for LIST, in DIR.
reference() {
    rm -rf "$3" && mkdir -p "$3" &&
        "$CLI" "${KIND_OPTS[@]}" -q -w --pack "$PAIR" --listen "127.0.0.1:$PORT" -s "$WORK/www/$2" --split "$3" "$1"
}
# ours: the names of the files of the site directory whose first line is apply's.
ours() {
    local f line
    for f in "$SITES"/*; do
        [[ -f $f && ! -L $f ]] || continue
        IFS= read -r line <"$f" || continue
        [[ $line == "$MARKER"* ]] && echo "${f##*/}"
    done
}
# bodies DIR FILE...: the files' lines but comments, as the server reads them, each line after its
# file's name.
bodies() { (cd "$1" && shift && grep -Hv '^[[:space:]]*#' -- "$@"); }
# is_applied LIST SITE: apply's files are the split layout of LIST (each with apply's first line),
# no more, and each is linked from the enabled directory under its own name, where there is one.
is_applied() {
    local ref=$W/ref want have
    reference "$1" "$2" "$ref" || { echo "  the reference run failed" >&2; return 1; }
    mapfile -t want < <(cd "$ref" && ls)
    have=$(ours)
    [[ $have == "$(printf '%s\n' "${want[@]}")" ]] ||
        { echo "  apply's files are not the layout's (< layout, > apply's):" >&2; diff <(printf '%s\n' "${want[@]}") <(echo "$have") | head >&2; return 1; }
    cmp -s <(bodies "$ref" "${want[@]}") <(bodies "$SITES" "${want[@]}") ||
        { echo "  entries differ from the run's (< run, > apply):" >&2; diff <(bodies "$ref" "${want[@]}") <(bodies "$SITES" "${want[@]}") | head -n 6 >&2; return 1; }
    [[ -n $ENABLED ]] || return 0
    have=$(find "$ENABLED" -mindepth 1 -maxdepth 1 -type l -printf '%f\n' | sort)
    [[ $have == "$(printf '%s\n' "${want[@]}")" ]] ||
        { echo "  the links are not one a file (< files, > links):" >&2; diff <(printf '%s\n' "${want[@]}") <(echo "$have") | head >&2; return 1; }
    have=$(cd "$ENABLED" && readlink -f -- "${want[@]}")
    [[ $have == "$(printf "$(readlink -f "$SITES")/%s\n" "${want[@]}")" ]] ||
        { echo "  a link does not lead to its file" >&2; return 1; }
}
# snapshot: the directories entry by entry, each file's content sum and each link's target (the
# command's hidden files, which the server does not load, aside).
snapshot() {
    local d
    for d in "$SITES" ${ENABLED:+"$ENABLED"}; do
        find "$d" -mindepth 1 -name '.*' -prune -o -type l -printf 'link %p -> %l\n' \
            -o -type d -printf 'dir %p\n' -o -type f -exec sha256sum {} +
    done | sort
}
# same_as SNAPSHOT_FILE: the directories are as the snapshot says.
same_as() {
    local now
    now=$(snapshot)
    [[ $now == "$(cat "$1")" ]] && return 0
    echo "  the directories differ from before (< before, > now):" >&2
    diff "$1" <(echo "$now") | head -n 8 >&2
    return 1
}
not_same_as() { [[ $(snapshot) != "$(cat "$1")" ]]; }
# summary_says TAG COUNTS: apply's summary on standard error has exactly those counts.
summary_says() {
    grep -qE "(^|[^0-9])$2" "$W/$1.err" && return 0
    echo "  no '$2' in:" >&2
    sed 's/^/    /' "$W/$1.err" | tail -n 5 >&2
    return 1
}
# plan_has TAG ACTION N: N lines "ACTION PATH" in the dry run's output.
plan_has() {
    local n
    n=$(grep -c "^$2 " "$W/$1.out")
    ((n == $3)) || { echo "  $n '$2' lines, not $3" >&2; return 1; }
}
# plan_names TAG ACTION: the file names of those lines, sorted.
plan_names() { sed -n "s|^$2 \\(.*/\\)\\{0,1\\}\\([^/]*\\)\$|\\2|p" "$W/$1.out" | sort; }
# written_since STAMP: the names of apply's files modified after the file STAMP, sorted.
written_since() { find "$SITES" -maxdepth 1 -type f -name '*.conf' -not -name '.*' -newer "$1" -printf '%f\n' | sort; }

# ---- The command must exist ------------------------------------------------------------------------
# Until it does, every check below would fail for the same reason: say it once.
mkdir -p "$WORK/probe"
out=$(timeout 30 "$CLI" apply --recover --sites-dir "$WORK/probe" 2>&1)
rc=$?
if ((rc == 2)) && grep -qiE 'unknown option|not found|unrecogni[sz]ed|extra argument|no such' <<<"$out"; then
    echo "FAIL: kelvane-cli has no apply command (apply --recover --sites-dir DIR, exit $rc):" >&2
    echo "$out" | head -n 3 | sed 's/^/  /' >&2
    exit 1
fi

# ---- The checks, for one server ------------------------------------------------------------------
run_checks() {
    local rc stamp names n1 pid1 pid2 t_first t_second t0 loop_log

    # 1. 1,000 domains, then 10 files added and 5 changed.
    apply_run first --probe "127.0.0.1:$PORT" "$L1"
    rc=$?
    expect_rc first 0 $rc "apply of 1,000 domains, each name asked over HTTP after the reload"
    check "$KIND: the files are the split layout, with apply's first line${ENABLED:+, each linked}" is_applied "$L1" A
    n1=$(ours | wc -l)
    check "$KIND: the summary counts $n1 files added" summary_says first "$n1 added, 0 changed, 0 removed, 0 unchanged"
    check "$KIND: every name sampled (first, last, every 20th, www.) is served" serves_list A "$L1"
    check "$KIND: a name not listed reaches the default vhost" serves default nowhere.apply.test

    # Every file and link into the past: what apply writes gets a new time, what it leaves does not.
    find "$SITES" ${ENABLED:+"$ENABLED"} -mindepth 1 -exec touch -h -d '2001-02-03 04:05:06' {} +
    stamp=$W/stamp
    touch -d '2001-02-03 04:05:07' "$stamp"
    snapshot >"$W/s-l1"
    apply_run dry --dry-run "$L2"
    rc=$?
    expect_rc dry 0 $rc "--dry-run of the second list"
    check "$KIND: the plan adds the 10 new entries' files" \
        test "$(plan_names dry add)" == "$(printf '%s\n' "${ADDED_FILES[@]}" | sort)"
    check "$KIND: the plan changes the 5 files whose entries changed" \
        test "$(plan_names dry change)" == "$(printf '%s\n' "${CHANGED_FILES[@]}" | sort)"
    check "$KIND: the plan keeps the $((n1 - 5)) others" plan_has dry keep $((n1 - 5))
    check "$KIND: the plan removes none" plan_has dry remove 0
    check "$KIND: --dry-run changed nothing" same_as "$W/s-l1"
    check "$KIND: --dry-run wrote no file" test -z "$(written_since "$stamp")"

    local before_reloads
    before_reloads=$(reloads)
    apply_run second "$L2"
    rc=$?
    expect_rc second 0 $rc "apply of the second list"
    check "$KIND: exactly the 10 added and 5 changed files were written, the others keep their time" \
        test "$(written_since "$stamp")" == "$(printf '%s\n' "${ADDED_FILES[@]}" "${CHANGED_FILES[@]}" | sort)"
    check "$KIND: the summary says 10 added, 5 changed, $((n1 - 5)) unchanged" \
        summary_says second "10 added, 5 changed, 0 removed, $((n1 - 5)) unchanged"
    check "$KIND: the files are the second list's layout" is_applied "$L2" A
    sleep 0.5
    check "$KIND: the server reloaded once" test "$(($(reloads) - before_reloads))" -eq 1
    check "$KIND: every name sampled of the second list is served" serves_list A "$L2"
    names=()
    for i in "${SWAPPED[@]}"; do names+=("n$i.apply.test" "www.n$i.apply.test"); done
    check "$KIND: the 5 names taken out of their entries reach the default vhost" serves default "${names[@]}"

    # --prune: only apply's own files go, never the user's.
    printf '# the user'"'"'s own file\n' >"$SITES/zz-user.conf"
    apply_run prune --dry-run --prune "$L1"
    rc=$?
    expect_rc prune 0 $rc "--dry-run --prune of the first list"
    check "$KIND: --prune would remove the 10 added files and nothing of the user's" \
        test "$(plan_names prune remove)" == "$(printf '%s\n' "${ADDED_FILES[@]}" | sort)"
    rm -f "$SITES/zz-user.conf"

    # The accepted state from here on: the second list, site A.
    snapshot >"$W/s0"

    # 2. A user's file the server cannot load.
    printf '# the user'"'"'s own, broken\n%s\n' "$([[ $KIND == apache ]] && echo '<VirtualHost' || echo 'server {')" \
        >"$SITES/zz-broken.conf"
    [[ -z $ENABLED ]] || ln -s "$SITES/zz-broken.conf" "$ENABLED/zz-broken.conf"
    snapshot >"$W/s-broken"
    RUN_SITE=B apply_run broken "$BRK"
    rc=$?
    expect_rc broken 1 $rc "a user's broken file: exit 1"
    check "$KIND: the server's message names the broken file" grep -q 'zz-broken\.conf' "$W/broken.err"
    check "$KIND: the directories are as they were" same_as "$W/s-broken"
    check "$KIND: the old answers" serves_list A "$L2"
    rm -f "$SITES/zz-broken.conf" ${ENABLED:+"$ENABLED/zz-broken.conf"}

    # A user's file that breaks only once apply's new file is there: the files are written, the
    # server's test fails, every file and link must come back.
    if [[ $KIND == apache ]]; then
        printf '<VirtualHost 127.0.0.1:%s>\n    ServerName user.apply.test\n    DocumentRoot "%s"\n    IncludeOptional "%s/brk1.apply.test.con[f]"\n</VirtualHost>\n' \
            "$PORT" "$WORK/www/user" "$SITES"
    else
        printf 'server {\n    listen 127.0.0.1:%s;\n    server_name user.apply.test;\n    root "%s";\n    include %s/brk1.apply.test.con[f];\n}\n' \
            "$PORT" "$WORK/www/user" "$SITES"
    fi >"$SITES/zz-trap.conf"
    [[ -z $ENABLED ]] || ln -s "$SITES/zz-trap.conf" "$ENABLED/zz-trap.conf"
    reload_by_hand
    serves user user.apply.test || fail "$KIND: the user's vhost is not served"
    snapshot >"$W/s-trap"
    RUN_SITE=B apply_run trap "$BRK"
    rc=$?
    expect_rc trap 1 $rc "a user's file the new files break: the server's test fails, exit 1"
    check "$KIND: the server's message is on standard error" grep -qE "$TRAP_MESSAGE" "$W/trap.err"
    check "$KIND: every changed file, new file and link rolled back" same_as "$W/s-trap"
    check "$KIND: the old answers" serves_list A "$L2"
    rm -f "$SITES/zz-trap.conf" ${ENABLED:+"$ENABLED/zz-trap.conf"}
    reload_by_hand

    # 3. A reload that fails, before and after the server reloaded.
    RUN_SITE=B RELOAD=false apply_run rfalse "$L2"
    rc=$?
    expect_rc rfalse 1 $rc "--reload-cmd false: exit 1"
    check "$KIND: rolled back" same_as "$W/s0"
    check "$KIND: the old answers" serves_list A "$L2"
    RUN_SITE=B RELOAD="$RELOAD_CMD && false" apply_run rlate "$L2"
    rc=$?
    expect_rc rlate 1 $rc "a reload that fails once the server reloaded: exit 1"
    check "$KIND: rolled back" same_as "$W/s0"
    sleep 1
    check "$KIND: reloaded again: the old answers" serves_list A "$L2"

    # A probe where nothing answers: every name of a written file unanswered, rolled back.
    RUN_SITE=B apply_run probe "$L2" --probe 127.0.0.1:1
    rc=$?
    expect_rc probe 1 $rc "--probe where nothing listens: exit 1"
    check "$KIND: the unanswered names are said" grep -q 'does not answer every name.*Connection refused' "$W/probe.err"
    check "$KIND: rolled back" same_as "$W/s0"
    sleep 1
    check "$KIND: the old answers" serves_list A "$L2"

    # 4. A user's vhost that takes a listed name before apply's.
    if [[ $KIND == apache ]]; then
        printf '<VirtualHost 127.0.0.1:%s>\n    ServerName n3.apply.test\n    DocumentRoot "%s"\n</VirtualHost>\n' \
            "$PORT" "$WORK/www/user"
    else
        printf 'server {\n    listen 127.0.0.1:%s;\n    server_name n3.apply.test;\n    root "%s";\n}\n' \
            "$PORT" "$WORK/www/user"
    fi >"$SITES/0-user.conf"
    [[ -z $ENABLED ]] || ln -s "$SITES/0-user.conf" "$ENABLED/0-user.conf"
    reload_by_hand
    snapshot >"$W/s-user"
    RUN_SITE=B apply_run taken "$L2"
    rc=$?
    expect_rc taken 3 $rc "a name a user's vhost serves: the check stops it, exit 3"
    check "$KIND: nothing changed" same_as "$W/s-user"
    RUN_SITE=B apply_run verify --force "$L2"
    rc=$?
    expect_rc verify 1 $rc "--force past the check: the verification fails, exit 1"
    check "$KIND: the message names n3.apply.test" grep -q 'n3\.apply\.test' "$W/verify.err"
    check "$KIND: rolled back" same_as "$W/s-user"
    sleep 1
    check "$KIND: the old answers" serves_list A "$L2"
    check "$KIND: n3.apply.test is still the user's" serves user n3.apply.test
    rm -f "$SITES/0-user.conf" ${ENABLED:+"$ENABLED/0-user.conf"}
    reload_by_hand

    # 5. Killed after the files, before the reload: --recover puts the files back.
    RUN_SITE=B TEST="kill -9 \$PPID" apply_run kill1 "$L2"
    rc=$?
    check "$KIND: apply killed by its test command (exit $rc)" test "$rc" -eq 137
    check "$KIND: the killed apply had written its files" not_same_as "$W/s0"
    recover_run recover1
    rc=$?
    expect_rc recover1 0 $rc "apply --recover"
    check "$KIND: the directories are back to the state before" same_as "$W/s0"
    check "$KIND: the old answers" serves_list A "$L2"

    # Killed before the reload again: the next apply recovers first, so it finds nothing to do.
    RUN_SITE=B TEST="kill -9 \$PPID" apply_run kill2 "$L2"
    apply_run after2 "$L2"
    rc=$?
    expect_rc after2 0 $rc "the apply after a killed one"
    check "$KIND: it restored the accepted files first: $n1 + 10 unchanged" \
        summary_says after2 "0 added, 0 changed, 0 removed, $((n1 + 10)) unchanged"
    check "$KIND: and they are as before" same_as "$W/s0"

    # Killed after the reload: the server runs the new files, uncommitted. --recover must leave
    # files and server agreeing on a state the server accepted: the one before, or the new one.
    RUN_SITE=B RELOAD="$RELOAD_CMD && kill -9 \$PPID" apply_run kill3 "$L2"
    rc=$?
    check "$KIND: apply killed after its reload (exit $rc)" test "$rc" -eq 137
    snapshot >"$W/s-kill3"
    check "$KIND: the server reloaded the new files" serves_list B "$L2"
    recover_run recover3
    rc=$?
    expect_rc recover3 0 $rc "apply --recover after a kill past the reload"
    sleep 1
    if same_as "$W/s0" 2>/dev/null; then
        pass "$KIND: --recover restored the files before"
        check "$KIND: and reloaded them: the old answers" serves_list A "$L2"
    elif same_as "$W/s-kill3" 2>/dev/null; then
        pass "$KIND: --recover kept the files the server had reloaded"
        check "$KIND: the server's answers are theirs" serves_list B "$L2"
    else
        fail "$KIND: after --recover the files are neither the state before nor the one reloaded"
        same_as "$W/s0"
    fi
    apply_run back3 "$L2"
    rc=$?
    expect_rc back3 0 $rc "an apply of the accepted list after the recovery"
    check "$KIND: the directories are the accepted state" same_as "$W/s0"

    # 6. Two applies at once: the second waits for the first, and its list is the result.
    t0=$(date +%s%N)
    (
        RUN_SITE=B TEST="sleep 3; $TEST_CMD" apply_run lock1 "$L2"
        echo "$? $(date +%s%N)" >"$W/lock1.end"
    ) &
    pid1=$!
    sleep 1
    apply_run nowait --no-wait "$L1"
    rc=$?
    t_first=$(date +%s%N)
    expect_rc nowait 1 $rc "--no-wait during another apply: exit 1"
    check "$KIND: at once ($(((t_first - t0) / 1000000)) ms after the first began, which holds for 3 s)" \
        test $(((t_first - t0) / 1000000)) -lt 2500
    check "$KIND: the message says another apply" grep -q 'another apply' "$W/nowait.err"
    (
        apply_run lock2 "$L2"
        echo "$? $(date +%s%N)" >"$W/lock2.end"
    ) &
    pid2=$!
    wait "$pid1" "$pid2"
    read -r rc t_first <"$W/lock1.end"
    expect_rc lock1 0 "$rc" "the first of two applies"
    read -r rc t_second <"$W/lock2.end"
    expect_rc lock2 0 "$rc" "the second of two applies"
    check "$KIND: the second finished after the first" test "$t_second" -gt "$t_first"
    check "$KIND: the second's list is on disk" same_as "$W/s0"
    check "$KIND: and served" serves_list A "$L2"

    # 7. Requests in a loop while every file changes (site A to B): none fails.
    loop_log=$W/loop.log
    rm -f "$W/loop.end"
    (
        end=$((SECONDS + 60))
        while [[ ! -e $W/loop.end ]] && ((SECONDS < end)); do
            for n in n1.apply.test www.n499.apply.test new20.apply.test n997.apply.test; do
                echo "$n $(fetch "$n")"
            done
        done >"$loop_log"
    ) &
    LOOP_PID=$!
    sleep 0.5
    RUN_SITE=B apply_run all "$L2"
    rc=$?
    sleep 1
    touch "$W/loop.end"
    wait "$LOOP_PID"
    LOOP_PID=''
    expect_rc all 0 $rc "apply of every file changed, under requests"
    check "$KIND: the summary says all $((n1 + 10)) changed" summary_says all "0 added, $((n1 + 10)) changed, 0 removed, 0 unchanged"
    local total badreq
    total=$(wc -l <"$loop_log")
    badreq=$(grep -cvE ' (A|B)$' "$loop_log")
    check "$KIND: $total requests during the apply, none failed ($badreq)" test "$total" -ge 8 -a "$badreq" -eq 0
    ((badreq == 0)) || grep -vE ' (A|B)$' "$loop_log" | sort | uniq -c | head -n 5 >&2
    check "$KIND: the requests saw the change" grep -q ' B$' "$loop_log"
    check "$KIND: every name sampled now answers B" serves_list B "$L2"
    check "$KIND: the files are the layout of site B" is_applied "$L2" B
}

read -r PORT_A PORT_N < <(httpd_free_ports 2) || true
[[ -n ${PORT_N:-} ]] || die "no free ports on 127.0.0.1"
echo "ports: apache $PORT_A, nginx $PORT_N"

for kind in apache nginx; do
    if [[ $kind == apache ]]; then
        PORT=$PORT_A
        setup_apache
    else
        PORT=$PORT_N
        setup_nginx
    fi
    start_server
    pass "$KIND answers on 127.0.0.1:$PORT"
    started=$SECONDS
    run_checks
    echo "$KIND: $((SECONDS - started)) s, of which in apply: $(awk '{ ms += $2 } END { print int(ms / 1000) }' "$W/durations") s"
    stop_server
done

if ((failures > 0)); then
    echo "apply_test: $failures check(s) failed" >&2
    exit 1
fi
echo "apply_test: all checks passed"
