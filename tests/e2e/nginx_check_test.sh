#!/usr/bin/env bash
# End-to-end test of `kelvane-cli check --server-kind nginx --server` against a real nginx on a
# free port of loopback addresses, from a private prefix (never the system's configuration or
# service): planted blocks (an exact name of the list, a leading wildcard and a regular expression
# that take listed names today, a block on 127.0.0.1 that shadows entries on *:PORT) must be
# reported with the file and line of their directives where they change where a name goes, and
# not where they do not; after the run's output is included, nginx must answer each name as the
# findings said, and check must leave the run's own blocks out.
#
# Usage: nginx_check_test.sh KELVANE_CLI_PATH    KELVANE_NGINX overrides the nginx binary.
set -uo pipefail

CLI=${1:?usage: nginx_check_test.sh KELVANE_CLI_PATH}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/e2e/httpd-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/httpd-lib.sh"
NGINX=${KELVANE_NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
unset KELVANE_NGINX
[[ -x $NGINX ]] || { echo "nginx not found: skipped"; exit 77; }

WORK=$(httpd_workdir kelvane-nginx-check) || exit 1
NGINX_PID=''
cleanup() {
    [[ -n $NGINX_PID ]] && httpd_stop "$NGINX_PID"
    if [[ -n ${KEEP_WORKDIR:-} ]]; then echo "work dir kept: $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
failures=0
die() { echo "FATAL: $*" >&2; exit 1; }
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

read -r PORT < <(httpd_free_ports 1) || die "no free port"
# Entries on *:PORT are reached on 127.0.0.2; the planted block on 127.0.0.1 takes that address.
OTHER=127.0.0.2
mkdir -p "$WORK"/{conf,tmp,site}
for body in planted wild regex shadow; do mkdir -p "$WORK/$body" && echo "$body" >"$WORK/$body/index.html"; done
echo site >"$WORK/site/index.html"

PLANTED=$WORK/conf/planted.conf
cat >"$PLANTED" <<END_PLANTED
server {
    listen $PORT;
    server_name planted.test dup.test;
    root "$WORK/planted";
}
server {
    listen $PORT;
    server_name *.wild.test;
    root "$WORK/wild";
}
server {
    listen $PORT;
    server_name ~^re\\d+\\.test\$;
    root "$WORK/regex";
}
server {
    listen 127.0.0.1:$PORT;
    server_name shadow.test;
    root "$WORK/shadow";
}
server {
    listen $PORT default_server;
    return 200 "default\\n";
}
END_PLANTED
LINE_DUP=3 LINE_SHADOW=17 LINE_DEFAULT=22
RUN=$WORK/conf/run.conf

CONF=$WORK/nginx.conf
{
    printf 'pid %s/nginx.pid;\nerror_log %s/error.log;\nworker_processes 1;\nevents {}\nhttp {\n' "$WORK" "$WORK"
    printf '    access_log off;\n'
    for t in client_body proxy fastcgi uwsgi scgi; do printf '    %s_temp_path %s/tmp/%s;\n' "$t" "$WORK" "$t"; done
    printf '    include %s;\n    include %s/conf/run*.conf;\n}\n' "$PLANTED" "$WORK"
} >"$CONF"
chmod -R a+rX "$WORK"
start_nginx() {
    rm -f "$WORK/nginx.pid"
    "$NGINX" -e "$WORK/error.log" -p "$WORK" -c "$CONF" || { cat "$WORK/error.log" >&2; die "nginx did not start"; }
    for _ in $(seq 50); do [[ -s $WORK/nginx.pid ]] && break; sleep 0.1; done
    NGINX_PID=$(cat "$WORK/nginx.pid" 2>/dev/null)
}
start_nginx
SERVER_CMD="'$NGINX' -T -e '$WORK/error.log' -p '$WORK' -c '$CONF'"

LIST=$WORK/list.txt
printf '%s\n' fresh.test dup.test a.wild.test re1.test >"$LIST"
served="nginx keeps it there and ignores the entry's (\"conflicting server name\" at its start)"
expected="$LIST:2: served: dup.test is already served by server {} on *:$PORT at $PLANTED:$LINE_DUP: $served
$PLANTED:$LINE_SHADOW: shadow: server {} on 127.0.0.1:$PORT takes every request to 127.0.0.1 on port $PORT before the server {} entries on *:$PORT; use --listen 127.0.0.1:$PORT"
# check_out WHAT EXPECTED_EXIT EXPECTED_OUTPUT ARGS...: check against the running nginx.
check_out() {
    local what=$1 want_rc=$2 want=$3 out rc
    shift 3
    out=$("$CLI" check --server-kind nginx -s "$WORK/site" --server-cmd "$SERVER_CMD" "$@" 2>"$WORK/check.err")
    rc=$?
    if ((rc == want_rc)) && [[ $out == "$want" ]]; then
        echo "ok: $what"
    else
        fail "$what: exit $rc, expected $want_rc; got (< expected, > got):"
        diff <(echo "$want") <(echo "$out") >&2
        cat "$WORK/check.err" >&2
    fi
}
check_out "the planted exact name and shadow with their file and line; no wildcard or regex finding" 3 \
    "$expected" --listen "*:$PORT" -o "$RUN" "$LIST"
check "the default server is told, not counted" \
    grep -q "^kelvane-cli: $PLANTED:$LINE_DEFAULT: the server {} is the default server of \*:$PORT (default_server)" \
    "$WORK/check.err"
printf '%s\n' fresh.test other.test >"$WORK/clean.txt"
check_out "new names on the shadowing address: no finding" 0 "" --listen "127.0.0.1:$PORT" "$WORK/clean.txt"

# The run, included by the server; then nginx answers as the findings said.
"$CLI" --server-kind nginx -q -s "$WORK/site" --listen "*:$PORT" -o "$RUN" "$LIST" || die "the run failed"
chmod a+r "$RUN"
# Started again rather than reloaded, so that no old worker answers a request below.
httpd_stop "$NGINX_PID"
start_nginx
body() { curl -s --noproxy '*' --max-time 5 -H "Host: $1" "http://$2:$PORT/"; }
for _ in $(seq 100); do [[ $(body fresh.test "$OTHER") == site ]] && break; sleep 0.2; done
routes() {
    local ok=0 host addr want got
    while read -r host addr want; do
        got=$(body "$host" "$addr")
        [[ $got == "$want" ]] || { echo "  $host on $addr:$PORT: expected $want, got '$got'" >&2; ok=1; }
    done <<END_ROUTES
fresh.test $OTHER site
dup.test $OTHER planted
a.wild.test $OTHER site
re1.test $OTHER site
b.wild.test $OTHER wild
re2.test $OTHER regex
unknown.test $OTHER default
fresh.test 127.0.0.1 shadow
END_ROUTES
    return $ok
}
check "nginx keeps dup.test; the entries' exact names beat the wildcard and the regex; 127.0.0.1 is shadowed" routes
check "nginx warns of the name it keeps" bash -c "'$NGINX' -t -e '$WORK/test.log' -p '$WORK' -c '$CONF' 2>&1 |
    grep -q 'conflicting server name \"dup.test\"'"

# Installed: the run's own output is left out and the findings stay; without -o its blocks count
# like any other.
check_out "after the run, its own output is left out" 3 "$expected" --listen "*:$PORT" -o "$RUN" "$LIST"
out=$("$CLI" check --server-kind nginx -s "$WORK/site" --listen "*:$PORT" --server-cmd "$SERVER_CMD" "$LIST" 2>/dev/null)
check "without -o, the run's blocks serve its names" \
    test "$(grep -c "^$LIST:[0-9]*: served: .* at $RUN:" <<<"$out")" -eq 3

if ((failures > 0)); then
    echo "nginx_check_test: $failures check(s) failed" >&2
    tail -20 "$WORK/error.log" >&2
    exit 1
fi
echo "nginx_check_test: all checks passed"
