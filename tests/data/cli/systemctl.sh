#!/bin/sh
# In <root>/fake-tools; a unit is enabled while <root>/units holds its name.
state="$(dirname "$0")/../units"
mkdir -p "$state"
echo "$@" >> "$state/log"
case "$2" in
list-unit-files) printf 'a.service enabled enabled\nb.service disabled enabled\nc.service static -\n' ;;
enable) touch "$state/$4" ;;
disable) rm -f "$state/$4" ;;
is-enabled) if [ -e "$state/$4" ]; then echo enabled; else echo disabled; fi ;;
esac
