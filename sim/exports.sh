#!/bin/bash
# Writes the version script and tests/abi/libzvsim.symbols from the
# ZVSIM_EXPORT definitions under sim/src, the one place the exported names
# are written.
#   sim/exports.sh --map FILE  write the version script (done by the build)
#   sim/exports.sh             rewrite the ABI list
#   sim/exports.sh --check     fail when the ABI list is out of step
set -euo pipefail
sim=$(cd "$(dirname "$0")" && pwd)
names=$(grep -rhoE '^ZVSIM_EXPORT [^(;]*\(' "$sim/src" |
	sed -E 's/.*[ *]([A-Za-z_0-9]+)\($/\1/' | LC_ALL=C sort -u)
map() {
	cat <<'HEAD'
/* What libzvsim exports: the C library entry points it interposes and the
 * steering interface of zvsim/zvsim.h. The node is anonymous on purpose:
 * an interposed name must stay unversioned, or references bound to a
 * version of the C library's (open@GLIBC_2.2.5) would not reach it.
 * Written by sim/exports.sh at build time from the ZVSIM_EXPORT
 * definitions. */
{
	global:
HEAD
	sed 's/^/\t\t/; s/$/;/' <<<"$names"
	printf '\tlocal:\n\t\t*;\n};\n'
}
list() {
	cat <<'HEAD'
# libzvsim: the simulated kernel client, preloaded into the processes of a
# simulation. Its interposed names are unversioned (see sim/exports.sh).
# Written by sim/exports.sh from the ZVSIM_EXPORT definitions.
# soname: libzvsim.so
# unversioned
HEAD
	echo "$names"
}
case ${1:-} in
--map)
	map >"$2"
	;;
--check)
	diff <(list) "$sim/../tests/abi/libzvsim.symbols" >/dev/null ||
		{ echo "sim/exports.sh: tests/abi/libzvsim.symbols is out of step; run sim/exports.sh" >&2; exit 1; }
	;;
*)
	list >"$sim/../tests/abi/libzvsim.symbols"
	;;
esac
