#!/bin/sh
# Installs the build into a temporary prefix and compares what it lays out,
# file by file and link by link, with what a device image takes: the
# supervisor, the codec library with its links, header and package files, and
# the sci tool. Nothing of the stand-in lib_sdk: the device has its own, which
# the installed supervisor finds where the loader looks by default, so it
# carries no run path.
#   install_tree_test.sh BUILD_DIR VERSION BINDIR SBINDIR LIBDIR INCLUDEDIR
set -eu
build=$1 version=$2 bin=$3 sbin=$4 lib=$5 include=$6

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
status=0

# Kind (f file, l link), path and link target; the build type in the name of
# the CMake export file varies.
found=$(cd "$prefix" && find . ! -type d -printf '%y %P %l\n' |
    sed 's/ $//; s/\(sci_codecTargets-\)[a-z]*\.cmake/\1BUILDTYPE.cmake/' | sort)
expected=$(sort <<EOF
f $bin/sci
f $sbin/daemon
f $include/sci_codec.h
l $lib/libsci_codec.so libsci_codec.so.${version%%.*}
l $lib/libsci_codec.so.${version%%.*} libsci_codec.so.$version
f $lib/libsci_codec.so.$version
f $lib/pkgconfig/sci_codec.pc
f $lib/cmake/sci_codec/sci_codecConfig.cmake
f $lib/cmake/sci_codec/sci_codecConfigVersion.cmake
f $lib/cmake/sci_codec/sci_codecTargets.cmake
f $lib/cmake/sci_codec/sci_codecTargets-BUILDTYPE.cmake
EOF
)
if [ "$found" = "$expected" ]; then
    echo "ok: installed exactly:"
    echo "$found" | sed 's/^/    /'
else
    echo "FAIL: installed files differ (< expected, > found):"
    printf '%s\n' "$expected" >"$work/expected"
    printf '%s\n' "$found" | diff "$work/expected" - | grep '^[<>]'
    status=1
fi

# Run paths: none for the supervisor and the library; the tool finds the
# library beside it, wherever the tree is moved.
runpath() {
    readelf -d "$prefix/$1" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p'
}
for f in "$sbin/daemon:" "$lib/libsci_codec.so.$version:" "$bin/sci:\$ORIGIN/../$lib"; do
    file=${f%%:*} want=${f#*:}
    if [ -f "$prefix/$file" ] && [ "$(runpath "$file")" = "$want" ]; then
        echo "ok: $file run path [$want]"
    else
        echo "FAIL: $file run path [$(runpath "$file" 2>&1)], expected [$want]"
        status=1
    fi
done
exit $status
