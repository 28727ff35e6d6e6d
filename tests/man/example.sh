#!/bin/sh
# SPDX-License-Identifier: MIT
# A literal block of a manual page's EXAMPLES section, as the reader sees it:
# block N (from 1) with the page's escapes for a backslash (\e) and for
# nothing (\&) undone.
#   example.sh PAGE N OUTPUT
set -eu
awk -v want="$2" '
    /^\.Sh / { examples = $0 == ".Sh EXAMPLES" }
    !examples { next }
    /^\.Bd -literal/ { block++; inside = block == want; next }
    /^\.Ed/ { if (inside) done = 1; inside = 0; next }
    inside { gsub(/\\&/, ""); gsub(/\\e/, "\\"); print }
    END { if (!done) { print "no literal block " want " in EXAMPLES of " FILENAME > "/dev/stderr"; exit 1 } }
' "$1" >"$3"
