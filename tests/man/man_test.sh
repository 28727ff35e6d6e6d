#!/bin/sh
# SPDX-License-Identifier: MIT
# The manual pages as the build writes them: mandoc finds no warning or error
# in any, each carries the project's version, and each still describes what
# it documents: sci.1 every mode and option the tool's help names, the
# library pages every call their header declares, daemon.8 every message the
# supervisor logs (all but the system's error texts). Skipped without mandoc.
#   man_test.sh SOURCE_DIR VERSION SCI_TOOL PAGE...
set -u
src=$1 version=$2 sci=$3
shift 3
if ! command -v mandoc >/dev/null 2>&1; then
    echo "SKIP: mandoc is not installed (scripts/deps.sh test installs it)"
    exit 77
fi
status=0
fail() { echo "FAIL: $*"; status=1; }
# has PAGE TEXT: the page's source holds the line TEXT.
has() { grep -qxF -- "$2" "$1" || fail "$(basename "$1") has no line '$2'"; }

for page in "$@"; do
    name=$(basename "$page")
    if ! out=$(mandoc -T lint -W warning "$page" 2>&1) || [ -n "$out" ]; then
        fail "mandoc on $name: $out"
    fi
    has "$page" ".Os korvi $version"
    case $name in
    sci.1)
        modes=$("$sci" --help | sed -n 's/^ *\(usage: \)\{0,1\}sci \([a-z]*\) .*/\2/p')
        [ -n "$modes" ] || fail "no modes in sci --help"
        for mode in $modes; do
            has "$page" ".It Cm $mode"
            for option in $("$sci" "$mode" --help | sed '/^$/q' |
                grep -oE '[ [](-[A-Za-z]|--[a-z]+)\b' | tr -d ' ['); do
                grep -q -- "^\.It Fl ${option#-}\( \|$\)" "$page" ||
                    fail "sci.1 describes no option $option (sci $mode)"
            done
        done
        ;;
    sci_codec.3 | sci_stream.3)
        header=$src/${name%.3}/${name%.3}.h
        calls=$(sed -n 's/^SCI_[A-Z]*_API [^(]* \**\([a-z_]*\)(.*/\1/p' "$header")
        [ -n "$calls" ] || fail "no calls in $header"
        for call in $calls; do
            grep -q "^\.Nm $call\( ,\)\{0,1\}$" "$page" || fail "$name names no $call"
        done
        ;;
    daemon.8 | korvi-daemon.8)
        text=$(mandoc -T ascii "$page" | sed 's/.\x08//g')
        messages=$(grep -o 'LOG[_IN]*(.*"\(.*\)\\n"' "$src/core/src/core/daemon/daemon.cpp" |
            sed 's/.*"\(.*\)\\n"/\1/; /^%s $/d; s/%d/PID/; s/%s/PATH/')
        [ -n "$messages" ] || fail "no messages in daemon.cpp"
        while IFS= read -r message; do
            case $text in *"\`$message'"*) ;; *) fail "daemon.8 has no message '$message'" ;; esac
        done <<EOF
$messages
EOF
        ;;
    esac
done
[ $status = 0 ] && echo "ok: $# pages pass mandoc -T lint -W warning and describe what they document"
exit $status
