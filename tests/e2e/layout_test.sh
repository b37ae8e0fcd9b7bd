#!/usr/bin/env bash
# End-to-end test of the layouts against a real Apache httpd: a packed output
# and a split output must pass `apache2 -t` and route every name to the site;
# an --https output, with self-signed certificates made here at the paths it
# names, must pass with mod_ssl, serve each group's names by SNI with that
# group's certificate, and --redirect must answer 301 to the same host and
# path on https.
#
# Usage: layout_test.sh KELVANE_CLI_PATH
#
# Apache runs from a private ServerRoot in a temp dir on free ports of
# 127.0.0.1; the system configuration and service are never touched. The
# HTTPS twins are written for port 443 and moved to a free port here.
# Overridable: APACHE2 (binary), APACHE_MODULES_DIR.

set -euo pipefail

readonly CURL_TIMEOUT=5
readonly START_TIMEOUT=20
readonly CMD_TIMEOUT=30

(($# == 1)) || { echo "usage: $0 KELVANE_CLI_PATH" >&2; exit 2; }
CLI=$1
[[ -x $CLI ]] || { echo "FAIL: kelvane-cli not found: $CLI" >&2; exit 2; }
# shellcheck disable=SC1091  # checked on its own
source "$(dirname "${BASH_SOURCE[0]}")/httpd-lib.sh"
httpd_find || { echo "FAIL: apache2 not found" >&2; exit 2; }
for tool in curl openssl python3; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool not found" >&2; exit 2; }
done

failures=0
checks=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }
check() { # LABEL COMMAND...: one check that passes when the command does
    local label=$1
    shift
    checks=$((checks + 1))
    if "$@"; then echo "ok:   $label"; else fail "$label"; fi
}

WORK=$(httpd_workdir kelvane-layout)
SERVER_ROOT=$WORK/server
ERROR_LOG=$SERVER_ROOT/logs/error.log
HTTPD_PID=
cleanup() {
    local rc=$?
    set +e
    httpd_stop "$HTTPD_PID"
    if ((rc != 0)) && [[ -s $ERROR_LOG ]]; then tail -n 20 "$ERROR_LOG" >&2; fi
    if [[ -n ${KEEP_WORKDIR:-} ]]; then echo "work dir kept: $WORK" >&2; else rm -rf -- "$WORK"; fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

read -r P_PACK P_SPLIT P_HTTP P_TLS P_FIRST <<<"$(httpd_free_ports 5)" || true
[[ -n ${P_FIRST:-} ]] || die "no free ports on 127.0.0.1"
echo "ports: packed $P_PACK, split $P_SPLIT, http $P_HTTP, https $P_TLS, redirect first $P_FIRST"

ROOT="$WORK/site root"
FALLBACK=$WORK/fallback
GEN=$WORK/gen
mkdir -p "$ROOT/some" "$FALLBACK" "$GEN/sites" "$GEN/certs" "$SERVER_ROOT/logs" "$SERVER_ROOT/run"
token=$$.$RANDOM
CONTENT="kelvane layout site $token"
printf '%s\n' "$CONTENT" >"$ROOT/index.html"
printf '%s\n' "$CONTENT" >"$ROOT/some/index.html"
printf '%s\n' "kelvane layout fallback $token" >"$FALLBACK/index.html"

# The list: 70 domains, one listed twice, one that is another's prefix alias,
# two names whose unkeyed 64-bit hashes were once equal, two lines that would
# be a catch-all (refused), and a wildcard (no certbot argument of its own).
DOMAINS=()
for i in $(seq 1 70); do DOMAINS+=("d$i.test"); done
DOMAINS+=(shop.example.com 3j59.vx0btth69j6)
LIST=$GEN/list.txt
printf '%s\n' "${DOMAINS[@]}" D5.TEST m.d7.test 'www.*' '*.' '*.wild.test' >"$LIST"
NAMES=()
for d in "${DOMAINS[@]}"; do NAMES+=("$d" "www.$d" "m.$d"); done
NAMES+=(www.m.d7.test m.m.d7.test)
WILD_NAMES=(any.wild.test www.any.wild.test m.any.wild.test)

run_cli() { # LABEL ARGS...
    local label=$1
    shift
    if ! timeout "$CMD_TIMEOUT" "$CLI" -q -s "$ROOT" -w -p m "$@" "$LIST" 2>"$GEN/stderr"; then
        cat "$GEN/stderr" >&2
        die "kelvane-cli $label failed"
    fi
}
run_cli packed --pack 0 --listen "127.0.0.1:$P_PACK" -o "$GEN/packed.conf"
run_cli split --pack 7 --listen "*:$P_SPLIT" --split "$GEN/sites"
run_cli https --pack 0 --listen "127.0.0.1:$P_HTTP" --https=all --cert-group any --redirect \
    --cert-path "$GEN/certs/{name}" --certbot "$GEN/certbot.sh" -o "$GEN/https.conf"
sed -i "s/:443>/:$P_TLS>/" "$GEN/https.conf"
# A redirecting entry that is the first at its address answers any host, an
# IPv6 literal too; its HTTPS twin is not needed here.
printf '%s\n' first.test >"$GEN/first-list.txt"
"$CLI" -q -s "$ROOT" --https=all --redirect --listen "127.0.0.1:$P_FIRST" "$GEN/first-list.txt" |
    awk '/<VirtualHost [^>]*:443>/ { skip = 1 } !skip { print } /<\/VirtualHost>/ { skip = 0 }' >"$GEN/first.conf" ||
    die "kelvane-cli first failed"

check "refused: the lines that would take every name" \
    test "$("$CLI" -s "$ROOT" --pack 0 -o /dev/null "$LIST" 2>&1 | grep -c 'a wildcard that takes every name')" -eq 2

check "packed: one entry" test "$(grep -c '<VirtualHost' "$GEN/packed.conf")" -eq 1
check "packed: each name once" test "$(grep -o ' [^ ]*\.test' "$GEN/packed.conf" | sort | uniq -d | wc -l)" -eq 0
check "split: 11 files of 7 domains" test "$(find "$GEN/sites" -name '*.conf' | wc -l)" -eq 11
# 3 names a domain: 33 domains a certificate, so 3 groups of 70 domains.
check "https: 3 certificate groups" test "$(wc -l <"$GEN/certbot.sh")" -eq 3

check "https: no certbot argument for a wildcard" test "$(grep -c -- "-d '[^']*[*?]" "$GEN/certbot.sh")" -eq 0

# A certbot line with a quote in the site path is one command a POSIX shell
# reads back exactly: checked by sh -n, and by running it with a certbot that
# prints its arguments.
QUOTED_ROOT="$WORK/it's a \"root\" \$HOME"
printf '%s\n' quote.test >"$GEN/quote-list.txt"
"$CLI" -q -s "$QUOTED_ROOT" --certbot "$GEN/quote.sh" -o /dev/null "$GEN/quote-list.txt" || die "kelvane-cli quote failed"
mkdir -p "$GEN/stub"
cat >"$GEN/stub/certbot" <<'STUB'
#!/bin/sh
for a in "$@"; do printf '[%s]\n' "$a"; done
STUB
chmod +x "$GEN/stub/certbot"
certbot_args() {
    sh -n "$GEN/quote.sh" &&
        [[ $(PATH="$GEN/stub:$PATH" sh "$GEN/quote.sh") == "$(printf '[%s]\n' certonly --webroot -w "$QUOTED_ROOT" \
            --cert-name quote.test -d quote.test)" ]]
}
check "certbot: a quote in the site path reaches certbot as typed" certbot_args

# One self-signed certificate per group, for that group's names, at the path
# the entries name; the names come from the certbot lines.
declare -A GROUP_OF
while read -r group rest; do
    read -ra names <<<"$rest"
    [[ $group == "${names[0]}" ]] || fail "certbot: --cert-name $group is not the first name ${names[0]}"
    ((${#names[@]} <= 100)) || fail "certbot: group $group has ${#names[@]} names"
    httpd_self_signed "$GEN/certs/$group" "$group" "${names[@]}" || die "openssl could not make the certificate of $group"
    # A name in two groups (a domain listed twice) is Apache's in the first.
    for n in "${names[@]}"; do [[ -n ${GROUP_OF[${n,,}]:-} ]] || GROUP_OF[${n,,}]=$group; done
done < <(httpd_certbot_groups "$GEN/certbot.sh")
check "https: the certbot lines hold every name" test "${#GROUP_OF[@]}" -eq "${#NAMES[@]}"
httpd_self_signed "$GEN/certs/sentinel" fallback.invalid || die "openssl could not make the sentinel's certificate"
chmod -R a+rX "$WORK"

conf_head=$(httpd_conf_head "$SERVER_ROOT" "$P_PACK $P_SPLIT $P_HTTP $P_TLS $P_FIRST" authz_core dir ssl rewrite socache_shmcb) ||
    die "cannot configure Apache"
CONF=$SERVER_ROOT/httpd.conf
# Each address group starts with a sentinel of the test's own: a name the
# entries do not hold lands there, never silently on the site.
cat >"$CONF" <<EOF
$conf_head
ServerName main.invalid
DocumentRoot "$FALLBACK"
DirectoryIndex index.html
<Directory />
    Require all denied
</Directory>
<Directory "$FALLBACK">
    Require all granted
</Directory>
<Directory "$ROOT">
    Require all granted
</Directory>
<VirtualHost 127.0.0.1:$P_PACK>
    ServerName fallback.invalid
</VirtualHost>
<VirtualHost *:$P_SPLIT>
    ServerName fallback.invalid
</VirtualHost>
<VirtualHost 127.0.0.1:$P_HTTP>
    ServerName fallback.invalid
</VirtualHost>
<VirtualHost 127.0.0.1:$P_TLS>
    ServerName fallback.invalid
    SSLEngine on
    SSLCertificateFile "$GEN/certs/sentinel/fullchain.pem"
    SSLCertificateKeyFile "$GEN/certs/sentinel/privkey.pem"
</VirtualHost>
Include "$GEN/packed.conf"
IncludeOptional "$GEN/sites/*.conf"
Include "$GEN/https.conf"
Include "$GEN/first.conf"
EOF
HTTPD=(env -i PATH="$PATH" "$APACHE2" -d "$SERVER_ROOT" -f "$CONF")

syntax=$(timeout "$CMD_TIMEOUT" "${HTTPD[@]}" -t 2>&1) || { echo "$syntax" >&2; die "apache2 -t refused the outputs"; }
check "apache2 -t: Syntax OK without warnings" test "$syntax" = "Syntax OK"

"${HTTPD[@]}" -DFOREGROUND </dev/null >"$SERVER_ROOT/logs/stdout.log" 2>&1 &
HTTPD_PID=$!
get() { # HOST PORT PATH [CURL ARGS...] -> "STATUS LOCATION BODY"
    local host=$1 port=$2 path=$3
    shift 3
    curl -s --noproxy '*' --max-time "$CURL_TIMEOUT" -H "Host: $host" -w '%{http_code} %{redirect_url} ' \
        -o "$GEN/body" "$@" "http://127.0.0.1:$port$path" || true
    cat "$GEN/body" 2>/dev/null
}
deadline=$((SECONDS + START_TIMEOUT))
until [[ $(get fallback.invalid "$P_PACK" /) == "200  kelvane layout fallback $token" ]]; do
    kill -0 "$HTTPD_PID" 2>/dev/null || { cat "$SERVER_ROOT/logs/stdout.log" >&2; die "apache exited"; }
    ((SECONDS < deadline)) || die "apache did not answer within ${START_TIMEOUT}s"
    sleep 0.2
done

# Many requests in one curl: NAME:PORT resolves to 127.0.0.1, each answer in
# a file of its own, and "NAME STATUS LOCATION" a line on standard output.
fetch_all() { # SCHEME PORT PATH CURL_ARGS... -- NAME...
    local scheme=$1 port=$2 path=$3 args=() n
    shift 3
    while [[ $1 != -- ]]; do args+=("$1"); shift; done
    shift
    rm -rf "$GEN/answers" && mkdir "$GEN/answers"
    for n in "$@"; do
        args+=(--resolve "$n:$port:127.0.0.1" "$scheme://$n:$port$path" -o "$GEN/answers/$n")
    done
    curl -s --noproxy '*' --max-time 60 -w '%{url_effective} %{http_code} %{redirect_url}\n' "${args[@]}" |
        sed -E "s|^${scheme}://([^:/]+):${port}[^ ]* |\1 |" || true
}
answered() { # WANT NAME...: each name's answer is the line the file WANT holds
    local want got n bad=()
    read -r want <"$1"
    shift
    # read, not a program a name: a few hundred processes take long on a busy machine.
    for n in "$@"; do
        got=
        [[ -f $GEN/answers/$n ]] && read -r got <"$GEN/answers/$n"
        [[ $got == "$want" ]] || bad+=("$n")
    done
    ((${#bad[@]} == 0)) || { echo "misrouted: ${bad[*]}" >&2; return 1; }
}
routed() { # PORT: every name reaches the site, an unknown one the sentinel
    fetch_all http "$1" / -- "${NAMES[@]}" "${WILD_NAMES[@]}" never-written.test >/dev/null
    answered "$ROOT/index.html" "${NAMES[@]}" "${WILD_NAMES[@]}" && answered "$FALLBACK/index.html" never-written.test
}
check "packed: every name routed to the site" routed "$P_PACK"
check "split: every name routed to the site" routed "$P_SPLIT"

# Each name by SNI, checked against its group's certificate alone: only the
# entry of that group can answer.
by_sni() {
    local group names n
    for group in $(printf '%s\n' "${GROUP_OF[@]}" | sort -u); do
        names=()
        for n in "${NAMES[@]}"; do [[ ${GROUP_OF[$n]} != "$group" ]] || names+=("$n"); done
        fetch_all https "$P_TLS" / --cacert "$GEN/certs/$group/fullchain.pem" -- "${names[@]}" >/dev/null
        answered "$ROOT/index.html" "${names[@]}" || return 1
    done
}
check "https: every name served by SNI with its group's certificate" by_sni

redirected() { # PATH: every name on the plain port: 301 to https, same host, path and query byte for byte
    local bad
    bad=$(fetch_all http "$P_HTTP" "$1" --path-as-is -- "${NAMES[@]}" |
        awk -v path="$1" '$2 != 301 || $3 != "https://" $1 path')
    [[ -z $bad ]] || { echo "not redirected: $bad" >&2; return 1; }
}
for path in "/some/?q=1" "/a%3Fb?c=%20d%3F" "//x//y" "/p?x?y"; do
    check "redirect: 301 to https with the host and $path" redirected "$path"
done
ipv6_redirected() { # an IPv6 literal keeps its brackets, without the plain port
    local got
    got=$(curl -s --noproxy '*' --max-time "$CURL_TIMEOUT" --path-as-is -H "Host: [::1]:$P_FIRST" -o /dev/null \
        -w '%{http_code} %{redirect_url}' "http://127.0.0.1:$P_FIRST/a%3Fb//c?d=1")
    [[ $got == "301 https://[::1]/a%3Fb//c?d=1" ]] || { echo "got: $got" >&2; return 1; }
}
check "redirect: an IPv6 host keeps its brackets" ipv6_redirected
challenge() { # certbot's challenges stay on http
    local got
    got=$(fetch_all http "$P_HTTP" /.well-known/acme-challenge/x -- d1.test)
    [[ $got == "d1.test 404 " ]] || { echo "challenge answered: $got" >&2; return 1; }
}
check "redirect: certbot's challenges stay on http" challenge

echo
if ((failures)); then
    echo "SUMMARY: FAILED, $failures of $checks checks"
    exit 1
fi
echo "SUMMARY: all $checks checks passed"
