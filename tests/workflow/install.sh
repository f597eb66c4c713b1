#!/bin/bash
# Installs the build tree into PREFIX, afresh, for the workflow scenarios.
# usage: install.sh BUILD_DIR PREFIX
set -euo pipefail
build=$1 prefix=$2
rm -rf "$prefix"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
cmake --install "$build" --prefix "$prefix" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
echo "installed into $prefix"
