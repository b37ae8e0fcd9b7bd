#!/usr/bin/env bash
# End-to-end test of `kelvane-cli check --server` against a real Apache httpd on
# loopback: planted vhosts (a name the list repeats, a wild alias that takes a
# listed name, a `*:PORT` vhost that shadows `<VirtualHost *>` entries) must be
# found with their file and line, and Apache must really route those names as
# the findings say. The run's own output, included by the server, is not
# counted against the list.
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
HTTPD_PID=
cleanup() {
    local rc=$?
    set +e
    httpd_stop "$HTTPD_PID"
    ((rc == 0)) || tail -n 20 "$SR/logs/error.log" >&2 2>/dev/null
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
    ServerAlias dup.test *.wild.test
    DocumentRoot "$WORK/planted"
</VirtualHost>

<VirtualHost *:$PORT_SHADOW>
    ServerName shadow.test
    DocumentRoot "$WORK/planted"
</VirtualHost>
EOF
LINE_NAMES=2
LINE_SHADOW=8

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
expected="$LIST:2: served: dup.test is already served by <VirtualHost *> at $PLANTED:$LINE_NAMES
$LIST:3: wildcard: shop.wild.test is taken by the wild alias *.wild.test of <VirtualHost *> at $PLANTED:$LINE_NAMES
$PLANTED:$LINE_SHADOW: shadow: <VirtualHost *:$PORT_SHADOW> takes every request on port $PORT_SHADOW before the <VirtualHost *> entries; use --listen '*:$PORT_SHADOW'"
if ((rc == 3)) && [[ $out == "$expected" ]]; then
    pass "check --server: the planted name, wild alias and *:PORT shadow, with file and line; exit 3"
else
    fail "check --server: exit $rc, expected 3; got (< expected, > got):"
    diff <(echo "$expected") <(echo "$out") >&2
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

if ((failures)); then
    echo "SUMMARY: FAILED $failures checks"
    exit 1
fi
echo "SUMMARY: all checks passed"
