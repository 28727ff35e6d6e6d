#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes the example receive loop, the function `receive`, as it stands in a
# header comment or a Markdown document: from its first line to its closing
# brace, with the comment's or the document's indentation taken off.
#   extract.sh SOURCE OUTPUT
set -eu
awk -v start='int receive(int fd' '
    !on && index($0, start) { prefix = substr($0, 1, index($0, start) - 1); on = 1 }
    !on { next }
    {
        bare = prefix
        sub(/ +$/, "", bare)
        if ($0 == bare) { print ""; next }
        if (substr($0, 1, length(prefix)) != prefix) { bad = 1; exit }
        print substr($0, length(prefix) + 1)
        if ($0 == prefix "}") { done = 1; exit }
    }
    END { if (!done || bad) { print "no whole receive loop in " FILENAME > "/dev/stderr"; exit 1 } }
' "$1" >"$2"
