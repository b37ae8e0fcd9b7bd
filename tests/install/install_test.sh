#!/usr/bin/env bash
# Installs a build into a private DESTDIR, as a package would under /usr, and
# checks what lands there: both programs, their manual pages and shell
# completions, the desktop entry, the AppStream metadata, the licence and the
# icons.
#
# Usage: install_test.sh BUILD_DIR
#
# Environment: KELVANE_VERSION, the version both programs must report
# (required); CMAKE, the cmake to install with (default: cmake from PATH);
# ICON_SIZES, the icon sizes that must be present (default "16 32 48");
# CLI_MAN_MADE, 0 when kelvane-cli's manual page was not made (default 1).

set -euo pipefail

readonly CMD_TIMEOUT=60   # seconds for cmake --install and each program run

if (($# != 1)); then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
BUILD_DIR=$1
CMAKE=${CMAKE:-cmake}
if [[ -z ${KELVANE_VERSION:-} ]]; then
    echo "FAIL: KELVANE_VERSION is not set" >&2
    exit 2
fi
ICON_SIZES=${ICON_SIZES:-"16 32 48"}

if [[ ! -f $BUILD_DIR/cmake_install.cmake ]]; then
    echo "FAIL: not a configured build directory: $BUILD_DIR" >&2
    exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-install.XXXXXX")
trap 'rm -rf -- "$WORK"' EXIT
STAGE=$WORK/root   # the DESTDIR
ERR=$WORK/stderr   # what a program said on failure

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

echo "Installing $BUILD_DIR into $STAGE with prefix /usr"
if ! DESTDIR=$STAGE timeout "$CMD_TIMEOUT" "$CMAKE" --install "$BUILD_DIR" --prefix /usr; then
    echo "FAIL: cmake --install failed" >&2
    exit 1
fi
ROOT=$STAGE/usr

# Nothing may escape the prefix: an absolute install destination would put
# files outside /usr, where a package must not write.
while IFS= read -r -d '' path; do
    fail "installed outside /usr: ${path#"$STAGE"}"
done < <(find "$STAGE" -mindepth 1 -maxdepth 1 ! -name usr -print0)

# --- Programs ---------------------------------------------------------------
for prog in kelvane kelvane-cli; do
    if [[ ! -f $ROOT/bin/$prog ]]; then
        fail "usr/bin/$prog is missing"
    elif [[ ! -x $ROOT/bin/$prog ]]; then
        fail "usr/bin/$prog is not executable"
    fi
done

# Each installed program must start and report the version it was built as.
# The dialog needs a platform plugin even for --version: offscreen needs no display.
check_version() {
    local prog=$1 expected=$2 out
    [[ -x $ROOT/bin/$prog ]] || return 0
    if ! out=$(QT_QPA_PLATFORM=offscreen timeout "$CMD_TIMEOUT" "$ROOT/bin/$prog" --version 2>"$ERR"); then
        fail "installed $prog --version failed: '$out' $(cat "$ERR")"
    elif [[ $out != "$expected" ]]; then
        fail "installed $prog --version printed '$out', expected '$expected'"
    else
        echo "$prog --version: $out"
    fi
}
check_version kelvane-cli "kelvane-cli $KELVANE_VERSION"
check_version kelvane "Kelvane $KELVANE_VERSION"

# An installed dialog keeps its files per user, never beside itself, even when it could write
# there (as root): it carries no portable marker, and at start it sets up its per-user folders.
[[ ! -e $ROOT/bin/Kelvane.portable ]] || fail "the portable marker was installed"
if [[ -x $ROOT/bin/kelvane ]]; then
    before=$(ls -A "$ROOT/bin")
    mkdir -p "$WORK/home"
    HOME=$WORK/home XDG_CONFIG_HOME='' XDG_DATA_HOME='' QT_QPA_PLATFORM=offscreen \
        timeout -s TERM 3 "$ROOT/bin/kelvane" >/dev/null 2>&1 || true
    [[ $(ls -A "$ROOT/bin") == "$before" ]] || fail "the installed dialog wrote beside itself"
    [[ -d $WORK/home/.config/Kelvane && -d $WORK/home/.local/share/Kelvane ]] ||
        fail "the installed dialog did not set up ~/.config/Kelvane and ~/.local/share/Kelvane"
fi

# --- Desktop entry ----------------------------------------------------------
APP_ID=io.github.kelvane.Kelvane
DESKTOP=$ROOT/share/applications/$APP_ID.desktop
# The value of KEY in the [Desktop Entry] group, empty when absent.
desktop_value() {
    awk -v key="$1" '
        /^\[/ { inEntry = ($0 == "[Desktop Entry]"); next }
        inEntry && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
    ' "$DESKTOP"
}
if [[ ! -f $DESKTOP ]]; then
    fail "usr/share/applications/$APP_ID.desktop is missing"
else
    [[ $(desktop_value Type) == Application ]] || fail "desktop entry: Type is not Application"
    [[ $(desktop_value Name) == Kelvane ]] || fail "desktop entry: Name is not Kelvane"
    [[ $(desktop_value Exec) == kelvane ]] || fail "desktop entry: Exec is not kelvane"
    [[ $(desktop_value Icon) == kelvane ]] || fail "desktop entry: Icon is not kelvane"
    [[ -n $(desktop_value Comment) ]] || fail "desktop entry: no Comment"
    [[ -n $(desktop_value 'Comment[zh_CN]') ]] || fail "desktop entry: no Comment[zh_CN]"
    if command -v desktop-file-validate >/dev/null 2>&1; then
        if ! desktop-file-validate "$DESKTOP"; then
            fail "desktop-file-validate rejects the desktop entry"
        fi
    else
        echo "desktop-file-validate not found: validation skipped"
    fi
fi

# --- AppStream metadata ------------------------------------------------------
METAINFO=$ROOT/share/metainfo/$APP_ID.metainfo.xml
if [[ ! -f $METAINFO ]]; then
    fail "usr/share/metainfo/$APP_ID.metainfo.xml is missing"
else
    grep -q "<id>$APP_ID</id>" "$METAINFO" || fail "metainfo: the id is not $APP_ID"
    grep -q "<launchable type=\"desktop-id\">$APP_ID.desktop</launchable>" "$METAINFO" ||
        fail "metainfo: it does not launch $APP_ID.desktop"
    if command -v appstreamcli >/dev/null 2>&1; then
        appstreamcli validate --no-net "$METAINFO" || fail "appstreamcli rejects the metainfo"
    else
        echo "appstreamcli not found: validation skipped"
    fi
fi

# --- Manual pages, completions, licence --------------------------------------
# kelvane-cli's page is made by help2man when the build found it (CLI_MAN_MADE=1).
pages=kelvane
[[ ${CLI_MAN_MADE:-1} == 1 ]] && pages+=" kelvane-cli"
for page in $pages; do
    man_page=$ROOT/share/man/man1/$page.1.gz
    if [[ ! -f $man_page ]]; then
        fail "usr/share/man/man1/$page.1.gz is missing"
    elif ! gzip -dc "$man_page" | grep -q '^\.TH '; then
        fail "$page.1.gz is not a manual page"
    fi
done
for completion in bash-completion/completions/kelvane-cli zsh/vendor-completions/_kelvane-cli \
    fish/vendor_completions.d/kelvane-cli.fish; do
    [[ -s $ROOT/share/$completion ]] || fail "usr/share/$completion is missing"
done
for doc in copyright changelog.Debian.gz; do
    [[ -s $ROOT/share/doc/kelvane/$doc ]] || fail "usr/share/doc/kelvane/$doc is missing"
done

# --- Icons ------------------------------------------------------------------
# Width and height of a PNG file from its IHDR chunk, "W H"; fails on
# anything that is not a PNG.
png_size() {
    local sig
    sig=$(od -An -tx1 -N16 "$1" | tr -d ' \n')
    # Signature 89 50 4E 47 0D 0A 1A 0A, then the IHDR chunk (length 13).
    [[ $sig == 89504e470d0a1a0a0000000d49484452 ]] || return 1
    local w h
    w=$(od -An -tu1 -j16 -N4 "$1" | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }')
    h=$(od -An -tu1 -j20 -N4 "$1" | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }')
    echo "$w $h"
}
for size in $ICON_SIZES; do
    icon=$ROOT/share/icons/hicolor/${size}x${size}/apps/kelvane.png
    if [[ ! -f $icon ]]; then
        fail "icon ${size}x${size} is missing"
        continue
    fi
    if ! dims=$(png_size "$icon"); then
        fail "icon ${size}x${size} is not a PNG file"
        continue
    fi
    [[ $dims == "$size $size" ]] || fail "icon ${size}x${size} is $dims pixels"
    if command -v file >/dev/null 2>&1; then
        desc=$(file -b "$icon")
        [[ $desc == "PNG image data, $size x $size"* ]] || fail "icon ${size}x${size}: file says '$desc'"
    fi
done
# Every installed icon sits in the directory of its own size.
while IFS= read -r -d '' icon; do
    dir=$(basename "$(dirname "$(dirname "$icon")")")
    if dims=$(png_size "$icon"); then
        [[ "${dims% *}x${dims#* }" == "$dir" ]] || fail "icon in $dir is ${dims/ /x} pixels"
    else
        fail "not a PNG file: ${icon#"$STAGE"}"
    fi
done < <(find "$ROOT/share/icons" -name '*.png' -print0 2>/dev/null)

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "PASS: installation is complete"
