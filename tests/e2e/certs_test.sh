#!/usr/bin/env bash
# The whole certificate loop against a real ACME authority (acme-lib.sh: pebble, its DNS server and
# certbot) and a private Apache: 300 domains over 12 registered domains, with their www names. The
# plain entries are written before any certificate exists and serve the webroot where pebble asks
# for its challenges; `certs plan --precheck` leaves out the one name the DNS server no longer
# answers and writes one certbot command per registered domain; its first wave obtains the 12
# certificates; the same run then writes the 12 HTTPS twins, and every name is served over TLS with
# its group's certificate (the name left out, by its group's entry with a certificate that does
# not cover it); `certs status` names the certificates, the name left out and an expired
# certificate planted here.
#
# Usage: certs_test.sh KELVANE_CLI_PATH
# Skipped (77) without pebble, pebble-challtestsrv, certbot, apache2, curl, openssl or python3.
# Overridable: APACHE2, APACHE_MODULES_DIR, PEBBLE, PEBBLE_CHALLTESTSRV, CERTBOT; KEEP_WORKDIR=1
# keeps the temp dir.
set -euo pipefail

readonly CMD_TIMEOUT=60
readonly START_TIMEOUT=20
readonly WAVE_TIMEOUT=200

(($# == 1)) || { echo "usage: $0 KELVANE_CLI_PATH" >&2; exit 2; }
CLI=$1
[[ -x $CLI ]] || { echo "FAIL: kelvane-cli not found: $CLI" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/e2e/httpd-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/httpd-lib.sh"
# shellcheck source=tests/e2e/acme-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/acme-lib.sh"
acme_test_begin certs
FALLBACK=$WORK/fallback

# ---- The list: 300 domains of 12 registered domains, 600 names with www -------------------------------
LIST=$WORK/list.txt
DROPPED=www.s3.reg5.test
declare -A GROUP_OF  # name -> N of its registered domain regN.test
NAMES=()
for n in $(seq 1 12); do
    for k in $(seq 1 25); do
        echo "s$k.reg$n.test"
        NAMES+=("s$k.reg$n.test" "www.s$k.reg$n.test")
        GROUP_OF[s$k.reg$n.test]=$n
        GROUP_OF[www.s$k.reg$n.test]=$n
    done
done >"$LIST"
# expected_names N: the names group N's certificate must hold, sorted, one a line.
expected_names() {
    local name
    for name in "${NAMES[@]}"; do
        [[ ${GROUP_OF[$name]} != "$1" || $name == "$DROPPED" ]] || echo "$name"
    done | sort
}
mkdir -p "$SERVER_ROOT/logs" "$SERVER_ROOT/run" "$WEBROOT" "$FALLBACK"
token=$$.$RANDOM
printf 'kelvane certs site %s\n' "$token" >"$WEBROOT/index.html"
printf 'kelvane certs fallback %s\n' "$token" >"$FALLBACK/index.html"

# ---- The authority ---------------------------------------------------------------------------------------
t0=${EPOCHREALTIME/./}
acme_start "$WORK/acme" || die "the ACME authority did not start"
echo "pebble up in $(ms_since "$t0") ms: $ACME_DIRECTORY_URL, DNS $ACME_DNS, HTTP-01 on $ACME_HTTP_PORT"
LIVE=$ACME_DIR/config/live
ROOT_CA=$WORK/pebble-root.pem
acme_root_ca "$ROOT_CA" || die "no root from pebble's management API"
read -r P_TLS <<<"$(httpd_free_ports 1)" || true
[[ -n ${P_TLS:-} ]] || die "no free port on 127.0.0.1"
httpd_self_signed "$WORK/sentinel" fallback.invalid || die "openssl could not make the sentinel's certificate"

# The certbot the plan runs: certbot as acme_certbot runs it against this pebble, and each call's
# arguments a line of certbot-calls.log.
CERTBOT_CMD=$WORK/certbot
CALLS=$WORK/certbot-calls.log
{
    echo '#!/usr/bin/env bash'
    printf 'export ACME_DIR=%q ACME_DIRECTORY_URL=%q ACME_CA_BUNDLE=%q ACME_CERTBOT_TIMEOUT=60\n' \
        "$ACME_DIR" "$ACME_DIRECTORY_URL" "$ACME_CA_BUNDLE"
    printf 'CERTBOT=%q\n' "$CERTBOT"
    printf 'source %q\n' "$here/acme-lib.sh"
    printf 'printf %%s\\\\n "$*" >>%q\n' "$CALLS"
    echo 'acme_certbot "$@"'
} >"$CERTBOT_CMD"
chmod +x "$CERTBOT_CMD"

# ---- The private Apache: a sentinel first at each address, then the run's entries --------------------------
CONF=$SERVER_ROOT/httpd.conf
HTTPS_CONF=$WORK/https.conf
HTTPD=(env -i PATH="$PATH" "$APACHE2" -d "$SERVER_ROOT" -f "$CONF")
# write_conf PORTS: the configuration for the plain port and, when PORTS names it, the TLS one.
write_conf() {
    local head tls=''
    head=$(httpd_conf_head "$SERVER_ROOT" "$1" authz_core dir log_config ssl socache_shmcb) || return 1
    if [[ " $1 " == *" $P_TLS "* ]]; then
        tls="<VirtualHost 127.0.0.1:$P_TLS>
    ServerName fallback.invalid
    SSLEngine on
    SSLCertificateFile \"$WORK/sentinel/fullchain.pem\"
    SSLCertificateKeyFile \"$WORK/sentinel/privkey.pem\"
</VirtualHost>"
    fi
    cat >"$CONF" <<EOF
$head
ServerName certs-e2e.invalid
DocumentRoot "$FALLBACK"
DirectoryIndex index.html
<Directory />
    Require all denied
</Directory>
<Directory "$FALLBACK">
    Require all granted
</Directory>
<Directory "$WEBROOT">
    Require all granted
</Directory>
LogFormat "%{Host}i %U %>s" hostpath
CustomLog "$SERVER_ROOT/logs/access.log" hostpath
<VirtualHost 127.0.0.1:$ACME_HTTP_PORT>
    ServerName fallback.invalid
</VirtualHost>
$tls
Include "$HTTPS_CONF"
EOF
}
syntax_ok() {
    local out
    out=$(timeout "$CMD_TIMEOUT" "${HTTPD[@]}" -t 2>&1) || { echo "$out" >&2; return 1; }
    [[ $out == "Syntax OK" ]] || { echo "$out" >&2; return 1; }
}
start_httpd() {
    local deadline=$((SECONDS + START_TIMEOUT))
    chmod -R a+rX "$WEBROOT" "$FALLBACK" "$SERVER_ROOT"
    "${HTTPD[@]}" -DFOREGROUND </dev/null >"$SERVER_ROOT/logs/stdout.log" 2>&1 &
    HTTPD_PID=$!
    until [[ $(curl -s --noproxy '*' --max-time 2 -H 'Host: fallback.invalid' \
        "http://127.0.0.1:$ACME_HTTP_PORT/" || true) == "kelvane certs fallback $token" ]]; do
        kill -0 "$HTTPD_PID" 2>/dev/null || { cat "$SERVER_ROOT/logs/stdout.log" >&2; die "apache exited"; }
        ((SECONDS < deadline)) || die "apache did not answer within ${START_TIMEOUT}s"
        sleep 0.2
    done
}

# fetch_all SCHEME PORT CURL_ARGS... -- NAME...: every name asked in one curl, NAME:PORT resolved to
# 127.0.0.1, each body in answers/NAME; "NAME STATUS CURL_EXIT" a line on standard output.
fetch_all() {
    local scheme=$1 port=$2 args=() n
    shift 2
    while [[ $1 != -- ]]; do args+=("$1"); shift; done
    shift
    rm -rf "$WORK/answers" && mkdir "$WORK/answers"
    for n in "$@"; do
        args+=(--resolve "$n:$port:127.0.0.1" "$scheme://$n:$port/" -o "$WORK/answers/$n")
    done
    curl -s --noproxy '*' --max-time 120 --connect-timeout 5 \
        -w '%{url_effective} %{http_code} %{exitcode}\n' "${args[@]}" |
        sed -E "s|^$scheme://([^:/]+):$port/ |\1 |" || true
}
# served SCHEME PORT CURL_ARGS... -- NAME...: each name answered 200 with the site's page.
served() {
    local name code rc body missed=() count=0 asked=("$@")
    # Names curl never got to are missed too.
    while [[ ${asked[0]} != -- ]]; do asked=("${asked[@]:1}"); done
    while read -r name code rc; do
        count=$((count + 1))
        body=''
        [[ ! -f $WORK/answers/$name ]] || read -r body <"$WORK/answers/$name" || true
        [[ $code == 200 && $rc == 0 && $body == "kelvane certs site $token" ]] || missed+=("$name:$code:$rc")
    done < <(fetch_all "$@")
    ((${#missed[@]} == 0)) || { echo "not served: ${missed[*]:0:10} (${#missed[@]} in all)" >&2; return 1; }
    ((count == ${#asked[@]} - 1)) || { echo "curl answered $count of $((${#asked[@]} - 1)) names" >&2; return 1; }
}

# run_cli OUTPUT STDERR ARG...: the run of the entries, the test's own options first; its status.
run_cli() {
    local out=$1 err=$2
    shift 2
    timeout "$CMD_TIMEOUT" "$CLI" -s "$WEBROOT" -w --pack 0 --https --listen "127.0.0.1:$ACME_HTTP_PORT" \
        --cert-path "$LIVE/{name}" "$@" -o "$out" "$LIST" 2>"$err"
}
# count_vhosts FILE PORT: how many entries FILE opens on PORT.
count_vhosts() { grep -c "^<VirtualHost [^>]*:$2>" "$1" || true; }

# The same entries for nginx, where it is installed: NGINX_BLOCKS FILE PORT counts the blocks that
# listen on PORT, and nginx_accepts FILE runs `nginx -t` on a configuration that includes FILE.
NGINX=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
[[ -x $NGINX ]] || NGINX=''
run_nginx_cli() { # OUTPUT
    timeout "$CMD_TIMEOUT" "$CLI" -q --server-kind nginx -s "$WEBROOT" -w --pack 0 --https \
        --listen "127.0.0.1:$ACME_HTTP_PORT" --cert-path "$LIVE/{name}" -o "$1" "$LIST"
}
nginx_blocks() { grep -c "^    listen [^ ;]*$2[ ;]" "$1" || true; }
nginx_accepts() {
    local prefix=$WORK/nginx
    mkdir -p "$prefix/logs" "$prefix/tmp"
    {
        printf 'pid %s/logs/nginx.pid;\nerror_log %s/logs/error.log warn;\nevents {}\nhttp {\n' "$prefix" "$prefix"
        printf '    server_names_hash_bucket_size 128;\n    server_names_hash_max_size 4096;\n'
        for t in client_body proxy fastcgi uwsgi scgi; do printf '    %s_temp_path %s/tmp/%s;\n' "$t" "$prefix" "$t"; done
        printf '    include %s;\n}\n' "$1"
    } >"$prefix/nginx.conf"
    timeout "$CMD_TIMEOUT" "$NGINX" -t -q -p "$prefix" -c "$prefix/nginx.conf"
}

# ---- Before any certificate: plain entries only, and they serve the challenges ---------------------------
t0=${EPOCHREALTIME/./}
rc=0
run_cli "$HTTPS_CONF" "$WORK/run1.err" -q || rc=$?
check "before issuing: the quiet --https run exits 0 (got $rc)" test "$rc" -eq 0
check "before issuing: 12 plain entries" test "$(count_vhosts "$HTTPS_CONF" "$ACME_HTTP_PORT")" -eq 12
check "before issuing: no port-443 entry" test "$(count_vhosts "$HTTPS_CONF" 443)" -eq 0
check "before issuing: no SSL directive at all" test "$(grep -c 'SSL' "$HTTPS_CONF" || true)" -eq 0
rc=0
run_cli "$WORK/https-loud.conf" "$WORK/run1-loud.err" || rc=$?
check "before issuing: the run without -q exits 0 too (got $rc)" test "$rc" -eq 0
check "before issuing: -q changes nothing in the entries" cmp -s "$HTTPS_CONF" "$WORK/https-loud.conf"
# waiting_lines FILE: the entries said to wait, as LINE:FIRST-DOMAIN, sorted.
waiting_lines() {
    sed -nE "s|^${LIST//./\\.}:([0-9]+): waiting for a certificate, .*(s1\\.reg[0-9]+\\.test).*|\1:\2|p" "$1" | sort
}
want_waiting=$(for n in $(seq 1 12); do echo "$(((n - 1) * 25 + 1)):s1.reg$n.test"; done | sort)
check "before issuing: stderr says each of the 12 entries waits for its certificate, at its first line" \
    test "$(waiting_lines "$WORK/run1-loud.err")" == "$want_waiting"
# waiting_names FILE: the names the waiting lines list, sorted, one a line.
waiting_names() {
    sed -nE "s|^${LIST//./\\.}:[0-9]+: waiting for a certificate, [^:]*: ||p" "$1" | sed 's/ (.*//' |
        tr ' ' '\n' | sort
}
check "before issuing: the waiting lines list the 600 names, each once" \
    test "$(waiting_names "$WORK/run1-loud.err")" == "$(printf '%s\n' "${NAMES[@]}" | sort)"
check "before issuing: the summary counts 600 names of 12 entries waiting" \
    grep -q '600 names of 12 entries waiting for a certificate' "$WORK/run1-loud.err"
if [[ -n $NGINX ]]; then
    run_nginx_cli "$WORK/nginx-before.conf" || die "the nginx run failed"
    check "before issuing, nginx: 12 plain blocks and none on 443" \
        test "$(nginx_blocks "$WORK/nginx-before.conf" "$ACME_HTTP_PORT"):$(nginx_blocks "$WORK/nginx-before.conf" 443)" == 12:0
    check "before issuing, nginx: nginx -t passes" nginx_accepts "$WORK/nginx-before.conf"
fi
write_conf "$ACME_HTTP_PORT" || die "cannot configure Apache"
check "before issuing: apache2 -t with mod_ssl passes, without warnings" syntax_ok
start_httpd
check "before issuing: every name is served over plain HTTP by the entries" \
    served http "$ACME_HTTP_PORT" -- "${NAMES[@]}"
echo "before issuing: $(ms_since "$t0") ms"

# ---- The plan -------------------------------------------------------------------------------------------
acme_drop_name "$DROPPED" || die "acme_drop_name $DROPPED"
PLAN=$WORK/plan.sh
t0=${EPOCHREALTIME/./}
rc=0
timeout "$CMD_TIMEOUT" "$CLI" certs plan -s "$WEBROOT" -w --pack 0 --precheck --dns "$ACME_DNS" \
    --server-addr 127.0.0.1 --certbot-cmd "$CERTBOT_CMD" -o "$PLAN" "$LIST" 2>"$WORK/plan.err" || rc=$?
echo "certs plan --precheck: exit $rc in $(ms_since "$t0") ms; its stderr:"
sed 's/^/    /' "$WORK/plan.err"
[[ -s $PLAN ]] || die "certs plan wrote no plan"
check "plan: exits 0, the plan written (got $rc)" test "$rc" -eq 0
check "plan: sh -n accepts it" sh -n "$PLAN"

# plan_commands FILE CMD: each command of FILE that runs CMD, its words as sh reads them, on a line.
plan_commands() {
    python3 - "$1" "$2" <<'PY'
import shlex, sys
text = open(sys.argv[1]).read().replace("\\\n", " ")
ops = {";", ";;", "&&", "||", "|", "&", "(", ")"}
for line in text.splitlines():
    lex = shlex.shlex(line, posix=True, punctuation_chars=True)
    lex.whitespace_split = True
    lex.commenters = "#"
    words = list(lex)
    while sys.argv[2] in words:
        words = words[words.index(sys.argv[2]) + 1:]
        end = next((i for i, w in enumerate(words) if w in ops), len(words))
        print(" ".join(words[:end]))
        words = words[end:]
PY
}
plan_commands "$PLAN" "$CERTBOT_CMD" >"$WORK/plan-commands.txt" || die "the plan could not be read"
check "plan: exactly 12 certbot commands" test "$(wc -l <"$WORK/plan-commands.txt")" -eq 12
# Each command: certonly --webroot -w WEBROOT --cert-name FIRST -d NAME..., all of one registered
# domain, at most 100; what it holds goes to plan-groups.txt as "N NAME...".
plan_groups() {
    local words i cert names group bad=0
    : >"$WORK/plan-groups.txt"
    while read -ra words; do
        cert='' names=() group=''
        [[ ${words[0]:-} == certonly && ${words[1]:-} == --webroot && ${words[2]:-} == -w &&
            ${words[3]:-} == "$WEBROOT" ]] || { echo "not certonly --webroot -w $WEBROOT: ${words[*]:0:6}" >&2; bad=1; }
        for ((i = 4; i < ${#words[@]}; i++)); do
            case ${words[i]} in
                --cert-name) cert=${words[++i]} ;;
                -d) names+=("${words[++i]}") ;;
                *) echo "unexpected word ${words[i]}" >&2; bad=1 ;;
            esac
        done
        ((${#names[@]} > 0)) || { echo "a command without -d" >&2; bad=1; continue; }
        [[ $cert == "${names[0]}" ]] || { echo "--cert-name $cert, first -d ${names[0]}" >&2; bad=1; }
        ((${#names[@]} <= 100)) || { echo "$cert: ${#names[@]} names" >&2; bad=1; }
        group=${GROUP_OF[${names[0]}]:-?}
        for n in "${names[@]}"; do
            [[ ${GROUP_OF[$n]:-!} == "$group" ]] || { echo "$cert: $n is not of reg$group.test" >&2; bad=1; break; }
        done
        echo "$group ${names[*]}" >>"$WORK/plan-groups.txt"
    done <"$WORK/plan-commands.txt"
    return "$bad"
}
check "plan: each command is certonly --webroot in the site path, --cert-name its first name, at most 100 names of one registered domain" \
    plan_groups
not_planned() { ! grep -qw -- "${DROPPED//./\\.}" "$WORK/plan-groups.txt"; }
check "plan: $DROPPED is in no command" not_planned
# every_name_once: each name but the dropped one in exactly one command, and nothing else.
every_name_once() {
    local got want
    got=$(cut -d' ' -f2- "$WORK/plan-groups.txt" | tr ' ' '\n' | sort)
    want=$(printf '%s\n' "${NAMES[@]}" | grep -vxF "$DROPPED" | sort)
    [[ $got == "$want" ]] || { diff <(echo "$want") <(echo "$got") | head -n 5 >&2; return 1; }
}
check "plan: every other name in exactly one command" every_name_once
check "plan: the 12 registered domains each in one command" \
    test "$(cut -d' ' -f1 "$WORK/plan-groups.txt" | sort -n | tr '\n' ' ')" == "$(seq 1 12 | tr '\n' ' ')"
# The dropped name is on line 103 of the list, with s3.reg5.test.
check "plan: stderr says $DROPPED is pending, with its line and a reason" \
    grep -qE "^${LIST//./\\.}:103: pending: ${DROPPED//./\\.}: .+" "$WORK/plan.err"
check "plan: and no other name" test "$(grep -c ': pending: ' "$WORK/plan.err" || true)" -eq 1
check "plan: the script says it pending in a comment" grep -qE "^# pending: ${DROPPED//./\\.}: .+" "$PLAN"
check "plan: and no other name there" test "$(grep -c '^# pending: ' "$PLAN" || true)" -eq 1
# The same plan for a server at another address: every name points elsewhere, so none is ordered.
timeout "$CMD_TIMEOUT" "$CLI" certs plan -s "$WEBROOT" -w --pack 0 --precheck --dns "$ACME_DNS" \
    --server-addr 192.0.2.1 --certbot-cmd "$CERTBOT_CMD" -o "$WORK/plan-elsewhere.sh" "$LIST" \
    2>"$WORK/plan-elsewhere.err" || true
plan_commands "$WORK/plan-elsewhere.sh" "$CERTBOT_CMD" >"$WORK/plan-elsewhere.txt" 2>/dev/null || true
check "plan for another server address: no certbot command" test ! -s "$WORK/plan-elsewhere.txt"
check "plan for another server address: www.s25.reg12.test pending in the script" \
    grep -qE '^# pending: www\.s25\.reg12\.test: .+' "$WORK/plan-elsewhere.sh"

# ---- The first wave --------------------------------------------------------------------------------------
t0=${EPOCHREALTIME/./}
rc=0
timeout -k 5 "$WAVE_TIMEOUT" sh "$PLAN" 1 >"$WORK/wave1.log" 2>&1 || rc=$?
echo "sh plan.sh 1: exit $rc in $(ms_since "$t0") ms"
((rc == 0)) || tail -n 20 "$WORK/wave1.log" >&2
check "wave 1: exits 0 (got $rc)" test "$rc" -eq 0
check "wave 1: ran certbot 12 times, each with a command of the plan" \
    test "$(sort "$CALLS" 2>/dev/null)" == "$(sort "$WORK/plan-commands.txt")"
check "wave 1: 12 certificate directories" test "$(find "$LIVE" -mindepth 1 -maxdepth 1 -type d | wc -l)" -eq 12
# names_of CERT: the DNS names of the certificate, sorted, one a line.
names_of() {
    openssl x509 -in "$1" -noout -ext subjectAltName 2>/dev/null | sed -n 's/^ *//p' | tr ',' '\n' |
        sed -n 's/^ *DNS://p' | sort
}
# issued: each group's certificate, named after its command's first name, holds its names.
issued() {
    local group first rest bad=0
    while read -r group first rest; do
        [[ $(names_of "$LIVE/$first/fullchain.pem") == "$(expected_names "$group")" ]] ||
            { echo "$LIVE/$first/fullchain.pem does not hold reg$group.test's names" >&2; bad=1; }
    done <"$WORK/plan-groups.txt"
    return "$bad"
}
check "wave 1: each certificate holds its group's names, all but $DROPPED" issued
# challenged: pebble asked the entries for every name's challenge but the dropped one's.
challenged() {
    local got want
    got=$(sed -nE "s|^([^ :]+)(:$ACME_HTTP_PORT)? /\\.well-known/acme-challenge/[A-Za-z0-9_-]+ 200\$|\1|p" \
        "$SERVER_ROOT/logs/access.log" | sort -u)
    want=$(printf '%s\n' "${NAMES[@]}" | grep -vxF "$DROPPED" | sort)
    [[ $got == "$want" ]]
}
check "wave 1: the entries served pebble every challenge but $DROPPED's" challenged

# ---- With the certificates: 12 HTTPS twins, every name over TLS ------------------------------------------
t0=${EPOCHREALTIME/./}
rc=0
run_cli "$HTTPS_CONF" "$WORK/run2.err" || rc=$?
check "after issuing: the --https run exits 0 (got $rc)" test "$rc" -eq 0
check "after issuing: 12 port-443 entries" test "$(count_vhosts "$HTTPS_CONF" 443)" -eq 12
if [[ -n $NGINX ]]; then
    run_nginx_cli "$WORK/nginx-after.conf" || die "the nginx run failed"
    check "after issuing, nginx: 12 blocks on 443, each with its group's certificate" \
        test "$(nginx_blocks "$WORK/nginx-after.conf" 443):$(grep -c "ssl_certificate \"$LIVE/s1\.reg[0-9]*\.test/fullchain\.pem\";" "$WORK/nginx-after.conf")" == 12:12
    check "after issuing, nginx: nginx -t passes with the certificates" nginx_accepts "$WORK/nginx-after.conf"
fi
check "after issuing: still 12 plain ones" test "$(count_vhosts "$HTTPS_CONF" "$ACME_HTTP_PORT")" -eq 12
check "after issuing: nothing waits any more" test "$(grep -c 'waiting for a certificate' "$WORK/run2.err" || true)" -eq 0
# Each twin names its group's files.
cert_files() {
    local group first rest
    while read -r group first rest; do
        if ! grep -F "$LIVE/$first/fullchain.pem" "$HTTPS_CONF" | grep -q '^ *SSLCertificateFile ' ||
            ! grep -F "$LIVE/$first/privkey.pem" "$HTTPS_CONF" | grep -q '^ *SSLCertificateKeyFile '; then
            echo "no twin with reg$group.test's $LIVE/$first" >&2
            return 1
        fi
    done <"$WORK/plan-groups.txt"
}
check "after issuing: each twin uses its certificate's fullchain.pem and privkey.pem" cert_files
sed -i "s/:443>/:$P_TLS>/" "$HTTPS_CONF"
httpd_stop "$HTTPD_PID"
HTTPD_PID=''
write_conf "$ACME_HTTP_PORT $P_TLS" || die "cannot configure Apache"
check "after issuing: apache2 -t passes, without warnings" syntax_ok
start_httpd
others=()
for name in "${NAMES[@]}"; do [[ $name == "$DROPPED" ]] || others+=("$name"); done
check "after issuing: ${#others[@]} names served over HTTPS, verified against pebble's root" \
    served https "$P_TLS" --cacert "$ROOT_CA" -- "${others[@]}"
# The dropped name reaches its group's entry, whose certificate does not cover it.
refused() {
    local line
    line=$(fetch_all https "$P_TLS" --cacert "$ROOT_CA" -- "$DROPPED")
    [[ $line == "$DROPPED 000 60" ]] || { echo "got: $line" >&2; return 1; }
}
check "after issuing: curl refuses $DROPPED's certificate (exit 60)" refused
check "after issuing: without verification $DROPPED gets the site" served https "$P_TLS" -k -- "$DROPPED"
# served_names NAME: the DNS names of the certificate the TLS port gives for NAME, sorted.
served_names() {
    timeout 10 openssl s_client -connect "127.0.0.1:$P_TLS" -servername "$1" </dev/null 2>/dev/null |
        openssl x509 -noout -ext subjectAltName 2>/dev/null | sed -n 's/^ *//p' | tr ',' '\n' |
        sed -n 's/^ *DNS://p' | sort
}
# by_sni: a name of each group (the www one every other group), and the dropped name, each given
# exactly its group's certificate.
by_sni() {
    local n name got bad=0
    for n in $(seq 1 12) 5; do
        name=s$(((n * 7) % 25 + 1)).reg$n.test
        ((n % 2)) || name=www.$name
        got=$(served_names "$name")
        [[ $got == "$(expected_names "$n")" ]] || { echo "$name: served another certificate" >&2; bad=1; continue; }
        [[ $name == "$DROPPED" ]] || grep -qxF "$name" <<<"$got" || { echo "$name: not in it" >&2; bad=1; }
    done
    got=$(served_names "$DROPPED")
    [[ $got == "$(expected_names 5)" ]] || { echo "$DROPPED: not reg5.test's certificate" >&2; bad=1; }
    return "$bad"
}
check "after issuing: openssl s_client gets each group's certificate for its names, and reg5.test's for $DROPPED" by_sni
echo "after issuing: $(ms_since "$t0") ms"

# ---- certs status ----------------------------------------------------------------------------------------
# An expired certificate of expired.test and www.expired.test, in the place the entries name.
EXPIRED=$LIVE/expired.test
make_expired() {
    local d=$WORK/expired-ca
    mkdir -p "$d/new" "$EXPIRED" && : >"$d/index.txt" && echo 01 >"$d/serial" || return 1
    cat >"$d/ca.cnf" <<EOF
[ca]
default_ca = expired
[expired]
database = $d/index.txt
new_certs_dir = $d/new
serial = $d/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
EOF
    if ! openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=expired.test \
        -addext subjectAltName=DNS:expired.test,DNS:www.expired.test \
        -keyout "$EXPIRED/privkey.pem" -out "$d/req.pem" 2>"$d/openssl.log" ||
        ! openssl ca -batch -config "$d/ca.cnf" -selfsign -keyfile "$EXPIRED/privkey.pem" -in "$d/req.pem" \
            -startdate 20200101000000Z -enddate 20200201000000Z -notext -out "$EXPIRED/fullchain.pem" \
            2>>"$d/openssl.log"; then
        cat "$d/openssl.log" >&2
        return 1
    fi
}
make_expired || die "openssl could not make the expired certificate"
check "status: the planted certificate has expired" \
    test "$(openssl x509 -in "$EXPIRED/fullchain.pem" -noout -checkend 0 >/dev/null && echo valid || echo expired)" == expired

STATUS_LIST=$WORK/status-list.txt
{ cat "$LIST"; echo expired.test; } >"$STATUS_LIST"
# status LIST OUT: certs status with the run's options, its report in OUT; its exit status.
status() {
    local rc=0
    timeout "$CMD_TIMEOUT" "$CLI" certs status -s "$WEBROOT" -w --pack 0 --cert-path "$LIVE/{name}" "$1" \
        >"$2" 2>"$2.err" || rc=$?
    return "$rc"
}
rc=0
status "$STATUS_LIST" "$WORK/status.out" || rc=$?
echo "certs status: exit $rc; its output, names cut short:"
cut -c1-150 "$WORK/status.out" "$WORK/status.out.err" | sed 's/^/    /' | head -n 30
check "status: exit 3, something needs action (got $rc)" test "$rc" -eq 3
# Each certificate a line "GROUP: STATE: ...; covers NAME...": the 12 issued ones ok, each covering
# exactly its group's names but the dropped one.
status_groups() {
    local group first rest line bad=0
    while read -r group first rest; do
        line=$(grep -E "^${first//./\\.}: " "$WORK/status.out") || { echo "no line for $first" >&2; bad=1; continue; }
        [[ $line == "$first: ok: "* ]] || { echo "not ok: ${line:0:120}" >&2; bad=1; }
        [[ $(tr ' ' '\n' <<<"${line##*; covers }" | sort) == "$(expected_names "$group")" ]] ||
            { echo "$first: covers other names than reg$group.test's" >&2; bad=1; }
    done <"$WORK/plan-groups.txt"
    return "$bad"
}
check "status: each issued certificate ok, covering its group's names" status_groups
check "status: expired.test's certificate expired" grep -qE '^expired\.test: expired' "$WORK/status.out"
check "status: $DROPPED not covered, at line 103" \
    grep -qE "^${STATUS_LIST//./\\.}:103: not covered: ${DROPPED//./\\.}([^.a-z0-9]|\$)" "$WORK/status.out"
check "status: and no other name" test "$(grep -c ': not covered: ' "$WORK/status.out" || true)" -eq 1
check "status: nothing out of the list" test "$(grep -c ': not in the list: ' "$WORK/status.out" || true)" -eq 0

# One group of the list, covered and valid for years: nothing to do, and the other certificates are
# said to be out of the list; with the expired certificate beside it, something to do again.
head -n 25 "$LIST" >"$WORK/reg1.txt"
rc=0
status "$WORK/reg1.txt" "$WORK/status-reg1.out" || rc=$?
check "status: reg1.test alone, covered and valid: exit 0 (got $rc)" test "$rc" -eq 0
out_of_list() {
    local n
    for n in $(seq 2 12) expired; do
        [[ $n == expired ]] && n=expired.test || n=s1.reg$n.test
        grep -F "$LIVE/$n" "$WORK/status-reg1.out" | grep -q ': not in the list: ' ||
            { echo "$LIVE/$n not said out of the list" >&2; return 1; }
    done
}
check "status: reg1.test alone: the 11 other certificates and expired.test's are out of the list" out_of_list
{ cat "$WORK/reg1.txt"; echo expired.test; } >"$WORK/reg1-expired.txt"
rc=0
status "$WORK/reg1-expired.txt" "$WORK/status-reg1-expired.out" || rc=$?
check "status: reg1.test and the expired certificate: exit 3 (got $rc)" test "$rc" -eq 3
# A domain taken out of the list: its names are still on reg1.test's certificate.
grep -vxF s25.reg1.test "$WORK/reg1.txt" >"$WORK/reg1-less.txt"
rc=0
status "$WORK/reg1-less.txt" "$WORK/status-reg1-less.out" || rc=$?
names_out() {
    local n
    for n in s25.reg1.test www.s25.reg1.test; do
        grep -qE "^s1\.reg1\.test: not in the list: ${n//./\\.}( |\$)" "$WORK/status-reg1-less.out" ||
            { echo "$n not said out of the list" >&2; return 1; }
    done
}
check "status: s25.reg1.test out of the list: its two names on the certificate said so" names_out

acme_test_end
