#!/usr/bin/env bash
# The folders' include rules: each folder includes only the folders below it, and only core/ (and the
# Win32 dialog in win/) talks to the system: no system header and no _WIN32 elsewhere.
#
#   core/     nothing of ours
#   engine/   core/
#   dialog/   engine/, core/
#   ui/, win/ dialog/, engine/, core/
#   cli/      engine/, core/
#
# Usage: .ci/check-includes.sh [ROOT]   (exit 1 naming each include that breaks a rule)
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A allowed=(
    [core]="core"
    [engine]="engine core"
    [dialog]="dialog engine core"
    [ui]="ui dialog engine core"
    [win]="win dialog engine core"
    [cli]="cli engine core"
)
# Headers of the system itself, which only core/ and win/ may include.
system_headers='unistd\.h|fcntl\.h|poll\.h|sys/[a-z_]+\.h|windows\.h|io\.h|pwd\.h|dirent\.h|signal\.h|csignal|shellapi\.h|winsock2\.h|ws2tcpip\.h|arpa/[a-z_]+\.h|netinet/[a-z_]+\.h|spawn\.h|direct\.h|dlfcn\.h|pthread\.h|strings\.h|iconv\.h|idn2\.h|libpsl\.h|netdb\.h|ifaddrs\.h|net/if\.h|iphlpapi\.h'

failures=0
while IFS= read -r file; do
    folder=${file%%/*}
    [[ -n ${allowed[$folder]:-} ]] || continue
    line_no=0
    while IFS= read -r line; do
        line_no=$((line_no + 1))
        if [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([a-z]+)/ ]]; then
            target=${BASH_REMATCH[1]}
            if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
                echo "$file:$line_no: $folder/ may not include $target/: $line" >&2
                failures=$((failures + 1))
            fi
        fi
        if [[ $folder != core && $folder != win ]]; then
            if [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<($system_headers)\> ]]; then
                echo "$file:$line_no: only core/ talks to the system: $line" >&2
                failures=$((failures + 1))
            elif [[ $line == *_WIN32* ]]; then
                echo "$file:$line_no: only core/ knows which system it runs on: $line" >&2
                failures=$((failures + 1))
            fi
        fi
    done <"$file"
done < <(git ls-files '*.cpp' '*.h')

if ((failures)); then
    echo "include rules: $failures broken" >&2
    exit 1
fi
echo "include rules: kept"
