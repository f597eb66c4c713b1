# bash completion for zorvel: commands, their actions (list|get...), their
# options and the values an option takes, all read from the program's own
# --help, so that they follow the program; files and folders otherwise.

# The words of "usage: zorvel COMMAND ..." for the zorvel being completed,
# a closing bracket kept where it ends an option ([--json]: no value).
_zorvel_usage()
{
	"$1" "$2" --help 2>/dev/null | sed -n '1s/^usage: [^ ]* [^ ]* *//p' |
		tr -d '[(' | tr ' ' '\n'
}

_zorvel()
{
	local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
	local prog=${COMP_WORDS[0]} words=() word last='' i
	local -A actions=() options=() values=()

	if ((COMP_CWORD == 1)); then
		words=($("$prog" --help 2>/dev/null |
			sed -n '/^commands:/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p'))
		words+=(--help --version)
		mapfile -t COMPREPLY < <(compgen -W "${words[*]}" -- "$cur")
		return
	fi

	# Lower-case words are actions, or the values of the option before
	# them (--type socket|o2ib).
	while IFS= read -r word; do
		if [[ $word == --* ]]; then
			last=${word%%[])]*}
			for i in ${last//|/ }; do
				options[$i]=1
			done
			[[ $word == "$last" ]] || last=''
			continue
		fi
		word=${word%%[])]*}
		if [[ $word =~ ^[a-z][a-z0-9-]*(\|[a-z][a-z0-9-]*)*$ ]]; then
			for i in ${word//|/ }; do
				if [[ -n $last ]]; then
					values[$last]+=" $i"
				else
					actions[$i]=1
				fi
			done
		fi
		last=''
	done < <(_zorvel_usage "$prog" "${COMP_WORDS[1]}")

	if [[ -n ${values[$prev]:-} ]]; then
		mapfile -t COMPREPLY < <(compgen -W "${values[$prev]}" -- "$cur")
		return
	fi
	if [[ $cur == -* ]]; then
		mapfile -t COMPREPLY < <(compgen -W "${!options[*]} --help" -- "$cur")
		return
	fi
	# An action first, before any other operand.
	if ((${#actions[@]})); then
		for ((i = 2; i < COMP_CWORD; i++)); do
			[[ ${COMP_WORDS[i]} == -* ]] || break
		done
		if ((i == COMP_CWORD)); then
			mapfile -t COMPREPLY < <(compgen -W "${!actions[*]}" -- "$cur")
			return
		fi
	fi
	mapfile -t COMPREPLY < <(compgen -f -- "$cur")
	compopt -o filenames 2>/dev/null || true
}

complete -F _zorvel zorvel
