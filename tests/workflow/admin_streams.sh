#!/bin/bash
# An administrator's commands with standard streams closed (as from cron,
# a daemon or `cmd >&-`), and file names that hold newlines: nothing is
# written into a device or a user's file, failures still fail, and every
# message and line stays one line.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
zv_workflow "$@"

dev=$STATE/dev/varn
size() { stat -c %s "$1"; }
g=$MNT/g
sim sh -c 'printf "first line\nsecond line\n" >"$1"' sh "$g"
"$ZVSIM" --state "$STATE" mirror count "$g" 2
g_sum=$(sim cat "$g" | sha256sum)

# 1. Standard output closed: the command fails with EBADF (9), and the
#    network control device it opened receives no text.
dev_size=$(size "$dev")
check_status "udsp show >&-" 9 "$ZORVEL" udsp show >&-
check_status "udsp add --json >&-" 9 "$ZORVEL" udsp add --json --src tcp1 --priority 3 >&-
check_status "path2fid >&-" 9 "$ZORVEL" path2fid "$g" >&-
check "the control device" "$(size "$dev")" "$dev_size"

# 2. Standard error closed: a failing command keeps its status and its
#    message lands in no file it opened.
echo hello | sim "$ZORVEL" mirror write "$g" --id 3 2>&-
[[ $? != 0 ]] || fail "mirror write to a missing mirror succeeded"
sim "$ZORVEL" mirror copy "$g" --src 1 --dst 2,7 2>&-
[[ $? != 0 ]] || fail "mirror copy to a missing mirror reported success"
check_status "swap-layouts --check-dv of a missing file 2>&-" 2 \
	"$ZORVEL" swap-layouts --check-dv "$g" "$MNT/missing" 2>&-
check "file after failures with stderr closed" "$(sim cat "$g" | sha256sum)" "$g_sum"

# 3. Standard input closed: commands that do not read it work.
check_status "data-version <&-" 0 "$ZORVEL" data-version "$g" <&- >/dev/null
check_status "udsp show <&-" 0 "$ZORVEL" udsp show <&- >/dev/null

# 4. A name holding a newline: one line of output per file, one line
#    per message, in every command that names it.
odd=$MNT/$'two\nlines'
sim sh -c 'printf "x" >"$1"' sh "$odd"
for cmd in "path2fid" "data-version" "sparse" "heat get"; do
	# shellcheck disable=SC2086
	out=$(sim "$ZORVEL" $cmd "$odd" 2>&1)
	[[ $out != *$'\n'* ]] || fail "zorvel $cmd: a newline in the name split its line: '$out'"
done
# @ stands for the file's name.
while read -ra words; do
	cmd=${words[*]}
	words=("${words[@]/#@/$odd.missing}")
	out=$(sim "$ZORVEL" "${words[@]}" 2>&1)
	[[ $out != *$'\n'* ]] || fail "zorvel $cmd: a newline in the name split its message: '$out'"
	[[ -n $out ]] || fail "zorvel $cmd: a missing file gave no message"
done <<'COMMANDS'
mirror list @
mirror verify @
punch @ 0 4096
ladvise @ --advice willread --start 0 --end 10
lease get --read @
heat get @
sparse @
data-version @
swap-layouts @ /dev/null
path2fid @
pcc state @
COMMANDS
finish
