#!/bin/sh
# SPDX-License-Identifier: MIT
# Boots the ARM build on an emulated Cortex-A7 board (qemu-system-arm,
# vexpress-a15) from a small image: the stripped install, the device files of
# examples/device, the sample programs of examples/rootfs, glibc from the cross
# toolchain's root and a static BusyBox, with Debian's armmp kernel. The
# console (UART 0) goes to standard output or FILE and takes this script's
# standard input; the device's SCI line (UART 1, /dev/ttyAMA1) is a
# pseudo-terminal here, linked at PATH. Ctrl-C or SIGTERM powers it off.
#   scripts/device.sh [--build DIR] [--sci-link PATH] [--console FILE] [--overlay DIR]
# --overlay copies DIR's tree over the image (own programs, list files).
set -eu
here=$PWD
cd "$(dirname "$0")/.."
scripts/deps.sh device
usage() {
    echo "usage: scripts/device.sh [--build DIR] [--sci-link PATH] [--console FILE] [--overlay DIR]" >&2
    exit 2
}
absolute() { case $1 in /*) echo "$1" ;; *) echo "$here/$1" ;; esac; }
build='' link=$PWD/build/device/sci console='' overlay=''
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --build) build=$(absolute "$2") ;;
    --sci-link) link=$(absolute "$2") ;;
    --console) console=$(absolute "$2") ;;
    --overlay) overlay=$(absolute "$2") ;;
    *) usage ;;
    esac
    shift 2
done
if [ -z "$build" ]; then
    build=$PWD/build/arm
    [ -f "$build/CMakeCache.txt" ] || cmake --preset arm >&2
    cmake --build --preset arm -j "$(nproc)" >/dev/null
fi
[ -f "$build/CMakeCache.txt" ] || { echo "device.sh: no build in $build" >&2; exit 2; }
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
sysroot=$(cache_value KORVI_TARGET_SYSROOT)
sysroot=${sysroot:-/usr/arm-linux-gnueabihf}
version=$(cache_value CMAKE_PROJECT_VERSION)

# The kernel and BusyBox, as Debian's armhf packages name them today, fetched
# once into the cache.
cache=$build/device/cache
mkdir -p "$cache"
fetch() { # PACKAGE: the newest .deb of PACKAGE:armhf in the cache
    if [ -z "$(find "$cache" -name "${1}_*_armhf.deb")" ]; then
        (cd "$cache" && apt-get download -q "$1:armhf" >"$cache/apt.log" 2>&1) ||
            { cat "$cache/apt.log" >&2; exit 1; }
    fi
    find "$cache" -name "${1}_*_armhf.deb" | sort -V | tail -n 1
}
kpkg=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p' | head -n 1)
kpkg=${kpkg:-$(find "$cache" -name 'linux-image-*-armmp_*.deb' | sort -V | tail -n 1 | sed 's,.*/,,; s,_.*,,')}
[ -n "$kpkg" ] || { echo "device.sh: apt-get knows no linux-image-armmp:armhf (dpkg --add-architecture armhf; apt-get update)" >&2; exit 1; }
kdeb=$(fetch "$kpkg")
kernel=$cache/${kpkg#linux-image-}
if [ ! -f "$kernel/vmlinuz" ]; then
    rm -rf "$kernel.tmp" && mkdir -p "$kernel.tmp"
    dpkg-deb --fsys-tarfile "$kdeb" | tar -x -C "$kernel.tmp" --wildcards './boot/vmlinuz-*' '*/vexpress-v2p-ca15-tc1.dtb'
    mkdir -p "$kernel"
    mv "$kernel.tmp"/boot/vmlinuz-* "$kernel/vmlinuz.tmp"
    find "$kernel.tmp" -name vexpress-v2p-ca15-tc1.dtb -exec mv {} "$kernel/" \;
    mv "$kernel/vmlinuz.tmp" "$kernel/vmlinuz" && rm -rf "$kernel.tmp"
fi
bbdeb=$(fetch busybox-static)

# The image: one initramfs.
root=$build/device/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/lib" "$root/usr/bin" "$root/usr/sbin" "$root/usr/lib" "$root/sbin" "$root/etc/init.d" "$root/proc" "$root/sys" \
    "$root/dev" "$root/tmp" "$root/var/run" "$root/var/log"
DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null
cp "$build/sdk_stub/lib_sdk.so" "$root/usr/lib/"
for lib in ld-linux-armhf.so.3 libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 \
    libresolv.so.2 libgcc_s.so.1 libstdc++.so.6; do
    cp -L "$sysroot/lib/$lib" "$root/lib/"
done
dpkg-deb --fsys-tarfile "$bbdeb" | tar -x -O ./bin/busybox >"$root/sbin/busybox"
chmod 755 "$root/sbin/busybox"
ln -s busybox "$root/sbin/init"
for d in opt app user; do
    mkdir -p "$root/$d"
    cp -a "examples/rootfs/$d/bin" "$root/$d/"
done
cp -a examples/device/opt examples/device/app examples/device/user "$root/"
cp -a examples/device/etc/init.d/. "$root/etc/init.d/"
hex=$(printf %s "$version" | od -An -tx1 | sed 's/^ *//')
sed -i "s/@VERSION_HEX@/$hex/" "$root/app/conf/sci-table"
cat >"$root/etc/inittab" <<'EOF'
::sysinit:/etc/init.d/rcS
ttyAMA0::respawn:-/bin/sh
::once:/etc/init.d/power-line
::shutdown:/etc/init.d/rcK
EOF
cat >"$root/etc/init.d/rcS" <<'EOF'
#!/sbin/busybox sh
/sbin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The initramfs is already in memory and writable: /tmp stays as the image
# has it, with what --overlay put there.
# The supervisor logs to the console.
export DAEMON_LOG=/dev/console
for s in /etc/init.d/S??*; do "$s" start; done
# Ready once the supervisor has a child for every listed program there is.
want=$(cat /opt/conf/daemon.conf /app/conf/start_config /user/conf/daemon.conf |
    while read -r p _; do [ -x "$p" ] && echo "$p"; done | wc -l)
n=0
pid=$(cat /var/run/daemon.pid)
while [ "$(ps -o ppid | awk -v p="$pid" '$1 == p' | wc -l)" -lt "$want" ] && [ $n -lt 30 ]; do
    sleep 0.1
    n=$((n + 1))
done
echo "device: programs started"
EOF
cat >"$root/etc/init.d/rcK" <<'EOF'
#!/bin/sh
for s in $(ls -r /etc/init.d/S??*); do "$s" stop; done
EOF
cat >"$root/etc/init.d/power-line" <<'EOF'
#!/bin/sh
# A line on UART 2 powers the device off.
read -r _ </dev/ttyAMA2 && exec poweroff
EOF
chmod 755 "$root/etc/init.d/rcS" "$root/etc/init.d/rcK" "$root/etc/init.d/power-line"
[ -z "$overlay" ] || cp -a "$overlay/." "$root/"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$build/device/initrd.cpio"

# Boot. qemu runs in a session of its own, so that Ctrl-C reaches this script
# only; the console and the power line are FIFO pairs, the SCI line a pty.
run=$(mktemp -d /tmp/korvi-device.XXXXXX)
log=${console:-$run/console.log}
mkfifo "$run/console.in" "$run/console.out" "$run/power.in" "$run/power.out"
mkdir -p "$(dirname "$link")" "$(dirname "$log")"
: >"$log"
in='' power='' out='' tty=''
# finish [now]: powers the device off (or ends the emulator at once, or after
# 30 s), ends the relays and removes what this script made.
finish() {
    trap '' INT TERM
    [ $# -gt 0 ] || ! kill -0 "$qemu" 2>/dev/null || echo >"$run/power.in"
    end=$(($(date +%s) + 30))
    while [ $# -eq 0 ] && kill -0 "$qemu" 2>/dev/null && [ "$(date +%s)" -lt $end ]; do
        sleep 0.1
    done
    kill "$qemu" 2>/dev/null || true
    wait "$qemu" 2>/dev/null || true
    # shellcheck disable=SC2086 # the relays' process ids, those started
    kill $in $power 2>/dev/null || true
    [ -z "$out" ] || wait "$out" 2>/dev/null || true
    [ -z "$tty" ] || stty "$tty"
    rm -f "$link"
    rm -rf "$run"
}
QEMU_AUDIO_DRV=none setsid qemu-system-arm -M vexpress-a15 -cpu cortex-a7 -smp 1 -m 512 \
    -kernel "$kernel/vmlinuz" -dtb "$kernel/vexpress-v2p-ca15-tc1.dtb" \
    -initrd "$build/device/initrd.cpio" -append "console=ttyAMA0 rdinit=/sbin/init quiet" \
    -nodefaults -display none -monitor none -no-reboot \
    -chardev pipe,id=con,path="$run/console" -serial chardev:con \
    -chardev pty,id=sci -serial chardev:sci \
    -chardev pipe,id=pwr,path="$run/power" -serial chardev:pwr \
    </dev/null >"$run/qemu.log" 2>&1 &
qemu=$!
trap 'finish; exit 0' INT TERM
cat "$run/power.out" >/dev/null &
power=$!
if [ -n "$console" ]; then
    cat "$run/console.out" >"$log" &
else
    tee "$log" <"$run/console.out" &
fi
out=$!
if [ -t 0 ]; then
    tty=$(stty -g)
    stty -echo -icanon
fi
exec 3<&0
cat <&3 >"$run/console.in" &
in=$!

# Up within 60 s: the supervisor has started its programs.
end=$(($(date +%s) + 60))
while ! grep -q '^device: programs started' "$log"; do
    if [ "$(date +%s)" -ge $end ] || ! kill -0 "$qemu" 2>/dev/null; then
        echo "device.sh: the device did not come up within 60 s; the console's last lines:" >&2
        tail -n 20 "$log" >&2
        grep '^qemu-system-arm' "$run/qemu.log" >&2 || true
        finish now
        exit 1
    fi
    sleep 0.1
done
pty=$(sed -n 's/^char device redirected to \(.*\) (label sci).*/\1/p' "$run/qemu.log")
# Raw, and held open here: qemu reads the line only while some process has
# it open, and would pass over what a short-lived client wrote and closed.
exec 4<>"$pty"
stty -F "$pty" raw -echo
ln -sfn "$pty" "$link"
echo "device ready: SCI line at $link"
wait "$qemu" || true
finish
