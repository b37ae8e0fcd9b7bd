#!/usr/bin/env bash
# What it takes to run an Apache httpd of one's own, from a private ServerRoot on free ports of
# 127.0.0.1, never the system's configuration or service: shared by the end-to-end tests and
# bench/apache.sh. Source it; it runs nothing by itself.

# Sets APACHE2 (the binary; APACHE2 overrides) and MODDIR (APACHE_MODULES_DIR overrides). False
# when there is no apache2 to run.
httpd_find() {
    APACHE2=${APACHE2:-$(command -v apache2 || echo /usr/sbin/apache2)}
    MODDIR=${APACHE_MODULES_DIR:-/usr/lib/apache2/modules}
    export APACHE2 MODDIR
    [[ -x $APACHE2 ]]
}

# httpd_workdir NAME: makes and prints a new directory named after NAME. When root it is under
# /tmp, where Apache's children, which drop to an unprivileged user, can reach it.
httpd_workdir() {
    local dir
    if ((EUID == 0)); then dir=$(mktemp -d "/tmp/$1.XXXXXX"); else dir=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX"); fi &&
        chmod 0755 "$dir" && echo "$dir"
}

# httpd_free_ports N: N free TCP ports of 127.0.0.1 on one line, asked of the system where python3
# is, else probed upwards from a random start (never 80). False when there are not enough.
httpd_free_ports() {
    local n=$1 out
    if command -v python3 >/dev/null &&
        out=$(timeout 10 python3 - "$n" 2>/dev/null <<'PY'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
PY
        ) && [[ $out =~ ^[0-9]+( [0-9]+)*$ ]]; then
        echo "$out"
        return 0
    fi
    # A successful connect means something listens there.
    local found=() port=$((20000 + RANDOM % 30000)) tries=0
    while ((${#found[@]} < n)); do
        ((tries++ < 200)) || return 1
        port=$((port + 1))
        ((port != 80)) || continue
        timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || found+=("$port")
    done
    echo "${found[*]}"
}

# httpd_modules MODULE...: the LoadModule lines for an MPM, when the binary has none built in, and
# for each module named (mod_MODULE.so), but those built in. False, saying which, when one is
# missing.
httpd_modules() {
    local compiled lines='' m file
    compiled=$(timeout 30 "$APACHE2" -l 2>/dev/null) || true
    if ! grep -Eq '^ *(event|prefork|worker)\.c' <<<"$compiled"; then
        for m in event prefork worker; do
            if [[ -f $MODDIR/mod_mpm_$m.so ]]; then
                set -- "mpm_$m" "$@"
                break
            fi
        done
        [[ ${1:-} == mpm_* ]] || { echo "no MPM module (mod_mpm_event/prefork/worker) in $MODDIR" >&2; return 1; }
    fi
    for m in "$@"; do
        if grep -q "mod_$m\.c" <<<"$compiled"; then continue; fi
        file=$MODDIR/mod_$m.so
        [[ -f $file ]] || { echo "Apache module not found: $file" >&2; return 1; }
        lines+="LoadModule ${m}_module $file"$'\n'
    done
    printf '%s' "$lines"
}

# httpd_user_lines: when root, the User and Group lines of an unprivileged user for Apache's
# children to switch to (Apache refuses to serve as root); nothing otherwise. False when root and
# there is no such user.
httpd_user_lines() {
    ((EUID == 0)) || return 0
    local u
    for u in www-data daemon nobody; do
        if id -u "$u" >/dev/null 2>&1; then
            printf 'User %s\nGroup #%s\n' "$u" "$(id -g "$u")"
            return 0
        fi
    done
    echo "no unprivileged user (www-data, daemon, nobody) for Apache" >&2
    return 1
}

# httpd_conf_head SERVER_ROOT "PORT..." MODULE...: the start of a configuration of one's own: the
# server's files under SERVER_ROOT (its pid file and error log in SERVER_ROOT/logs), a Listen line
# for each port of 127.0.0.1, the modules and the user. False, saying why, when a module or the
# user is missing.
httpd_conf_head() {
    local root=$1 ports=$2 modules user port
    shift 2
    modules=$(httpd_modules "$@") || return 1
    user=$(httpd_user_lines) || return 1
    printf 'ServerRoot "%s"\nDefaultRuntimeDir "%s/run"\nPidFile "%s/logs/httpd.pid"\nErrorLog "%s/logs/error.log"\n' \
        "$root" "$root" "$root" "$root"
    for port in $ports; do printf 'Listen 127.0.0.1:%s\n' "$port"; done
    printf '%s\n%s\n' "$modules" "$user"
}

# httpd_stop PID [SECONDS]: asks the server to stop, kills it after SECONDS (10), and reaps it
# when it is a child of this shell.
httpd_stop() {
    local pid=$1 limit=$((${2:-10} * 10)) i
    [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < limit; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "warning: apache (pid $pid) did not stop in ${2:-10} s, killing it" >&2
        kill -KILL "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null || true
}

# httpd_certbot_groups FILE: each certbot line of FILE as "GROUP NAME...": its --cert-name and the
# names of its -d words.
httpd_certbot_groups() {
    local line words i group names
    while read -r line; do
        read -ra words <<<"$line"
        group='' names=()
        for ((i = 0; i < ${#words[@]}; i++)); do
            case ${words[i]} in
                --cert-name) group=${words[i + 1]} ;;
                -d) names+=("${words[i + 1]}") ;;
            esac
        done
        echo "$group ${names[*]}"
    done <"$1"
}

# httpd_self_signed DIR CN [NAME...]: a self-signed certificate of CN for the names, in
# DIR/fullchain.pem with its key in DIR/privkey.pem. False when openssl fails.
httpd_self_signed() {
    local dir=$1 cn=$2 san ext=()
    shift 2
    mkdir -p "$dir" || return 1
    if (($# > 0)); then
        san=$(printf 'DNS:%s,' "$@")
        ext=(-addext "subjectAltName=${san%,}")
    fi
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=$cn" \
        "${ext[@]}" -keyout "$dir/privkey.pem" -out "$dir/fullchain.pem" 2>/dev/null
}
