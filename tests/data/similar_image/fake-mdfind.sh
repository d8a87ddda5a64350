#!/bin/sh
# Installed as <sandbox>/usr/bin/mdfind: lists nothing under a Library
# folder; elsewhere two of the three JPEG files of ~/Pictures, a GIF and a
# picture that is not there.
case "$3" in *Library*) exit 0;; esac
p="$(dirname "$(dirname "$(dirname "$0")")")/Users/tester/Pictures"
printf '%s\n' "$p/a.jpg" "$p/b.jpg" "$p/d.gif" "$p/gone.jpg"
