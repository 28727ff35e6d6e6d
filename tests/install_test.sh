#!/bin/sh
# SPDX-License-Identifier: MIT
# What an install lays out, and that it works: the build is installed into a
# staging root as a device image gets it (DESTDIR, prefix /usr), whole and one
# component at a time. Then the files are compared with the list below, link
# by link, with their run paths; a plain C caller is built against the staged
# libraries with pkg-config and with find_package, as a cross build's
# consumer would, and run; so is the staged sci tool. The build tree's own
# install manifest, a user's record of their install, is left as it was.
#   install_test.sh BUILD_DIR SOURCE_DIR VERSION C_COMPILER [TOOLCHAIN_FILE [EMULATOR...]]
set -eu
build=$1 src=$2 version=$3 cc=$4
toolchain=${5:-}
[ $# -gt 5 ] && shift 5 || shift $#
emulator="$*"
major=${version%%.*}
bin=usr/bin sbin=usr/sbin lib=usr/lib include=usr/include share=usr/share

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; status=1; }

# cmake --install writes install_manifest*.txt into the build tree: install
# through a copy of the top-level install script that writes it here instead.
sed "s|file(WRITE \"$build/|file(WRITE \"$work/|" "$build/cmake_install.cmake" >"$work/install.cmake"
grep -q "file(WRITE \"$work/" "$work/install.cmake" || { fail "no manifest line to move"; exit 1; }
manifests() { cat "$build"/install_manifest*.txt 2>/dev/null | cksum; }
before=$(manifests)
# stage DIR [COMPONENT]
stage() {
    DESTDIR=$1 cmake -DCMAKE_INSTALL_PREFIX=/usr ${2:+-DCMAKE_INSTALL_COMPONENT=$2} \
        -P "$work/install.cmake" >/dev/null
}
# Kind (f file, l link), path and link target of every file under DIR; the
# build type in the name of a CMake export file varies.
listing() {
    (cd "$1" && find . ! -type d -printf '%y %P %l\n') |
        sed 's/ $//; s/\(Targets-\)[a-z]*\.cmake/\1BUILDTYPE.cmake/' | sort
}

# Each component's files; all of them together are the whole install. A
# library NAME has its runtime in NAME, and what building against it takes in
# NAME-dev.
library_runtime() {
    echo "l $lib/lib$1.so.$major lib$1.so.$version
f $lib/lib$1.so.$version"
}
library_dev() {
    echo "f $include/$1.h
l $lib/lib$1.so lib$1.so.$major
f $lib/pkgconfig/$1.pc
f $lib/cmake/$1/$1Config.cmake
f $lib/cmake/$1/$1ConfigVersion.cmake
f $lib/cmake/$1/$1Targets.cmake
f $lib/cmake/$1/$1Targets-BUILDTYPE.cmake
f $share/man/man3/$1.3.gz"
}
component_files() {
    case $1 in
    sci_codec | sci_stream) library_runtime "$1" ;;
    *-dev) library_dev "${1%-dev}" ;;
    daemon) echo "f $sbin/daemon" ;;
    daemon-doc) echo "f $share/man/man8/daemon.8.gz" ;;
    sci) echo "f $bin/sci" ;;
    sci-doc) echo "f $share/man/man1/sci.1.gz" ;;
    sci-completion) echo "f $share/bash-completion/completions/sci" ;;
    wireshark) echo "f $share/korvi/wireshark/sci.lua" ;;
    sigrok) echo "f $share/korvi/sigrok/decoders/sci/__init__.py
f $share/korvi/sigrok/decoders/sci/pd.py" ;;
    esac
}
components="sci_codec sci_codec-dev sci_stream sci_stream-dev daemon daemon-doc"
components="$components sci sci-doc sci-completion wireshark sigrok"

root=$work/stage
stage "$root"
all=$(for c in $components; do component_files "$c"; done | sort)
if [ "$(listing "$root")" = "$all" ]; then
    ok "installed exactly the files of components: $components"
else
    fail "installed files differ (< expected, > found):"
    echo "$all" >"$work/expected"
    listing "$root" | diff "$work/expected" - | grep '^[<>]'
fi
for c in $components; do
    stage "$work/$c" "$c"
    [ "$(listing "$work/$c")" = "$(component_files "$c" | sort)" ] || fail "component $c differs"
done
ok "cmake --install --component NAME installs just that one's files"
[ "$(manifests)" = "$before" ] && ok "the build tree's install manifest is untouched" ||
    fail "the build tree's install manifest changed"

# Run paths: none for the supervisor (the device's lib_sdk is where the
# loader looks) and the codec; the reader finds the codec, and the tool both
# libraries, beside them, wherever the tree is moved.
runpath() {
    readelf -d "$root/$1" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p'
}
for f in "$sbin/daemon:" "$lib/libsci_codec.so.$version:" "$lib/libsci_stream.so.$version:\$ORIGIN" \
    "$bin/sci:\$ORIGIN/../lib"; do
    file=${f%%:*} want=${f#*:}
    [ "$(runpath "$file")" = "$want" ] && ok "$file run path [$want]" ||
        fail "$file run path [$(runpath "$file" 2>&1)], expected [$want]"
done

# A consumer of both libraries built against the staging root: the reader's
# package brings the codec's. CFLAGS and LDFLAGS, when set, apply to both
# builds (find_package: through CMake).
run() { LD_LIBRARY_PATH=$root/$lib $emulator "$@"; }
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/$lib/pkgconfig \
    pkg-config --cflags --libs sci_stream)
# shellcheck disable=SC2086 # flags: each word one argument
$cc -std=c99 -Wall -Wextra -Wpedantic -Werror ${CFLAGS:-} -o "$work/by_pkgconfig" \
    "$src/tests/c_api_test.c" $flags ${LDFLAGS:-}
run "$work/by_pkgconfig" && ok "built with pkg-config ($flags) and ran" || fail "pkg-config consumer"

set -- -S "$src/tests/install_consumer" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" \
    -DTEST_SOURCE="$src/tests/c_api_test.c"
if [ -n "$toolchain" ]; then
    set -- "$@" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_FIND_ROOT_PATH="$root"
else
    set -- "$@" -DCMAKE_PREFIX_PATH="$root/usr"
fi
# The consumer runs from its own run path, without LD_LIBRARY_PATH: the
# reader must find the codec by itself.
cmake "$@" >/dev/null && cmake --build "$work/consumer" >/dev/null &&
    $emulator "$work/consumer/consumer" &&
    ok "built with find_package(sci_stream) and ran without LD_LIBRARY_PATH" ||
    fail "find_package consumer"

[ "$($emulator "$root/$bin/sci" pack -V 2 -a 1 -c 0x1234 AB CD)" = "55 BB 01 02 12 34 AB CD C1 01" ] &&
    ok "the staged sci tool runs with the staged library" || fail "staged sci tool"

# sigrok-cli, where it is installed, loads the staged decoder from its folder.
if command -v sigrok-cli >/dev/null 2>&1; then
    SIGROKDECODE_DIR=$root/$share/korvi/sigrok/decoders sigrok-cli -P sci --show 2>&1 |
        grep -q '^ID: sci$' && ok "sigrok-cli loads the staged sci decoder" ||
        fail "sigrok-cli does not load the staged sci decoder"
fi
exit $status
