#!/usr/bin/env bash
# Builds libidn2 and the part of libunistring it uses for a Windows preset, static, from Debian's
# own source packages, so that kelvane-cli.exe converts names exactly as the Linux build does:
#
#   cmake/build-idn2-mingw.sh win64|win32 BUILD-DIR
#
# The result goes to BUILD-DIR/idn2-mingw/prefix, where the preset's CMake looks for it; a prefix
# already built by this same script is left as it is. Needs `deb-src` in the Types of
# /etc/apt/sources.list.d/debian.sources (then apt-get update), dpkg-dev and the -posix mingw-w64
# compilers; nothing is installed into the system.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 win64|win32 BUILD-DIR" >&2; exit 2; }
case $1 in
win64) triple=x86_64-w64-mingw32 ;;
win32) triple=i686-w64-mingw32 ;;
*) echo "$0: win64 or win32, not $1" >&2; exit 2 ;;
esac
mkdir -p "$2"
work=$(realpath "$2")/idn2-mingw
prefix=$work/prefix
stamp=$prefix/kelvane-built
# A change to this script builds again, since it may change what the prefix holds.
recipe="$triple $(sha256sum < "$0" | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$recipe" ]; then
    echo "libidn2 for $1: already built in $prefix"
    exit 0
fi
start=$SECONDS
rm -rf "$work"
mkdir -p "$work/src" "$prefix/lib"
jobs=$(nproc)

# Runs a step with its output in a log, shown only when the step fails.
step() {
    local name=$1 log=$work/$1.log
    shift
    if ! "$@" > "$log" 2>&1; then
        echo "$0: $name failed for $triple; the end of $log:" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
}

cd "$work/src"
step fetch apt-get source libidn2 libunistring
idn2_src=$(echo "$work"/src/libidn2-*/configure) idn2_src=${idn2_src%/configure}
uni_src=$(echo "$work"/src/libunistring-*/configure) uni_src=${uni_src%/configure}
if [ ! -d "$idn2_src" ] || [ ! -d "$uni_src" ]; then
    echo "$0: the sources were not unpacked in $work/src" >&2
    exit 1
fi
# Debian's patches are applied; those to configure.ac and Makefile.am (in Debian 12: Linux's
# header locations) would have make run the autotools, which are not needed here, so every
# patched file takes back its original time and the shipped configure script and makefiles run.
for src in "$idn2_src" "$uni_src"; do
    [ -d "$src/.pc" ] || continue
    while IFS= read -r -d '' saved; do
        rel=${saved#"$src/.pc/"}
        rel=${rel#*/}
        if [ -e "$src/$rel" ]; then touch -r "$saved" "$src/$rel"; fi
    done < <(find "$src/.pc" -mindepth 2 -type f -print0)
done

export CC=$triple-gcc-posix CFLAGS=-O2
common=(--host="$triple" --prefix="$prefix" --disable-shared --enable-static --disable-dependency-tracking)

# libunistring: only the objects libidn2 links (normalisation, the character properties its
# checks read, the UTF conversions: the members a link of all of libidn2 takes from the whole
# library), and u8_strconv_from_locale, which libidn2's configure looks for. A missing one fails
# the link of libidn2's users, never their answers.
uni_objects=(
    unictype/bidi_of unictype/categ_M unictype/categ_none unictype/categ_of unictype/categ_test
    unictype/combiningclass unictype/joiningtype_of unictype/scripts
    uninorm/canonical-decomposition uninorm/composition uninorm/decompose-internal
    uninorm/decomposition-table uninorm/nfc uninorm/nfd uninorm/u32-normalize
    unistr/u32-cmp unistr/u32-cpy unistr/u32-cpy-alloc unistr/u32-strlen unistr/u32-to-u8
    unistr/u8-check unistr/u8-mblen unistr/u8-mbtoucr unistr/u8-strlen unistr/u8-to-u32
    unistr/u8-uctomb-aux
    uniconv/u8-conv-from-enc uniconv/u8-strconv-from-enc uniconv/u8-strconv-from-locale
    uniconv/u8-strconv-to-enc
    c-strcasecmp free localcharset malloc striconveh striconveha
)
mkdir -p "$work/libunistring"
cd "$work/libunistring"
step libunistring-configure "$uni_src/configure" "${common[@]}"
# The generated headers first: the objects do not name them as prerequisites.
# shellcheck disable=SC2016  # make expands it
read -r -a built < <(make -s --no-print-directory -C lib --eval 'kelvane-built: ; @echo $(BUILT_SOURCES)' kelvane-built)
step libunistring-headers make -C lib -j"$jobs" "${built[@]}"
step libunistring-make make -C lib -j"$jobs" "${uni_objects[@]/%/.lo}"
step libunistring-install make -C lib install-data-am
objects=("${uni_objects[@]/#/lib/}")
"$triple-ar" rcs "$prefix/lib/libunistring.a" "${objects[@]/%/.o}"

# libidn2: the library only (its gnulib and unistring helpers are built into it); no programs,
# documentation, translations or tests.
mkdir -p "$work/libidn2"
cd "$work/libidn2"
step libidn2-configure "$idn2_src/configure" "${common[@]}" --disable-nls --disable-doc --disable-gtk-doc \
    --disable-valgrind-tests --disable-rpath --without-libiconv-prefix --without-libintl-prefix \
    --with-libunistring-prefix="$prefix"
grep -q '^#define HAVE_LIBUNISTRING 1' config.h ||
    { echo "$0: libidn2 did not take the libunistring built in $prefix" >&2; exit 1; }
step libidn2-make sh -c "make -C gl -j$jobs && make -C unistring -j$jobs && make -C lib -j$jobs"
step libidn2-install make -C lib install-libLTLIBRARIES install-includeHEADERS

# The licences the programs that link them are shipped with.
mkdir -p "$prefix/share/licenses"
cp "$idn2_src/COPYING" "$prefix/share/licenses/GPL-3.txt"
cp "$idn2_src/COPYING.LESSERv3" "$prefix/share/licenses/LGPL-3.txt"
cp "$idn2_src/COPYING.unicode" "$prefix/share/licenses/Unicode.txt"

versions=$(cd "$work/src" && echo *.dsc)
printf '%s\n%s\n' "$recipe" "$versions" > "$stamp"
# The sources and objects are not needed again (the logs stay).
rm -rf "$work/src" "$work/libunistring" "$work/libidn2"
echo "libidn2 for $1: built in $prefix from $versions in $(((SECONDS - start) / 60))m$(((SECONDS - start) % 60))s"
