#!/bin/sh
# A dd that records its arguments in dd.log at the sandbox root (it lives in
# <root>/fake-tools) and writes a few bytes to its "of=".
echo "$@" >> "${0%/fake-tools/dd}/dd.log"
for a in "$@"; do case "$a" in of=*) printf zeros > "${a#of=}";; esac; done
