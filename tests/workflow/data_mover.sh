#!/bin/bash
# A data mover's cycle: copy into a volatile file, check the data version,
# swap; a writer racing it makes the swap refuse, and nothing is lost.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
zv_workflow "$@"

build_c "$SCRATCH/data_mover" "$here/data_mover.c" || finish
file=$MNT/data/run42.txt
sim mkdir "$MNT/data"
printf 'results of run 42\n' >"$SCRATCH/original"
sim cp "$SCRATCH/original" "$file"
fid_before=$(sim "$ZORVEL" path2fid "$file")

# 1. A writer appends between the copy and the swap: the swap is refused
#    with EAGAIN and the file keeps both the data and the append.
coproc mover { sim "$SCRATCH/data_mover" "$file"; }
# bash unsets mover_PID once the coprocess is gone
pid=$mover_PID
read -r copied <&"${mover[0]}"
check "mover's copy" "$copied" "copied 18 bytes at data version ${copied##* }"
sim sh -c 'echo "appended later" >>"$1"' sh "$file"
echo go >&"${mover[1]}"
wait "$pid"
check "status of the stale swap" "$?" 11
check "file after the refused swap" "$(sim cat "$file")" \
	$'results of run 42\nappended later'

# 2. Nobody writes: the swap goes through, the file keeps its FID and now
#    holds the new data.
out=$(echo go | sim "$SCRATCH/data_mover" "$file")
check "status of the swap" "$?" 0
check "mover's output" "${out##*$'\n'}" swapped
check "file after the swap" "$(sim cat "$file")" \
	$'RESULTS OF RUN 42\nAPPENDED LATER'
check "FID after the swap" "$(sim "$ZORVEL" path2fid "$file")" "$fid_before"

# 3. No volatile file outlives its descriptor, whatever the outcome.
check "directory after both runs" "$(sim ls -A "$MNT/data")" run42.txt
finish
