#!/bin/bash
# SPDX-License-Identifier: MIT
# Checks a built ELF file's dynamic section and exported symbols.
#   elf_check.sh FILE [--needed "a.so b.so"] [--exports "sym1 sym2"] [--soname NAME]
#                     [--no-imports "sym1 sym2"] [--machine ARM] [--hard-float]
# Each given list must match exactly, order aside; --no-imports names calls
# the file must not make (the heap's, say).
set -eu
file=$1
shift
status=0

# shellcheck disable=SC2086 # a list: one word a line
sorted() { printf '%s\n' $1 | sort | tr '\n' ' '; }
compare() {
    if [ "$(sorted "$2")" = "$(sorted "$3")" ]; then
        echo "ok: $1: $3"
    else
        echo "FAIL: $1: expected [$2], found [$3]"
        status=1
    fi
}

dynamic=$(readelf -W -d "$file")
while [ $# -gt 0 ]; do
    case $1 in
    --needed)
        found=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
        compare NEEDED "$2" "$found"
        shift 2 ;;
    --soname)
        found=$(echo "$dynamic" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
        compare SONAME "$2" "$found"
        shift 2 ;;
    --exports)
        # Defined global or weak symbols of the dynamic symbol table.
        found=$(readelf -W --dyn-syms "$file" |
            awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $8 != "" { sub(/@.*/, "", $8); print $8 }')
        compare exports "$2" "$found"
        shift 2 ;;
    --no-imports)
        found=$(readelf -W --dyn-syms "$file" |
            awk '$7 == "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' | sort -u)
        # shellcheck disable=SC2086 # a list: one word a line
        hits=$(printf '%s\n' $2 | sort -u | comm -12 - <(echo "$found") | tr '\n' ' ')
        if [ -z "$hits" ]; then
            echo "ok: imports none of: $2"
        else
            echo "FAIL: imports $hits"
            status=1
        fi
        shift 2 ;;
    --machine)
        found=$(readelf -h "$file" | sed -n 's/^ *Machine: *//p')
        compare machine "$2" "$found"
        shift 2 ;;
    --hard-float)
        if readelf -A "$file" | grep -q 'Tag_ABI_VFP_args: VFP registers'; then
            echo "ok: hard-float calling convention"
        else
            echo "FAIL: no Tag_ABI_VFP_args: VFP registers"
            status=1
        fi
        shift ;;
    *)
        echo "unknown option $1" >&2
        exit 2 ;;
    esac
done
exit $status
