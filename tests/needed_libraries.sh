#!/bin/sh
# Checks the shared libraries a binary needs at run time (its NEEDED
# entries) against the list given.
# Usage: tests/needed_libraries.sh BINARY [LIBRARY...]
binary=$1
shift
needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | tr '\n' ' ')
if [ "$needed" != "${*:+$* }" ]; then
    echo "$binary needs '$needed', expected '$*'"
    exit 1
fi
echo "$binary needs '$needed'"
