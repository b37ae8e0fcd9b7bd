#!/usr/bin/env bash
# A certificate authority of one's own for the end-to-end tests: pebble (an ACME server made for
# tests) with pebble-challtestsrv as its DNS server, which answers 127.0.0.1 for every name, and
# Debian's certbot pointed at it. Everything runs on free ports of 127.0.0.1 with its files in one
# directory; nothing of the system's (its certbot configuration, timers or services) is touched.
# Source it; it runs nothing by itself.
#
#   acme_found || skip             pebble, pebble-challtestsrv, certbot, openssl, curl, python3
#   acme_start DIR                 the authority, its files in DIR; sets the ACME_* variables
#   (a web server of the test's own serves a webroot on 127.0.0.1:$ACME_HTTP_PORT)
#   acme_certbot certonly --webroot -w WEBROOT --cert-name NAME -d NAME...
#                                  the certificate in $ACME_DIR/config/live/NAME/
#   acme_root_ca FILE              the root that issued it, for openssl verify or curl --cacert
#   acme_drop_name NAME            NAME gets no DNS answer from then on: its validation fails
#   acme_dns_query NAME [A|AAAA]   what the DNS server answers for NAME; false when nothing
#   acme_stop                      every process acme_start started, stopped; acme_start also runs
#                                  it on EXIT, before the EXIT trap set when it was called
#
# Variables set (and exported) by acme_start:
#   ACME_DIR                  DIR, where every file of the authority and of certbot is kept
#   ACME_DIRECTORY_URL        https://127.0.0.1:PORT/dir, pebble's ACME directory
#   ACME_MANAGEMENT_URL       https://127.0.0.1:PORT, pebble's management API (/roots/0, ...)
#   ACME_CA_BUNDLE            the CA of the certificate of pebble's two APIs (made here)
#   ACME_HTTP_PORT            where pebble asks for HTTP-01 challenges on 127.0.0.1
#   ACME_TLS_PORT             where it would ask for TLS-ALPN-01 ones (nothing listens there)
#   ACME_DNS                  127.0.0.1:PORT, the DNS server pebble resolves names with
#   ACME_DNS_MANAGEMENT_URL   http://127.0.0.1:PORT, that server's management API
#   ACME_PIDS                 (an array, not exported) the processes acme_start started
# Overridable: PEBBLE, PEBBLE_CHALLTESTSRV, CERTBOT (the programs); ACME_CERTBOT_TIMEOUT (seconds
# a certbot run may take, 90).

ACME_PIDS=()

# acme_found: true when every program the authority and its client need is there.
acme_found() {
    PEBBLE=${PEBBLE:-$(command -v pebble || echo /usr/bin/pebble)}
    PEBBLE_CHALLTESTSRV=${PEBBLE_CHALLTESTSRV:-$(command -v pebble-challtestsrv || echo /usr/bin/pebble-challtestsrv)}
    CERTBOT=${CERTBOT:-$(command -v certbot || echo /usr/bin/certbot)}
    [[ -x $PEBBLE && -x $PEBBLE_CHALLTESTSRV && -x $CERTBOT ]] &&
        command -v openssl >/dev/null && command -v curl >/dev/null && command -v python3 >/dev/null
}

# acme__ports: five free TCP ports of 127.0.0.1, then one free for both UDP and TCP (the DNS
# server takes both), all different, on one line.
acme__ports() {
    timeout 10 python3 - <<'PY'
import socket
held = [socket.socket(socket.AF_INET, socket.SOCK_STREAM) for _ in range(5)]
for s in held:
    s.bind(("127.0.0.1", 0))
ports = [s.getsockname()[1] for s in held]
for _ in range(50):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("127.0.0.1", 0))
    t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        t.bind(("127.0.0.1", u.getsockname()[1]))
    except OSError:
        u.close()
        t.close()
        continue
    ports.append(u.getsockname()[1])
    break
print(" ".join(map(str, ports)))
PY
}

# acme_dns_query NAME [TYPE]: the addresses ACME_DNS answers for NAME (TYPE A or AAAA, A by
# default), one a line. False, with the response code on standard error, when it answers none.
acme_dns_query() {
    timeout 10 python3 - "${ACME_DNS%:*}" "${ACME_DNS##*:}" "$1" "${2:-A}" <<'PY'
import random, socket, struct, sys
host, port, name, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
qtype = {"A": 1, "AAAA": 28}[kind]
qid = random.randrange(65536)
qname = b"".join(bytes([len(p)]) + p.encode() for p in name.rstrip(".").split(".")) + b"\0"
query = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + qname + struct.pack(">HH", qtype, 1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(3)
s.sendto(query, (host, port))
data = s.recv(4096)
rid, flags, qd, an = struct.unpack(">HHHH", data[:8])
if rid != qid:
    sys.exit("answer to another query")

def skip_name(i):
    while True:
        n = data[i]
        if n == 0:
            return i + 1
        if n & 0xC0 == 0xC0:
            return i + 2
        i += n + 1

i = 12
for _ in range(qd):
    i = skip_name(i) + 4
found = []
for _ in range(an):
    i = skip_name(i)
    rtype, _, _, rdlen = struct.unpack(">HHIH", data[i:i + 10])
    i += 10
    if rtype == qtype:
        found.append(socket.inet_ntop(socket.AF_INET if qtype == 1 else socket.AF_INET6, data[i:i + rdlen]))
    i += rdlen
for a in found:
    print(a)
if not found:
    rcodes = {0: "NOERROR", 2: "SERVFAIL", 3: "NXDOMAIN", 5: "REFUSED"}
    sys.exit("no %s answer for %s: %s" % (kind, name, rcodes.get(flags & 0xF, flags & 0xF)))
PY
}

# acme__answers URL [CURL_OPTION...]: true when something answers HTTP at URL, whatever its status.
acme__answers() {
    local url=$1 code
    shift
    code=$(curl -s --noproxy '*' --max-time 2 -o /dev/null -w '%{http_code}' "$@" "$url") || true
    [[ $code =~ ^[1-5][0-9][0-9]$ ]]
}

# acme__api_cert DIR: a CA of the test's own (DIR/api-ca.pem) and the certificate of pebble's API
# it signs, for 127.0.0.1 and localhost (DIR/api-cert.pem, DIR/api-key.pem).
acme__api_cert() {
    local dir=$1
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\nbasicConstraints=critical,CA:FALSE\n' \
        >"$dir/api-ext.cnf" || return 1
    if ! openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj '/CN=kelvane e2e ACME API CA' -addext 'basicConstraints=critical,CA:TRUE' \
        -addext 'keyUsage=critical,keyCertSign,cRLSign' \
        -keyout "$dir/api-ca-key.pem" -out "$dir/api-ca.pem" 2>"$dir/openssl.log" ||
        ! openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=127.0.0.1' \
            -keyout "$dir/api-key.pem" -out "$dir/api.csr" 2>>"$dir/openssl.log" ||
        ! openssl x509 -req -in "$dir/api.csr" -CA "$dir/api-ca.pem" -CAkey "$dir/api-ca-key.pem" \
            -CAcreateserial -days 2 -extfile "$dir/api-ext.cnf" -out "$dir/api-cert.pem" 2>>"$dir/openssl.log"; then
        cat "$dir/openssl.log" >&2
        echo "acme: the certificate of pebble's API could not be made" >&2
        return 1
    fi
}

# acme__hook_exit: acme_stop runs first on the shell's exit, then the EXIT trap already set, which
# sees the exit status it would have seen. A trap set after acme_start replaces this one: such a
# caller calls acme_stop itself.
ACME__OLD_EXIT_TRAP=''
acme__hook_exit() {
    local words=()
    # trap -p prints "trap -- 'COMMAND' EXIT", quoted for eval.
    eval "words=($(trap -p EXIT))"
    ((${#words[@]} < 3)) || [[ ${words[2]} == acme__on_exit ]] || ACME__OLD_EXIT_TRAP=${words[2]}
    trap acme__on_exit EXIT
}
acme__on_exit() {
    local rc=$?
    # The shell is leaving: a failure on the way out must not cut the rest short.
    set +e
    acme_stop
    if [[ -n $ACME__OLD_EXIT_TRAP ]]; then
        (exit "$rc")
        eval "$ACME__OLD_EXIT_TRAP"
    fi
    exit "$rc"
}

# acme__stop_pid PID: asks the process to stop, kills it after 5 s, and reaps it.
acme__stop_pid() {
    local pid=$1 i
    # Each command may fail here: under set -e only what the caller tests may.
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "acme: process $pid did not stop in 5 s, killing it" >&2
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

# acme_start DIR: pebble-challtestsrv and pebble on free ports of 127.0.0.1, each waited for (at
# most 30 s); the ACME_* variables set. Their logs are DIR/challtestsrv.log and DIR/pebble.log.
# False, saying why, when either does not come up; what did is stopped again.
acme_start() {
    local dir=$1 ports p_api p_mgmt p_http p_tls p_dnsmgmt p_dns end pid
    acme_found || { echo "acme: pebble, pebble-challtestsrv, certbot, openssl, curl or python3 not found" >&2; return 1; }
    ((${#ACME_PIDS[@]} == 0)) || { echo "acme: already started" >&2; return 1; }
    mkdir -p "$dir" || return 1
    dir=$(cd "$dir" && pwd) || return 1
    ports=$(acme__ports) || true
    read -r p_api p_mgmt p_http p_tls p_dnsmgmt p_dns <<<"$ports" || true
    [[ -n ${p_dns:-} ]] || { echo "acme: no free ports on 127.0.0.1" >&2; return 1; }
    acme__api_cert "$dir" || return 1

    export ACME_DIR=$dir
    export ACME_DIRECTORY_URL=https://127.0.0.1:$p_api/dir
    export ACME_MANAGEMENT_URL=https://127.0.0.1:$p_mgmt
    export ACME_CA_BUNDLE=$dir/api-ca.pem
    export ACME_HTTP_PORT=$p_http
    export ACME_TLS_PORT=$p_tls
    export ACME_DNS=127.0.0.1:$p_dns
    export ACME_DNS_MANAGEMENT_URL=http://127.0.0.1:$p_dnsmgmt

    acme__hook_exit
    # Only the DNS server and its management API: pebble itself asks the test's web server for
    # the challenges, so challtestsrv's own challenge servers stay off.
    "$PEBBLE_CHALLTESTSRV" -dns01 "$ACME_DNS" -management "127.0.0.1:$p_dnsmgmt" \
        -http01 '' -https01 '' -tlsalpn01 '' -defaultIPv4 127.0.0.1 -defaultIPv6 '' \
        </dev/null >"$dir/challtestsrv.log" 2>&1 &
    ACME_PIDS+=("$!")

    cat >"$dir/pebble.json" <<EOF
{
  "pebble": {
    "listenAddress": "127.0.0.1:$p_api",
    "managementListenAddress": "127.0.0.1:$p_mgmt",
    "certificate": "$dir/api-cert.pem",
    "privateKey": "$dir/api-key.pem",
    "httpPort": $p_http,
    "tlsPort": $p_tls,
    "ocspResponderURL": "",
    "externalAccountBindingRequired": false
  }
}
EOF
    # No random sleeps before validations, no nonce rejected at random, no authorization reused
    # from an earlier order: every order is validated anew, and as fast as it can be.
    env PEBBLE_VA_NOSLEEP=1 PEBBLE_WFE_NONCEREJECT=0 PEBBLE_AUTHZREUSE=0 \
        "$PEBBLE" -config "$dir/pebble.json" -dnsserver "$ACME_DNS" \
        </dev/null >"$dir/pebble.log" 2>&1 &
    ACME_PIDS+=("$!")

    end=$((SECONDS + 30))
    while :; do
        if acme__answers "$ACME_DNS_MANAGEMENT_URL/" && acme_dns_query up.acme.test >/dev/null 2>&1 &&
            acme__answers "$ACME_DIRECTORY_URL" --cacert "$ACME_CA_BUNDLE" &&
            acme__answers "$ACME_MANAGEMENT_URL/roots/0" --cacert "$ACME_CA_BUNDLE"; then
            return 0
        fi
        for pid in "${ACME_PIDS[@]}"; do
            kill -0 "$pid" 2>/dev/null || { end=0; break; }
        done
        ((SECONDS < end)) || break
        sleep 0.2
    done
    echo "acme: pebble or pebble-challtestsrv did not come up; their logs' ends:" >&2
    tail -n 10 "$dir/challtestsrv.log" "$dir/pebble.log" >&2 || true
    acme_stop
    return 1
}

# acme_stop: stops every process acme_start started. Safe to call again.
acme_stop() {
    local pid
    for pid in "${ACME_PIDS[@]}"; do acme__stop_pid "$pid"; done
    ACME_PIDS=()
}

# acme_root_ca FILE: pebble's issuing root, which it makes anew at each start, into FILE.
acme_root_ca() {
    if ! curl -sS --fail --noproxy '*' --max-time 10 --cacert "$ACME_CA_BUNDLE" -o "$1" "$ACME_MANAGEMENT_URL/roots/0" ||
        ! openssl x509 -in "$1" -noout 2>/dev/null; then
        echo "acme: no root certificate from $ACME_MANAGEMENT_URL/roots/0" >&2
        return 1
    fi
}

# acme_drop_name NAME: from now on the DNS server answers every query for NAME with SERVFAIL, so
# that pebble cannot validate it; other names, NAME's subdomains among them, still answer.
acme_drop_name() {
    local body
    # The server compares the name as it is queried, letter case included, and pebble asks in
    # lower case.
    body=$(python3 -c 'import json, sys; print(json.dumps({"host": sys.argv[1].lower().rstrip(".")}))' "$1") ||
        return 1
    curl -sS --fail --noproxy '*' --max-time 10 -o /dev/null -X POST --data "$body" \
        "$ACME_DNS_MANAGEMENT_URL/set-servfail" ||
        { echo "acme: the DNS server did not take $1 out" >&2; return 1; }
}

# acme_certbot ARG...: certbot against pebble, its configuration, work and logs in ACME_DIR
# (config/, work/, logs/), never the system's; at most ACME_CERTBOT_TIMEOUT seconds. Its status.
acme_certbot() {
    mkdir -p "$ACME_DIR/home" || return 1
    # HOME keeps certbot from reading a user's own cli.ini; no proxy may stand between it and
    # 127.0.0.1.
    env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
        HOME="$ACME_DIR/home" XDG_CONFIG_HOME="$ACME_DIR/home/.config" REQUESTS_CA_BUNDLE="$ACME_CA_BUNDLE" \
        NO_PROXY='*' no_proxy='*' \
        timeout -k 5 "${ACME_CERTBOT_TIMEOUT:-90}" "$CERTBOT" --server "$ACME_DIRECTORY_URL" \
        --config-dir "$ACME_DIR/config" --work-dir "$ACME_DIR/work" --logs-dir "$ACME_DIR/logs" \
        --non-interactive --agree-tos --register-unsafely-without-email "$@"
}

# ---- What a test of the authority does first and last ------------------------------------------------
# acme_test_begin NAME: ends the test with 77 (skipped) without the authority's programs or Apache;
# sets WORK (a temporary directory, removed at the end unless KEEP_WORKDIR is set), SERVER_ROOT and
# WEBROOT in it, and HTTPD_PID for the test's own Apache; on any exit stops the authority and that
# Apache, with the ends of their logs when the test failed. Then check WHAT COMMAND... counts a
# check, fail and die say one, and ms_since START is the milliseconds since START.
acme_test_begin() {
    acme_found || { echo "pebble, pebble-challtestsrv, certbot, openssl, curl or python3 not found: skipped"; exit 77; }
    httpd_find || { echo "apache2 not found: skipped"; exit 77; }
    ACME_TEST_NAME=${1}_test
    WORK=$(httpd_workdir "kelvane-$1")
    SERVER_ROOT=$WORK/server
    # shellcheck disable=SC2034  # the test serves it
    WEBROOT=$WORK/webroot
    HTTPD_PID=''
    ACME_TEST_FAILURES=0
    ACME_TEST_CHECKS=0
    ACME_TEST_T0=${EPOCHREALTIME/./}
    trap acme__test_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}
acme__test_cleanup() {
    local rc=$?
    set +e
    acme_stop
    httpd_stop "$HTTPD_PID"
    if ((rc != 0)); then
        [[ ! -s $SERVER_ROOT/logs/error.log ]] || tail -n 10 "$SERVER_ROOT/logs/error.log" >&2
        [[ ! -s $WORK/acme/pebble.log ]] || tail -n 20 "$WORK/acme/pebble.log" >&2
    fi
    if [[ -n ${KEEP_WORKDIR:-} ]]; then echo "work dir kept: $WORK" >&2; else rm -rf -- "$WORK"; fi
    exit "$rc"
}
fail() { echo "FAIL: $*" >&2; ACME_TEST_FAILURES=$((ACME_TEST_FAILURES + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }
check() { # WHAT COMMAND...: ok when the command succeeds
    local what=$1
    shift
    ACME_TEST_CHECKS=$((ACME_TEST_CHECKS + 1))
    if "$@"; then echo "ok:   $what"; else fail "$what"; fi
}
# ms_since START: milliseconds since START, an ${EPOCHREALTIME/./}.
ms_since() { echo $(((${EPOCHREALTIME/./} - $1) / 1000)); }
# acme_test_end: how long the test took and how its checks went; exits 1 when one failed.
acme_test_end() {
    echo "$ACME_TEST_NAME: $(ms_since "$ACME_TEST_T0") ms in all"
    if ((ACME_TEST_FAILURES > 0)); then
        echo "$ACME_TEST_NAME: $ACME_TEST_FAILURES of $ACME_TEST_CHECKS checks failed" >&2
        exit 1
    fi
    echo "$ACME_TEST_NAME: all $ACME_TEST_CHECKS checks passed"
}
