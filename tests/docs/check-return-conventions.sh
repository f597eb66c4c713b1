#!/bin/bash
# Checks the list of functions whose result is not "0 or more on success,
# a negative errno value on failure": the list at the top of the client
# library's header must name exactly the functions whose own comment says
# otherwise (a bool result, -1 with errno set, a non-zero failure, an
# answer of 1 or 0, 0 even on failure), and the README's paragraph on the
# conventions must name the same functions.
#
# usage: check-return-conventions.sh HEADER README
#
# A comment describes the declarations that follow it up to a blank line
# or the next comment; void functions return nothing and are not listed.
set -euo pipefail

header=$1 readme=$2
for f in "$header" "$readme"; do
	[[ -f $f ]] || { echo "FAIL: $f is missing" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-returns.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Names written "name()" in a text, sorted.
names() { { grep -o '[a-z_][a-z0-9_]*()' || true; } | tr -d '()' | LC_ALL=C sort -u; }

# ---- The list at the top: from "The exceptions" to the next item ---------
awk '/^ \* - / && on { exit } /The exceptions/ { on = 1 } on' "$header" |
	names >"$work/listed"
[[ -s $work/listed ]] || { echo "FAIL: no exceptions listed at the top of $header" >&2; exit 1; }

# ---- The README's paragraph, from "Functions return" to a blank line ---
awk '/Functions return/ { on = 1 } on && /^$/ { exit } on' "$readme" |
	sed 's/.*Functions return/Functions return/' | names >"$work/readme"

# ---- Each declaration with the comment that describes it -----------------
# Prints "name<TAB>why" for every function whose comment, or whose type,
# says its result departs from the convention.
awk '
function flush_decl(   d, name, type, why, c) {
	d = decl; decl = ""
	gsub(/[ \t]+/, " ", d)
	if (depth > 0 || d !~ /\(/ || d ~ /^ ?(typedef|struct|enum|#)/)
		return
	name = d; sub(/ *\(.*/, "", name); sub(/.*[ *]/, "", name)
	type = d; sub(/[a-z_0-9]+ *\(.*/, "", type)
	if (type ~ /(^| )void $/)
		return
	c = tolower(comment)
	gsub(/plus 1/, "plus one", c) # a size, not a result
	why = ""
	if (type ~ /(^| )bool /) why = "bool"
	else if (c ~ /-1 with errno/) why = "-1 with errno"
	else if (c ~ /result is non-zero|non-zero when|non-zero with errno/) why = "non-zero"
	else if (c ~ /(^|[^-0-9])1 (when|at the end|or 0)/) why = "1 or 0"
	else if (c ~ /(^|[^-0-9])0 even when/) why = "0 even on failure"
	if (why != "")
		printf "%s\t%s\n", name, why
}
/^\/\*/ { comment = ""; in_comment = 1 }
in_comment {
	line = $0
	sub(/^ *\/?\*+\/? ?/, "", line); sub(/\*\/ *$/, "", line)
	comment = comment " " line
	if ($0 ~ /\*\//) in_comment = 0
	next
}
/^[ \t]*$/ { comment = ""; next }
/^#/ || /^extern "C" \{$/ || /^\}$/ { next } # the C++ guard
{
	line = $0; sub(/\/\*.*\*\//, "", line)
	n = gsub(/\{/, "{", line); depth += n
	decl = decl " " line
	if (line ~ /;/) flush_decl()
	n = gsub(/\}/, "}", line); depth -= n
	if (depth == 0 && line ~ /\}/) decl = ""
}
' "$header" | LC_ALL=C sort -u >"$work/described"
cut -f1 "$work/described" >"$work/described.names"

failures=0
compare() { # what, expected file, actual file
	if ! diff -u "$2" "$3" >"$work/diff"; then
		echo "FAIL: $1" >&2
		sed -n 's/^\([-+][^-+].*\)/    \1/p' "$work/diff" >&2
		failures=$((failures + 1))
	fi
}
compare "the list at the top of $(basename "$header") (-) against the functions whose comments state an exception (+)" \
	"$work/listed" "$work/described.names"
compare "the README's list (+) against the header's (-)" \
	"$work/listed" "$work/readme"
if ((failures)); then
	echo "functions whose comments state an exception:" >&2
	sed 's/^/    /' "$work/described" >&2
	exit 1
fi
echo "$(wc -l <"$work/listed") exceptions, listed alike in the header, its comments and the README"
