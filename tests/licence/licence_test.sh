#!/bin/sh
# SPDX-License-Identifier: MIT
# Every source, script and build file of the project names its licence in an
# SPDX line among its first three lines; the LICENSE file holds the text.
# Left out, each for its reason: documents and images (not code), JSON (no
# comments: CMakePresets.json), the sample list files (data the supervisor
# reads line by line), the fuzz targets' seed inputs (test data), py.typed
# (an empty marker that must stay empty), and the Debian packages' changelog
# and copyright template (Debian's formats: the copyright file names the
# licence in its own fields).
#   licence_test.sh SOURCE_DIR
set -u
cd "$1" || exit 2
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files)
else
    files=$(find . -path ./build -prune -o -path ./.git -prune -o -type f -print | sed 's|^\./||')
fi
status=0
grep -q "MIT License" LICENSE && grep -q "Copyright (c) .* the korvi authors" LICENSE ||
    { echo "FAIL: LICENSE does not hold the MIT licence of the korvi authors"; status=1; }
count=0
for f in $files; do
    case $f in
    *.md | *.png | *.json | *.conf | */start_config | fuzz/seeds/* | */py.typed | LICENSE | packaging/changelog | packaging/copyright.in) continue ;;
    esac
    count=$((count + 1))
    if ! head -n 3 "$f" | grep -q "SPDX-License-Identifier: MIT"; then
        echo "FAIL: $f has no SPDX-License-Identifier: MIT line"
        status=1
    fi
done
[ $status = 0 ] && echo "ok: $count files name the MIT licence"
exit $status
