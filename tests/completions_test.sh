#!/usr/bin/env bash
# The bash completion called as bash calls it, in a shell without the
# bash-completion package; the zsh and fish ones parsed, where those
# shells are installed.
#   completions_test.sh COMPLETIONS_FOLDER
source "$1/txd-depth-fix.bash" || exit 1
failed=0
# Completing the last of the words must give exactly want, one candidate a line.
expect() { # want, words...
	local want=$1
	shift
	COMP_WORDS=(txd-depth-fix "$@") COMP_CWORD=$# COMPREPLY=()
	_txd_depth_fix
	local got=$(printf '%s\n' "${COMPREPLY[@]}")
	if [ "$got" != "$want" ]; then
		printf 'completing "%s" gave\n%s\ninstead of\n%s\n' "$*" "$got" "$want" >&2
		failed=1
	fi
}
expect --json --js
expect --restore --re
expect "$(printf '%s\n' 1 2 3 4 8 16 64 256)" -j ''
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT || exit 1
touch "$tmp/a.txd" "$tmp/body.img" && mkdir "$tmp/models" || exit 1
expect "$tmp/body.img" -v "$tmp/b"
expect "$tmp/models" -- "$tmp/mo"

! command -v zsh >/dev/null || zsh -n "$1/_txd-depth-fix" || failed=1
! command -v fish >/dev/null || fish -n "$1/txd-depth-fix.fish" || failed=1
exit $failed
