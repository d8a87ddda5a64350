#!/bin/sh
# An index query, laid in the home, that answers the home's docs/big.bin,
# then stops the scan as Ctrl-C would: the program that started it gets SIGINT.
echo "$(dirname "$0")/docs/big.bin"
kill -INT $PPID
exec sleep 2
