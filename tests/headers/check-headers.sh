#!/bin/bash
# Compiles every public header alone, as strict C11 (-pedantic) and as
# C++20, with warnings as errors, the way users include it (include/uapi/X
# as <X>); then included twice, which needs its include guard.
#
# usage: check-headers.sh SOURCE_DIR C_COMPILER CXX_COMPILER
set -euo pipefail

src=$1 cc=$2 cxx=$3
subsystems=(zorvel libkfx varn mesk)

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-headers.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Include roots: every <sub>/.../include and its uapi/ below.
roots=()
for sub in "${subsystems[@]}"; do
	[[ -d $src/$sub ]] || continue
	while IFS= read -r dir; do
		roots+=("$dir")
		[[ -d $dir/uapi ]] && roots+=("$dir/uapi")
	done < <(find "$src/$sub" -type d -name include -not -path '*/tests/*' | sort)
done
if ((${#roots[@]} == 0)); then
	echo "no public headers found under $src" >&2
	exit 1
fi
iflags=()
for r in "${roots[@]}"; do
	iflags+=("-I$r")
done

cflags=(-std=c11 -pedantic -Wall -Wextra -Werror -fsyntax-only)
failures=0 count=0
compile() { # what, driver, flags..., file
	local what=$1
	shift
	if ! "$@" 2>"$work/err"; then
		echo "FAIL: $what" >&2
		cat "$work/err" >&2
		failures=$((failures + 1))
		return 1
	fi
}

# A kernel-interface header includes only kernel-interface headers.
uapi_includes_only_uapi() { # header
	local bad
	bad=$(grep -E '^[[:space:]]*#[[:space:]]*include' "$1" |
		grep -vE '#[[:space:]]*include[[:space:]]*<(linux|asm)/' || true)
	[[ -z $bad ]] && return 0
	echo "FAIL: $rel includes more than kernel-interface headers:" >&2
	echo "$bad" >&2
	failures=$((failures + 1))
}

for root in "${roots[@]}"; do
	while IFS= read -r h; do
		rel=${h#"$root/"}
		# A header under include/uapi is reached through the uapi root.
		[[ $root != */uapi && $rel == uapi/* ]] && continue
		count=$((count + 1))
		[[ $root == */uapi ]] && uapi_includes_only_uapi "$h"
		printf '#include <%s>\n' "$rel" >"$work/alone.c"
		printf '#include <%s>\n#include <%s>\n' "$rel" "$rel" >"$work/twice.c"
		cp "$work/alone.c" "$work/alone.cpp"
		cp "$work/twice.c" "$work/twice.cpp"
		# The guard check only runs once the header compiles alone.
		compile "$rel as C11" "$cc" "${cflags[@]}" "${iflags[@]}" \
			"$work/alone.c" &&
			compile "$rel included twice (C)" "$cc" "${cflags[@]}" \
				"${iflags[@]}" "$work/twice.c" || true
		compile "$rel as C++20" "$cxx" -std=c++20 -Wall -Wextra -Werror \
			-fsyntax-only "${iflags[@]}" "$work/alone.cpp" &&
			compile "$rel included twice (C++)" "$cxx" -std=c++20 \
				-Wall -Wextra -Werror -fsyntax-only "${iflags[@]}" \
				"$work/twice.cpp" || true
	done < <(find "$root" -name '*.h' | sort)
done

if ((count == 0)); then
	echo "no public headers found under ${roots[*]}" >&2
	exit 1
fi
if ((failures)); then
	echo "$failures header compilations failed ($count headers)" >&2
	exit 1
fi
echo "headers: $count headers compile alone as strict C11 and C++20"
