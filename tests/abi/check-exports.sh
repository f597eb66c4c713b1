#!/bin/bash
# Checks that a library's exported names are written down alike in its
# three places: the public headers that declare them, the linker version
# script that exports them, and its list in tests/abi/ (which
# check-symbols.sh holds against the built library).
#
# usage: check-exports.sh -n NAME -m MAP -l LIST -c CC [-o REGEX]
#                         -H HEADER... -I INCLUDE_DIR...
#   -o REGEX  compare with the headers only the names matching REGEX (the
#             other exports are not the headers' to declare)
#
# The functions a header declares come from the compiler (-aux-info), so
# every declaration counts however it is written; each name the version
# script exports must also be declared (function or object).
set -euo pipefail

name='' map='' list='' cc='' only='' headers=() includes=()
while (($#)); do
	case $1 in
	-n) name=$2 ;;
	-m) map=$2 ;;
	-l) list=$2 ;;
	-c) cc=$2 ;;
	-o) only=$2 ;;
	-H) shift; while (($#)) && [[ $1 != -* ]]; do headers+=("$1"); shift; done; continue ;;
	-I) shift; while (($#)) && [[ $1 != -* ]]; do includes+=("-I$1"); shift; done; continue ;;
	*) echo "usage: see $0" >&2; exit 2 ;;
	esac
	shift 2
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-exports.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
	echo "FAIL: $name: $*" >&2
	failures=$((failures + 1))
}
show() { sed 's/^/    /' "$1" >&2; }

for f in "$map" "$list" "${headers[@]}"; do
	[[ -f $f ]] || { echo "FAIL: $name: $f is missing" >&2; exit 1; }
done

# ---- The version script: names in its global: sections -------------------
sed -e 's/#.*//' "$map" | tr ';{}' '\n\n\n' | awk '
	{ for (i = 1; i <= NF; i++) {
		t = $i
		if (t == "global:") { on = 1; continue }
		if (t == "local:") { on = 0; continue }
		if (t ~ /^[A-Z_][A-Z0-9_.]*$/ && t ~ /\./) { on = 0; continue } # node
		if (on) print t
	} }' | LC_ALL=C sort -u >"$work/map"
grep -v '[][*?]' "$work/map" >"$work/map.names" || true
grep '[][*?]' "$work/map" >"$work/map.patterns" || true

# Names of file $1 (one a line) that no entry of the version script covers.
uncovered() {
	local n p hit
	while IFS= read -r n; do
		hit=0
		if grep -qxF "$n" "$work/map.names"; then
			hit=1
		else
			while IFS= read -r p; do
				# shellcheck disable=SC2053
				[[ $n == $p ]] && { hit=1; break; }
			done <"$work/map.patterns"
		fi
		((hit)) || echo "$n"
	done <"$1"
}

# ---- The list in tests/abi/ ------------------------------------------------
grep -v '^#' "$list" | sed '/^[[:space:]]*$/d' | LC_ALL=C sort -u >"$work/list"
uncovered "$work/list" >"$work/out"
if [[ -s $work/out ]]; then
	fail "listed in $(basename "$list") but not exported by $(basename "$map"):"
	show "$work/out"
fi
LC_ALL=C comm -23 "$work/map.names" "$work/list" >"$work/out"
if [[ -s $work/out ]]; then
	fail "exported by $(basename "$map") but not listed in $(basename "$list"):"
	show "$work/out"
fi
while IFS= read -r p; do
	# shellcheck disable=SC2053
	matched=0
	while IFS= read -r n; do [[ $n == $p ]] && { matched=1; break; }; done <"$work/list"
	((matched)) || fail "'$p' in $(basename "$map") matches nothing listed"
done <"$work/map.patterns"

# ---- The headers -------------------------------------------------------------
filter() { if [[ -n $only ]]; then grep -E "$only" || true; else cat; fi; }
: >"$work/tu.c"
for h in "${headers[@]}"; do
	printf '#include "%s"\n' "$(realpath "$h")" >>"$work/tu.c"
done
if ! "$cc" -std=gnu11 -fsyntax-only -aux-info "$work/aux" "${includes[@]}" \
	"$work/tu.c" 2>"$work/err"; then
	fail "the headers do not compile:"
	show "$work/err"
	exit 1
fi
# Functions declared extern in the headers themselves, not in what they
# include: "/* FILE:LINE:NC */ extern TYPE NAME (ARGS);"
real_headers=$(for h in "${headers[@]}"; do realpath "$h"; done)
awk -v files="$real_headers" '
	BEGIN { n = split(files, f, "\n"); for (i = 1; i <= n; i++) mine[f[i]] = 1 }
	/^\/\* / {
		src = $2; sub(/:[0-9]+:[A-Z]+$/, "", src)
		if (!(src in mine)) next
		decl = $0; sub(/^\/\*[^*]*\*\/ */, "", decl)
		if (decl !~ /^extern /) next
		sub(/ \(.*/, "", decl)
		gsub(/\*/, " ", decl)
		k = split(decl, w, " "); print w[k]
	}' "$work/aux" | filter | LC_ALL=C sort -u >"$work/declared"

filter <"$work/map.names" >"$work/exported"
uncovered "$work/declared" >"$work/out"
if [[ -s $work/out ]]; then
	fail "declared in the headers but not exported by $(basename "$map"):"
	show "$work/out"
fi
# Every exported name is declared: a use of each must compile.
{
	cat "$work/tu.c"
	while IFS= read -r n; do
		printf '__typeof__(%s) *zv_export_%s = &%s;\n' "$n" "$n" "$n"
	done <"$work/exported"
} >"$work/use.c"
if ! LC_ALL=C "$cc" -std=gnu11 -fsyntax-only "${includes[@]}" \
	"$work/use.c" 2>"$work/err"; then
	fail "exported by $(basename "$map") but not declared in the headers:"
	sed -n "s/.*'\([A-Za-z_0-9]*\)' undeclared.*/\1/p" "$work/err" |
		sort -u >"$work/out"
	if [[ -s $work/out ]]; then show "$work/out"; else show "$work/err"; fi
fi

if ((failures)); then
	exit 1
fi
echo "$name: $(wc -l <"$work/list") names alike in headers, $(basename "$map") and $(basename "$list")"
