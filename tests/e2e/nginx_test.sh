#!/usr/bin/env bash
# End-to-end test of --server-kind nginx against a real nginx on free ports of 127.0.0.1, from a
# private prefix (never the system's configuration or service): every layout (one block a domain,
# packed, all in one, split) must pass `nginx -t` and route each name to the site and nothing else;
# hostile site paths must be read back by nginx exactly; --https with self-signed certificates made
# here must serve each group's names by SNI with that group's certificate, and --redirect must
# answer 301 to the same host, path and query on https, but certbot's challenges.
#
# Usage: nginx_test.sh KELVANE_CLI_PATH    KELVANE_NGINX overrides the nginx binary (not NGINX, which
# nginx itself reads as the sockets it inherits).
set -uo pipefail

CLI=${1:?usage: nginx_test.sh KELVANE_CLI_PATH}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/e2e/httpd-lib.sh
# shellcheck disable=SC1091  # checked on its own
source "$here/httpd-lib.sh"
NGINX=${KELVANE_NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
SAMPLES=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../samples" && pwd)
unset KELVANE_NGINX
[[ -x $NGINX ]] || { echo "nginx not found: skipped"; exit 77; }

WORK=$(httpd_workdir kelvane-nginx) || exit 1
NGINX_PID=''
cleanup() {
    [[ -n $NGINX_PID ]] && httpd_stop "$NGINX_PID"
    rm -rf "$WORK"
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

read -r P_ONE P_PACK P_ALL P_SPLIT P_HTTP P_TLS P_HOSTILE P_TEMPLATE < <(httpd_free_ports 8) || die "no free ports"
mkdir -p "$WORK"/{site,tmp,split,certs,hostile}
echo site >"$WORK/site/index.html"
echo challenge >"$WORK/site/token" && mkdir -p "$WORK/site/.well-known/acme-challenge" &&
    cp "$WORK/site/token" "$WORK/site/.well-known/acme-challenge/token"

# 40 domains, one listed twice (nginx keeps the first, as Apache does, and warns), a trailing
# wildcard, and lines nginx cannot hold: a leading wildcard would get "www." before its '*'.
LIST=$WORK/list.txt
{
    for i in $(seq 1 40); do echo "d$i.example.test"; done
    echo d7.example.test
    echo '*.wild.test'
    echo 'tail.*'
    echo 'mid.*.test'
    echo 'q?.test'
} >"$LIST"
NAMES=()
for i in $(seq 1 40); do NAMES+=("d$i.example.test" "www.d$i.example.test" "m.d$i.example.test"); done
NAMES+=(tail.anything www.tail.anything)

gen() { "$CLI" --server-kind nginx -q -w -p m -s "$WORK/site" "$@" "$LIST"; }
"$CLI" --server-kind nginx -w -p m -s "$WORK/site" --listen "127.0.0.1:$P_ONE" -o "$WORK/one.conf" \
    --nginx-hash-conf "$WORK/hash.conf" "$LIST" 2>"$WORK/gen.err"
check "a refused line for each name nginx cannot hold" \
    test "$(grep -c 'a wildcard nginx does not take' "$WORK/gen.err")" -eq 3
gen --listen "127.0.0.1:$P_PACK" --pack 3 -o "$WORK/pack.conf"
gen --listen "127.0.0.1:$P_ALL" --pack 0 -o "$WORK/all.conf"
gen --listen "127.0.0.1:$P_SPLIT" --split "$WORK/split"
gen --listen "127.0.0.1:$P_HTTP" --https=all --cert-group any --redirect --pack 5 --cert-path "$WORK/certs/{name}" \
    --certbot "$WORK/certbot.sh" -o "$WORK/https.conf"
sed -i "s/listen 127.0.0.1:443 ssl/listen 127.0.0.1:$P_TLS ssl/" "$WORK/https.conf"
check "www before a leading wildcard is refused, a trailing one keeps it" \
    grep -q 'server_name tail\.\* www\.tail\.\* m\.tail\.\*;' "$WORK/one.conf"

# Hostile site paths: each must be the directory nginx serves for its own name.
HOSTILE=('sp ace' 'dq"uote' "sq'uote" 'back\slash' "end\\" 'tab\t' 'semi;colon' 'brace{}' 'hash#mark'
    'é ünï' '"' "'" '\"' 'new\nline')
: >"$WORK/hostile.conf"
for i in "${!HOSTILE[@]}"; do
    dir=$WORK/hostile/${HOSTILE[i]}
    mkdir -p "$dir" && echo "hostile $i" >"$dir/index.html"
    printf 'h%s.test\n' "$i" | "$CLI" --server-kind nginx -q -s "$dir" --listen "127.0.0.1:$P_HOSTILE" \
        >>"$WORK/hostile.conf" || fail "hostile path $i: the run failed"
    # The sample template, on a port of its own: the path quoted where it is a word alone, and
    # escaped inside a string of the test's own.
    sed -e "s/listen 80;/listen 127.0.0.1:$P_TEMPLATE;/" -e '/listen \[::\]:80;/d' \
        -e 's|^    access_log off;|    set $p "{sitePath}";\n    add_header X-Root $p;|' "$SAMPLES/nginx-site.conf" >"$WORK/template.conf"
    printf 'h%s.test\n' "$i" | "$CLI" --server-kind nginx -q -s "$dir" -t "$WORK/template.conf" \
        >>"$WORK/templated.conf" || fail "hostile path $i: the template run failed"
done
check "a '\$' in the site path is refused" \
    bash -c "! printf 'a.test\n' | '$CLI' --server-kind nginx -s '/srv/\$host' 2>/dev/null"

# A certificate for each group, made from the certbot lines.
declare -A GROUP_OF
while read -r group rest; do
    read -ra names <<<"$rest"
    httpd_self_signed "$WORK/certs/$group" "$group" "${names[@]}" || die "openssl: certificate of $group"
    for n in "${names[@]}"; do GROUP_OF[$n]=$group; done
done < <(httpd_certbot_groups "$WORK/certbot.sh")
# A group of wildcards alone gets no certbot line (the webroot method cannot prove one): a
# certificate of the test's own stands in.
sed -n 's|^    ssl_certificate "\(.*\)/fullchain.pem";\r$|\1|p' "$WORK/https.conf" | sort -u | while read -r dir; do
    [[ -f $dir/fullchain.pem ]] || httpd_self_signed "$dir" "${dir##*/}" || die "openssl: certificate in $dir"
done
httpd_self_signed "$WORK/certs/sentinel" fallback.invalid || die "openssl: the sentinel's certificate"
chmod -R a+rX "$WORK"

# A default server of the test's own on each port: a name the entries do not hold lands there.
CONF=$WORK/nginx.conf
{
    printf 'pid %s/nginx.pid;\nerror_log %s/error.log;\nworker_processes 1;\nevents {}\nhttp {\n' "$WORK" "$WORK"
    printf '    access_log off;\n    include %s/hash.conf;\n' "$WORK"
    for t in client_body proxy fastcgi uwsgi scgi; do printf '    %s_temp_path %s/tmp/%s;\n' "$t" "$WORK" "$t"; done
    for port in $P_ONE $P_PACK $P_ALL $P_SPLIT $P_HTTP $P_HOSTILE $P_TEMPLATE; do
        printf '    server { listen 127.0.0.1:%s default_server; return 421 sentinel; }\n' "$port"
    done
    printf '    server { listen 127.0.0.1:%s ssl default_server; ssl_certificate %s; ssl_certificate_key %s; return 421; }\n' \
        "$P_TLS" "$WORK/certs/sentinel/fullchain.pem" "$WORK/certs/sentinel/privkey.pem"
    for f in one pack all https hostile templated; do printf '    include %s/%s.conf;\n' "$WORK" "$f"; done
    printf '    include %s/split/*.conf;\n}\n' "$WORK"
} >"$CONF"

check "nginx -t accepts every layout" "$NGINX" -t -q -e "$WORK/error.log" -p "$WORK" -c "$CONF"
check "a domain listed twice is written once: nginx warns of no conflicting name" \
    bash -c "! grep -q 'conflicting server name' '$WORK/error.log'"
"$NGINX" -e "$WORK/error.log" -p "$WORK" -c "$CONF" || { cat "$WORK/error.log" >&2; die "nginx did not start"; }
for _ in $(seq 50); do [[ -s $WORK/nginx.pid ]] && break; sleep 0.1; done
NGINX_PID=$(cat "$WORK/nginx.pid" 2>/dev/null)

# body NAME PORT [PATH]: what nginx answers for NAME on PORT.
body() { curl -s --max-time 5 -H "Host: $1" "http://127.0.0.1:$2${3:-/}"; }
routes_all() {
    local port=$1 n ok=0
    for n in "${NAMES[@]}"; do
        [[ $(body "$n" "$port") == site ]] || { echo "  $n on $port: not the site" >&2; ok=1; }
    done
    [[ $(body unknown.test "$port") == sentinel ]] || { echo "  unknown.test on $port reached a site" >&2; ok=1; }
    return $ok
}
for layout in "one:$P_ONE" "pack:$P_PACK" "all:$P_ALL" "split:$P_SPLIT"; do
    check "${layout%%:*}: every name reaches the site, an unknown one does not" routes_all "${layout#*:}"
done
hostile_ok() {
    local i ok=0
    for i in "${!HOSTILE[@]}"; do
        [[ $(body "h$i.test" "$P_HOSTILE") == "hostile $i" ]] || { echo "  path '${HOSTILE[i]}' not served" >&2; ok=1; }
    done
    return $ok
}
check "each hostile site path is the directory nginx serves" hostile_ok
templated_ok() {
    local i ok=0 root
    for i in "${!HOSTILE[@]}"; do
        [[ $(body "h$i.test" "$P_TEMPLATE") == "hostile $i" ]] || { echo "  template: path '${HOSTILE[i]}' not served" >&2; ok=1; }
        root=$(curl -s --max-time 5 -o /dev/null -D - -H "Host: h$i.test" "http://127.0.0.1:$P_TEMPLATE/" |
            sed -n 's/^X-Root: \(.*\)\r$/\1/p')
        [[ $root == "$WORK/hostile/${HOSTILE[i]}" ]] || { echo "  template: set \$p read '$root'" >&2; ok=1; }
    done
    return $ok
}
check "the sample template: each hostile path is served, and read back inside a string" templated_ok

redirect_ok() {
    local got
    got=$(curl -s -o /dev/null --max-time 5 -w '%{http_code} %{redirect_url}' -H "Host: d3.example.test:$P_HTTP" \
        "http://127.0.0.1:$P_HTTP/a%3Fb//c?x=1&y")
    [[ $got == "301 https://d3.example.test/a%3Fb//c?x=1&y" ]] || { echo "  got: $got" >&2; return 1; }
    [[ $(body d3.example.test "$P_HTTP" /.well-known/acme-challenge/token) == challenge ]]
}
check "redirect: 301 with the path and query as sent; the challenges stay" redirect_ok
sni_ok() {
    local n subject ok=0
    for n in d1.example.test www.d9.example.test m.d40.example.test; do
        subject=$(echo | timeout 5 openssl s_client -connect "127.0.0.1:$P_TLS" -servername "$n" 2>/dev/null |
            openssl x509 -noout -subject 2>/dev/null)
        [[ $subject == *"CN = ${GROUP_OF[$n]:-?}"* ]] || { echo "  $n: $subject" >&2; ok=1; }
        [[ $(curl -sk --max-time 5 --resolve "$n:$P_TLS:127.0.0.1" "https://$n:$P_TLS/") == site ]] ||
            { echo "  $n: not the site over https" >&2; ok=1; }
    done
    return $ok
}
check "https: each name by SNI gets its group's certificate and the site" sni_ok
# HTTP/2 where this nginx has it: the run asked it (--http2 auto) in the form of its version.
http2_ok() {
    local want=1.1 got
    "$NGINX" -V 2>&1 | grep -q -- --with-http_v2_module && want=2
    got=$(curl -sk --http2 --max-time 5 -o /dev/null -w '%{http_version}' --resolve "d2.example.test:$P_TLS:127.0.0.1" \
        "https://d2.example.test:$P_TLS/")
    [[ $got == "$want" ]] || { echo "  HTTP/$got, not HTTP/$want" >&2; return 1; }
}
check "https: HTTP/2 as this nginx has it" http2_ok

# The server names hash sized for 100,000 domains with their www. and m. names and a few
# wildcards of each kind, all in one block beside a default server (nginx builds no hash for a
# lone block): nginx builds it with the sizes the run says, and could not with half the bucket.
BIG=$WORK/big
mkdir -p "$BIG"
{
    for i in $(seq 1 100000); do echo "site$i-$((i * 7919 % 100003)).example$((i % 13)).test"; done
    for i in $(seq 1 50); do echo "*.w$i.test"; echo "t$i.*"; done
} >"$BIG/list.txt"
"$CLI" --server-kind nginx -q -s "$WORK/site" --pack 0 --listen "127.0.0.1:$P_ONE" -o "$BIG/all.conf" \
    --nginx-hash-conf "$BIG/hash.conf" "$BIG/list.txt" 2>"$BIG/gen.err"
"$CLI" --server-kind nginx -q -w -p m -s "$WORK/site" --pack 0 --listen "127.0.0.1:$P_ONE" -o "$BIG/wm.conf" \
    --nginx-hash-conf "$BIG/wm-hash.conf" <(head -n 100000 "$BIG/list.txt") 2>>"$BIG/gen.err"
big_conf() { # HASH-FILE ENTRIES-FILE
    printf 'pid %s/nginx.pid;\nerror_log %s/error.log;\nevents {}\nhttp {\n    include %s;\n' "$BIG" "$BIG" "$1"
    printf '    server { listen 127.0.0.1:%s default_server; return 421; }\n    include %s;\n}\n' "$P_ONE" "$2"
}
hash_value() { sed -n "s/^$1 \\([0-9]*\\);.*/\\1/p" "$2"; }
big_ok() { # HASH-FILE ENTRIES-FILE NAMES
    local out bucket max
    big_conf "$1" "$2" >"$BIG/nginx.conf"
    out=$("$NGINX" -t -p "$BIG" -c "$BIG/nginx.conf" 2>&1) || { echo "$out" >&2; return 1; }
    [[ $out != *"could not build"* ]] || { echo "$out" | grep 'could not build' >&2; return 1; }
    bucket=$(hash_value server_names_hash_bucket_size "$1")
    max=$(hash_value server_names_hash_max_size "$1")
    ((max <= $3 + 1000)) || { echo "  max size $max for $3 names" >&2; return 1; }
    sed "s/^server_names_hash_bucket_size .*/server_names_hash_bucket_size $((bucket / 2));/" "$1" >"$BIG/half.conf"
    big_conf "$BIG/half.conf" "$2" >"$BIG/nginx.conf"
    out=$("$NGINX" -t -p "$BIG" -c "$BIG/nginx.conf" 2>&1)
    [[ $out == *"could not build"* ]] || { echo "  half the bucket ($((bucket / 2))) was enough" >&2; return 1; }
}
check "100,000 names and wildcards: nginx builds the hash with the sizes said, not with half the bucket" \
    big_ok "$BIG/hash.conf" "$BIG/all.conf" 100000
check "300,000 names (www. and m.): the same" big_ok "$BIG/wm-hash.conf" "$BIG/wm.conf" 300000
said_on_top() {
    local line
    line=$(head -n 1 "$BIG/all.conf")
    [[ $line == "# "*"server_names_hash_bucket_size $(hash_value server_names_hash_bucket_size "$BIG/hash.conf");"* &&
        $line == *"server_names_hash_max_size $(hash_value server_names_hash_max_size "$BIG/hash.conf");"* ]]
}
check "the output says the same sizes at its top" said_on_top

if ((failures > 0)); then
    echo "nginx_test: $failures check(s) failed" >&2
    sed 's/^/  error.log: /' "$WORK/error.log" | tail -20 >&2
    exit 1
fi
echo "nginx_test: all checks passed"
