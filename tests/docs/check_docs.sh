#!/usr/bin/env bash
# The manual pages and the bash completion against each tool's own --help.
#   check_docs.sh man TOOL PAGE
#       every -x and --long option of TOOL's help is in PAGE; groff renders PAGE without warnings
#   check_docs.sh completion SCRIPT TOOL [FLASH]
#       the completion SCRIPT gives TOOL's cases below, with and without the bash-completion
#       helpers, once reading the device map itself and once through FLASH --list-ports
set -uo pipefail
bash_completion=/usr/share/bash-completion/bash_completion
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Every option token of the help's option lines (those starting with blanks and a dash).
help_options() {
    "$1" --help | grep -E '^[[:space:]]+-' | grep -oE '(^|[[:space:],])--?[[:alpha:]?][[:alnum:]-]*' |
        sed -E 's/^[[:space:],]+//' | sort -u
}

check_man() {
    local tool=$1 page=$2 text opts opt
    text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f([A-Z][A-Z]//g' "$page") || return 1
    opts=$(help_options "$tool")
    [ -n "$opts" ] || fail "$tool --help lists no options"
    for opt in $opts; do
        grep -qE -- "(^|[^[:alnum:]-])${opt//\?/\\?}([^[:alnum:]-]|\$)" <<<"$text" ||
            fail "$page does not mention $opt"
    done
    local warnings
    warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff cannot render $page"
    [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
}

# complete_line MODE SCRIPT WORDS...: what SCRIPT offers for a command line (its words, the last one
# being completed), one word a line. MODE full loads the bash-completion helpers first.
complete_line() {
    bash --norc --noprofile -c '
        mode=$1 script=$2
        shift 2
        if [[ $mode == full ]]; then source "'"$bash_completion"'" || exit 1; fi
        source "$script" || exit 1
        COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        registered=$(complete -p "${1##*/}") || exit 1
        fn=${registered#*-F } fn=${fn%% *}
        "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"
    ' check "$@"
}

# tool | the words after the command ("_" an empty word) | is (exactly), has (at least) or lacks
# (none of) | words; "HELP" stands for the long options of the tool's --help.
cases='
tolvane-flash  | --        | is    | HELP
tolvane-flash  | -p CO     | has   | COM2 COM5 COM11
tolvane-flash  | -p CO     | lacks | COM17 COM03
tolvane-flash  | -p COM5,C | has   | COM5,COM2 COM5,COM11
tolvane-flash  | -p rfc    | is    | rfc2217://
tolvane-flash  | --port so | is    | socket://
tolvane-flash  | -b 1152   | is    | 115200
tolvane-flash  | -q _      | is    | a.flash B.FLASH sub
tolvane-devsim | --        | is    | HELP
tolvane-term   | --        | is    | HELP
tolvane-term   | -p CO     | has   | COM2 COM5 COM11
tolvane-term   | -p rfc    | is    | rfc2217://
'

check_completion() {
    local script tool flash='' name=${2##*/}
    script=$(realpath "$1") tool=$(realpath "$2") || return 1
    [ -z "${3:-}" ] || flash=$(realpath "$3") || return 1
    [ -f "$bash_completion" ] || { fail "$bash_completion is missing (the bash-completion package)"; return; }
    dir=$(mktemp -d) || return 1
    trap 'rm -rf "$dir"' EXIT
    mkdir -p "$dir/config/cport" "$dir/work/sub"
    printf '# bench\nCOM11 = /tmp/x\r\nCOM17=/tmp/y\nCOM03=/tmp/y\n' >"$dir/config/cport/devices.conf"
    touch "$dir/work/a.flash" "$dir/work/B.FLASH" "$dir/work/notes.txt"
    cd "$dir/work" || return 1
    local long
    long=$(help_options "$tool" | grep -e '^--' | sort)
    [ -n "$long" ] || fail "$tool --help lists no long options"

    local rtool line check want mode lister got w
    while IFS='|' read -r rtool line check want; do
        read -r rtool <<<"$rtool"
        read -r check <<<"$check"
        [ "$rtool" = "$name" ] || continue
        [ "$(xargs <<<"$want")" = HELP ] && want=$long
        local -a words
        read -ra words <<<"$line"
        words=("${words[@]/#_/}")
        for mode in full bare; do
            # The map read by the script itself, then by the built tolvane-flash.
            for lister in env ${flash:+built}; do
                local path=$PATH
                [ "$lister" = built ] && path=$(dirname "$flash"):$PATH
                got=$(HOME=$dir XDG_CONFIG_HOME=$dir/config CPORT_DEVICES='COM5=/tmp/a; com2 = /tmp/b' \
                    PATH=$path complete_line $mode "$script" "$name" \
                    "${words[@]}" | sort -u)
                local where="$name$line ($mode, $lister)"
                case $check in
                is) [ "$got" = "$(printf '%s\n' $want | sort -u)" ] ||
                    fail "$where: got [$(echo $got)], want [$(echo $want)]" ;;
                has) for w in $want; do grep -qxF -- "$w" <<<"$got" || fail "$where: $w missing"; done ;;
                lacks) for w in $want; do grep -qxF -- "$w" <<<"$got" && fail "$where: $w offered"; done ;;
                esac
            done
        done
    done <<<"$cases"
}

case ${1:-} in
man) check_man "$2" "$3" ;;
completion) check_completion "$2" "$3" "${4:-}" ;;
*) echo "usage: $0 man TOOL PAGE | completion SCRIPT TOOL [FLASH]" >&2; exit 2 ;;
esac
[ $failed -eq 0 ] && echo "ok"
exit $failed
