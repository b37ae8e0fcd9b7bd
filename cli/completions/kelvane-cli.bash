# shellcheck shell=bash
# bash completion for kelvane-cli                          -*- shell-script -*-

_kelvane_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # Every option once, by what its value is.
    local file_opts='-t --template -o --output --certbot --nginx-hash-conf'
    local dir_opts='-s --site-path --split'
    local text_opts='-p --prefix --pack --listen --cert-path --server-kind --http2 --cert-group --limit-orders --limit-domain'
    local flags='-w --www --idn --strict -q --quiet --https --redirect -h --help --version'
    # The server's options belong to check and apply alone.
    if [[ ${COMP_WORDS[1]-} == check ]]; then
        file_opts+=' --server-dump'
        text_opts+=' --server-cmd'
        flags+=' --server --routes'
    elif [[ ${COMP_WORDS[1]-} == certs && ${COMP_WORDS[2]-} == plan ]]; then
        text_opts+=' --server-addr --dns --certbot-cmd --start'
        flags+=' --precheck'
    elif [[ ${COMP_WORDS[1]-} == certs && ${COMP_WORDS[2]-} == status ]]; then
        text_opts+=' --days --now'
    elif [[ ${COMP_WORDS[1]-} == apply ]]; then
        dir_opts+=' --sites-dir --enabled-dir'
        text_opts+=' --test-cmd --reload-cmd --server-cmd --probe'
        flags+=' --prune --force --dry-run --no-wait --recover'
    fi

    if [[ " $file_opts " == *" $prev "* ]]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    elif [[ " $dir_opts " == *" $prev "* ]]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    elif [[ $prev == --server-kind ]]; then
        mapfile -t COMPREPLY < <(compgen -W 'apache nginx' -- "$cur")
    elif [[ $prev == --cert-group ]]; then
        mapfile -t COMPREPLY < <(compgen -W 'domain any' -- "$cur")
    elif ((COMP_CWORD == 2)) && [[ ${COMP_WORDS[1]} == certs ]]; then
        mapfile -t COMPREPLY < <(compgen -W 'plan status' -- "$cur")
    elif [[ $prev == --http2 ]]; then
        mapfile -t COMPREPLY < <(compgen -W 'auto on off' -- "$cur")
    elif [[ " $text_opts " == *" $prev "* ]]; then
        COMPREPLY=()
    elif ((COMP_CWORD == 1)) && [[ $cur != -* ]] && compgen -W 'check apply certs' -- "$cur" >/dev/null; then
        # A subcommand, or a list file that starts the same way.
        mapfile -t COMPREPLY < <(compgen -W 'check apply certs' -- "$cur"; compgen -f -- "$cur")
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$file_opts $dir_opts $text_opts $flags" -- "$cur")
    else
        # The list file.
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -o filenames -F _kelvane_cli kelvane-cli
