#!/bin/sh
# Installs the build into a temporary prefix, checks what is laid out there,
# then builds a plain C caller against it with pkg-config and with
# find_package, and runs both.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [TOOLCHAIN_FILE [EMULATOR...]]
set -eu
build=$1 src=$2 cc=$3
toolchain=${4:-}
[ $# -gt 4 ] && shift 4 || shift $#
emulator="$*"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name sci_codec.pc)")/..
for f in include/sci_codec.h; do
    [ -f "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done
for f in libsci_codec.so libsci_codec.so.1 pkgconfig/sci_codec.pc cmake/sci_codec/sci_codecConfig.cmake; do
    [ -e "$libdir/$f" ] || { echo "FAIL: lib/$f not installed"; exit 1; }
done
[ "$(readlink "$libdir/libsci_codec.so")" = libsci_codec.so.1 ] || { echo "FAIL: libsci_codec.so link"; exit 1; }
echo "ok: header, library with its links, pkg-config and CMake files installed"

libdir=$(cd "$libdir" && pwd)

# pkg-config
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs sci_codec)
# CFLAGS and LDFLAGS, when set, apply to both callers (find_package: through CMake).
$cc -std=c99 -Wall -Wextra -Wpedantic -Werror ${CFLAGS:-} -o "$work/by_pkgconfig" \
    "$src/tests/c_api_test.c" $flags ${LDFLAGS:-}
LD_LIBRARY_PATH=$libdir $emulator "$work/by_pkgconfig"
echo "ok: built with pkg-config ($flags) and ran"

# find_package
set -- -S "$src/tests/install_consumer" -B "$work/consumer" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DTEST_SOURCE="$src/tests/c_api_test.c"
[ -n "$toolchain" ] && set -- "$@" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_FIND_ROOT_PATH="$prefix"
cmake "$@" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH=$libdir $emulator "$work/consumer/consumer"
echo "ok: built with find_package(sci_codec) and ran"
