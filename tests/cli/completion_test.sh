#!/usr/bin/env bash
# Checks the shell completions and the manual page against the tool: every long option that
# `kelvane-cli --help` shows (and each subcommand's --help) must be in each completion file and
# in the manual page; then runs bash's completion function for a few command lines.
#
# Usage: completion_test.sh KELVANE_CLI COMPLETIONS_DIR [MAN_PAGE.gz]
set -euo pipefail
export LC_ALL=C

if (($# < 2 || $# > 3)); then
    echo "usage: $0 KELVANE_CLI COMPLETIONS_DIR [MAN_PAGE.gz]" >&2
    exit 2
fi
cli=$1
dir=$(cd "$2" && pwd)
man=${3:-}
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The long options of one help text: on the lines that show options, not in the examples.
long_options() {
    grep -E '^ +(-[A-Za-z0-9], ?)?--[a-z]' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u
}
help=$("$cli" --help)
options=$(long_options <<<"$help")
while read -r sub; do
    options+=$'\n'$("$cli" "$sub" --help | long_options)
done < <(
    awk '/^Subcommands:$/ { on = 1; next } /^$/ { on = 0 } on { print $1 }' <<<"$help"
    echo check # dispatched before the run's own options are parsed
    echo apply
)
for sub in plan status; do
    options+=$'\n'$("$cli" certs "$sub" --help | long_options)
done
options=$(sort -u <<<"$options")
[[ $options == *--site-path* ]] || fail "no long option found in --help"

has_word() { grep -qE -- "(^|[^a-z0-9-])$1([^a-z0-9-]|\$)" "$2"; }
man_text=
if [[ -n $man ]]; then
    man_text=$(gzip -dc "$man" | sed 's/\\-/-/g')
else
    echo "no manual page was made (help2man missing): only the completions are checked"
fi
for option in $options; do
    has_word "$option" "$dir/kelvane-cli.bash" || fail "$option is not in the bash completion"
    has_word "$option" "$dir/_kelvane-cli" || fail "$option is not in the zsh completion"
    has_word "-l ${option#--}" "$dir/kelvane-cli.fish" || fail "$option is not in the fish completion"
    if [[ -n $man ]] && ! grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|\$)" <<<"$man_text"; then
        fail "$option is not in the manual page"
    fi
done

# bash's completion function, as bash calls it: the words so far, the one being completed.
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-completion.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
mkdir "$work/sites" "$work/sites.d"
touch "$work/sites.conf" "$work/sites.txt"
complete_words() {
    (cd "$work" && bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kelvane_cli
        ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$dir/kelvane-cli.bash" "$@")
}
check_completion() {
    local expected=$1 got
    shift
    got=$(complete_words "$@" | tr '\n' ' ')
    [[ $got == "$expected" ]] || fail "completing '$*': got '$got', expected '$expected'"
}
check_completion '--site-path ' kelvane-cli --site-p
check_completion '--server-kind --site-path --split --strict ' kelvane-cli --s
check_completion '--server --server-cmd --server-dump --server-kind --site-path --split --strict ' kelvane-cli check --s
check_completion 'nginx ' kelvane-cli --server-kind n
check_completion 'check ' kelvane-cli chec
check_completion 'apply ' kelvane-cli appl
check_completion 'plan ' kelvane-cli certs pl
check_completion '--precheck --prefix ' kelvane-cli certs plan --pre
check_completion 'any domain ' kelvane-cli --cert-group ''
check_completion '--server-cmd --server-kind --site-path --sites-dir --split --strict ' kelvane-cli apply --s
check_completion 'sites sites.conf sites.d sites.txt ' kelvane-cli -o sit
check_completion 'sites sites.d ' kelvane-cli --site-path sit
check_completion '' kelvane-cli -p sit
check_completion 'sites sites.conf sites.d sites.txt ' kelvane-cli -s /srv sit

# zsh and fish, where they are installed: the files parse, and fish completes an option.
if command -v zsh >/dev/null 2>&1; then
    zsh -n "$dir/_kelvane-cli" || fail "zsh cannot parse its completion"
fi
if command -v fish >/dev/null 2>&1; then
    fish -n "$dir/kelvane-cli.fish" || fail "fish cannot parse its completion"
    got=$(cd "$work" && fish --no-config -c "source '$dir/kelvane-cli.fish'; complete -C 'kelvane-cli --site-path sit'" |
        sort | tr '\n' ' ')
    [[ $got == $'sites.d/\tDirectory sites/\tDirectory ' ]] || fail "fish completes '--site-path sit' as '$got'"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "PASS: $(wc -w <<<"$options") long options in every completion and the manual page"
