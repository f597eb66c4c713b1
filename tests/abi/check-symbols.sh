#!/bin/bash
# Checks what a shared library exports against its list in tests/abi/:
# exactly the listed names, each bound to a version node, the soname the
# list names, and no dependency beyond the C and C++ runtimes, the
# sanitizers, the project's own libraries and the list's "needed:" lines.
#
# usage: check-symbols.sh LIBRARY_FILE SYMBOLS_FILE
#
# SYMBOLS_FILE: exported names, sorted, one a line; lines starting with '#'
# are comments, except "# soname: NAME" and "# needed: LIB..." which state
# the soname ("none": the library has none) and further libraries the
# library may depend on, and "# unversioned", which says the names carry no
# version node on purpose (an interposing library: a versioned name would
# not take the place of the C library's).
set -euo pipefail

lib=$1 list=$2
name=$(basename "$list" .symbols)
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-abi.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
	echo "FAIL: $name: $*" >&2
	failures=$((failures + 1))
}
# fail_listing MESSAGE NAMES: a failure when NAMES (one a line) is not
# empty, the names indented below it.
fail_listing() {
	[[ -n $2 ]] || return 0
	fail "$1"
	sed 's/^/    /' <<<"$2" >&2
}

[[ -f $lib ]] || { echo "FAIL: $name: $lib not built" >&2; exit 1; }

# ---- The list itself --------------------------------------------------------
grep -v '^#' "$list" | sed '/^[[:space:]]*$/d' >"$work/expected"
if ! LC_ALL=C sort -uc "$work/expected" 2>/dev/null; then
	fail "$(basename "$list") is not sorted and unique (LC_ALL=C sort -u)"
fi
LC_ALL=C sort -u -o "$work/expected" "$work/expected"
want_soname=$(sed -n 's/^# soname:[[:space:]]*//p' "$list")
want_unversioned=$(grep -c '^# unversioned' "$list" || true)
read -ra needed_extra <<<"$(sed -n 's/^# needed:[[:space:]]*//p' "$list" | tr '\n' ' ')"

# ---- Exported names -----------------------------------------------------------
# Defined dynamic symbols that bind globally or weakly; absolute ones are
# the version nodes (ZORVELAPI_1.0).
nm -D --defined-only --format=posix "$lib" >"$work/nm"
awk '$2 ~ /^[BDGRSTVWiu]$/ { print $1 }' "$work/nm" >"$work/raw"
grep -vE '^(_init|_fini)(@|$)' "$work/raw" >"$work/versioned" || true
sed 's/@.*//' "$work/versioned" | LC_ALL=C sort -u >"$work/actual"

leaked=$(LC_ALL=C comm -13 "$work/expected" "$work/actual")
missing=$(LC_ALL=C comm -23 "$work/expected" "$work/actual")
fail_listing "exported but not listed (leaked):" "$leaked"
fail_listing "listed but not exported (missing):" "$missing"
unversioned=$(grep -v '@' "$work/versioned" || true)
versioned=$(grep '@' "$work/versioned" || true)
if ((want_unversioned)); then
	fail_listing "bound to a version node, listed as unversioned:" \
		"$versioned"
else
	fail_listing "exported without a version node (no version script?):" \
		"$unversioned"
fi

# ---- Soname -------------------------------------------------------------------
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [[ -z $want_soname ]]; then
	fail "$(basename "$list") has no '# soname:' line"
elif [[ $want_soname == none && -n $soname ]]; then
	fail "soname is '$soname', expected none"
elif [[ $want_soname != none && $soname != "$want_soname" ]]; then
	fail "soname is '$soname', expected '$want_soname'"
fi

# ---- Dependencies -------------------------------------------------------------
allowed=" libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1 ld-linux-x86-64.so.2 "
allowed+=" libasan.so.8 libubsan.so.1 ${needed_extra[*]} "
libdir=$(dirname "$lib")
while IFS= read -r dep; do
	[[ $allowed == *" $dep "* ]] && continue
	[[ -e $libdir/$dep ]] && continue # one of the project's libraries
	fail "depends on $dep"
done < <(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')

# Every undefined symbol resolves against those dependencies.
if ! LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} \
	ldd -r "$lib" >"$work/ldd" 2>&1; then
	fail "ldd -r failed:"
	cat "$work/ldd" >&2
elif grep -E 'undefined symbol|not found' "$work/ldd" >"$work/undef"; then
	fail "unresolved:"
	cat "$work/undef" >&2
fi

if ((failures)); then
	exit 1
fi
echo "$name: $(wc -l <"$work/actual") symbols as listed, soname $soname"
