#!/bin/sh
# In <root>/fake-tools as sync, resolvectl and systemctl; "systemctl
# enable" also starts the unit's program, as systemd would.
root="$(dirname "$0")/.."
echo "$(basename "$0")" "$@" >> "$root/tools.log"
[ "$1" != enable ] || eval "setsid $(sed -n 's/^ExecStart=//p' "$root/etc/systemd/system/$3") >/dev/null 2>&1 &"
