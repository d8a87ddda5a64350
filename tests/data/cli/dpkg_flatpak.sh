#!/bin/sh
# Laid in <root>/fake-tools: answers as dpkg -S (every file is of the package
# "notes") and as flatpak uninstall (the user's application goes from the
# sandbox's copy of the home).
case "$1" in
-S) echo "notes: $2" ;;
uninstall) rm -rf "$(dirname "$0")/..$(getent passwd "$(id -u)" | cut -d: -f6)/.local/share/flatpak/app/$4" ;;
esac
