#!/bin/sh
# In <root>/fake-tools: dpkg -S (every file is of "notes") and flatpak
# uninstall (the application's files go from the sandbox's home).
case "$1" in
-S) echo "notes: $2" ;;
uninstall) rm -rf "$(dirname "$0")/..$(getent passwd "$(id -u)" | cut -d: -f6)/.local/share/flatpak/app/$4" ;;
esac
