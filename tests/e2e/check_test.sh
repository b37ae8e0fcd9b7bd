#!/usr/bin/env bash
# End-to-end test of `kelvane-cli check --server` against a real Apache httpd on
# loopback: planted vhosts (a name the list repeats, a wild alias that takes a
# listed name, a `*:PORT` vhost that shadows `<VirtualHost *>` entries) must be
# found with the file and line of their directives, and Apache must really route
# those names as the findings say. The run's own output, included by the server,
# is not counted against the list. A second server checks names by address: a
# vhost alone on its port (whose aliases apache2ctl -S does not list) takes the
# names of entries on that port even after the run, a vhost on another port
# takes none, two wild aliases and an exact name go in Apache's order, and the
# files of a --split run, linked from a sites-enabled directory, are the run's
# own.
#
# Usage: check_test.sh KELVANE_CLI_PATH
# Apache runs from a private ServerRoot in a temp dir on free ports of
# 127.0.0.1; the system configuration is never read. Overridable: APACHE2,
# APACHE_MODULES_DIR.

set -euo pipefail

(($# == 1)) || { echo "usage: $0 KELVANE_CLI_PATH" >&2; exit 2; }
CLI=$1
[[ -x $CLI ]] || { echo "FAIL: kelvane-cli not executable: $CLI" >&2; exit 2; }
# shellcheck disable=SC1091  # checked on its own
source "$(dirname "${BASH_SOURCE[0]}")/httpd-lib.sh"
httpd_find || { echo "FAIL: apache2 not found" >&2; exit 2; }

WORK=$(httpd_workdir kelvane-check)
SR=$WORK/server
SR2=$WORK/server2
HTTPD_PID=
HTTPD_PID2=
cleanup() {
    local rc=$?
    set +e
    httpd_stop "$HTTPD_PID"
    httpd_stop "$HTTPD_PID2"
    ((rc == 0)) || tail -n 20 "$SR/logs/error.log" "$SR2/logs/error.log" >&2 2>/dev/null
    if [[ -n ${KEEP_WORKDIR:-} ]]; then echo "work dir kept: $WORK" >&2; else rm -rf -- "$WORK"; fi
    exit "$rc"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

read -r PORT_ANY PORT_SHADOW <<<"$(httpd_free_ports 2)" || true
[[ -n ${PORT_SHADOW:-} ]] || { echo "FAIL: no free ports on 127.0.0.1" >&2; exit 1; }
echo "ports: $PORT_ANY (<VirtualHost *>), $PORT_SHADOW (a planted <VirtualHost *:$PORT_SHADOW>)"

mkdir -p "$SR/logs" "$SR/run" "$WORK/conf dir" "$WORK/own" "$WORK/planted" "$WORK/site"
echo planted >"$WORK/planted/index.html"
echo own >"$WORK/own/index.html"
echo site >"$WORK/site/index.html"

# The run's own output, already on the server: its names are in the list again.
OWN="$WORK/conf dir/own.conf"
printf '%s\n' own-one.test own-two.test >"$WORK/own-list.txt"
"$CLI" -q -s "$WORK/own" -o "$OWN" "$WORK/own-list.txt"

# Planted vhosts; their line numbers are what check must report.
PLANTED="$WORK/conf dir/planted sites.conf"
cat >"$PLANTED" <<EOF
# Vhosts that were there before the list.
<VirtualHost *>
    ServerName planted.test
    ServerAlias dup.test \\
        *.wild.test
    DocumentRoot "$WORK/planted"
</VirtualHost>

<VirtualHost *:$PORT_SHADOW>
    ServerName shadow.test
    DocumentRoot "$WORK/planted"
</VirtualHost>
EOF
LINE_ALIASES=4
LINE_SHADOW=9

conf_head=$(httpd_conf_head "$SR" "$PORT_ANY $PORT_SHADOW" authz_core dir) || exit 1
CONF=$SR/httpd.conf
cat >"$CONF" <<EOF
$conf_head
ServerName check-e2e.invalid
DirectoryIndex index.html
<Directory "$WORK">
    Require all granted
</Directory>
Include "$PLANTED"
Include "$OWN"
EOF
chmod -R a+rX "$WORK"
HTTPD=(env -i PATH="$PATH" "$APACHE2" -d "$SR" -f "$CONF")
"${HTTPD[@]}" -DFOREGROUND </dev/null >"$SR/logs/stdout.log" 2>&1 &
HTTPD_PID=$!
fetch() { curl -s --noproxy '*' --max-time 5 -H "Host: $1" "http://127.0.0.1:$2/" || true; }
for _ in $(seq 100); do
    kill -0 "$HTTPD_PID" 2>/dev/null || { cat "$SR/logs/stdout.log" >&2; echo "FAIL: apache exited" >&2; exit 1; }
    [[ $(fetch planted.test "$PORT_ANY") == planted ]] && break
    sleep 0.2
done
[[ $(fetch planted.test "$PORT_ANY") == planted ]] || { echo "FAIL: apache did not answer" >&2; exit 1; }
pass "apache answers on $PORT_ANY and $PORT_SHADOW"

# The list: a name the planted vhost serves, one its wild alias takes, a name
# of the run's own output, and a new one.
LIST=$WORK/list.txt
printf '%s\n' fresh.test dup.test shop.wild.test own-one.test >"$LIST"
SERVER_CMD="env -i PATH='$PATH' '$APACHE2' -d '$SR' -f '$CONF' -S"

set +e
out=$("$CLI" check -s "$WORK/site" -o "$OWN" --server-cmd "$SERVER_CMD" "$LIST" 2>"$WORK/err")
rc=$?
set -e
expected="$LIST:2: served: dup.test is already served by <VirtualHost *> at $PLANTED:$LINE_ALIASES
$LIST:3: wildcard: shop.wild.test is taken by the wild alias *.wild.test of <VirtualHost *> at $PLANTED:$LINE_ALIASES
$PLANTED:$LINE_SHADOW: shadow: <VirtualHost *:$PORT_SHADOW> takes every request on port $PORT_SHADOW before the <VirtualHost *> entries; use --listen '*:$PORT_SHADOW'"
if ((rc == 3)) && [[ $out == "$expected" ]]; then
    pass "check --server: the planted name, wild alias and *:PORT shadow, with their directives' file and line; exit 3"
else
    fail "check --server: exit $rc, expected 3; got (< expected, > got):"
    diff <(echo "$expected") <(echo "$out") >&2 || true
    cat "$WORK/err" >&2
fi

# Apache routes those names as the findings say.
for host_port in "dup.test $PORT_ANY" "shop.wild.test $PORT_ANY" "own-two.test $PORT_SHADOW"; do
    read -r host port <<<"$host_port"
    body=$(fetch "$host" "$port")
    if [[ $body == planted ]]; then
        pass "Host: $host on port $port reaches the planted vhost"
    else
        fail "Host: $host on port $port: expected the planted vhost, got '$body'"
    fi
done

# Entries on the shadowed port's own group, with new names: nothing to report.
printf '%s\n' fresh.test other.test >"$WORK/clean.txt"
set +e
out=$("$CLI" check -s "$WORK/site" --listen "*:$PORT_SHADOW" --server-cmd "$SERVER_CMD" "$WORK/clean.txt" 2>&1)
rc=$?
set -e
if ((rc == 0)) && [[ -z $out ]]; then
    pass "check --server --listen '*:$PORT_SHADOW' with new names: no finding, exit 0"
else
    fail "check with new names: exit $rc, expected 0 and no output; got: $out"
fi

# A server command that fails: exit 1 with its error.
set +e
err=$("$CLI" check -s "$WORK/site" --server-cmd "echo 'no such config' >&2; exit 1" "$WORK/clean.txt" 2>&1 >/dev/null)
rc=$?
set -e
if ((rc == 1)) && [[ $err == *"no such config"* ]]; then
    pass "a failing server command: exit 1 with its error"
else
    fail "a failing server command: exit $rc, expected 1 with its error; got: $err"
fi

# The second server: vhosts on ports of their own.
read -r PORT_LONE PORT_SECOND PORT_ORDER PORT_SPLIT <<<"$(httpd_free_ports 4)" || true
[[ -n ${PORT_SPLIT:-} ]] || { echo "FAIL: no free ports on 127.0.0.1" >&2; exit 1; }
echo "ports: $PORT_LONE (a lone vhost), $PORT_SECOND (another port), $PORT_ORDER (wild aliases), $PORT_SPLIT (--split files)"
mkdir -p "$SR2/logs" "$SR2/run" "$WORK/conf2" "$WORK/sites-available" "$WORK/sites-enabled"
for body in lone second first later; do
    mkdir -p "$WORK/$body" && echo "$body" >"$WORK/$body/index.html"
done
VHOSTS2="$WORK/conf2/vhosts.conf"
cat >"$VHOSTS2" <<EOF
<VirtualHost *:$PORT_LONE>
    ServerName lone.test
    ServerAlias a.test *.w.test
    DocumentRoot "$WORK/lone"
</VirtualHost>
<VirtualHost *:$PORT_SECOND>
    ServerName second.test
    ServerAlias b.test
    DocumentRoot "$WORK/second"
</VirtualHost>
<VirtualHost *:$PORT_ORDER>
    ServerName first.test
    ServerAlias *.w2.test *.b.w2.test
    DocumentRoot "$WORK/first"
</VirtualHost>
<VirtualHost *:$PORT_ORDER>
    ServerName later.test
    ServerAlias exact.w2.test
    ServerAlias *.b.w2.test
    DocumentRoot "$WORK/later"
</VirtualHost>
EOF
LINE_LONE_ALIASES=3
LINE_ORDER_ALIASES=13

# A --split run's files, enabled through links as a2ensite makes them.
printf '%s\n' s1.test s2.test s3.test >"$WORK/split-list.txt"
"$CLI" -q -s "$WORK/site" --pack 2 --listen "*:$PORT_SPLIT" --split "$WORK/sites-available" "$WORK/split-list.txt"
for f in "$WORK/sites-available"/*.conf; do
    ln -s "../sites-available/$(basename "$f")" "$WORK/sites-enabled/"
done

conf_head2=$(httpd_conf_head "$SR2" "$PORT_LONE $PORT_SECOND $PORT_ORDER $PORT_SPLIT" authz_core dir) || exit 1
CONF2=$SR2/httpd.conf
RUN_LONE=$WORK/conf2/run-lone.conf
cat >"$CONF2" <<EOF
$conf_head2
ServerName check-e2e2.invalid
DirectoryIndex index.html
<Directory "$WORK">
    Require all granted
</Directory>
Include "$VHOSTS2"
Include "$WORK/sites-enabled/*.conf"
IncludeOptional "$RUN_LONE"
EOF
chmod -R a+rX "$WORK"
env -i PATH="$PATH" "$APACHE2" -d "$SR2" -f "$CONF2" -DFOREGROUND </dev/null >"$SR2/logs/stdout.log" 2>&1 &
HTTPD_PID2=$!
for _ in $(seq 100); do
    kill -0 "$HTTPD_PID2" 2>/dev/null || { cat "$SR2/logs/stdout.log" >&2; echo "FAIL: apache exited" >&2; exit 1; }
    [[ $(fetch second.test "$PORT_SECOND") == second ]] && break
    sleep 0.2
done
[[ $(fetch second.test "$PORT_SECOND") == second ]] || { echo "FAIL: the second apache did not answer" >&2; exit 1; }
SERVER_CMD2="env -i PATH='$PATH' '$APACHE2' -d '$SR2' -f '$CONF2' -S"

# check_case NAME EXPECTED_EXIT EXPECTED_OUTPUT ARGS...: check against the second server.
check_case() {
    local name=$1 want_rc=$2 want=$3 out rc
    shift 3
    set +e
    out=$("$CLI" check -s "$WORK/site" --server-cmd "$SERVER_CMD2" "$@" 2>&1)
    rc=$?
    set -e
    if ((rc == want_rc)) && [[ $out == "$want" ]]; then
        pass "$name"
    else
        fail "$name: exit $rc, expected $want_rc; got (< expected, > got):"
        diff <(echo "$want") <(echo "$out") >&2 || true
    fi
}

# The lone vhost takes the names of entries on its port; the vhost of another port takes none.
LONE_LIST=$WORK/lone-list.txt
printf '%s\n' a.test x.w.test b.test new.test >"$LONE_LIST"
check_case "a lone <VirtualHost *:$PORT_LONE>: its aliases read from its file; another port's vhost takes nothing" 3 \
    "$LONE_LIST:1: served: a.test is already served by <VirtualHost *:$PORT_LONE> at $VHOSTS2:$LINE_LONE_ALIASES
$LONE_LIST:2: wildcard: x.w.test is taken by the wild alias *.w.test of <VirtualHost *:$PORT_LONE> at $VHOSTS2:$LINE_LONE_ALIASES" \
    --listen "*:$PORT_LONE" "$LONE_LIST"
# After the run and a restart, Apache gives those names to the lone vhost, as check said.
"$CLI" -q -s "$WORK/site" --listen "*:$PORT_LONE" -o "$RUN_LONE" "$LONE_LIST"
kill -HUP "$HTTPD_PID2"
for _ in $(seq 100); do
    [[ $(fetch new.test "$PORT_LONE") == site ]] && break
    sleep 0.2
done
for host_port_body in "new.test $PORT_LONE site" "a.test $PORT_LONE lone" "x.w.test $PORT_LONE lone" \
    "b.test $PORT_LONE site" "b.test $PORT_SECOND second"; do
    read -r host port want <<<"$host_port_body"
    body=$(fetch "$host" "$port")
    if [[ $body == "$want" ]]; then
        pass "after the run, Host: $host on port $port reaches $want"
    else
        fail "after the run, Host: $host on port $port: expected $want, got '$body'"
    fi
done

# Wild aliases in Apache's order: an earlier vhost's wild alias before a later one's exact name,
# and of a vhost's two wild aliases the first.
ORDER_LIST=$WORK/order-list.txt
printf '%s\n' x.b.w2.test exact.w2.test >"$ORDER_LIST"
check_case "two wild aliases and an exact name, in Apache's order" 3 \
    "$ORDER_LIST:1: wildcard: x.b.w2.test is taken by the wild alias *.w2.test of <VirtualHost *:$PORT_ORDER> at $VHOSTS2:$LINE_ORDER_ALIASES
$ORDER_LIST:2: wildcard: exact.w2.test is taken by the wild alias *.w2.test of <VirtualHost *:$PORT_ORDER> at $VHOSTS2:$LINE_ORDER_ALIASES" \
    --listen "*:$PORT_ORDER" "$ORDER_LIST"
for host in x.b.w2.test exact.w2.test; do
    body=$(fetch "$host" "$PORT_ORDER")
    if [[ $body == first ]]; then
        pass "Host: $host on port $PORT_ORDER reaches the first vhost's wild alias"
    else
        fail "Host: $host on port $PORT_ORDER: expected the first vhost, got '$body'"
    fi
done

# The --split directory, named through a path with "..": the files sites-enabled links to are
# the run's own. Without --split they are not.
check_case "check --split of the directory sites-enabled links to: no file of the run's own" 0 "" \
    --pack 2 --listen "*:$PORT_SPLIT" --split "$WORK/sites-enabled/../sites-available" "$WORK/split-list.txt"
out=$("$CLI" check -s "$WORK/site" --pack 2 --listen "*:$PORT_SPLIT" --server-cmd "$SERVER_CMD2" \
    "$WORK/split-list.txt" 2>&1) || true
if [[ $(grep -c ': served: s[123]\.test ' <<<"$out") == 3 ]]; then
    pass "without --split, the split files serve the same names"
else
    fail "without --split: expected the three names served; got: $out"
fi

if ((failures)); then
    echo "SUMMARY: FAILED $failures checks"
    exit 1
fi
echo "SUMMARY: all checks passed"
