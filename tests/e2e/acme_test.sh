#!/usr/bin/env bash
# The ACME authority of acme-lib.sh, end to end: pebble and its DNS server on free ports of
# 127.0.0.1, a private Apache serving a webroot where pebble asks for HTTP-01 challenges, and
# Debian's certbot getting a certificate for three names through that webroot. The certificate
# must hold exactly those names and chain to pebble's root; the challenges must have been asked of
# this Apache; a name the DNS server no longer answers must fail its order while one without it
# passes; and acme_stop must leave nothing running.
#
# Usage: acme_test.sh
# Skipped (77) without pebble, pebble-challtestsrv, certbot, apache2, curl, openssl or python3.
# Overridable: APACHE2, APACHE_MODULES_DIR, PEBBLE, PEBBLE_CHALLTESTSRV, CERTBOT; KEEP_WORKDIR=1
# keeps the temp dir.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/e2e/httpd-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/httpd-lib.sh"
# shellcheck source=tests/e2e/acme-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/acme-lib.sh"
acme_test_begin acme

# ---- The authority ---------------------------------------------------------------------------------
t0=${EPOCHREALTIME/./}
acme_start "$WORK/acme" || die "the ACME authority did not start"
echo "pebble and challtestsrv up in $(ms_since "$t0") ms: $ACME_DIRECTORY_URL, DNS $ACME_DNS, HTTP-01 on $ACME_HTTP_PORT"
check "the DNS server answers 127.0.0.1 for any name" test "$(acme_dns_query a.smoke.test)" == 127.0.0.1
check "and no AAAA" test -z "$(acme_dns_query a.smoke.test AAAA 2>/dev/null)"
ROOT=$WORK/pebble-root.pem
acme_root_ca "$ROOT" || die "no root from pebble's management API"
check "pebble's root is a CA of pebble's" grep -q 'Pebble Root CA' <(openssl x509 -in "$ROOT" -noout -subject)

# ---- The webroot, served where pebble asks ----------------------------------------------------------
mkdir -p "$SERVER_ROOT/logs" "$SERVER_ROOT/run" "$WEBROOT"
echo probe >"$WEBROOT/probe.txt"
head=$(httpd_conf_head "$SERVER_ROOT" "$ACME_HTTP_PORT" authz_core log_config) || die "apache: the configuration's head"
cat >"$SERVER_ROOT/httpd.conf" <<EOF
$head
ServerName acme-e2e.invalid
DocumentRoot "$WEBROOT"
<Directory "$WEBROOT">
    Require all granted
</Directory>
LogFormat "%{Host}i %U %>s" hostpath
CustomLog "$SERVER_ROOT/logs/access.log" hostpath
EOF
chmod -R a+rX "$WORK"
env -i PATH="$PATH" "$APACHE2" -d "$SERVER_ROOT" -f "$SERVER_ROOT/httpd.conf" -DFOREGROUND \
    </dev/null >"$SERVER_ROOT/logs/stdout.log" 2>&1 &
HTTPD_PID=$!
for _ in $(seq 100); do
    [[ $(curl -s --noproxy '*' --max-time 2 "http://127.0.0.1:$ACME_HTTP_PORT/probe.txt" || true) == probe ]] && break
    sleep 0.1
done
[[ $(curl -s --noproxy '*' --max-time 2 "http://127.0.0.1:$ACME_HTTP_PORT/probe.txt" || true) == probe ]] ||
    die "Apache does not serve the webroot on 127.0.0.1:$ACME_HTTP_PORT"

# ---- A certificate for three names --------------------------------------------------------------------
# names_of CERT: the DNS names of the certificate, sorted, one a line.
names_of() {
    openssl x509 -in "$1" -noout -ext subjectAltName | sed -n 's/^ *//p' | tr ',' '\n' |
        sed -n 's/^ *DNS://p' | sort
}
LIVE=$ACME_DIR/config/live
t0=${EPOCHREALTIME/./}
if acme_certbot certonly --webroot -w "$WEBROOT" --cert-name smoke.test \
    -d a.smoke.test -d b.smoke.test -d www.smoke.test >"$WORK/certbot-smoke.log" 2>&1; then
    echo "ok:   certbot certonly --webroot for three names ($(ms_since "$t0") ms)"
else
    tail -n 20 "$WORK/certbot-smoke.log" >&2
    die "certbot certonly --webroot for three names"
fi
CERT=$LIVE/smoke.test
check "the certificate holds exactly a.smoke.test, b.smoke.test, www.smoke.test" \
    test "$(names_of "$CERT/fullchain.pem")" == "$(printf '%s\n' a.smoke.test b.smoke.test www.smoke.test)"
check "fullchain.pem is the certificate, then its chain" \
    test "$(cat "$CERT/cert.pem" "$CERT/chain.pem")" == "$(cat "$CERT/fullchain.pem")"
check "it chains to pebble's root (openssl verify with the root and the chain)" \
    openssl verify -CAfile "$ROOT" -untrusted "$CERT/chain.pem" "$CERT/fullchain.pem"
# Against another root the same verification must fail, or the check above proves nothing.
not_verified() { ! openssl verify -CAfile "$1" -untrusted "$2" "$3" >/dev/null 2>&1; }
check "and not to another root" not_verified "$ACME_CA_BUNDLE" "$CERT/chain.pem" "$CERT/fullchain.pem"
check "its key is the certificate's" \
    test "$(openssl pkey -in "$CERT/privkey.pem" -pubout)" == "$(openssl x509 -in "$CERT/cert.pem" -noout -pubkey)"
for name in a.smoke.test b.smoke.test www.smoke.test; do
    check "pebble asked this Apache for $name's challenge" \
        grep -qE "^${name//./\\.}(:$ACME_HTTP_PORT)? /\\.well-known/acme-challenge/[A-Za-z0-9_-]+ 200\$" \
        "$SERVER_ROOT/logs/access.log"
done

# ---- A name without DNS --------------------------------------------------------------------------------
acme_drop_name c.smoke.test || die "acme_drop_name c.smoke.test"
no_answer() { ! acme_dns_query "$1" 2>/dev/null; }
check "c.smoke.test gets no A answer" no_answer c.smoke.test
check "a.smoke.test still does" test "$(acme_dns_query a.smoke.test)" == 127.0.0.1
t0=${EPOCHREALTIME/./}
if acme_certbot certonly --webroot -w "$WEBROOT" --cert-name with-c.smoke.test \
    -d a.smoke.test -d c.smoke.test >"$WORK/certbot-with-c.log" 2>&1; then
    fail "an order with c.smoke.test succeeded"
else
    echo "ok:   an order with c.smoke.test fails ($(ms_since "$t0") ms)"
fi
check "certbot says pebble could not resolve c.smoke.test" grep -qE 'could not resolve URL "http://c\.smoke\.test[:/]' "$WORK/certbot-with-c.log"
check "and names no other domain as failed" \
    test "$(sed -n 's/^ *Domain: //p' "$WORK/certbot-with-c.log")" == c.smoke.test
check "and made no certificate for it" test ! -e "$LIVE/with-c.smoke.test"
t0=${EPOCHREALTIME/./}
if acme_certbot certonly --webroot -w "$WEBROOT" --cert-name without-c.smoke.test \
    -d a.smoke.test -d b.smoke.test >"$WORK/certbot-without-c.log" 2>&1; then
    echo "ok:   the same order without c.smoke.test passes ($(ms_since "$t0") ms)"
else
    tail -n 20 "$WORK/certbot-without-c.log" >&2
    fail "the same order without c.smoke.test"
fi
check "its certificate holds a.smoke.test and b.smoke.test" \
    test "$(names_of "$LIVE/without-c.smoke.test/cert.pem")" == "$(printf '%s\n' a.smoke.test b.smoke.test)"

# ---- Nothing left running -----------------------------------------------------------------------------
pids=("${ACME_PIDS[@]}")
acme_stop
alive=0
for pid in "${pids[@]}"; do ! kill -0 "$pid" 2>/dev/null || alive=$((alive + 1)); done
check "acme_stop stopped the ${#pids[@]} processes it started" test "$alive" -eq 0
silent() { ! acme__answers "$1" -k; }
check "pebble's directory no longer answers" silent "$ACME_DIRECTORY_URL"

acme_test_end
