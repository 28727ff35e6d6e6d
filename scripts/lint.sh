#!/bin/bash
# SPDX-License-Identifier: MIT
# Static analysis, the lint build of scripts/test.sh:
#   clang-tidy (.clang-tidy) and cppcheck on every C and C++ source of the
#     project, each compiled as the build compiles it (the compile commands of
#     the presets lint and lint-arm), the headers through the sources that
#     include them;
#   and shellcheck (.shellcheckrc) on every shell script.
# The files are found, not listed: the repository's files (git ls-files) by
# extension, and scripts by their first line, so that a file added later is
# checked too. A C or C++ source that no compile command builds is a finding.
# Every finding is printed; the last line says what ran and how many findings
# there were, and the status is 0 only when there were none.
#
#   scripts/lint.sh [-j JOBS] [clang-tidy] [cppcheck] [shellcheck]
#
# Without names it runs all three. JOBS (default: the number of processors)
# is how many files are analysed at once.
set -u
cd "$(dirname "$0")/.." || exit 2
root=$PWD

jobs=$(nproc)
run_tidy=0 run_cppcheck=0 run_shellcheck=0
while [ $# -gt 0 ]; do
    case $1 in
    -j) jobs=${2:?-j needs a number}; shift ;;
    -j*) jobs=${1#-j} ;;
    clang-tidy) run_tidy=1 ;;
    cppcheck) run_cppcheck=1 ;;
    shellcheck) run_shellcheck=1 ;;
    *)
        echo "usage: scripts/lint.sh [-j JOBS] [clang-tidy] [cppcheck] [shellcheck]" >&2
        exit 2
        ;;
    esac
    shift
done
if [ $((run_tidy + run_cppcheck + run_shellcheck)) -eq 0 ]; then
    run_tidy=1 run_cppcheck=1 run_shellcheck=1
fi

# The project's files, relative to the top folder.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files --cached --others --exclude-standard)
else
    files=$(find . -path ./build -prune -o -path ./.git -prune -o -type f -print | sed 's|^\./||')
fi

build=build/lint
units=$build/units
mkdir -p "$build"
findings=0
summary=

if [ $run_tidy = 1 ] || [ $run_cppcheck = 1 ]; then
    # The compile commands: this machine's build with every optional target
    # (tests, fuzz targets, benchmarks), and the device's for what only a
    # 32-bit build compiles. The receive loops that receive_loop.c includes
    # are taken out of the documents first.
    setup_log=$build/lint-setup.log
    if ! { cmake --preset lint && cmake --preset lint-arm && cmake --build --preset lint; } \
        >"$setup_log" 2>&1; then
        cat "$setup_log"
        echo "lint: cannot configure the presets lint and lint-arm (above)"
        exit 1
    fi

    # One unit per distinct compile command of each source: a folder with a
    # compile database of that one command, which clang-tidy reads; all of
    # them together, for cppcheck. A source takes the commands of the first
    # database that builds it. Prints each unit's folder and source, "none"
    # for the folder of a source that no command builds.
    rm -rf "$units"
    mkdir -p "$units"
    printf '%s\n' "$files" | grep -E '\.(c|cc|cpp|cxx)$' | python3 -c '
import json, os, shlex, sys

root, units, dbs = sys.argv[1], sys.argv[2], sys.argv[3:]
commands = {}
for db in dbs:
    here = {}
    for entry in json.load(open(db)):
        path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        here.setdefault(path, []).append(entry)
    for path, entries in here.items():
        commands.setdefault(path, entries)

def words(entry):
    """The command without its output file: two targets that compile a
    source the same way make one unit."""
    args = entry.get("arguments") or shlex.split(entry["command"])
    out = []
    skip = False
    for arg in args:
        if skip:
            skip = False
        elif arg == "-o":
            skip = True
        elif not arg.startswith("-o"):
            out.append(arg)
    return tuple(out)

everything = []
for source in sys.stdin.read().split():
    entries = commands.get(os.path.join(root, source))
    if not entries:
        print("none\t" + source)
        continue
    distinct = {}
    for entry in entries:
        distinct.setdefault(words(entry), entry)
    for entry in distinct.values():
        unit = os.path.join(units, str(len(everything)))
        os.makedirs(unit)
        with open(os.path.join(unit, "compile_commands.json"), "w") as f:
            json.dump([entry], f, indent=1)
        with open(os.path.join(unit, "source"), "w") as f:
            f.write(source)
        everything.append(entry)
        print(unit + "\t" + source)
with open(os.path.join(units, "compile_commands.json"), "w") as f:
    json.dump(everything, f, indent=1)
' "$root" "$units" "$build/compile_commands.json" build/lint-arm/compile_commands.json \
        >"$units/list" || exit 1

    while IFS=$'\t' read -r unit source; do
        if [ "$unit" = none ]; then
            echo "$source: error: no compile command of the presets lint and lint-arm builds it [lint-not-compiled]"
            findings=$((findings + 1))
        fi
    done <"$units/list"
    grep -v '^none' "$units/list" >"$units/built"
    sources=$(cut -f2 "$units/built" | sort -u | wc -l)
fi

if [ $run_tidy = 1 ]; then
    echo "=== clang-tidy ($(grep -c . "$units/built") compile commands of $sources files)"
    # Each unit's findings go to its folder, and clang-tidy's status: not 0
    # when it had any.
    # shellcheck disable=SC2016 # the script is for the shell that xargs starts
    cut -f1 "$units/built" | xargs -P "$jobs" -I UNIT sh -c '
        clang-tidy-14 -p "$1" --quiet "$(cat "$1/source")" >"$1/tidy.log" 2>&1
        echo $? >"$1/tidy.status"' sh UNIT
    # A finding in a header shows in every source that includes it: printed
    # and counted once, with its notes.
    cut -f1 "$units/built" | while read -r unit; do
        cat "$unit/tidy.log"
        echo "@@ end of unit"
    done | awk '
        BEGIN { keep = 1 }
        /^@@ end of unit$/ { keep = 1; next }
        /^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$/ { next }
        /^[^ ].*:[0-9]+:[0-9]+: (warning|error): / { keep = !($0 in seen); seen[$0] = 1; n += keep }
        keep { print }
        END { print n + 0 >"/dev/stderr" }' 2>"$units/tidy.count"
    count=$(cat "$units/tidy.count")
    # A failure without a finding (a crash): one finding for its source.
    while IFS=$'\t' read -r unit source; do
        if [ "$(cat "$unit/tidy.status")" != 0 ] &&
            ! grep -qE ': (warning|error): ' "$unit/tidy.log"; then
            cat "$unit/tidy.log"
            echo "$source: error: clang-tidy failed [lint-clang-tidy-failed]"
            count=$((count + 1))
        fi
    done <"$units/built"
    findings=$((findings + count))
    summary="${summary}clang-tidy: $sources files, "
fi

if [ $run_cppcheck = 1 ]; then
    echo "=== cppcheck ($sources files)"
    # Its build folder serves the analysis across files; anew each time, so
    # that no result of an earlier run is reused.
    rm -rf "$build/cppcheck"
    mkdir -p "$build/cppcheck"
    cppcheck --project="$units/compile_commands.json" --quiet -j "$jobs" \
        --cppcheck-build-dir="$build/cppcheck" \
        --enable=warning,performance,portability --inline-suppr \
        --library=googletest --library=posix --library=scripts/cppcheck-googletest.cfg \
        --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
        >"$units/cppcheck.log" 2>&1
    status=$?
    cat "$units/cppcheck.log"
    count=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: [a-z]+: .* \[[A-Za-z0-9_]+\]$' "$units/cppcheck.log")
    if [ $status -ne 0 ] && [ "$count" -eq 0 ]; then
        echo "cppcheck: error: cppcheck failed with status $status [lint-cppcheck-failed]"
        count=1
    fi
    findings=$((findings + count))
    summary="${summary}cppcheck: $sources files, "
fi

if [ $run_shellcheck = 1 ]; then
    # A shell script: a name ending in .sh or .bash, a first line that starts
    # a shell (sh, bash, dash, ash), or a "# shellcheck shell=" line among its
    # first five; shellcheck takes the dialect from those. A bash completion
    # file (in a folder completion or completions, its name the command's,
    # without a dot) is sourced by bash: bash, unless it says otherwise.
    shebang='^#! ?(/usr)?(/local)?/bin/(env +)?(sh|bash|dash|ash)( |$)'
    scripts=()
    completions=()
    while IFS= read -r f; do
        [ -f "$f" ] || continue
        head=$(head -c 512 "$f" | tr -d '\0' | head -n 5)
        first=${head%%$'\n'*}
        if [[ $first =~ $shebang ]] || [[ $head =~ (^|$'\n')#\ *shellcheck\ shell= ]]; then
            scripts+=("$f")
        else
            case $f in
            *.sh | *.bash) scripts+=("$f") ;;
            *.*) ;;
            completion/* | completions/* | */completion/* | */completions/*) completions+=("$f") ;;
            esac
        fi
    done <<<"$files"
    echo "=== shellcheck ($((${#scripts[@]} + ${#completions[@]})) scripts)"
    {
        [ ${#scripts[@]} -eq 0 ] || shellcheck --format=gcc "${scripts[@]}"
        [ ${#completions[@]} -eq 0 ] || shellcheck --format=gcc --shell=bash "${completions[@]}"
    } >"$build/shellcheck.log" 2>&1
    cat "$build/shellcheck.log"
    count=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: [a-z]+: .* \[SC[0-9]+\]$' "$build/shellcheck.log")
    if [ "$count" -eq 0 ] && [ -s "$build/shellcheck.log" ]; then
        echo "shellcheck: error: shellcheck failed (above) [lint-shellcheck-failed]"
        count=1
    fi
    findings=$((findings + count))
    summary="${summary}shellcheck: $((${#scripts[@]} + ${#completions[@]})) scripts, "
fi

if [ $findings = 1 ]; then
    echo "${summary}1 finding"
else
    echo "${summary}$findings findings"
fi
[ $findings -eq 0 ]
