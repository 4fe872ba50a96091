#!/usr/bin/env bash
# docs.sh TOLVADM SOURCE_DIR - the man page and the bash completion against the
# tool's own --help: every command, subcommand and option is in the man page,
# the completion lists exactly the commands and subcommands, and completing
# reads options and their choices from --help.
set -euo pipefail
tolvadm=$1 src=$2
man=$src/doc/tolvadm.1
completion=$src/completions/tolvadm
failed=0
fail() {
    echo "docs: $*" >&2
    failed=1
}

# The entries of a "Subcommands:" section of a help text.
subcommands() {
    "$tolvadm" "$@" --help | awk '/^Subcommands:/ { f = 1; next } /^$/ { f = 0 } f && /^  [a-z]/ { print $1 }'
}
# The long options of a help text.
options() {
    "$tolvadm" "$@" --help | grep -oE '^  (-h,)?--[a-z0-9-]+' | sed 's/.*,//; s/^ *//' | grep -v '^--help$' || true
}

# The man page as plain words: roff's \- is a hyphen.
man_text=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$man")
# True when the man page names OPTION, also as part of a range "--text-1 ... --text-5".
man_has_option() {
    grep -qF -- "$1" <<<"$man_text" && return 0
    [[ $1 =~ ^(--[a-z-]+-)([0-9]+)$ ]] || return 1
    local stem=${BASH_REMATCH[1]} n=${BASH_REMATCH[2]} range lo hi
    while read -r range; do
        [[ $range =~ ([0-9]+)[^.]*\.\.\.[^-]*$stem([0-9]+) ]] || continue
        lo=${BASH_REMATCH[1]} hi=${BASH_REMATCH[2]}
        ((n >= lo && n <= hi)) && return 0
    done < <(grep -oE -- "$stem[0-9]+[^.]*\.\.\.[^-]*$stem[0-9]+" <<<"$man_text")
    return 1
}

bash -n "$completion" || fail "the completion is not valid bash"
# shellcheck source=/dev/null
source "$completion"

commands=$(subcommands)
[[ $(sort <<<"$commands") == $(_tolvadm_commands | tr ' ' '\n' | sort) ]] ||
    fail "the completion's commands ($(_tolvadm_commands)) are not those of tolvadm --help ($(echo $commands))"
for opt in $(options); do man_has_option "$opt" || fail "the man page lacks the global option $opt"; done
for cmd in $commands; do
    grep -qx "\.SS $cmd" "$man" || fail "the man page has no section for $cmd"
    subs=$(subcommands "$cmd")
    [[ $(sort <<<"$subs") == $(_tolvadm_subcommands "$cmd" | tr ' ' '\n' | sed '/^$/d' | sort) ]] ||
        fail "the completion's subcommands of $cmd are not those of tolvadm $cmd --help"
    for sub in ${subs:-""}; do
        if [[ -n $sub ]]; then
            grep -qF "tolvadm $cmd $sub" <<<"$man_text" || fail "the man page lacks tolvadm $cmd $sub"
        fi
        # shellcheck disable=SC2086
        for opt in $(options $cmd $sub); do
            man_has_option "$opt" || fail "the man page lacks $opt of tolvadm $cmd $sub"
        done
    done
done

# Completing: COMPREPLY for the words typed so far, the last one being completed.
complete_words() {
    COMP_WORDS=("$tolvadm" "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _tolvadm
    echo "${COMPREPLY[*]}"
}
expect() {
    local want=$1 got
    shift
    got=$(complete_words "$@")
    [[ $got == "$want" ]] || fail "completing 'tolvadm $*' gave '$got', not '$want'"
}
expect "user" us
expect "user" --json --config x.conf us
expect "add-member" group ad
expect "disabled" user list --mode d
expect "--registry-id" group find --reg
expect "--repair" check --rep
expect "" user create corp ann
[[ $(complete_words --config "$src/completions/tol") == "$completion" ]] || fail "--config does not complete file names"

exit $failed
