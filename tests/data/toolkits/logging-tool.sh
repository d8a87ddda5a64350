#!/bin/sh
# A tool in <root>/usr/bin: logs its name and arguments to <root>/tools.log.
echo ${0##*/} "$@" >> "${0%/usr/bin/*}/tools.log"
