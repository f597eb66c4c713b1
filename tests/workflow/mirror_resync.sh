#!/bin/bash
# A mirror resync as an administrator runs it: the mirrors of a sparse file
# brought up to date from mirror 1, compared, one damaged by a punch and
# repaired; a copy onto itself loses nothing.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
zv_workflow "$@"

file=$MNT/sim.out
mib=1048576
# 6 MiB of data, then a hole up to 12 MiB.
head -c $((6 * mib)) /dev/urandom >"$SCRATCH/data"
sim cp "$SCRATCH/data" "$file"
sim truncate -s $((12 * mib)) "$file"
"$ZVSIM" --state "$STATE" mirror count "$file" 3
mirror() { sim "$ZORVEL" mirror "$@"; }
sum() { sha256sum | cut -d' ' -f1; }
want_sum=$( (cat "$SCRATCH/data"; head -c $((6 * mib)) /dev/zero) | sum)
mirror_sum() { mirror read "$file" --id "$1" | sum; }
listing() {
	local id
	for id in 1 2 3; do
		echo "$file: mirror $id: size $1, sparse, data $2"
	done
}

# 1. Resync: every mirror holds mirror 1's bytes and holes.
check_status "verify of stale mirrors" 117 "$ZORVEL" mirror verify "$file" >/dev/null
check_status "resync" 0 "$ZORVEL" mirror copy "$file" --src 1 --dst 2,3 >/dev/null
check "mirrors after the resync" "$(mirror list "$file")" \
	"$(listing $((12 * mib)) "0+$((6 * mib))")"
check_status "verify after the resync" 0 "$ZORVEL" mirror verify "$file" >/dev/null
for id in 1 2 3; do
	check "mirror $id's bytes" "$(mirror_sum $id)" "$want_sum"
done

# 2. A copy of a mirror onto itself, or of the file onto one of its
#    mirrors, loses nothing.
sim "$ZORVEL" mirror copy "$file" --src 2 --dst 2 >/dev/null 2>&1
sim "$ZORVEL" mirror copy "$file" --src 0 --dst 1 >/dev/null 2>&1
check_status "verify after copies onto themselves" 0 \
	"$ZORVEL" mirror verify "$file" >/dev/null
for id in 1 2 3; do
	check "mirror $id's bytes after copies onto itself" "$(mirror_sum $id)" \
		"$want_sum"
done

# 3. A hole punched in mirror 2 alone: verify tells, a resync repairs.
check_status "punch in mirror 2" 0 \
	"$ZORVEL" punch "$file" $mib $mib --id 2 >/dev/null
check_status "verify of the punched mirror" 117 \
	"$ZORVEL" mirror verify "$file" >/dev/null
check_status "repair" 0 "$ZORVEL" mirror copy "$file" --src 1 --dst 2 >/dev/null
check_status "verify after the repair" 0 "$ZORVEL" mirror verify "$file" >/dev/null
check "mirror 2's bytes after the repair" "$(mirror_sum 2)" "$want_sum"

# 4. Mirror 1 rewritten smaller: the resync leaves every mirror its size.
printf 'short\n' >"$SCRATCH/short"
sim "$ZORVEL" mirror write "$file" --id 1 <"$SCRATCH/short" >/dev/null
check_status "resync of a shorter mirror 1" 0 \
	"$ZORVEL" mirror copy "$file" --src 1 --dst 2,3 >/dev/null
check_status "verify after it" 0 "$ZORVEL" mirror verify "$file" >/dev/null
for id in 2 3; do
	check "mirror $id after the shorter resync" "$(mirror read "$file" --id $id)" short
done
check "the file as readers see it" "$(sim cat "$file")" short
finish
