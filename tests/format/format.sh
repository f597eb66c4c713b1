#!/bin/bash
# Formatting of the project's C and C++ sources with the root .clang-format.
#   format.sh check SOURCE_DIR   fails listing each file that differs
#   format.sh fix SOURCE_DIR     rewrites them in place
set -euo pipefail

mode=$1 src=$(cd "$2" && pwd)
dirs=(zorvel sim tools tests fuzz bench libkfx varn mesk)

clang_format=${CLANG_FORMAT:-clang-format}
if ! command -v "$clang_format" >/dev/null; then
	echo "clang-format not found (scripts/bootstrap format installs it)" >&2
	exit 77
fi

files=()
for d in "${dirs[@]}"; do
	[[ -d $src/$d ]] || continue
	while IFS= read -r -d '' f; do
		files+=("$f")
	done < <(find "$src/$d" \( -name 'build*' -o -name corpus \) -prune -o \
		-type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \
		-o -name '*.hpp' \) -print0 | sort -z)
done
if ((${#files[@]} == 0)); then
	echo "no sources found under $src" >&2
	exit 1
fi

case $mode in
check)
	# One run over every file: a process per file costs more than the check.
	bad=()
	while IFS= read -r f; do
		bad+=("${f#"$src/"}")
	done < <("$clang_format" --dry-run --style=file "${files[@]}" 2>&1 |
		sed -n 's/^\(.*\):[0-9]*:[0-9]*: \(error\|warning\): .*/\1/p' |
		sort -u)
	if ((${#bad[@]})); then
		printf 'not formatted: %s\n' "${bad[@]}" >&2
		echo "${#bad[@]} of ${#files[@]} files need 'make format'" >&2
		exit 1
	fi
	echo "format: ${#files[@]} files formatted"
	;;
fix)
	"$clang_format" -i --style=file "${files[@]}"
	echo "format: ${#files[@]} files formatted in place"
	;;
*)
	echo "usage: $0 check|fix SOURCE_DIR" >&2
	exit 2
	;;
esac
