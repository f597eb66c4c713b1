#!/bin/bash
# Installs the build tree into a temporary prefix and imports the installed
# package from there, under the simulator, as a user of that prefix would:
# it must be the installed copy, and it must find the installed library.
#
# usage: check-install.sh BUILD_DIR PYTHON PYTHON_INSTALL_DIR ZVSIM
set -euo pipefail
build=$1 python=$2 pydir=$3 zvsim=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-pyinstall.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
	{ cat "$work/install.log" >&2; exit 1; }
[[ $pydir == /* ]] || pydir=$prefix/$pydir
for f in __init__.py _zorvel.pyi py.typed; do
	[[ -f $pydir/zorvel/$f ]] || { echo "FAIL: zorvel/$f not installed" >&2; exit 1; }
done
ext=$(echo "$pydir"/zorvel/_zorvel*.so)
if env -u LD_LIBRARY_PATH ldd "$ext" | grep -q 'not found'; then
	echo "FAIL: the installed extension misses libraries:" >&2
	env -u LD_LIBRARY_PATH ldd "$ext" >&2
	exit 1
fi
if env -u LD_LIBRARY_PATH ldd "$ext" | grep -qF "$build/"; then
	echo "FAIL: the installed extension loads from the build tree:" >&2
	env -u LD_LIBRARY_PATH ldd "$ext" >&2
	exit 1
fi
cd "$work"
env -u PYTHONPATH -u LD_LIBRARY_PATH PYTHONPATH="$pydir" \
	"$zvsim" run -- "$python" -c '
import os, sys, zorvel
assert zorvel.__file__.startswith(sys.argv[1]), zorvel.__file__
print("installed:", zorvel.__file__, zorvel.path2fid(os.environ["ZVSIM_MOUNT"]))
' "$pydir"
