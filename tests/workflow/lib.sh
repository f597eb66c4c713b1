# Shared by the workflow scenarios (sourced): the installed programs, one
# simulated file system in the scratch folder, and checks that count
# failures instead of stopping at the first.
#   zv_workflow PREFIX SCRATCH   sets ZORVEL, ZVSIM, STATE, MNT
#   sim CMD...                   runs CMD under the simulator
#   check WHAT GOT WANT          compares two texts
#   check_status WHAT WANT CMD... runs CMD (under the simulator), compares its status
#   finish                       the scenario's exit status
set -uo pipefail

failures=0
fail() {
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}

zv_workflow() {
	PREFIX=$1 SCRATCH=$2
	ZORVEL=$PREFIX/bin/zorvel
	ZVSIM=$PREFIX/bin/zvsim
	STATE=$SCRATCH/fs
	# The installed programs find their libraries by themselves; nothing of
	# the build tree may leak in.
	unset LD_LIBRARY_PATH LD_PRELOAD ZVSIM_STATE ZVSIM_MOUNT
	MNT=$("$ZVSIM" setup --state "$STATE" --fsname demo) ||
		{ echo "zvsim setup failed" >&2; exit 1; }
	export PREFIX SCRATCH ZORVEL ZVSIM STATE MNT
}

sim() {
	"$ZVSIM" run --state "$STATE" -- "$@"
}

check() {
	local what=$1 got=$2 want=$3
	if [[ $got != "$want" ]]; then
		fail "$what: got '$got', expected '$want'"
	fi
}

check_status() {
	local what=$1 want=$2 rc
	shift 2
	sim "$@"
	rc=$?
	[[ $rc == "$want" ]] || fail "$what: status $rc, expected $want"
}

# A C program of the scenario's, built against the installed tree.
build_c() {
	local out=$1 src=$2 flags
	flags=$(PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig pkg-config --cflags --libs zorvelapi) ||
		{ fail "pkg-config zorvelapi"; return 1; }
	# shellcheck disable=SC2086
	"${CC:-cc}" -std=c11 -Wall -Wextra -Werror ${ZV_WORKFLOW_CFLAGS:-} \
		-o "$out" "$src" $flags -Wl,-rpath,"$PREFIX/lib" ||
		{ fail "cannot build $src"; return 1; }
}

finish() {
	if ((failures)); then
		echo "$failures check(s) failed" >&2
		exit 1
	fi
	echo "all checks passed"
	exit 0
}
