#!/usr/bin/env bash
# End-to-end test of `kelvane-cli check --routes`: its prediction of the block that serves each
# name of a run must be what a real Apache httpd and a real nginx, running side by side, answer
# once the run's output is in place. Each server has blocks of its own on one port (exact names,
# leading wildcards of two lengths, trailing wildcards, a regular expression on nginx, a default
# server) and a block with the same names on a second port; each block answers with a marker of
# its own, mapped here to the block's file and line by reading the configuration this test wrote.
# A list of names those blocks compete for is checked, generated and requested twice:
#   A: the output is not loaded yet when check runs, and is then included after every block;
#   B: the output is included between two blocks (before one with a name of the list) and loaded
#      before check runs, so the entries stand where the file is included.
# The two servers choose differently for some names (Apache: the first vhost with a matching
# name or wild alias; nginx: an exact name before any wildcard); the test requires that they do,
# so that both rules are proven, and that B moves some name from a block to the entries.
#
# Usage: routes_test.sh KELVANE_CLI_PATH
# Both servers run from private roots in a temp dir on free ports of 127.0.0.1; the system's
# configuration and services are never touched. Skipped (77) without apache2 or nginx.
# Overridable: APACHE2, APACHE_MODULES_DIR, KELVANE_NGINX (not NGINX, which nginx reads itself).
set -uo pipefail

CLI=${1:?usage: routes_test.sh KELVANE_CLI_PATH}
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

WORK=$(httpd_workdir kelvane-routes) || exit 1
AW=$WORK/apache
NW=$WORK/nginx
SR=$AW/server
HTTPD_PID=''
NGINX_PID=''
cleanup() {
    local rc=$?
    set +e
    httpd_stop "$HTTPD_PID"
    httpd_stop "$NGINX_PID"
    if ((rc != 0)); then tail -n 10 "$SR/logs/error.log" "$NW/error.log" >&2 2>/dev/null; fi
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

read -r AP1 AP2 NP1 NP2 < <(httpd_free_ports 4) || true
[[ -n ${NP2:-} ]] || die "no free ports on 127.0.0.1"
echo "ports: apache $AP1 (the names), $AP2 (the other port); nginx $NP1, $NP2"
mkdir -p "$SR/logs" "$SR/run" "$AW/conf" "$AW/runA" "$AW/runB" "$AW/www" \
    "$NW/conf" "$NW/runA" "$NW/runB" "$NW/tmp"

# The list: names under a leading wildcard (and under two), a name that wildcard does not take,
# one a trailing wildcard takes with www., one the regular expression takes, names blocks already
# have (one in upper case, held by the block B puts after the entries), and new names.
LIST=$WORK/list.txt
printf '%s\n' b.a.test c.b.a.test a.test shop.test re7.test dup.test TWIN.test late.test \
    fresh.test Mixed.Case.test >"$LIST"
RUN_OPTS=(-w -p m)

# ---- Apache: the blocks, each serving /marker.txt from a root of its own ------------------------
apache_vhost() { # ADDR MARKER DIRECTIVE...: a vhost whose root serves MARKER
    local addr=$1 marker=$2
    shift 2
    mkdir -p "$AW/www/$marker" && echo "$marker" >"$AW/www/$marker/marker.txt"
    printf '<VirtualHost %s>\n' "$addr"
    printf '    %s\n' "$@"
    printf '    DocumentRoot "%s"\n</VirtualHost>\n' "$AW/www/$marker"
}
A_FIRST=$AW/conf/first.conf
A_LATER=$AW/conf/later.conf
A_OTHER=$AW/conf/other-port.conf
{
    echo "# The vhosts before the list: the first of the port is its default."
    apache_vhost "127.0.0.1:$AP1" a-default "ServerName default.test"
    apache_vhost "127.0.0.1:$AP1" a-dup "ServerName dup.test"
    apache_vhost "127.0.0.1:$AP1" a-wild-a "ServerName wild-a.test" "ServerAlias *.a.test"
    apache_vhost "127.0.0.1:$AP1" a-wild-ba "ServerName wild-ba.test" "ServerAlias *.b.a.test"
    apache_vhost "127.0.0.1:$AP1" a-shop "ServerName shop-tail.test" "ServerAlias www.shop.*"
    apache_vhost "127.0.0.1:$AP1" a-re "ServerName re-like.test" "ServerAlias re?.test"
} >"$A_FIRST"
apache_vhost "127.0.0.1:$AP1" a-late "ServerName late.test" "ServerAlias twin.test" >"$A_LATER"
apache_vhost "127.0.0.1:$AP2" a-port2 "ServerName b.a.test" "ServerAlias dup.test fresh.test *.a.test" >"$A_OTHER"
A_MARKERS=(a-default a-dup a-wild-a a-wild-ba a-shop a-re a-late a-port2)
echo a-new-A >"$AW/www/siteA.txt"
echo a-new-B >"$AW/www/siteB.txt"
mkdir -p "$AW/siteA" "$AW/siteB"
mv "$AW/www/siteA.txt" "$AW/siteA/marker.txt" && mv "$AW/www/siteB.txt" "$AW/siteB/marker.txt"

conf_head=$(httpd_conf_head "$SR" "$AP1 $AP2" authz_core) || exit 1
apache_conf() { # FILE INCLUDE_LINE...: the server's configuration with those includes, in order
    local file=$1
    shift
    {
        printf '%s\nServerName routes-e2e.invalid\n<Directory "%s">\n    Require all granted\n</Directory>\n' \
            "$conf_head" "$WORK"
        printf '%s\n' "$@"
    } >"$file"
}
A_OUT_A=$AW/runA/sites.conf
A_OUT_B=$AW/runB/sites.conf
A_CONF_A=$SR/httpd-A.conf
A_CONF_B=$SR/httpd-B.conf
apache_conf "$A_CONF_A" "Include \"$A_FIRST\"" "Include \"$A_LATER\"" "Include \"$A_OTHER\"" \
    "IncludeOptional \"$A_OUT_A\""
apache_conf "$A_CONF_B" "Include \"$A_FIRST\"" "Include \"$A_OUT_B\"" "Include \"$A_LATER\"" \
    "Include \"$A_OTHER\""

# ---- nginx: the blocks, each returning its marker ------------------------------------------------
nginx_block() { # LISTEN MARKER SERVER_NAME...: a block that answers MARKER
    local listen=$1 marker=$2
    shift 2
    printf 'server {\n    listen %s;\n' "$listen"
    (($# == 0)) || printf '    server_name %s;\n' "$*"
    printf '    return 200 "%s";\n}\n' "$marker"
}
N_FIRST=$NW/conf/first.conf
N_LATER=$NW/conf/later.conf
N_OTHER=$NW/conf/other-port.conf
{
    echo "# The blocks before the list."
    nginx_block "127.0.0.1:$NP1" n-dup dup.test
    nginx_block "127.0.0.1:$NP1" n-wild-a '*.a.test'
    nginx_block "127.0.0.1:$NP1" n-wild-ba '*.b.a.test'
    nginx_block "127.0.0.1:$NP1" n-shop 'www.shop.*'
    nginx_block "127.0.0.1:$NP1" n-www 'www.*'
    nginx_block "127.0.0.1:$NP1" n-re '~^re[0-9]+\.test$'
    nginx_block "127.0.0.1:$NP1 default_server" n-default default.test
} >"$N_FIRST"
nginx_block "127.0.0.1:$NP1" n-late late.test twin.test >"$N_LATER"
nginx_block "127.0.0.1:$NP2" n-port2 b.a.test dup.test fresh.test '*.a.test' >"$N_OTHER"
N_MARKERS=(n-dup n-wild-a n-wild-ba n-shop n-www n-re n-default n-late n-port2)
mkdir -p "$NW/siteA" "$NW/siteB"
echo n-new-A >"$NW/siteA/marker.txt"
echo n-new-B >"$NW/siteB/marker.txt"

nginx_conf() { # FILE INCLUDE...: the server's configuration with those includes, in order
    local file=$1 t
    shift
    {
        printf 'pid %s/nginx.pid;\nerror_log %s/error.log;\nworker_processes 1;\nevents {}\nhttp {\n' "$NW" "$NW"
        printf '    access_log off;\n    server_names_hash_bucket_size 128;\n'
        # The first name of the block that answered, for the entries, which share one root.
        # shellcheck disable=SC2016  # nginx's variable, not the shell's
        printf '    add_header X-Server-Name "$server_name" always;\n'
        for t in client_body proxy fastcgi uwsgi scgi; do printf '    %s_temp_path %s/tmp/%s;\n' "$t" "$NW" "$t"; done
        printf '    include %s;\n' "$@"
        printf '}\n'
    } >"$file"
}
N_OUT_A=$NW/runA/sites.conf
N_OUT_B=$NW/runB/sites.conf
N_CONF_A=$NW/nginx-A.conf
N_CONF_B=$NW/nginx-B.conf
# nginx refuses an include of a missing file: scenario A's output comes in through a pattern.
nginx_conf "$N_CONF_A" "$N_FIRST" "$N_LATER" "$N_OTHER" "$NW/runA/*.conf"
nginx_conf "$N_CONF_B" "$N_FIRST" "$N_OUT_B" "$N_LATER" "$N_OTHER"

# ---- Each marker's block, found in the files written above ---------------------------------------
# last_match FILE LINE REGEX: the last line number at or before LINE that matches REGEX.
last_match() { awk -v stop="$2" -v re="$3" 'NR <= stop && $0 ~ re { n = NR } END { print n + 0 }' "$1"; }
# first_match FILE FROM TO REGEX: the first line number in FROM..TO that matches REGEX.
first_match() {
    awk -v from="$2" -v to="$3" -v re="$4" 'NR >= from && NR <= to && $0 ~ re { print NR; exit }' "$1"
}
declare -A WHERE ALT # marker or entry -> FILE:LINE of its block (ALT: nginx's other line)
for marker in "${A_MARKERS[@]}"; do
    for file in "$A_FIRST" "$A_LATER" "$A_OTHER"; do
        n=$(grep -c -F "DocumentRoot \"$AW/www/$marker\"" "$file")
        ((n == 0)) && continue
        ((n == 1)) || die "$marker: $n roots in $file"
        line=$(grep -n -F "DocumentRoot \"$AW/www/$marker\"" "$file" | cut -d: -f1)
        open=$(last_match "$file" "$line" '^<VirtualHost ')
        ((open > 0)) || die "$marker: no <VirtualHost before line $line of $file"
        WHERE[$marker]=$file:$open
    done
    [[ -n ${WHERE[$marker]:-} ]] || die "$marker: not found in the Apache configuration"
done
for marker in "${N_MARKERS[@]}"; do
    for file in "$N_FIRST" "$N_LATER" "$N_OTHER"; do
        n=$(grep -c -F "return 200 \"$marker\";" "$file")
        ((n == 0)) && continue
        ((n == 1)) || die "$marker: $n blocks in $file"
        line=$(grep -n -F "return 200 \"$marker\";" "$file" | cut -d: -f1)
        open=$(last_match "$file" "$line" '^server [{]')
        listen=$(first_match "$file" "$open" "$line" '^ *listen ')
        if ((open == 0)) || [[ -z $listen ]]; then die "$marker: no server { and listen before line $line of $file"; fi
        WHERE[$marker]=$file:$listen
        ALT[$marker]=$file:$open
    done
    [[ -n ${WHERE[$marker]:-} ]] || die "$marker: not found in the nginx configuration"
done

# entries KIND OUT: "NAME OPEN_LINE LISTEN_LINE" for each name the output's entries hold, as written.
entries() {
    tr -d '\r' <"$2" | if [[ $1 == apache ]]; then
        awk '/^<VirtualHost/ { open = NR }
             /^[ \t]*Server(Name|Alias)[ \t]/ { for (i = 2; i <= NF; i++) print $i, open, open }'
    else
        awk '/^[ \t]*server[ \t]*[{]/ { open = NR; listen = 0 }
             /^[ \t]*listen[ \t]/ && !listen { listen = NR }
             /^[ \t]*server_name[ \t]/ { for (i = 2; i <= NF; i++) { n = $i; sub(/;$/, "", n); print n, open, listen } }'
    fi
}

# ---- The servers -------------------------------------------------------------------------------------
fetch() { # PORT NAME: the marker that answers NAME on PORT; the header's name in $WORK/headers
    curl -s --noproxy '*' --max-time 5 -D "$WORK/headers" -H "Host: $2" "http://127.0.0.1:$1/marker.txt" || true
}
start_apache() { # CONF
    httpd_stop "$HTTPD_PID"
    HTTPD_PID=''
    env -i PATH="$PATH" "$APACHE2" -d "$SR" -f "$1" -t >"$SR/logs/test.log" 2>&1 ||
        { cat "$SR/logs/test.log" >&2; die "apache2 -t refuses $1"; }
    env -i PATH="$PATH" "$APACHE2" -d "$SR" -f "$1" -DFOREGROUND </dev/null >"$SR/logs/stdout.log" 2>&1 &
    HTTPD_PID=$!
    for _ in $(seq 100); do
        kill -0 "$HTTPD_PID" 2>/dev/null || { cat "$SR/logs/stdout.log" >&2; die "apache exited"; }
        [[ $(fetch "$AP1" dup.test) == a-dup ]] && return 0
        sleep 0.2
    done
    die "apache did not answer on $AP1"
}
start_nginx() { # CONF
    httpd_stop "$NGINX_PID"
    NGINX_PID=''
    rm -f "$NW/nginx.pid"
    "$NGINX" -e "$NW/error.log" -p "$NW" -c "$1" 2>"$NW/start.log" || { cat "$NW/start.log" >&2; die "nginx did not start"; }
    for _ in $(seq 50); do [[ -s $NW/nginx.pid ]] && break; sleep 0.1; done
    NGINX_PID=$(cat "$NW/nginx.pid" 2>/dev/null)
    for _ in $(seq 100); do
        [[ $(fetch "$NP1" dup.test) == n-dup ]] && return 0
        sleep 0.2
    done
    die "nginx did not answer on $NP1"
}
server_cmd() { # KIND CONF: the command whose output check reads
    if [[ $1 == apache ]]; then
        printf "env -i PATH='%s' '%s' -d '%s' -f '%s' -S" "$PATH" "$APACHE2" "$SR" "$2"
    else
        printf "'%s' -T -e '%s' -p '%s' -c '%s'" "$NGINX" "$NW/error.log" "$NW" "$2"
    fi
}

# predict SCEN KIND CONF OUT SITE PORT: check --routes; the names and places in $WORK/pred-SCEN-KIND.
declare -A PRED_OK
predict() {
    local scen=$1 kind=$2 conf=$3 out=$4 site=$5 port=$6 rc routes findings bad
    "$CLI" check --routes --server-kind "$kind" --server --server-cmd "$(server_cmd "$kind" "$conf")" \
        "${RUN_OPTS[@]}" -s "$site" --listen "127.0.0.1:$port" -o "$out" "$LIST" \
        >"$WORK/check-$scen-$kind.out" 2>"$WORK/check-$scen-$kind.err"
    rc=$?
    PRED_OK[$scen-$kind]=''
    if ((rc != 0 && rc != 3)); then
        fail "$scen/$kind: check --routes failed (exit $rc): $(head -n 3 "$WORK/check-$scen-$kind.err")"
        return
    fi
    grep -F ' -> ' "$WORK/check-$scen-$kind.out" >"$WORK/pred-$scen-$kind" || true
    routes=$(wc -l <"$WORK/pred-$scen-$kind")
    findings=$(grep -c -v -F ' -> ' "$WORK/check-$scen-$kind.out")
    if (((rc == 3) == (findings > 0))); then
        pass "$scen/$kind: check --routes exit $rc with $findings finding line(s) and $routes route(s)"
    else
        fail "$scen/$kind: check --routes exit $rc with $findings finding line(s)"
    fi
    bad=$(grep -v -E '^[^ ]+ -> .+:[1-9][0-9]*$' "$WORK/pred-$scen-$kind")
    [[ -z $bad ]] || fail "$scen/$kind: route lines not of the form NAME -> FILE:LINE: $bad"
    PRED_OK[$scen-$kind]=1
    sed 's/^/    /' "$WORK/check-$scen-$kind.out"
}

# where KIND SCEN OUT SITE_MARKER NAME: the block that really answers NAME, as "FILE:LINE ALT MARKER".
where() {
    local kind=$1 scen=$2 out=$3 site=$4 name=$5 port body first entry
    [[ $kind == apache ]] && port=$AP1 || port=$NP1
    body=$(fetch "$port" "$name")
    if [[ -n $body && -n ${WHERE[$body]:-} ]]; then
        echo "${WHERE[$body]} ${ALT[$body]:-${WHERE[$body]}} $body"
    elif [[ $body == "$site" && $kind == apache ]]; then
        # One root for all entries: the entry is the one that holds the name (Apache matches
        # case-insensitively; a run writes no name twice).
        entry=$(entries apache "$out" | awk -v n="$name" 'tolower($1) == tolower(n) { print $2; exit }')
        echo "$out:${entry:-?} $out:${entry:-?} $body"
    elif [[ $body == "$site" ]]; then
        first=$(tr -d '\r' <"$WORK/headers" | sed -n 's/^[Xx]-[Ss]erver-[Nn]ame: //p')
        entry=$(entries nginx "$out" | awk -v n="$first" 'tolower($1) == tolower(n) { print $3, $2; exit }')
        read -r listen open <<<"$entry"
        echo "$out:${listen:-?} $out:${open:-?} $body($first)"
    else
        echo "? ? unknown($body)"
    fi
}

# compare SCEN KIND OUT SITE_MARKER: every name of the output, as the prediction says.
declare -A ANSWER # SCEN-KIND-NAME -> the marker that answered
compare() {
    local scen=$1 kind=$2 out=$3 site=$4 name req reqs loc alt marker want ok=1 names
    names=$(entries "$kind" "$out" | awk '{ print $1 }')
    [[ -n $names ]] || { fail "$scen/$kind: no names in $out"; return; }
    if [[ -n ${PRED_OK[$scen-$kind]} ]]; then
        if diff <(sort <<<"$names") <(sed 's/ -> .*//' "$WORK/pred-$scen-$kind" | sort) >"$WORK/diff"; then
            pass "$scen/$kind: one route for each name the run writes, as it writes it"
        else
            fail "$scen/$kind: the routes' names differ from the run's (< run, > routes):"
            cat "$WORK/diff" >&2
        fi
    fi
    for name in $names; do
        want=''
        [[ -n ${PRED_OK[$scen-$kind]} ]] &&
            want=$(awk -v n="$name" 'index($0, n " -> ") == 1 { sub(/^[^ ]+ -> /, ""); print; exit }' \
                "$WORK/pred-$scen-$kind")
        # A name in upper case is also asked in lower case: the same block must answer.
        reqs=("$name")
        [[ ${name,,} == "$name" ]] || reqs+=("${name,,}")
        for req in "${reqs[@]}"; do
            read -r loc alt marker <<<"$(where "$kind" "$scen" "$out" "$site" "$req")"
            [[ $req == "$name" ]] && ANSWER[$scen-$kind-$name]=$marker
            printf '    %-7s %-6s %-22s -> %-14s %s\n' "$scen" "$kind" "$req" "${marker%%(*}" "$loc"
            [[ -n ${PRED_OK[$scen-$kind]} ]] || continue
            if [[ $want != "$loc" && $want != "$alt" ]]; then
                fail "$scen/$kind: Host: $req answered by $marker at $loc; check --routes said ${want:-nothing}"
                ok=0
            fi
        done
    done
    [[ -z ${PRED_OK[$scen-$kind]} ]] || ((ok == 0)) ||
        pass "$scen/$kind: every name answered by the block check --routes named"
}

# ---- Scenario A: the output is not loaded when check runs ----------------------------------------
start_apache "$A_CONF_A"
start_nginx "$N_CONF_A"
pass "apache on $AP1/$AP2 and nginx on $NP1/$NP2 answer, side by side"
# The second port's block holds names of the list; requests on the first port must not reach it.
if [[ $(fetch "$AP2" b.a.test) == a-port2 && $(fetch "$NP2" b.a.test) == n-port2 ]]; then
    pass "the other port's blocks answer there"
else
    fail "the other port's blocks do not answer b.a.test on $AP2/$NP2"
fi

predict A apache "$A_CONF_A" "$A_OUT_A" "$AW/siteA" "$AP1"
predict A nginx "$N_CONF_A" "$N_OUT_A" "$NW/siteA" "$NP1"
"$CLI" -q "${RUN_OPTS[@]}" -s "$AW/siteA" --listen "127.0.0.1:$AP1" -o "$A_OUT_A" "$LIST" ||
    die "A: the Apache run failed"
"$CLI" --server-kind nginx -q "${RUN_OPTS[@]}" -s "$NW/siteA" --listen "127.0.0.1:$NP1" -o "$N_OUT_A" "$LIST" ||
    die "A: the nginx run failed"
chmod -R a+rX "$WORK"
start_apache "$A_CONF_A"
start_nginx "$N_CONF_A"
compare A apache "$A_OUT_A" a-new-A
compare A nginx "$N_OUT_A" n-new-A

# ---- Scenario B: the output included between the blocks, loaded before check runs --------------
"$CLI" -q "${RUN_OPTS[@]}" -s "$AW/siteB" --listen "127.0.0.1:$AP1" -o "$A_OUT_B" "$LIST" ||
    die "B: the Apache run failed"
"$CLI" --server-kind nginx -q "${RUN_OPTS[@]}" -s "$NW/siteB" --listen "127.0.0.1:$NP1" -o "$N_OUT_B" "$LIST" ||
    die "B: the nginx run failed"
chmod -R a+rX "$WORK"
start_apache "$A_CONF_B"
start_nginx "$N_CONF_B"
predict B apache "$A_CONF_B" "$A_OUT_B" "$AW/siteB" "$AP1"
predict B nginx "$N_CONF_B" "$N_OUT_B" "$NW/siteB" "$NP1"
compare B apache "$A_OUT_B" a-new-B
compare B nginx "$N_OUT_B" n-new-B

# ---- What the answers prove ----------------------------------------------------------------------------
names=$(entries apache "$A_OUT_A" | awk '{ print $1 }')
differ=() moved_a=() moved_n=() stray=()
for name in $names; do
    a=${ANSWER[A-apache-$name]:-} n=${ANSWER[A-nginx-$name]:-}
    [[ $a == a-new-* || $a == unknown* || -z $a || $n != n-new-* ]] || differ+=("$name ($a / entry)")
    [[ $a == a-new-* || $a == unknown* || -z $a || ${ANSWER[B-apache-$name]:-} != a-new-B ]] || moved_a+=("$name")
    [[ $n == n-new-* || $n == unknown* || -z $n || ${ANSWER[B-nginx-$name]:-} != n-new-B* ]] || moved_n+=("$name")
    for scen in A B; do
        for kind in apache nginx; do
            [[ ${ANSWER[$scen-$kind-$name]:-} != *port2* ]] || stray+=("$scen/$kind $name")
        done
    done
done
if ((${#differ[@]} > 0)); then
    pass "A: Apache gives ${#differ[@]} name(s) to an existing block where nginx gives the entry: ${differ[*]}"
else
    fail "A: Apache and nginx choose alike for every name: the test proves only one rule"
fi
if ((${#moved_a[@]} > 0 && ${#moved_n[@]} > 0)); then
    pass "B: placed before the later block, the entries take ${moved_a[*]} (Apache) and ${moved_n[*]} (nginx)"
else
    fail "B: placement changed no answer (Apache: ${moved_a[*]:-none}; nginx: ${moved_n[*]:-none})"
fi
if ((${#stray[@]} == 0)); then
    pass "no request on the first port reached the other port's block"
else
    fail "requests reached the other port's block: ${stray[*]}"
fi

if ((failures > 0)); then
    echo "routes_test: $failures check(s) failed" >&2
    exit 1
fi
echo "routes_test: all checks passed"
