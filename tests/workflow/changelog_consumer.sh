#!/bin/bash
# A change-log consumer, built from the installed tree as users build one,
# follows a log while a workload changes the file system, is stopped by
# SIGTERM, and is started again later: together its two runs must print
# every record once, in order, and what it cleared must be gone from the
# log.
#
# usage: changelog_consumer.sh PREFIX SCRATCH
#   PREFIX   an installed tree (bin/zvsim, bin/zorvel, lib, include, pkg-config)
#   SCRATCH  an empty temporary folder
# CFLAGS and LDFLAGS, when set, are added to the consumer's build.
# Exit status: 0 pass, 1 failure (with a message), 77 skipped.
set -uo pipefail

prefix=$1 scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
zvsim=$prefix/bin/zvsim zorvel=$prefix/bin/zorvel
fs=$scratch/fs target=demo-MDT0000
consumer_pid=

fail() {
	echo "changelog_consumer: FAIL: $*" >&2
	exit 1
}
skip() {
	echo "changelog_consumer: skipped: $*" >&2
	exit 77
}
cleanup() {
	[[ -n $consumer_pid ]] && kill "$consumer_pid" 2>/dev/null
	wait 2>/dev/null
}
trap cleanup EXIT

for tool in cc pkg-config; do
	command -v "$tool" >/dev/null || skip "no $tool"
done
[[ -x $zvsim && -x $zorvel ]] || skip "no zvsim or zorvel in $prefix/bin"
pc=$(find "$prefix" -path '*/pkgconfig/zorvelapi.pc' -print -quit)
[[ -n $pc ]] || fail "zorvelapi.pc is not installed under $prefix"
libdir=$(dirname "$(dirname "$pc")")

# ---- Built as users build it --------------------------------------------------
read -ra flags <<<"$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs zorvelapi)" ||
	fail "pkg-config zorvelapi"
# CFLAGS and LDFLAGS from the environment, as for any build (a sanitized
# tree needs its sanitizer flags).
read -ra user_flags <<<"${CFLAGS:-} ${LDFLAGS:-}"
cc -std=c11 -Wall -Wextra -Werror "${user_flags[@]}" -o "$scratch/consumer" \
	"$here/changelog_consumer.c" "${flags[@]}" -Wl,-rpath,"$libdir" ||
	fail "the consumer does not build with: ${flags[*]}"

# ---- A file system with a log user -------------------------------------------
"$zvsim" setup --state "$fs" --fsname demo >/dev/null || fail "zvsim setup"
user=$("$zvsim" --state "$fs" changelog register "$target") ||
	fail "zvsim changelog register"

# Runs a shell script in the mount, under the simulator.
workload() {
	"$zvsim" run --state "$fs" -- /bin/sh -ec "cd \"\$ZVSIM_MOUNT\"; $1" ||
		fail "workload: $1"
}

# Starts run N of the consumer in the background.
start_consumer() {
	: >"$scratch/run$1.out"
	"$zvsim" run --state "$fs" -- "$scratch/consumer" "$target" "$user" \
		>"$scratch/run$1.out" 2>"$scratch/run$1.err" &
	consumer_pid=$!
}

# Waits until run N has printed COUNT lines (a consumer that never does
# fails the test, not hangs it).
wait_lines() {
	local i
	for ((i = 0; i < 600; i++)); do
		(($(wc -l <"$scratch/run$1.out") >= $2)) && return
		kill -0 "$consumer_pid" 2>/dev/null ||
			fail "run $1 ended early: $(cat "$scratch/run$1.err")"
		sleep 0.1
	done
	fail "run $1 printed $(wc -l <"$scratch/run$1.out") records of $2"
}

# Stops run N with SIGTERM: status 0 and its last record named. A
# consumer that does not stop fails the test, not hangs it.
stop_consumer() {
	local i status
	kill -TERM "$consumer_pid"
	for ((i = 0; i < 600; i++)); do
		kill -0 "$consumer_pid" 2>/dev/null || break
		sleep 0.1
	done
	if kill -0 "$consumer_pid" 2>/dev/null; then
		kill -KILL "$consumer_pid"
		fail "run $1 did not stop on SIGTERM"
	fi
	wait "$consumer_pid"
	status=$?
	consumer_pid=
	((status == 0)) || fail "run $1 stopped with status $status: $(cat "$scratch/run$1.err")"
	[[ $(tail -n 1 "$scratch/run$1.err") == "stopped after record $2" ]] ||
		fail "run $1 said: $(cat "$scratch/run$1.err")"
}

# "<index> <type> <name>" of each record the workloads below make.
expected=()
expect() {
	expected+=("$((${#expected[@]} + 1)) $1 $2")
}

# ---- Run 1 follows the first changes, then is stopped --------------------------
start_consumer 1
workload 'mkdir d; for i in 01 02 03 04 05 06 07 08 09 10 11 12; do : >"d/f$i"; done'
expect MKDIR d
for i in 01 02 03 04 05 06 07 08 09 10 11 12; do expect CREATE "f$i"; done
wait_lines 1 "${#expected[@]}"
stop_consumer 1 "${#expected[@]}"

# ---- Changes while no consumer runs ------------------------------------------
workload 'mv d/f01 d/g01; mv d/f02 d/g02; rm d/f03 d/f04'
expect RENAME g01
expect RENAME g02
expect UNLINK f03
expect UNLINK f04
# What run 1 read and cleared is gone; what came after it is still there.
log=$("$zvsim" run --state "$fs" -- "$zorvel" changelog "$target") ||
	fail "zorvel changelog"
[[ $(cut -d' ' -f1 <<<"$log" | tr '\n' ' ') == "14 15 16 17 " ]] ||
	fail "after run 1 the log holds: $log"

# ---- Run 2 goes on where run 1 stopped ---------------------------------------
start_consumer 2
workload 'for i in 01 02 03 04 05; do : >"d/h$i"; done; mv d/h01 d/k01; rm d/h02; mkdir e; mv d/g01 e/g01'
for i in 01 02 03 04 05; do expect CREATE "h$i"; done
expect RENAME k01
expect UNLINK h02
expect MKDIR e
expect RENAME g01
wait_lines 2 $((${#expected[@]} - 13))
stop_consumer 2 "${#expected[@]}"

# ---- Every record once, in order; everything read is cleared --------------------
printf '%s\n' "${expected[@]}" >"$scratch/expected"
cat "$scratch/run1.out" "$scratch/run2.out" >"$scratch/printed"
diff -u "$scratch/expected" "$scratch/printed" >&2 ||
	fail "the two runs did not print every record once, in order"
log=$("$zvsim" run --state "$fs" -- "$zorvel" changelog "$target") ||
	fail "zorvel changelog"
[[ -z $log ]] || fail "cleared records are still in the log: $log"
users=$("$zvsim" --state "$fs" changelog users "$target") ||
	fail "zvsim changelog users"
[[ $users == "$user ${#expected[@]}" ]] ||
	fail "log users say '$users', expected '$user ${#expected[@]}'"
echo "changelog_consumer: ${#expected[@]} records over two runs, each once"
