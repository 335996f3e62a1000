# bash completion for txd-depth-fix                        -*- shell-script -*-
# Options, the numbers -j takes, and files and folders for the operands:
# any file may be an archive, whatever its name. Works alone, and uses
# bash-completion's _filedir for the operands where that is loaded.

_txd_depth_fix()
{
	local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
	local jobs='1 2 3 4 8 16 64 256' i

	# "--jobs=N" reaches us as three words, "--jobs" "=" "N", when '=' is
	# in COMP_WORDBREAKS, as it is by default.
	if [[ $cur == = && $prev == --jobs ]]; then
		cur=
	elif [[ $prev == = && $COMP_CWORD -ge 2 && ${COMP_WORDS[COMP_CWORD-2]} == --jobs ]]; then
		prev=--jobs
	elif [[ $cur == --jobs=* ]]; then # '=' not a word break: the word is whole
		COMPREPLY=($(compgen -P --jobs= -W "$jobs" -- "${cur#--jobs=}"))
		return
	fi
	case $prev in
	-j | --jobs)
		COMPREPLY=($(compgen -W "$jobs" -- "$cur"))
		return
		;;
	--wait)
		COMPREPLY=($(compgen -W '0 10 60 600' -- "$cur"))
		return
		;;
	esac

	# Past "--" every word is an operand.
	for ((i = 1; i < COMP_CWORD; i++)); do
		[[ ${COMP_WORDS[i]} == -- && ${COMP_WORDS[i-1]} != -j && ${COMP_WORDS[i-1]} != --jobs ]] && break
	done
	if [[ $cur == -* && $i -eq $COMP_CWORD ]]; then
		COMPREPLY=($(compgen -W '-b --backup -H --with-filename -n --dry-run
			-p --preserve -q --quiet -t --txd -u --keep-undo -v --verbose -x --one-file-system
			-j --jobs --wait --totals --check --json --restore --no-preserve-root
			-h --help -V --version --' -- "$cur"))
		return
	fi

	if declare -F _filedir >/dev/null; then
		_filedir
	else
		compopt -o filenames 2>/dev/null
		mapfile -t COMPREPLY < <(compgen -f -- "$cur")
	fi
} &&
	complete -F _txd_depth_fix txd-depth-fix

# ex: filetype=sh
