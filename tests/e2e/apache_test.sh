#!/usr/bin/env bash
# End-to-end test: feed kelvane-cli output to a real Apache httpd and check
# that every generated alias is accepted and routed to its DocumentRoot.
#
# Usage: apache_test.sh KELVANE_CLI_PATH
#
# Needs apache2 (Debian layout: modules in /usr/lib/apache2/modules), curl and
# iconv (to write the UTF-16 and GB18030 lists).
# Apache runs from a private ServerRoot in a temp dir, on free ports of
# 127.0.0.1; the system configuration (/etc/apache2) and service are never
# touched. Overridable: APACHE2 (binary), APACHE_MODULES_DIR.
#
# Layout of the test server
# -------------------------
# Apache keeps `<VirtualHost *>` (any port) and `<VirtualHost *:PORT>` in two
# separate name-based groups, and a request on PORT only looks at the
# `*:PORT` group when one exists: the `*` entries are then unreachable on
# that port. So the server listens on two ports:
#   PORT_ANY  - only `<VirtualHost *>` entries apply: the built-in output
#               (run A, the hostile lists H, the odd site path W and the
#               hostile site paths P) is tested here, each run with a root
#               of its own;
#   PORT_TPL  - the template output (run B, the hostile site paths P through
#               two templates, the Latin-1 template L) uses
#               `<VirtualHost *:PORT_TPL>`.
# Each group starts with a sentinel vhost of the test's own, serving a
# "fallback" root. Apache sends a request whose Host matches no name in the
# group to the group's first vhost, so a missing or misspelled alias lands on
# the sentinel instead of silently reaching the expected content, and a name
# that was never generated must land there too.

set -euo pipefail

readonly CURL_TIMEOUT=5
readonly START_TIMEOUT=20   # seconds to wait for Apache to answer
readonly STOP_TIMEOUT=10    # seconds to wait for Apache to exit
readonly CMD_TIMEOUT=30     # seconds for kelvane-cli and apache2 -t / -S

if (($# != 1)); then
    echo "usage: $0 KELVANE_CLI_PATH" >&2
    exit 2
fi
CLI=$1
if [[ ! -x $CLI ]]; then
    echo "FAIL: kelvane-cli not found or not executable: $CLI" >&2
    exit 2
fi

# shellcheck disable=SC1091  # checked on its own
source "$(dirname "${BASH_SOURCE[0]}")/httpd-lib.sh"
if ! httpd_find; then
    echo "FAIL: apache2 not found" >&2
    exit 2
fi
command -v curl >/dev/null || { echo "FAIL: curl not found" >&2; exit 2; }
command -v iconv >/dev/null || { echo "FAIL: iconv not found" >&2; exit 2; }

failures=0
checks=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() {
    echo "ok:   $*"
}
# Aborts the test: the remaining checks would only repeat the same failure.
aborted=
die() {
    echo "FAIL: $*" >&2
    aborted=$*
    exit 1
}

# ---------------------------------------------------------------------------
# Temp dir and cleanup
# ---------------------------------------------------------------------------
WORK=$(httpd_workdir kelvane-e2e)
SERVER_ROOT=$WORK/server
PID_FILE=$SERVER_ROOT/logs/httpd.pid
ERROR_LOG=$SERVER_ROOT/logs/error.log
HTTPD_BG_PID=

stop_apache() {
    httpd_stop "$HTTPD_BG_PID" "$STOP_TIMEOUT"
}

cleanup() {
    local rc=$?
    set +e
    stop_apache
    if ((rc != 0)) && [[ -s $ERROR_LOG ]]; then
        echo "--- apache error log (last 30 lines) ---" >&2
        tail -n 30 "$ERROR_LOG" >&2
        echo "---" >&2
    fi
    if ((rc != 0)) && [[ -z ${summary_done:-} ]]; then
        echo
        local earlier=
        ((failures == 0)) || earlier=" ($failures of $checks earlier checks failed too)"
        echo "SUMMARY: FAILED, aborted: ${aborted:-interrupted (exit $rc)}$earlier"
    fi
    if [[ -n ${KEEP_WORKDIR:-} ]]; then
        echo "work dir kept: $WORK" >&2
    else
        rm -rf -- "$WORK"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------
# Free ports
# ---------------------------------------------------------------------------
read -r PORT_ANY PORT_TPL <<<"$(httpd_free_ports 2)" || true
if [[ -z ${PORT_ANY:-} || -z ${PORT_TPL:-} ]]; then
    die "could not find two free TCP ports on 127.0.0.1"
fi
echo "ports: $PORT_ANY (VirtualHost *), $PORT_TPL (VirtualHost *:$PORT_TPL)"

# ---------------------------------------------------------------------------
# Document roots, each with recognisable content
# ---------------------------------------------------------------------------
token=$$.$RANDOM
ROOT_A="$WORK/site one"          # space: the built-in entry must quote it
ROOT_B="$WORK/site two"          # space: the template quotes it, not the tool
ROOT_H="$WORK/site hostile"      # runs H: hostile lists
# Run W: a site path with a quote, a blank, a "\\" pair, a '#' and a trailing
# backslash, which Apache must read back as this very directory.
ODD_DIR=$WORK/odd
ROOT_W="$ODD_DIR/"'we"ird \\dir#1'\\
ROOT_FALLBACK="$WORK/fallback"
mkdir -p "$ROOT_A" "$ROOT_B" "$ROOT_H" "$ROOT_W" "$ROOT_FALLBACK" \
    "$SERVER_ROOT/logs" "$SERVER_ROOT/run" "$WORK/gen"
CONTENT_A="kelvane e2e root A $token"
CONTENT_B="kelvane e2e root B $token"
CONTENT_H="kelvane e2e root H $token"
CONTENT_W="kelvane e2e root W $token"
CONTENT_FALLBACK="kelvane e2e fallback $token"
printf '%s\n' "$CONTENT_A" >"$ROOT_A/index.html"
printf '%s\n' "$CONTENT_B" >"$ROOT_B/index.html"
printf '%s\n' "$CONTENT_H" >"$ROOT_H/index.html"
printf '%s\n' "$CONTENT_W" >"$ROOT_W/index.html"
printf '%s\n' "$CONTENT_FALLBACK" >"$ROOT_FALLBACK/index.html"
chmod -R a+rX "$WORK"

# ---------------------------------------------------------------------------
# Generate the entries
# ---------------------------------------------------------------------------
PREFIX=portal
DOMAINS_A=(alpha.test bravo-site.test shop.charlie.test)
DOMAINS_B=(delta.test echo.test)

EXPECTED_A=()
for d in "${DOMAINS_A[@]}"; do EXPECTED_A+=("$d" "www.$d" "$PREFIX.$d"); done
EXPECTED_B=()
for d in "${DOMAINS_B[@]}"; do EXPECTED_B+=("$d" "www.$d"); done

# Run A: built-in entries, -w and a prefix, list with LF endings, -o output.
LIST_A=$WORK/gen/list-a.txt
OUT_A=$WORK/gen/vhosts-a.conf
printf '%s\n' "${DOMAINS_A[@]}" >"$LIST_A"
echo "run A: $CLI -s '$ROOT_A' -p $PREFIX -w -o $OUT_A $LIST_A"
if ! timeout "$CMD_TIMEOUT" "$CLI" -s "$ROOT_A" -p "$PREFIX" -w -o "$OUT_A" "$LIST_A" \
    2>"$WORK/gen/stderr-a.txt"; then
    cat "$WORK/gen/stderr-a.txt" >&2
    die "kelvane-cli run A (built-in entries) exited non-zero"
fi
[[ -s $OUT_A ]] || die "kelvane-cli run A wrote nothing to $OUT_A"
pass "run A generated $(grep -c '<VirtualHost' "$OUT_A") entries"

# Run B: template entries on PORT_TPL, -w only, list with CRLF endings,
# output on stdout. {sitePath} appears twice: both must be replaced, or the
# <Directory> grant misses the root and Apache answers 403.
TEMPLATE_B=$WORK/gen/template-b.txt
LIST_B=$WORK/gen/list-b.txt
OUT_B=$WORK/gen/vhosts-b.conf
printf '%s\n' \
    "<VirtualHost *:$PORT_TPL>" \
    '    DocumentRoot "{sitePath}"' \
    '    ServerAlias {siteDomain}' \
    '    <Directory "{sitePath}">' \
    '        Require all granted' \
    '    </Directory>' >"$TEMPLATE_B"
printf '</VirtualHost>' >>"$TEMPLATE_B"
printf '%s\r\n' "${DOMAINS_B[@]}" >"$LIST_B"
echo "run B: $CLI -s '$ROOT_B' -w -t $TEMPLATE_B $LIST_B > $OUT_B"
if ! timeout "$CMD_TIMEOUT" "$CLI" -s "$ROOT_B" -w -t "$TEMPLATE_B" "$LIST_B" \
    >"$OUT_B" 2>"$WORK/gen/stderr-b.txt"; then
    cat "$WORK/gen/stderr-b.txt" >&2
    die "kelvane-cli run B (template entries) exited non-zero"
fi
[[ -s $OUT_B ]] || die "kelvane-cli run B wrote nothing to stdout"
pass "run B generated $(grep -c '<VirtualHost' "$OUT_B") entries"
chmod -R a+rX "$WORK/gen"

# Apache treats a stray CR as blank space, so a CR carried over from the CRLF
# list into an alias ("delta.test\r www.delta.test") would pass every Apache
# check below. Check the bytes here: a CR may only come right before LF.
check_crlf() { # FILE RUN
    local file=$1 run=$2 bad
    checks=$((checks + 1))
    if bad=$(grep -n $'\r.' "$file"); then
        fail "run $run output has a CR inside a line:"
        cat -A <<<"$bad" >&2
    elif [[ $(tail -c 2 "$file" | od -An -tx1 | tr -d ' \n') != 0d0a ]]; then
        fail "run $run output does not end with CR LF"
    else
        pass "run $run output: no stray CR, ends with CR LF"
    fi
}
check_crlf "$OUT_A" A
check_crlf "$OUT_B" B
# The built-in entry ends every one of its lines with CR LF.
checks=$((checks + 1))
if bad=$(grep -nv $'\r$' "$OUT_A"); then
    fail "run A output has lines not ending with CR LF:"
    cat -A <<<"$bad" >&2
else
    pass "run A output: every line ends with CR LF"
fi

# Runs H: hostile lists, built-in entries with -w and a prefix given with
# blanks around it, into outputs of their own and a root of their own.
# Each line is written with what must become of it:
#   line_ok TEXT NAME...  an entry for each NAME (TEXT may hold line ends);
#   line_no TEXT NAME...  the last line of TEXT refused, and reported with
#                         its number; entries for NAMEs of the lines before.
# Line numbers count every line end the tool knows: LF, CR LF, a lone CR and
# a backquote. What the names do in Apache is checked further down; the
# reports on stderr are checked here.
PREFIX_H=edge_1
NAMES_H=()        # every name the H runs must write
OUTS_H=()
hl_file=
hl_line=0
hl_refused=()
line_put() {
    local body=${1%$'\r'}   # a CR right before the LF ends no line of its own
    local ends=${body//[^$'\r`']/}
    printf '%s\n' "$1" >>"$hl_file"
    hl_line=$((hl_line + 1 + ${#ends}))
}
line_ok() { line_put "$1"; shift; NAMES_H+=("$@"); }
line_no() { line_put "$1"; hl_refused+=("$hl_line"); shift; NAMES_H+=("$@"); }
new_list() { hl_file=$1; hl_line=0; hl_refused=(); : >"$hl_file"; }

# The line numbers LIST's refusals are reported with in the stderr file ERR:
# "LIST:LINE: reason: text", duplicates left out.
refused_reported() { # LIST ERR
    awk -v head="$1:" '
        index($0, head) == 1 {
            rest = substr($0, length(head) + 1)
            if (rest ~ /^[0-9]+: [^:]+: / && rest !~ /^[0-9]+: duplicate of line /) {
                sub(/:.*/, "", rest)
                print rest
            }
        }' "$2" | sort -n
}

# One H run over LIST (as given to the tool); the lines it must refuse are
# those line_no recorded.
run_h() { # TAG LIST
    local tag=$1 list=$2 out=$WORK/gen/vhosts-$1.conf err=$WORK/gen/stderr-$1.txt
    echo "run $tag: $CLI -s '$ROOT_H' -w -p ' $PREFIX_H ' -o $out $list"
    if ! timeout "$CMD_TIMEOUT" "$CLI" -s "$ROOT_H" -w -p " $PREFIX_H " -o "$out" "$list" 2>"$err"; then
        cat "$err" >&2
        die "kelvane-cli run $tag (hostile list) exited non-zero"
    fi
    [[ -s $out ]] || die "kelvane-cli run $tag wrote nothing to $out"
    OUTS_H+=("$out")
    check_crlf "$out" "$tag"
    local expected actual
    expected=$(printf '%s\n' "${hl_refused[@]}")
    actual=$(refused_reported "$list" "$err")
    checks=$((checks + 1))
    if [[ $actual == "$expected" ]]; then
        pass "run $tag reports exactly lines $(echo "$expected" | paste -sd,) as refused"
    else
        fail "run $tag refusal reports differ (< expected line, > reported):"
        diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' >&2 || true
        cat "$err" >&2
    fi
}

label64=$(printf 'l%.0s' {1..64})
name253=$(printf 'a%.0s' {1..63}).$(printf 'b%.0s' {1..63}).$(printf 'c%.0s' {1..63}).$(printf 'd%.0s' {1..61})
name254=${name253}d
# With the prefix edge_1, the longest name whose every alias is at most 253 characters.
name246=${name253:0:246}
name247=${name253:0:247}

LIST_H=$WORK/gen/list-h.txt
new_list "$LIST_H"
line_ok plain-one.test plain-one.test
line_no $'trail-bs.test\\'
line_no $'trail-bs-tab.test\\\t'
line_no 'foo bar.test'
printf 'nul\0inside.test\n' >>"$hl_file"
hl_line=$((hl_line + 1))
hl_refused+=("$hl_line")
line_ok $'cr-split.test\rInclude /etc/passwd' cr-split.test
line_no $'cr-split2.test\rInclude /etc/apache2/x.conf' cr-split2.test
line_no '"quoted.test"'
line_no "single'quote.test"
line_no 'a..b.test'
line_no "$label64.test"
line_no "$name254"
line_no "$name253."
line_no "$name247"
line_ok "$name246." "$name246"
line_ok $' \t plain-two.test \t\r' plain-two.test
line_ok '例子.中国' xn--fsqu00a.xn--fiqs8s
# "Www." is not the "www." that goes: the host stays as it is.
line_ok 'https://User@Www.Example.test:8443/path?q' Www.Example.test
line_ok 'HTTPS://user:pw@www.addr-two.test/x?y#z' addr-two.test
line_ok 'www.www.twice.test.' www.twice.test
line_ok 'bq-one.test`bq-two.test' bq-one.test bq-two.test
line_ok 'ｆｕｌｌ．ｗｉｄｔｈ．ｔｅｓｔ' full.width.test
line_no 'ｗｉｄｅ＂ｑｕｏｔｅ．ｔｅｓｔ'
line_no 'ｗｉｄｅ－ｂｓ．ｔｅｓｔ＼'
line_no 'a.b<c.test'
line_no '</VirtualHost><VirtualHost *.test>'
line_ok Dup.test Dup.test
dup_first=$hl_line
line_ok dup.TEST dup.TEST
dup_line=$hl_line
run_h H "$LIST_H"
checks=$((checks + 1))
if grep -Fxq "$LIST_H:$dup_line: duplicate of line $dup_first: dup.TEST" "$WORK/gen/stderr-H.txt"; then
    pass "run H reports line $dup_line as a duplicate of line $dup_first"
else
    fail "run H does not report line $dup_line as a duplicate of line $dup_first"
fi

# UTF-16LE with a byte-order mark and CR LF line ends.
LIST_H16=$WORK/gen/list-h16.txt
new_list "$WORK/gen/list-h16.src"
line_ok bücher.test xn--bcher-kva.test
line_no 'utf16 space.test'
line_ok utf16-plain.test utf16-plain.test
line_no 'utf16\bs.test'
{ printf '\xff\xfe'; sed 's/$/\r/' "$hl_file" | iconv -f UTF-8 -t UTF-16LE; } >"$LIST_H16"
run_h H16 "$LIST_H16"

# GB18030 with lone CR line ends.
LIST_HGB=$WORK/gen/list-hgb.txt
new_list "$WORK/gen/list-hgb.src"
line_no '测试 例子.中国'
line_ok 测试.中国 xn--0zwm56d.xn--fiqs8s
line_ok gb-plain.test gb-plain.test
line_no 'gb"quote.test'
tr '\n' '\r' <"$hl_file" | iconv -f UTF-8 -t GB18030 >"$LIST_HGB"
run_h HGB "$LIST_HGB"

# Run W: the odd site path through the built-in entry.
LIST_W=$WORK/gen/list-w.txt
OUT_W=$WORK/gen/vhosts-w.conf
NAME_W=odd-path.test
printf '%s\n' "$NAME_W" >"$LIST_W"
echo "run W: $CLI -s $(printf %q "$ROOT_W") -w -o $OUT_W $LIST_W"
if ! timeout "$CMD_TIMEOUT" "$CLI" -s "$ROOT_W" -w -o "$OUT_W" "$LIST_W" 2>"$WORK/gen/stderr-w.txt"; then
    cat "$WORK/gen/stderr-w.txt" >&2
    die "kelvane-cli run W (odd site path) exited non-zero"
fi
[[ -s $OUT_W ]] || die "kelvane-cli run W wrote nothing to $OUT_W"

# Runs P: hostile site paths, each a directory with content of its own, through
# the built-in entry (tree a, which the configuration grants) and through two
# templates (tree t, which only the templates' own <Directory> sections grant):
# {sitePath} in double quotes, and as words of their own. Apache must read
# each path back exactly: a path misread is a DocumentRoot that does not
# exist, a 404, or a 403 where the grant missed it. A path that begins with a
# quote is relative to the ServerRoot, REL standing for the tree's name.
# shellcheck disable=SC1003,SC2016  # the backslashes and dollars are meant
HOSTILE_PATHS=(
    plain 'two words' 'two  blanks' 'trailing blank ' ' leading blank'
    'dq"inside' 'dq" and blank' "sq'inside" "sq' and blank"
    'bs\inside' 'bs\\pair' 'bs\\pair and blank' 'trailing bs\' 'trailingbs\' 'two trailing bs\\'
    'bs before dq\"x' "bs before sq\\'x" 'back\ blank\ trailing \'
    'hash#x' '#leading hash' 'gt>x' 'lt<x' 'dollar$x' 'dollar$' 'brace{x}' 'pct%x;semi&amp'
    'star*q?' $'latin1 \xe9t\xe9' 'utf8 été' '"REL dq' "'REL sq\\"
)
hp_site_path() { # TREE INDEX
    local p=${HOSTILE_PATHS[$2]}
    case $p in
        [\"\']*) printf '%s' "${p/REL/hp-$1}" ;;
        *) printf '%s' "$WORK/hp-$1/$p" ;;
    esac
}
hp_content() { # TREE INDEX
    printf 'kelvane e2e hostile path %s (%s) %s' "$2" "$1" "$token"
}
TEMPLATE_PQ=$WORK/gen/template-pq.txt
TEMPLATE_PW=$WORK/gen/template-pw.txt
hp_template() { # HOW_SITE_PATH_STANDS
    printf '%s\n' \
        "<VirtualHost *:$PORT_TPL>" \
        "    DocumentRoot $1" \
        '    ServerAlias {siteDomain}' \
        "    <Directory $1>" \
        '        Require all granted' \
        '    </Directory>' \
        '</VirtualHost>'
}
hp_template '"{sitePath}"' >"$TEMPLATE_PQ"
hp_template '{sitePath}' >"$TEMPLATE_PW"
OUTS_P=()
run_p() { # TAG SITE_PATH NAME CLI_ARG...
    local tag=$1 sp=$2 name=$3 out=$WORK/gen/vhosts-$1.conf list=$WORK/gen/list-$1.txt
    shift 3
    printf '%s\n' "$name" >"$list"
    if ! timeout "$CMD_TIMEOUT" "$CLI" -q -s "$sp" "$@" -o "$out" "$list" 2>"$WORK/gen/stderr-$tag.txt"; then
        cat "$WORK/gen/stderr-$tag.txt" >&2
        die "kelvane-cli run $tag (site path $(printf %q "$sp")) exited non-zero"
    fi
    OUTS_P+=("$out")
}
for k in "${!HOSTILE_PATHS[@]}"; do
    for tree in a t; do
        sp=$(hp_site_path "$tree" "$k")
        [[ $sp == /* ]] || sp=$SERVER_ROOT/$sp
        mkdir -p "$sp"
        hp_content "$tree" "$k" >"$sp/index.html"
    done
    run_p "P$k" "$(hp_site_path a "$k")" "hp$k.test"
    run_p "PQ$k" "$(hp_site_path t "$k")" "hq$k.test" -t "$TEMPLATE_PQ"
    run_p "PW$k" "$(hp_site_path t "$k")" "hw$k.test" -t "$TEMPLATE_PW"
done
pass "runs P generated the entries of ${#HOSTILE_PATHS[@]} hostile site paths, built-in and by two templates"

# Run L: a template in Latin-1, outside UTF-8: its bytes reach Apache as they
# are, or the DocumentRoot it names does not exist.
ROOT_L=$WORK/latin1
ROOT_L_DIR=$ROOT_L/caf$'\xe9'
NAME_L=latin1.test
CONTENT_L="kelvane e2e Latin-1 template $token"
mkdir -p "$ROOT_L_DIR"
printf '%s\n' "$CONTENT_L" >"$ROOT_L_DIR/index.html"
TEMPLATE_L=$WORK/gen/template-l.txt
OUT_L=$WORK/gen/vhosts-l.conf
latin1_template() { # SITE_PATH ALIASES
    local e=$'\xe9'
    printf '%s\n' \
        "<VirtualHost *:$PORT_TPL>" \
        $'    # Caf\xe9 \xabcr\xe8me\xbb for '"$2" \
        "    DocumentRoot \"$1/caf$e\"" \
        "    ServerAlias $2" \
        "    <Directory \"$1/caf$e\">" \
        '        Require all granted' \
        '    </Directory>'
    printf '</VirtualHost>'
}
latin1_template '{sitePath}' '{siteDomain}' >"$TEMPLATE_L"
printf '%s\n' "$NAME_L" >"$WORK/gen/list-l.txt"
if ! timeout "$CMD_TIMEOUT" "$CLI" --strict -q -s "$ROOT_L" -t "$TEMPLATE_L" -o "$OUT_L" \
    "$WORK/gen/list-l.txt" 2>"$WORK/gen/stderr-l.txt"; then
    cat "$WORK/gen/stderr-l.txt" >&2
    die "kelvane-cli run L (Latin-1 template) exited non-zero"
fi
checks=$((checks + 1))
if cmp -s "$OUT_L" <(latin1_template "$ROOT_L" "$NAME_L"; printf '\r\n'); then
    pass "run L output: the template's bytes, filled"
else
    fail "run L output is not the Latin-1 template's bytes, filled:"
    od -c "$OUT_L" >&2
fi
chmod -R a+rX "$WORK"

# Refusals that must leave the output alone: neither created nor touched.
snapshot() { # DIR: names, inodes, sizes, times and bytes of its files
    stat -c '%n %i %s %y' "$1"/*
    cat "$1"/*
}
# A field Apache would read as more than a path or a label: exit 2.
FIELD_DIR=$WORK/gen/fields
mkdir -p "$FIELD_DIR"
printf '# output of an earlier run\n' >"$FIELD_DIR/old.conf"
field_refused() { # LABEL CLI_ARG...
    local label=$1 before rc out
    shift
    before=$(snapshot "$FIELD_DIR")
    for out in new.conf old.conf; do
        rc=0
        timeout "$CMD_TIMEOUT" "$CLI" "$@" -o "$FIELD_DIR/$out" "$LIST_H" 2>/dev/null || rc=$?
        checks=$((checks + 1))
        if ((rc != 2)); then
            fail "$label, -o $out: exit $rc, expected 2"
        elif [[ $(snapshot "$FIELD_DIR") != "$before" ]]; then
            fail "$label, -o $out: exit 2, but $FIELD_DIR changed:"
            snapshot "$FIELD_DIR" >&2
        else
            pass "$label, -o $out: exit 2, nothing created or touched"
        fi
    done
}
field_refused "site path with a newline" -s $'/x\nInclude /etc/passwd'
field_refused "site path with a CR" -s $'/x\rInclude /etc/passwd'
field_refused "site path with a tab" -s $'/x\ty'
field_refused "prefix with a newline" -s "$ROOT_H" -p $'edge\nInclude /etc/passwd'
field_refused "prefix with a quote" -s "$ROOT_H" -p 'edge" x'
# Apache would put a variable's value in place of ${...}, quoted or not.
# shellcheck disable=SC2016
field_refused "site path with \${...}" -s '/x/${PATH}'
# A template line where the site path, with its blank, cannot stand.
TEMPLATE_BAD=$WORK/gen/template-bad.txt
printf 'DocumentRoot /srv/{sitePath}\n' >"$TEMPLATE_BAD"
field_refused "template that cannot hold the site path" -s "$ROOT_B" -t "$TEMPLATE_BAD"

# --strict with a hostile list: exit 3 and the earlier output as it was.
STRICT_DIR=$WORK/gen/strict
mkdir -p "$STRICT_DIR"
cp "$OUT_A" "$STRICT_DIR/vhosts.conf"
before=$(snapshot "$STRICT_DIR")
rc=0
timeout "$CMD_TIMEOUT" "$CLI" --strict -s "$ROOT_H" -w -p "$PREFIX_H" \
    -o "$STRICT_DIR/vhosts.conf" "$LIST_H" 2>/dev/null || rc=$?
checks=$((checks + 1))
if ((rc != 3)); then
    fail "--strict with a hostile list: exit $rc, expected 3"
elif [[ $(snapshot "$STRICT_DIR") != "$before" ]] || ! cmp -s "$OUT_A" "$STRICT_DIR/vhosts.conf"; then
    fail "--strict with a hostile list: exit 3, but $STRICT_DIR changed:"
    snapshot "$STRICT_DIR" >&2
else
    pass "--strict with a hostile list: exit 3, output left byte for byte"
fi
chmod -R a+rX "$WORK/gen"

# ---------------------------------------------------------------------------
# Apache configuration
# ---------------------------------------------------------------------------
conf_head=$(httpd_conf_head "$SERVER_ROOT" "$PORT_ANY $PORT_TPL" authz_core dir) || die "cannot configure Apache"

MAIN_NAME=kelvane-e2e-main.invalid
SENTINEL_ANY=fallback-any.invalid
SENTINEL_TPL=fallback-tpl.invalid
CONF=$SERVER_ROOT/httpd.conf
cat >"$CONF" <<EOF
# Private configuration of the kelvane end-to-end test.
$conf_head
LogLevel info
ServerName $MAIN_NAME
ServerTokens Prod
DocumentRoot "$ROOT_FALLBACK"
DirectoryIndex index.html

<Directory />
    AllowOverride None
    Require all denied
</Directory>
<Directory "$ROOT_FALLBACK">
    Require all granted
</Directory>
# Roots A, H and W (through its plain parent). Root B is granted by the
# template itself.
<Directory "$ROOT_A">
    Require all granted
</Directory>
<Directory "$ROOT_H">
    Require all granted
</Directory>
<Directory "$ODD_DIR">
    Require all granted
</Directory>
# Tree a of runs P; tree t is granted by the templates themselves, but for
# the paths relative to the ServerRoot, which <Directory> does not take so.
<Directory "$WORK/hp-a">
    Require all granted
</Directory>
<DirectoryMatch "^$SERVER_ROOT/[\"']hp-[at] ">
    Require all granted
</DirectoryMatch>

# First vhost of each group: receives every Host that no entry claims.
<VirtualHost *>
    ServerName $SENTINEL_ANY
    DocumentRoot "$ROOT_FALLBACK"
</VirtualHost>
<VirtualHost *:$PORT_TPL>
    ServerName $SENTINEL_TPL
    DocumentRoot "$ROOT_FALLBACK"
</VirtualHost>

Include "$OUT_A"
Include "$OUT_B"
Include "$OUT_W"
$(printf 'Include "%s"\n' "${OUTS_H[@]}" "${OUTS_P[@]}" "$OUT_L")
EOF
# Private ServerRoot and config only, and a clean environment: nothing from
# the system's Apache setup (/etc/apache2, APACHE_* variables) is used.
HTTPD=(env -i PATH="$PATH" "$APACHE2" -d "$SERVER_ROOT" -f "$CONF")

# ---------------------------------------------------------------------------
# apache2 -t
# ---------------------------------------------------------------------------
checks=$((checks + 1))
if syntax=$(timeout "$CMD_TIMEOUT" "${HTTPD[@]}" -t 2>&1) &&
    grep -qx 'Syntax OK' <<<"$syntax"; then
    pass "apache2 -t: Syntax OK"
    # A DocumentRoot Apache cannot find is only a warning for -t.
    if grep -q 'does not exist' <<<"$syntax"; then
        checks=$((checks + 1))
        fail "apache2 -t warns about a missing path:"
        grep 'does not exist' <<<"$syntax" >&2
    fi
else
    echo "$syntax" >&2
    for f in "$OUT_A" "$OUT_B" "$OUT_W" "${OUTS_H[@]}"; do
        echo "--- generated $f ---" >&2
        cat -A "$f" >&2
    done
    die "apache2 -t rejected the configuration"
fi

# ---------------------------------------------------------------------------
# apache2 -S: every generated alias, nothing else, in the right group
# ---------------------------------------------------------------------------
dump=$(timeout "$CMD_TIMEOUT" "${HTTPD[@]}" -S 2>&1) ||
    { echo "$dump" >&2; die "apache2 -S failed"; }

# Prints the aliases Apache lists under the given address group, one a line.
# Group headers start in column 0 ("*:8080   is a NameVirtualHost"), alias
# lines are indented ("        alias www.example.test").
aliases_in_group() {
    awk -v grp="$1" '
        /^[^ \t]/ { cur = $1; next }
        cur == grp && $1 == "alias" { print tolower($2) }
    ' <<<"$dump" | sort
}
# Number of vhosts Apache lists under the given address group.
vhosts_in_group() {
    awk -v grp="$1" '
        /^[^ \t]/ { cur = $1; next }
        cur == grp && $1 == "port" && $3 == "namevhost" { n++ }
        END { print n + 0 }
    ' <<<"$dump"
}

check_group() { # GROUP RUN DOMAIN_COUNT EXPECTED_ALIAS...
    local grp=$1 run=$2 ndomains=$3
    shift 3
    local expected actual
    expected=$(printf '%s\n' "$@" | tr '[:upper:]' '[:lower:]' | sort)
    actual=$(aliases_in_group "$grp")
    checks=$((checks + 1))
    if [[ $actual == "$expected" ]]; then
        pass "apache2 -S lists exactly the $# aliases of run $run under $grp"
    else
        fail "apache2 -S aliases of run $run under $grp differ (< expected, > listed by Apache):"
        diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' >&2 || true
    fi
    local nv
    nv=$(vhosts_in_group "$grp")
    checks=$((checks + 1))
    # One vhost per domain plus the test's sentinel.
    if ((nv == ndomains + 1)); then
        pass "apache2 -S lists $ndomains vhosts of run $run under $grp"
    else
        fail "apache2 -S lists $((nv - 1)) vhosts of run $run under $grp, expected $ndomains"
    fi
}
# Runs A, H and W all write <VirtualHost *>. Exactly their aliases: no
# refused line may have left a name behind.
EXPECTED_H=()
for d in "${NAMES_H[@]}"; do EXPECTED_H+=("$d" "www.$d" "$PREFIX_H.$d"); done
EXPECTED_W=("$NAME_W" "www.$NAME_W")
EXPECTED_P=() EXPECTED_PT=()
for k in "${!HOSTILE_PATHS[@]}"; do
    EXPECTED_P+=("hp$k.test")
    EXPECTED_PT+=("hq$k.test" "hw$k.test")
done
check_group '*:*' "A, H, W and P" $((${#DOMAINS_A[@]} + ${#NAMES_H[@]} + 1 + ${#EXPECTED_P[@]})) \
    "${EXPECTED_A[@]}" "${EXPECTED_H[@]}" "${EXPECTED_W[@]}" "${EXPECTED_P[@]}"
check_group "*:$PORT_TPL" "B, P and L" $((${#DOMAINS_B[@]} + ${#EXPECTED_PT[@]} + 1)) \
    "${EXPECTED_B[@]}" "${EXPECTED_PT[@]}" "$NAME_L"
if ((failures)); then
    echo "--- apache2 -S ---" >&2
    echo "$dump" >&2
fi

# ---------------------------------------------------------------------------
# Start Apache and route requests
# ---------------------------------------------------------------------------
# Foreground mode in the background: a failure to bind or to start shows up
# as the process exiting, instead of a detached daemon dying unseen.
"${HTTPD[@]}" -DFOREGROUND \
    </dev/null >"$SERVER_ROOT/logs/stdout.log" 2>&1 &
HTTPD_BG_PID=$!

fetch() { # HOST PORT -> "STATUS BODY"
    local body status
    body=$(curl -s --noproxy '*' --max-time "$CURL_TIMEOUT" -w '\n%{http_code}' \
        -H "Host: $1" "http://127.0.0.1:$2/") || true
    status=${body##*$'\n'}
    body=${body%$'\n'*}
    body=${body%$'\n'}
    printf '%s %s' "${status:-000}" "$body"
}

ready=0
deadline=$((SECONDS + START_TIMEOUT))
while ((SECONDS < deadline)); do
    if ! kill -0 "$HTTPD_BG_PID" 2>/dev/null; then
        cat "$SERVER_ROOT/logs/stdout.log" >&2 || true
        die "apache exited during start-up"
    fi
    if [[ -s $PID_FILE ]] &&
        [[ $(fetch "$SENTINEL_ANY" "$PORT_ANY") == "200 $CONTENT_FALLBACK" ]] &&
        [[ $(fetch "$SENTINEL_TPL" "$PORT_TPL") == "200 $CONTENT_FALLBACK" ]]; then
        ready=1
        break
    fi
    sleep 0.2
done
((ready)) || die "apache did not answer on ports $PORT_ANY and $PORT_TPL within ${START_TIMEOUT}s"
pass "apache started (pid $(<"$PID_FILE"))"

expect() { # HOST PORT CONTENT LABEL
    local host=$1 port=$2 want=$3 label=$4 got
    got=$(fetch "$host" "$port")
    checks=$((checks + 1))
    if [[ $got == "200 $want" ]]; then
        pass "Host: $host on port $port -> $label"
    else
        local body=${got#* } status=${got%% *} what
        case $body in
            "$CONTENT_A") what="root A" ;;
            "$CONTENT_B") what="root B" ;;
            "$CONTENT_H") what="root H" ;;
            "$CONTENT_W") what="root W" ;;
            "$CONTENT_FALLBACK") what="the fallback vhost" ;;
            *) what= ;;
        esac
        if [[ -n $what ]]; then
            fail "Host: $host on port $port: expected $label, got $what (HTTP $status)"
        elif [[ $status == 000 ]]; then
            fail "Host: $host on port $port: expected $label, got no answer within ${CURL_TIMEOUT}s"
        elif [[ $status != 200 ]]; then
            fail "Host: $host on port $port: expected $label, got HTTP $status"
        else
            body=${body//$'\n'/ }
            fail "Host: $host on port $port: expected $label, got other content: ${body:0:100}"
        fi
    fi
}

# Every generated alias reaches its own root.
for h in "${EXPECTED_A[@]}"; do expect "$h" "$PORT_ANY" "$CONTENT_A" "root A"; done
for h in "${EXPECTED_B[@]}"; do expect "$h" "$PORT_TPL" "$CONTENT_B" "root B"; done
for h in "${EXPECTED_H[@]}"; do expect "$h" "$PORT_ANY" "$CONTENT_H" "root H"; done
for h in "${EXPECTED_W[@]}"; do expect "$h" "$PORT_ANY" "$CONTENT_W" "root W"; done
for k in "${!HOSTILE_PATHS[@]}"; do
    label="site path $(printf %q "${HOSTILE_PATHS[$k]}")"
    expect "hp$k.test" "$PORT_ANY" "$(hp_content a "$k")" "$label, built-in entry"
    expect "hq$k.test" "$PORT_TPL" "$(hp_content t "$k")" "$label, template \"{sitePath}\""
    expect "hw$k.test" "$PORT_TPL" "$(hp_content t "$k")" "$label, template {sitePath}"
done
expect "$NAME_L" "$PORT_TPL" "$CONTENT_L" "the Latin-1 template's root"

# Names that were never generated reach the sentinel (the group's first
# vhost), not one of the generated entries.
expect unlisted.test "$PORT_ANY" "$CONTENT_FALLBACK" "the fallback vhost"
expect unlisted.test "$PORT_TPL" "$CONTENT_FALLBACK" "the fallback vhost"
expect "www.$PREFIX.${DOMAINS_A[0]}" "$PORT_ANY" "$CONTENT_FALLBACK" "the fallback vhost"
# Run B had no prefix.
expect "$PREFIX.${DOMAINS_B[0]}" "$PORT_TPL" "$CONTENT_FALLBACK" "the fallback vhost"
# Run B's entries are bound to PORT_TPL by the template and must not answer
# on the other port.
expect "${DOMAINS_B[0]}" "$PORT_ANY" "$CONTENT_FALLBACK" "the fallback vhost"

# ---------------------------------------------------------------------------
echo
summary_done=1
if ((failures)); then
    echo "SUMMARY: FAILED $failures of $checks checks (kelvane-cli: $CLI)"
    exit 1
fi
echo "SUMMARY: all $checks checks passed (kelvane-cli: $CLI)"
