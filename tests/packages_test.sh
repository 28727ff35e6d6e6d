#!/bin/bash
# SPDX-License-Identifier: MIT
# The Debian packages, built by cpack from this build, as dpkg and lintian see
# them:
#  - exactly the seven packages, of this build's architecture (the Python
#    package: all), each holding exactly the files of its install components
#    and no stand-in lib_sdk.so, every ELF file built for the target's machine;
#  - a second cpack run gives byte-identical packages, dated by the last
#    commit (SOURCE_DATE_EPOCH); no package puts a command named daemon on PATH;
#  - dependencies as dpkg-shlibdeps found them: libc6 at least at the newest
#    glibc version the files ask for, the libraries through their shlibs
#    files, the rest as listed below, nothing on lib_sdk.so;
#  - the supervisor's unit names the program the package installs, and no
#    maintainer script enables or starts it (an upgrade's try-restart aside);
#  - lintian reports no tag that packaging/lintian-tags.txt does not list
#    (docs/packaging.md says why each stays).
# With "host" the packages are then installed, all of them, with dpkg, used
# (sci pack, a pkg-config consumer of both libraries, the Python package, the
# dissector and the decoder where Wireshark and sigrok look), removed and
# purged, and nothing may be left behind. That happens in a private mount
# namespace over this machine's own /usr, /etc and /var, each an overlay whose
# writes go to a folder of the test: dpkg checks the dependencies against
# what this machine really has installed, and runs the maintainer scripts and
# the ldconfig trigger for real, while this machine, and any dpkg or apt run
# on it meanwhile, sees none of it. That needs root.
#   packages_test.sh BUILD_DIR SOURCE_DIR VERSION host|armhf [C_COMPILER]
set -euo pipefail
build=$1 src=$2 version=$3 mode=$4 cc=${5:-cc}
major=${version%%.*}

if [ "$mode" = --inside ]; then
    :
elif [ "$mode" = host ]; then
    arch=$(dpkg --print-architecture)
else
    arch=$mode
fi

packages="libsci-codec1 libsci-stream1 libsci-codec-dev libsci-stream-dev korvi-daemon sci-tools
    python3-korvi-sci"
# The install components of each package: the table in cmake/KorviPackaging.cmake.
components() {
    case $1 in
    libsci-codec1) echo sci_codec ;;
    libsci-stream1) echo sci_stream ;;
    libsci-codec-dev) echo sci_codec-dev ;;
    libsci-stream-dev) echo sci_stream-dev ;;
    korvi-daemon) ;;
    sci-tools) echo sci sci-doc sci-completion wireshark sigrok ;;
    python3-korvi-sci) echo python ;;
    esac
    echo "deb-$1"
}

# ---- inside the private mount namespace (host mode) ----
if [ "$mode" = --inside ]; then
    work=$build
    status=0
    ok() { echo "ok: $*"; }
    fail() { echo "FAIL: $*"; status=1; }
    trap 'echo "FAIL: stopped at line $LINENO"' ERR
    for d in usr etc var; do
        mkdir -p "$work/upper/$d" "$work/overlay-work/$d"
        mount -t overlay overlay -o "lowerdir=/$d,upperdir=$work/upper/$d,workdir=$work/overlay-work/$d" "/$d"
    done
    # The maintainer scripts talk to systemd when it runs: not to this machine's.
    if [ -d /run/systemd ]; then mount -t tmpfs tmpfs /run/systemd; fi
    unset LD_LIBRARY_PATH PKG_CONFIG_PATH PYTHONPATH PYTHONDONTWRITEBYTECODE PYTHONPYCACHEPREFIX
    export DEBIAN_FRONTEND=noninteractive

    debs=$(for p in $packages; do echo "$work"/debs/"${p}"_*.deb; done)
    # shellcheck disable=SC2086 # one word per package file
    dpkg -i $debs >"$work/dpkg-install.log" 2>&1 || { cat "$work/dpkg-install.log"; fail "dpkg -i"; exit 1; }
    for p in $packages; do
        [ "$(dpkg-query -W -f='${Status}' "$p")" = "install ok installed" ] || fail "$p not installed"
    done
    ok "dpkg -i installed all $(echo "$packages" | wc -w) packages, dependencies met by this machine's"

    wants=/etc/systemd/system/multi-user.target.wants
    unit=korvi-daemon.service
    if [ ! -e "$wants/$unit" ]; then ok "the unit is not enabled"; else fail "installing enabled the unit"; fi

    if [ "$(/usr/bin/sci pack -V 2 -a 1 -c 0x1234 AB CD)" = "55 BB 01 02 12 34 AB CD C1 01" ]; then
        ok "the installed sci runs on the installed libraries"
    else
        fail "installed sci pack"
    fi

    flags=$(pkg-config --cflags --libs sci_stream)
    # shellcheck disable=SC2086 # pkg-config's words
    if "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/consumer" "$src/tests/c_api_test.c" \
        $flags && "$work/consumer" >/dev/null; then
        ok "a consumer built with pkg-config ($flags) runs"
    else
        fail "pkg-config consumer"
    fi

    py=$(/usr/bin/python3 -c 'import korvi_sci as s; print(s.__file__, s.pack(2, 1, 0x1234, b"\xab\xcd").hex())')
    pydir=/usr/lib/python3/dist-packages/korvi_sci
    if [ "$py" = "$pydir/__init__.py 55bb01021234abcdc101" ]; then
        ok "Debian's python3 imports korvi_sci: $py"
    else
        fail "python3 -c 'import korvi_sci': $py"
    fi
    if [ -d "$pydir/__pycache__" ]; then
        ok "python3 left byte code beside the modules"
    else
        fail "python3 wrote no byte code: the removal of it is not tested"
    fi

    if command -v tshark >/dev/null 2>&1; then
        if tshark -G plugins 2>/dev/null | grep -q 'sci\.lua'; then
            ok "tshark loads the dissector"
        else
            fail "tshark does not load sci.lua"
        fi
    fi
    if command -v sigrok-cli >/dev/null 2>&1; then
        if (unset SIGROKDECODE_DIR; sigrok-cli -P sci --show 2>&1) | grep -q '^ID: sci$'; then
            ok "sigrok-cli loads the decoder"
        else
            fail "sigrok-cli does not load the sci decoder"
        fi
    fi

    # The administrator enables the unit; a removal keeps that, a purge does not.
    made_wants=
    [ -d "$wants" ] || made_wants=1
    if command -v systemctl >/dev/null 2>&1; then
        systemctl --root=/ enable "$unit" >/dev/null 2>&1 || fail "systemctl enable $unit"
    else
        mkdir -p "$wants" && ln -s "/usr/lib/systemd/system/$unit" "$wants/$unit"
    fi
    [ -L "$wants/$unit" ] || fail "no link $wants/$unit after enabling"

    # shellcheck disable=SC2086
    dpkg -r $packages >"$work/dpkg-remove.log" 2>&1 || { cat "$work/dpkg-remove.log"; fail "dpkg -r"; }
    if [ -L "$wants/$unit" ]; then ok "dpkg -r: the unit's enabling stays"; else fail "dpkg -r removed the enabling"; fi
    # What a removal keeps: the packages with maintainer scripts, until purged.
    # shellcheck disable=SC2086
    kept=$(dpkg-query -W -f='${Package} ${Status}\n' $packages 2>/dev/null | awk '$4 != "not-installed"' || true)
    if echo "$kept" | grep -v 'deinstall ok config-files$' | grep .; then fail "dpkg -r left these (above)"; fi
    # shellcheck disable=SC2046 # one word per package
    dpkg -P $(echo "$kept" | awk '{print $1}') >"$work/dpkg-purge.log" 2>&1 ||
        { cat "$work/dpkg-purge.log"; fail "dpkg -P"; }
    if [ ! -e "$wants/$unit" ] && [ ! -L "$wants/$unit" ]; then
        ok "dpkg -P: the enabling is gone"
    else
        fail "dpkg -P left $wants/$unit"
    fi
    [ -n "$made_wants" ] && rmdir "$wants"
    for p in $packages; do
        [ -z "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" ] || fail "$p still known to dpkg"
    done
    grep -h 'warning' "$work"/dpkg-*.log && fail "dpkg warned (above)"
    exit $status
fi

# ---- this machine ----
work=$(mktemp -d "$build/packages-test.XXXXXX")
saved=$work/manifests
mkdir -p "$saved"
# cpack and cmake --install write install manifests into the build tree: put
# back the ones there were, a user's record of their install.
cp -p "$build"/install_manifest*.txt "$saved"/ 2>/dev/null || true
# shellcheck disable=SC2317 # called by the trap
cleanup() {
    rm -f "$build"/install_manifest*.txt
    cp -p "$saved"/* "$build"/ 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
status=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; status=1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; exit 1; }
found=$(cd "$work/debs" && find . -maxdepth 1 -name '*.deb' -printf '%P\n' | sort)
expected=$(for p in $packages; do
    a=$arch
    [ "$p" = python3-korvi-sci ] && a=all
    echo "${p}_${version}_$a.deb"
done | sort)
if [ "$found" = "$expected" ]; then
    ok "cpack built $(echo "$found" | wc -l) packages: $(echo "$found" | tr '\n' ' ')"
else
    fail "packages differ (< expected, > built):"
    diff <(echo "$expected") <(echo "$found") | grep '^[<>]' || true
    exit 1
fi
# Two builds of one commit give the same bytes: a second run, seconds later.
cpack --config "$build/CPackConfig.cmake" -B "$work/debs2" >"$work/cpack2.log" 2>&1 || fail "second cpack"
differ=$(cd "$work/debs" && for f in *.deb; do cmp -s "$f" "../debs2/$f" || echo "$f"; done)
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || true)}
dated=$(dpkg-deb --fsys-tarfile "$work/debs/libsci-codec1_${version}_$arch.deb" | TZ=UTC0 tar -tv --full-time |
    awk '{print $4 "T" $5}' | sort -u | xargs -I{} date -u -d {} +%s)
if [ -z "$differ" ] && [ "$dated" = "$epoch" ]; then
    ok "a second cpack run gave the same bytes, files dated $epoch"
else
    fail "not reproducible: [$differ] differ, files dated [$dated], not $epoch"
fi
deb() { echo "$work/debs/${1}_${version}_$([ "$1" = python3-korvi-sci ] && echo all || echo "$arch").deb"; }
field() { dpkg-deb -f "$(deb "$1")" "$2"; }

# Kind (f file, l link), path and link target of every file under DIR.
listing() { (cd "$1" && find . ! -type d -printf '%y %P %l\n') | sed 's/ $//' | sort; }
for p in $packages; do
    mkdir -p "$work/x/$p"
    dpkg-deb -x "$(deb "$p")" "$work/x/$p"
    mkdir -p "$work/c/$p"
    for c in $(components "$p"); do
        DESTDIR=$work/c/$p cmake --install "$build" --prefix /usr --component "$c" >/dev/null
    done
    if [ "$(listing "$work/x/$p")" = "$(listing "$work/c/$p")" ]; then
        ok "$p holds the files of components $(components "$p" | tr '\n' ' ')"
    else
        fail "$p differs from its components (< components, > package):"
        diff <(listing "$work/c/$p") <(listing "$work/x/$p") | grep '^[<>]' || true
    fi
done

# The links to where Wireshark and sigrok look: their components are the
# packages' own, so no install test lists them.
wireshark=$(sed -n 's/^KORVI_WIRESHARK_PLUGIN_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
for path in "usr/$wireshark/sci.lua" usr/share/libsigrokdecode/decoders/sci/pd.py; do
    [ -e "$work/x/sci-tools/$path" ] || fail "sci-tools lacks $path (or it leads nowhere)"
done
for p in $packages; do
    for f in copyright changelog.gz; do
        [ -f "$work/x/$p/usr/share/doc/$p/$f" ] || fail "$p lacks usr/share/doc/$p/$f"
    done
done
sdk=$(cd "$work/x" && find . -name 'lib_sdk*')
if [ -z "$sdk" ]; then ok "no package holds lib_sdk.so"; else fail "packaged: $sdk"; fi
# Debian's package daemon has /usr/bin/daemon: no command of that name here.
clash=$(cd "$work/x" && find . -path '*bin/daemon*')
if [ -z "$clash" ]; then ok "no package puts daemon on PATH"; else fail "on PATH: $clash"; fi

# Every ELF file is built for the target.
case $arch in
amd64) machine="Advanced Micro Devices X86-64" ;;
armhf) machine=ARM ;;
*) machine="unknown machine of $arch" ;;
esac
elves=0
while IFS= read -r -d '' f; do
    m=$(readelf -h "$f" 2>/dev/null | sed -n 's/^ *Machine: *//p') || true
    [ -n "$m" ] || continue
    elves=$((elves + 1))
    [ "$m" = "$machine" ] || fail "${f#"$work"/x/} is for $m, not $machine"
done < <(find "$work/x" -type f -print0)
if [ $elves -ge 4 ]; then ok "$elves ELF files, all for $machine"; else fail "only $elves ELF files"; fi

# Dependencies. Beside libc6, each package depends on exactly these.
depends() {
    case $1 in
    libsci-codec1 | korvi-daemon) ;;
    libsci-stream1) echo "libsci-codec1 (>= $version)" ;;
    libsci-codec-dev) echo "libsci-codec1 (= $version)" ;;
    libsci-stream-dev) printf '%s\n' "libsci-stream1 (= $version)" "libsci-codec-dev (= $version)" ;;
    sci-tools) printf '%s\n' "libsci-codec1 (>= $version)" "libsci-stream1 (>= $version)" ;;
    python3-korvi-sci) printf '%s\n' python3:any "libsci-codec1 (>= $version)" "libsci-stream1 (>= $version)" ;;
    esac
}
for p in $packages; do
    deps=$(field "$p" Depends | sed 's/, /\n/g')
    others=$(echo "$deps" | grep -v '^libc6\b' | sort || true)
    if [ "$others" = "$(depends "$p" | sort)" ]; then
        ok "$p depends on: $(echo "$deps" | paste -sd, | sed 's/,/, /g')"
    else
        fail "$p depends on [$(echo "$deps" | paste -sd,)], expected libc6 and [$(depends "$p" | paste -sd,)]"
    fi
    # The newest glibc version its ELF files need; libc6 at least at that.
    need=$(find "$work/x/$p" -type f | while read -r f; do
        readelf -V --wide "$f" 2>/dev/null | sed -n '/\.gnu\.version_r/,$p' || true
    done | grep -o 'Name: GLIBC_[0-9.]*' | sed 's/.*_//' | sort -V | tail -n 1 || true)
    libc=$(echo "$deps" | sed -n 's/^libc6 (>= \(.*\))$/\1/p')
    if [ -z "$need" ]; then
        [ -z "$(echo "$deps" | grep '^libc6' || true)" ] || fail "$p has no ELF file but depends on libc6"
    elif [ -n "$libc" ] && dpkg --compare-versions "$libc" ge "$need"; then
        ok "$p: libc6 (>= $libc), its files need GLIBC_$need"
    else
        fail "$p: its files need GLIBC_$need, but it depends on [$(echo "$deps" | grep '^libc6' || true)]"
    fi
done
[ "$(field python3-korvi-sci Recommends)" = python3-serial ] || fail "python3-korvi-sci should recommend python3-serial"
[ "$(field sci-tools Suggests)" = "tshark | wireshark, sigrok-cli | pulseview" ] || fail "sci-tools Suggests"
# The shlibs files are what gives the libraries' dependents their lines above.
for l in codec:libsci-codec1 stream:libsci-stream1; do
    shlibs=$(dpkg-deb -I "$(deb "${l#*:}")" shlibs 2>/dev/null || true)
    if [ "$shlibs" = "libsci_${l%%:*} $major ${l#*:} (>= $version)" ]; then
        ok "${l#*:} shlibs: $shlibs"
    else
        fail "${l#*:} shlibs file: [$shlibs]"
    fi
done

# The supervisor's unit starts the program the package installs, and no
# maintainer script of the package enables or starts it.
x=$work/x/korvi-daemon
exec_start=$(sed -n 's/^ExecStart=//p' "$x/usr/lib/systemd/system/korvi-daemon.service")
if [ -f "$x$exec_start" ] && [ -x "$x$exec_start" ]; then
    ok "the unit's ExecStart=$exec_start is in the package"
else
    fail "the unit's ExecStart=$exec_start is not in korvi-daemon"
fi
dpkg-deb -e "$(deb korvi-daemon)" "$work/control-daemon"
starts=$(cat "$work"/control-daemon/*inst "$work"/control-daemon/*rm 2>/dev/null | grep -v '^ *#' |
    grep -E 'systemctl.*(enable|start|restart)|deb-systemd-(helper|invoke).*(enable|start)|invoke-rc.d' || true)
restarts=$(grep -c 'systemctl try-restart' "$work/control-daemon/postinst" || true)
if [ "$restarts" = 1 ] && ! echo "$starts" | grep -v try-restart | grep -q .; then
    ok "no script of korvi-daemon enables or starts the unit; an upgrade restarts a running one"
else
    fail "korvi-daemon: [${starts}] in its scripts, $restarts try-restart in postinst"
fi

# Lintian: every tag it reports must be one listed as explained.
allowed=$(grep -v '^#' "$src/packaging/lintian-tags.txt" | awk 'NF {print $1, $2}' | sort -u)
if ! command -v lintian >/dev/null 2>&1; then
    fail "no lintian (scripts/deps.sh test installs it)"
elif ! lintian --display-info --pedantic --fail-on none --tag-display-limit 0 "$work"/debs/*.deb \
    >"$work/lintian.log" 2>&1; then
    fail "lintian failed:"
    cat "$work/lintian.log"
fi
reported=$(sed -n 's/^[EWIPX]: \([^ :]*\)\( [^ :]*\)\{0,1\}: \([^ ]*\).*/\1 \3/p' "$work/lintian.log" |
    sort -u)
unexplained=$(comm -23 <(echo "$reported") <(echo "$allowed") | sed '/^$/d')
if [ -z "$unexplained" ]; then
    ok "lintian: $(echo "$reported" | sed '/^$/d' | wc -l) tags, all explained in packaging/lintian-tags.txt"
else
    fail "lintian tags not explained in packaging/lintian-tags.txt:"
    grep -F -f <(echo "$unexplained" | awk '{print $2}') "$work/lintian.log"
fi
gone=$(comm -13 <(echo "$reported") <(echo "$allowed") | sed '/^$/d')
[ -z "$gone" ] || echo "note: listed but not reported (can go from the list): $(echo "$gone" | paste -sd,)"

[ "$mode" = host ] || exit $status

# ---- install, use, remove and purge them (host) ----
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing the packages needs root (dpkg over a private overlay of /usr, /etc, /var)"
    [ $status = 0 ] && exit 77
    exit $status
fi
# A file of the packages already on this machine would hide what they leave.
for p in $packages; do
    (cd "$work/x/$p" && find . ! -type d -printf '%P\n') | while read -r f; do
        if [ -e "/$f" ] || [ -L "/$f" ]; then echo "FAIL: /$f is on this machine already"; fi
    done
done | grep . && exit 1
unshare --mount --propagation private "$0" "$work" "$src" "$version" --inside "$cc" || status=1

# What the packages left: whatever the overlays' upper folders hold that this
# machine's /usr, /etc and /var do not (or hold otherwise). dpkg's own
# records, logs, caches and the loader's cache change as they should.
left=0
while IFS= read -r -d '' e; do
    rel=${e#"$work"/upper}
    case $rel in
    /var/lib/dpkg | /var/lib/dpkg/* | /var/log | /var/log/* | /var/cache | /var/cache/* | /etc/ld.so.cache) continue ;;
    esac
    if [ -c "$e" ]; then
        echo "left: $rel deleted"
    elif [ ! -e "$rel" ] && [ ! -L "$rel" ]; then
        echo "left: $rel"
    elif [ -f "$e" ] && ! cmp -s "$e" "$rel"; then
        echo "left: $rel changed"
    else
        continue
    fi
    left=$((left + 1))
done < <(find "$work/upper" -mindepth 2 -print0)
if [ $left = 0 ]; then
    ok "removed and purged: nothing of the packages is left in /usr, /etc or /var"
else
    fail "removed and purged, $left things are left (above)"
fi
exit $status
