#!/bin/bash
# Installs the build tree into a temporary prefix and uses it as a user
# would: the layout, a C program built through pkg-config, and the same
# program built by a CMake project through find_package(Zorvel).
#
# usage: check-install.sh BUILD_DIR SOURCE_DIR VERSION C_COMPILER GENERATOR \
#        [extra C flags...]
set -euo pipefail

build=$1 src=$2 version=$3 cc=$4 generator=$5
shift 5
extra_flags=("$@")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() {
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
	{ cat "$work/install.log" >&2; exit 1; }

# Directories below the prefix, as the build configured them.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
libdir=${libdir:-lib}
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
export LD_LIBRARY_PATH=$prefix/$libdir

# ---- Layout -----------------------------------------------------------------
# Every public header is installed where its include line expects it:
# <sub>/include/X -> include/X, <sub>/include/uapi/X -> include/X.
for sub in zorvel libkfx varn mesk; do
	[[ -d $src/$sub/include ]] || continue
	while IFS= read -r h; do
		rel=${h#"$src/$sub/include/"}
		rel=${rel#uapi/}
		[[ -f $prefix/include/$rel ]] || fail "header $rel not installed"
	done < <(find "$src/$sub/include" -name '*.h')
done

# Each library: real file, soname link, namelink, pkg-config file and
# version, in the folder its pkg-config file names.
for pc in "$PKG_CONFIG_PATH"/*.pc; do
	name=$(basename "$pc" .pc)
	dir=$(pkg-config --variable=libdir "$name")
	lib=$dir/lib$name.so
	soname=$(readelf -d "$lib" 2>/dev/null |
		sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
	if [[ -f $lib && ! -L $lib && $soname == "lib$name.so" ]]; then
		# unversioned (the simulator, preloaded by its file name), in a
		# folder of its own that its users get a RUNPATH to
		[[ $dir != "$prefix/$libdir" ]] ||
			fail "lib$name.so is unversioned in the library folder"
		[[ $(pkg-config --libs "$name") == *"-Wl,-rpath,$dir "* ]] ||
			fail "$name.pc gives no RUNPATH to $dir"
	elif [[ -e $lib ]]; then
		[[ -L $lib ]] || fail "lib$name.so is not a symbolic link"
		[[ -n $soname && -e $dir/$soname ]] ||
			fail "lib$name.so: soname link '$soname' missing"
	elif [[ ! -e $dir/lib$name.a ]]; then
		fail "$name.pc installed without lib$name"
	fi
	got=$(pkg-config --modversion "$name") || fail "pkg-config $name"
	[[ $got == "$version" ]] ||
		fail "$name.pc says version '$got', expected $version"
done
[[ -f $PKG_CONFIG_PATH/zorvelapi.pc ]] || fail "zorvelapi.pc not installed"
[[ -f $PKG_CONFIG_PATH/zvsim.pc ]] || fail "zvsim.pc not installed"
[[ -f $prefix/include/zvsim/zvsim.h ]] || fail "zvsim/zvsim.h not installed"
for page in zorvel.1 zvsim.1; do
	[[ -f $prefix/share/man/man1/$page ]] || fail "man page $page not installed"
done
[[ -f $prefix/share/bash-completion/completions/zorvel ]] ||
	fail "bash completion of zorvel not installed"
[[ -f $prefix/share/doc/zorvel/examples/tunables.yaml ]] ||
	fail "doc/examples/tunables.yaml not installed"
# Each file is installed once (folders are named by each rule into them).
dups=$(sed -n 's/^-- \(Installing\|Up-to-date\): //p' "$work/install.log" |
	sort | uniq -d | while IFS= read -r f; do [[ -d $f ]] || echo "$f"; done)
[[ -z $dups ]] || fail "installed more than once: $dups"
for f in ZorvelConfig.cmake ZorvelConfigVersion.cmake ZorvelTargets.cmake; do
	[[ -f $prefix/$libdir/cmake/Zorvel/$f ]] ||
		fail "$libdir/cmake/Zorvel/$f not installed"
done

# Only the programs users run are installed: the front end and the
# simulator in bin/, the test programs a harness runs on clients in
# libexec/zorvel/ (their names are too generic for the command path); all
# find the installed libraries by themselves.
fstests=$(sed -n 's/^ZV_FSTESTS_INSTALL_DIR:PATH=//p' "$build/CMakeCache.txt")
for p in "$prefix"/bin/* "$prefix/${fstests:-libexec/zorvel}"/*; do
	[[ -e $p ]] || continue
	rel=${p#"$prefix/"}
	case $rel in
	bin/zorvel | bin/zvsim) ;;
	bin/*) fail "$rel should not be installed" ;;
	*/fallocheck | */ioloop | */dropcache_race | */bytewrite | */seekprobe | \
		*/truncread | */mknodmap | */renamer | */chmodder | */foreigncheck | \
		*/lmvxattrdump | */lovxattrdump | */lovxattrset | */foreigndir | \
		*/stripeshow | */euidaccess | */chunkwrite | */mpicreate | */spreadalloc) ;;
	*) fail "$rel should not be installed" ;;
	esac
	if env -u LD_LIBRARY_PATH ldd "$p" | grep -q 'not found'; then
		fail "$rel misses libraries:"
		env -u LD_LIBRARY_PATH ldd "$p" | grep 'not found' >&2
	fi
done
[[ -x $prefix/${fstests:-libexec/zorvel}/fallocheck ]] ||
	fail "test programs not installed in ${fstests:-libexec/zorvel}"

# ---- A C program built with pkg-config -------------------------------------
expected='[0x200000400:0x2:0x0]'
run_consumer() {
	local how=$1 exe=$2 out
	if ! out=$("$exe"); then
		fail "$how: consumer failed (output '$out')"
	elif [[ $out != "$expected" ]]; then
		fail "$how: consumer printed '$out', expected '$expected'"
	else
		echo "ok: $how: $out"
	fi
}

read -ra pc_flags <<<"$(pkg-config --cflags --libs zorvelapi)"
if "$cc" -std=c11 -Wall -Wextra -Werror "${extra_flags[@]}" \
	-o "$work/consumer-pc" "$here/consumer.c" "${pc_flags[@]}"; then
	run_consumer pkg-config "$work/consumer-pc"
else
	fail "pkg-config: consumer does not build with: ${pc_flags[*]}"
fi

read -ra sim_flags <<<"$(pkg-config --cflags --libs zvsim)"
if "$cc" -std=c11 -Wall -Wextra -Werror "${extra_flags[@]}" \
	-o "$work/sim-consumer-pc" "$here/sim_consumer.c" "${sim_flags[@]}"; then
	out=$("$work/sim-consumer-pc" "$work/sim-pc") ||
		fail "pkg-config zvsim: sim_consumer failed ('$out')"
else
	fail "pkg-config: sim_consumer does not build with: ${sim_flags[*]}"
fi

# ---- The agent library, from a framework's C program ----------------------
read -ra mesk_flags <<<"$(pkg-config --cflags --libs meskagent)"
if "$cc" -std=c11 -Wall -Wextra -Werror "${extra_flags[@]}" \
	-o "$work/mesk-consumer" "$here/mesk_consumer.c" "${mesk_flags[@]}"; then
	out=$("$work/mesk-consumer") || fail "meskagent: consumer failed"
	[[ $out == 10.0.0.1:8494 ]] ||
		fail "meskagent: consumer printed '$out', expected 10.0.0.1:8494"
else
	fail "meskagent: consumer does not build with: ${mesk_flags[*]}"
fi

# ---- The same programs through find_package(Zorvel) ------------------------
mkdir -p "$work/cmake-src"
cp "$here/CMakeLists.txt" "$here/consumer.c" "$here/sim_consumer.c" \
	"$work/cmake-src/"
if cmake -S "$work/cmake-src" -B "$work/cmake-build" -G "$generator" \
	-DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
	-DCMAKE_C_FLAGS="${extra_flags[*]}" >"$work/cmake.log" 2>&1 &&
	cmake --build "$work/cmake-build" >>"$work/cmake.log" 2>&1; then
	run_consumer find_package "$work/cmake-build/consumer"
	out=$("$work/cmake-build/sim_consumer" "$work/sim-cmake") ||
		fail "Zorvel::zvsim: sim_consumer failed ('$out')"
else
	cat "$work/cmake.log" >&2
	fail "find_package: consumer project does not build"
fi

if ((failures)); then
	echo "$failures install check(s) failed" >&2
	exit 1
fi
echo "install: all checks passed"
