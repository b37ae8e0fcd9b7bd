#!/usr/bin/env bash
# Builds libidn2, the part of libunistring it uses, and libpsl for a Windows preset, static, from
# Debian's own source packages, so that kelvane-cli.exe converts names and finds registered domains
# exactly as the Linux build does (libpsl with the Public Suffix List of Debian's publicsuffix
# package built in):
#
#   cmake/build-idn2-mingw.sh win64|win32 BUILD-DIR
#
# The result goes to BUILD-DIR/idn2-mingw/prefix, where the preset's CMake looks for it; a prefix
# already built by this same script is left as it is. Needs `deb-src` in the Types of
# /etc/apt/sources.list.d/debian.sources (then apt-get update), dpkg-dev, make, meson, python3,
# publicsuffix and the -posix mingw-w64 compilers; nothing is installed into the system.
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
# The list libpsl builds in: the one libpsl reads on Linux.
psl_list=/usr/share/publicsuffix/public_suffix_list.dat
psl_version=$(dpkg-query -W -f '${Version}' publicsuffix 2>/dev/null || true)
if [ ! -f "$psl_list" ] || [ -z "$psl_version" ]; then
    echo "$0: the Public Suffix List is not in $psl_list (apt-get install publicsuffix)" >&2
    exit 1
fi
for tool in meson python3; do
    command -v "$tool" > /dev/null || { echo "$0: $tool is needed (apt-get install $tool)" >&2; exit 1; }
done
# A change to this script builds again, since it may change what the prefix holds; so does a new
# list, which the prefix holds too.
recipe="$triple $(sha256sum < "$0" | cut -d' ' -f1) publicsuffix=$psl_version"
if [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$recipe" ]; then
    echo "libidn2 and libpsl for $1: already built in $prefix"
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
step fetch apt-get source libidn2 libunistring libpsl
idn2_src=$(echo "$work"/src/libidn2-*/configure) idn2_src=${idn2_src%/configure}
uni_src=$(echo "$work"/src/libunistring-*/configure) uni_src=${uni_src%/configure}
psl_src=$(echo "$work"/src/libpsl-*/meson.build) psl_src=${psl_src%/meson.build}
if [ ! -d "$idn2_src" ] || [ ! -d "$uni_src" ] || [ ! -d "$psl_src" ]; then
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

# libpsl: the library only, with the list compiled in by its own tool (Python), built with Meson
# since Debian's source ships no configure script. No IDNA library at run time: lookups in the
# built-in list never convert a name (it holds each rule in both forms), and libpsl would take
# libidn2 only with iconv, which mingw-w64 does not have.
case $triple in
x86_64-*) cpu_family=x86_64 ;;
*) cpu_family=x86 ;;
esac
cat > "$work/meson-cross.txt" << EOF
[binaries]
c = '$CC'
ar = '$triple-ar'
strip = '$triple-strip'

[host_machine]
system = 'windows'
cpu_family = '$cpu_family'
cpu = '${triple%%-*}'
endian = 'little'
EOF
step libpsl-configure meson setup --cross-file "$work/meson-cross.txt" --prefix="$prefix" \
    --buildtype=release -Doptimization=2 -Ddefault_library=static -Druntime=no -Dbuiltin=true \
    -Dpsl_file="$psl_list" -Ddocs=false "$work/libpsl" "$psl_src"
step libpsl-make ninja -C "$work/libpsl" -j"$jobs" src/libpsl.a
grep -q "_psl_sha1_checksum\[\] = \"$(sha1sum < "$psl_list" | cut -d' ' -f1)\"" "$work/libpsl/src/suffixes_dafsa.h" ||
    { echo "$0: libpsl did not build in $psl_list" >&2; exit 1; }
cp "$work/libpsl/src/libpsl.a" "$prefix/lib/"
cp "$work/libpsl/include/libpsl.h" "$prefix/include/"

# The licences the programs that link them are shipped with.
mkdir -p "$prefix/share/licenses"
cp "$idn2_src/COPYING" "$prefix/share/licenses/GPL-3.txt"
cp "$idn2_src/COPYING.LESSERv3" "$prefix/share/licenses/LGPL-3.txt"
cp "$idn2_src/COPYING.unicode" "$prefix/share/licenses/Unicode.txt"
cat "$psl_src/COPYING" - "$psl_src/src/LICENSE.chromium" > "$prefix/share/licenses/libpsl.txt" << EOF

libpsl's lookup in the built-in list comes from Chromium:

EOF
{
    printf '%s\n' "The Public Suffix List built into these programs (Debian's publicsuffix $psl_version) is" \
        "covered by the Mozilla Public License 2.0 below. Its source: https://publicsuffix.org/list/," \
        "and Debian's source package publicsuffix." ""
    cat /usr/share/common-licenses/MPL-2.0
} > "$prefix/share/licenses/MPL-2.0.txt"

versions="$(cd "$work/src" && echo *.dsc) publicsuffix_$psl_version"
printf '%s\n%s\n' "$recipe" "$versions" > "$stamp"
# The sources and objects are not needed again (the logs stay).
rm -rf "$work/src" "$work/libunistring" "$work/libidn2" "$work/libpsl" "$work/meson-cross.txt"
echo "libidn2 and libpsl for $1: built in $prefix from $versions in $(((SECONDS - start) / 60))m$(((SECONDS - start) % 60))s"
