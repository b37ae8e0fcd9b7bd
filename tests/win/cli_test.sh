#!/usr/bin/env bash
# The Windows kelvane-cli.exe under wine64 against the Linux kelvane-cli: the same bytes for the
# sample list, a generated 100,000-line list, a Chinese list and output name, names whose ASCII
# forms the IDN standards disagree on, and the same exit statuses.
#
#   tests/win/cli_test.sh WINDOWS-CLI.exe LINUX-CLI WORK-DIR
#
# WORK-DIR receives the files compared, and is kept; the Wine prefix is $KELVANE_WINEPREFIX, or
# one made in WORK-DIR on first use.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -eq 3 ] || { echo "usage: $0 WINDOWS-CLI.exe LINUX-CLI WORK-DIR" >&2; exit 2; }
win_cli=$(realpath "$1") linux_cli=$(realpath "$2")
mkdir -p "$3"
work=$(realpath "$3")
cd "$work"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
prefix=${KELVANE_WINEPREFIX:-$work/wineprefix}
win() { "$here/wine-run.sh" "$prefix" "$win_cli" "$@"; }

# Same standard output, and the same file written by -o, for the same arguments.
same_output() {
    local name=$1
    shift
    rm -f "win-$name.out" "linux-$name.out"
    "$linux_cli" -q "$@" > "linux-$name.stdout" || fail "$name: Linux exit status $?"
    win -q "$@" > "win-$name.stdout" || fail "$name: Windows exit status $?"
    cmp -s "linux-$name.stdout" "win-$name.stdout" || fail "$name: standard output differs"
    "$linux_cli" -q -o "linux-$name.out" "$@" || fail "$name -o: Linux exit status $?"
    win -q -o "win-$name.out" "$@" || fail "$name -o: Windows exit status $?"
    cmp -s "linux-$name.out" "win-$name.out" || fail "$name -o: output files differ"
    [ -s "win-$name.out" ] || fail "$name -o: empty output"
    echo "ok: $name ($(wc -c < "win-$name.out") bytes the same)"
}

cp "$root/samples/domains.txt" sample.txt
same_output sample -w -p m -s /var/www/sites sample.txt
awk -v n=100000 -v seed=20240601 -f "$root/bench/gen-domains.awk" > list-100k.txt
same_output 100k -w -s /srv/www list-100k.txt

# A list in GB18030 (two-byte characters only: Wine has no code page 54936).
printf '例子.中国\n中文.example.cn\nexample.com\n' | iconv -f UTF-8 -t GB18030 > gb18030.txt
same_output gb18030 -s /srv gb18030.txt

# Names where the IDN standards part ways, each side with the same library: the refused ones are
# left out of both outputs alike. (The joiners, soft hyphen and zero-width space as bytes.)
zwj=$'\xe2\x80\x8d' zwnj=$'\xe2\x80\x8c' shy=$'\xc2\xad' zwsp=$'\xe2\x80\x8b'
cat > idn.txt << EOF
faß.de
ς.gr
ςa.gr
ΣΑΣ.gr
a${zwj}b.example.cn
a${zwnj}b.example.cn
क्${zwj}ष.in
ä${zwsp}.com
a${shy}b.例子
☃☃.com
😀.com
paypаl.com
xn--bcher-kva.例子
XN--FSQU00A.例子
xn--ab.例子
ＥＸＡＭＰＬＥ．中国
bücher。de
bücher｡de
BÜCHER.De
İ.de
Ⅻ.ⓐ.bücher
-ä.com
ab--ä.com
אב.com
a١.com
*.bücher.de
ä_b.com
EOF
same_output idn -w -p m -s /srv idn.txt

# A Chinese list name and output name: the arguments reach the program as UTF-8.
printf '例子.中国\r\nexample.com\r\n中文.example.cn\r\n' > 域名列表.txt
rm -f 输出.txt
"$linux_cli" -q -w -s /srv/中文 -o linux-zh.out 域名列表.txt || fail "Chinese names: Linux exit status $?"
win -q -w -s /srv/中文 -o 输出.txt 域名列表.txt || fail "Chinese names: Windows exit status $?"
if [ -f 输出.txt ] && cmp -s linux-zh.out 输出.txt; then
    echo "ok: Chinese list and output names"
else
    fail "Chinese names: 输出.txt missing or different"
fi

# Exit statuses: 0 (also into the device NUL); 1 for a list that is missing; 2 for a bad field; 3 for a refused line
# under --strict, which leaves the output untouched.
printf 'a.com\nbad name.com\n' > refused.txt
echo "before" > strict.out
while IFS='|' read -r want args; do
    set +e
    # shellcheck disable=SC2086  # the arguments are words on purpose
    win -q $args > /dev/null 2>&1
    got=$?
    set -e
    if [ "$got" -eq "$want" ]; then echo "ok: exit $got for: $args"; else fail "exit $got, not $want, for: $args"; fi
done << 'EOF'
0|-s /srv sample.txt
0|-s /srv -o NUL sample.txt
1|-s /srv no-such-list.txt
2|-s /srv/${HOME} sample.txt
2|-s /srv -p a.b! sample.txt
3|--strict -s /srv -o strict.out refused.txt
EOF
[ "$(cat strict.out)" = "before" ] || fail "--strict changed its output file"
# The device is written as it is, never replaced by a file of that name.
if compgen -G '*NUL*' > /dev/null; then fail "a file was left for the device NUL: $(echo *NUL*)"; fi

# Ctrl-C (Wine turns SIGINT into the console's Ctrl-C event) stops the run between two lines:
# exit 130, and the output holds the whole entries written so far.
rm -f slow.fifo ctrlc.out .ctrlc.out.*
mkfifo slow.fifo
(for i in $(seq 3000); do echo "site$i.example.com"; sleep 0.005; done > slow.fifo) 2> /dev/null &
feeder=$!
win -s /srv -o ctrlc.out slow.fifo 2> ctrlc.err &
runner=$!
for _ in $(seq 200); do compgen -G '.ctrlc.out.*' > /dev/null && break; sleep 0.1; done
sleep 1
if pid=$(pgrep -n -f 'kelvane-cli.exe -s /srv -o ctrlc.out'); then kill -INT "$pid"; fi
set +e
wait "$runner"
got=$?
set -e
kill "$feeder" 2> /dev/null || true
wait "$feeder" 2> /dev/null || true
entries=$(grep -c '^</VirtualHost>' ctrlc.out 2> /dev/null || true)
if [ "$got" -eq 130 ] && [ "${entries:-0}" -gt 0 ] && grep -q "stopped after line $entries\b" ctrlc.err &&
    [ "$(tail -c 16 ctrlc.out)" = $'</VirtualHost>\r' ]; then
    echo "ok: Ctrl-C: exit 130 after $entries whole entries"
else
    fail "Ctrl-C: exit $got, $entries entries; $(cat ctrlc.err)"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; files in $work" >&2
    exit 1
fi
echo "Windows kelvane-cli: all checks passed"
