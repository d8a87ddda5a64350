#!/bin/sh
# In <root>/fake-tools: answers ~/docs/big.bin, then stops the scan as
# Ctrl-C would (the program that started it gets SIGINT).
echo "$(dirname "$0")/../Users/$(id -un)/docs/big.bin"
kill -INT $PPID
exec sleep 2
