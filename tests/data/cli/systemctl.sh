#!/bin/sh
# Laid in <root>/fake-tools: the user units a (enabled), b (disabled) and c
# (static); a unit is enabled while a file of its name is in <root>/units,
# where the calls are logged too.
state="$(dirname "$0")/../units"
echo "$@" >> "$state/log"
case "$2" in
list-unit-files) printf 'a.service enabled enabled\nb.service disabled enabled\nc.service static -\n' ;;
enable) touch "$state/$4" ;;
disable) rm -f "$state/$4" ;;
is-enabled) if [ -e "$state/$4" ]; then echo enabled; else echo disabled; fi ;;
esac
