#!/bin/bash
# A cache manager: a cache area, a file attached to it, other processes
# opening and writing it meanwhile, then detached; the file keeps every
# write and the cache forgets it.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
zv_workflow "$@"

file=$MNT/model.dat
sim sh -c 'printf "line 1\n" >"$1"' sh "$file"
check_status "pcc add" 0 "$ZORVEL" pcc add "$MNT" 1 >/dev/null
check_status "pcc attach" 0 "$ZORVEL" pcc attach --id 1 "$file" >/dev/null
# type and open count (the flags tell the cache's own bookkeeping)
brief() { sed 's/ flags=.*//'; }
state() { sim "$ZORVEL" pcc state "$file" | brief; }
check "state once attached" "$(state)" \
	"$file: type=readwrite open_count=0"

# A second process holds the file open while the manager looks.
check "state while another process has it open" \
	"$(sim sh -c 'exec 3<"$1"; "$2" pcc state "$1"' sh "$file" "$ZORVEL" |
		brief)" \
	"$file: type=readwrite open_count=1"
check "state after it closed" "$(state)" \
	"$file: type=readwrite open_count=0"

# Writes through the cache: a shell's redirection of a built-in moves and
# closes descriptors; once it is done the file is no longer open.
check "state after a shell's redirection" \
	"$(sim bash -c 'echo "line 2" >>"$1"; "$2" pcc state "$1"' bash "$file" \
		"$ZORVEL" | brief)" \
	"$file: type=readwrite open_count=0"
sim dd if=/dev/zero of="$file" bs=1 count=0 seek=14 status=none
sim sh -c 'printf "line 3\n" >>"$1"' sh "$file"
check "state after the writers" "$(state)" "$file: type=readwrite open_count=0"

check_status "pcc detach" 0 "$ZORVEL" pcc detach "$file" >/dev/null
check "state once detached" "$(state)" "$file: type=none"
check "file after detach" "$(sim cat "$file")" $'line 1\nline 2\nline 3'
check_status "pcc del" 0 "$ZORVEL" pcc del "$MNT" 1 >/dev/null
finish
