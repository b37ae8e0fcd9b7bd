#!/usr/bin/env bash
# Runs the README's two commands as a newcomer would: the first, then the second, in one fresh
# clone of this checkout. Checks that the first leaves nothing untracked and says where its
# screenshot went, and that the second ran every test its configuration holds, the dialog's,
# the installed files' and Apache's among them.
#
# Usage: .ci/readme-commands.sh CLONE_DIR
# CLONE_DIR must not exist; it is kept, with its build tree in CLONE_DIR/build, for later steps.
set -euo pipefail

if (($# != 1)); then
    echo "usage: $0 CLONE_DIR" >&2
    exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
clone=$1
if [[ -e $clone ]]; then
    echo "readme-commands: $clone already exists; remove it or name another directory" >&2
    exit 2
fi

fail() {
    echo "readme-commands: FAIL: $*" >&2
    exit 1
}

# The N-th ```sh block of the README, as the reader copies it.
readme_command() {
    awk -v n="$1" '/^```sh$/ { k++; inside = (k == n); next } /^```$/ { inside = 0; next } inside' \
        "$src/README.md"
}
first=$(readme_command 1)
second=$(readme_command 2)
[[ -n $first && -n $second ]] || fail "README.md does not hold two sh blocks"

# As root, git refuses a checkout that another user owns; this clone only reads it.
git -c safe.directory='*' clone --quiet "$src" "$clone"
log=$(mktemp "${TMPDIR:-/tmp}/kelvane-readme.XXXXXX")
trap 'rm -f -- "$log"' EXIT

echo "readme-commands: the first command, in $clone"
(cd "$clone" && env -u DISPLAY bash -c "$first") | tee "$log"
[[ -s $clone/build/kelvane.png ]] || fail "the first command saved no screenshot in build/kelvane.png"
grep -q 'build/kelvane.png' "$log" || fail "the first command did not say where the screenshot is"
untracked=$(git -C "$clone" status --porcelain)
[[ -z $untracked ]] || fail "the first command left files in the checkout: $untracked"

echo "readme-commands: the second command, in the same clone"
(cd "$clone" && bash -c "$second") | tee "$log"

total=$(ctest --test-dir "$clone/build" -N | sed -n 's/^Total Tests: \([0-9]*\)$/\1/p')
[[ -n $total && $total -gt 0 ]] || fail "the build tree holds no test"
grep -q "tests passed, 0 tests failed out of $total\$" "$log" ||
    fail "the second command did not run all $total tests"
for label in gui install e2e; do
    grep -Eq "^$label +=" "$log" || fail "no $label test ran"
done
echo "readme-commands: the second command ran all $total tests"
