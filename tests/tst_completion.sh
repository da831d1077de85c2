#!/bin/bash
# Checks lumedra-cli's bash completion and manual page against the program itself.
# Usage: tst_completion.sh LUMEDRA_CLI COMPLETION MANPAGE_SCD
set -uo pipefail
cli=$1 completion=$2 page=$3

helpers=/usr/share/bash-completion/bash_completion
[ -r "$helpers" ] || { echo "FAIL: $helpers missing (package bash-completion)"; exit 1; }
. "$helpers"
. "$completion"

passed=0 failed=0
check() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: %s\n  expected: %s\n  actual:   %s\n' "$1" "$3" "$2"
    fi
}

# What the completion offers for a command line, the cursor at its end, sorted.
complete_line() {
    COMP_LINE=$1 COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _lumedra_cli
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}

check "registered" "$(complete -p lumedra-cli)" "complete -F _lumedra_cli lumedra-cli"

# Every long option the program takes is documented and completed; a new option forgotten in
# either shows up here.
offered=" $(complete_line 'lumedra-cli --') "
options=$(QT_QPA_PLATFORM=offscreen "$cli" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u |
          grep -vx -- '--help-all')
[ -n "$options" ] || check "options in --help" "none" "some"
for option in $options; do
    # A definition of its own: "*-p*, *--port* _PORT_" or "*--json*" at the start of a line.
    grep -qE -- "^(\*-[A-Za-z]\*, )?\*$option\*( _[A-Z]+_)?$" "$page" && found=yes || found=no
    check "$option in the manual page" "$found" yes
    [[ $offered == *" $option "* ]] && found=yes || found=no
    check "$option completed" "$found" yes
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/out"
touch "$work/fw.bin" "$work/fw.hex" "$work/notes.txt"
cd "$work"

# line | expected completions
cases=(
    "lumedra-cli --re|--reset --reset-cmd"
    "lumedra-cli --reset |boot-reset dtr-pulse rts-pulse"
    "lumedra-cli --reset=b|boot-reset"
    "lumedra-cli -b 11|115200"
    "lumedra-cli --wait |"
    "lumedra-cli --image-format |bin elf ihex srec"
    "lumedra-cli --image-format=s|srec"
    "lumedra-cli --fill |"
    "lumedra-cli -p /dev/null fw|fw.bin fw.hex"
    "lumedra-cli -p /dev/null |fw.bin fw.hex notes.txt out"
    "lumedra-cli --log n|notes.txt"
    "lumedra-cli -p $work/fw.b|$work/fw.bin"
    "lumedra-cli doc|doctor"
    "lumedra-cli n|notes.txt"
    "lumedra-cli doctor --j|--json"
    "lumedra-cli doctor --r|--root"
    "lumedra-cli doctor --root |out"
    "lumedra-cli rep|report"
    "lumedra-cli report --image|--image --image-out"
    "lumedra-cli report --serial 7 --image-out |fw.bin fw.hex notes.txt out"
    "lumedra-cli report --image |"
)
for c in "${cases[@]}"; do
    check "${c%%|*}" "$(complete_line "${c%%|*}")" "${c#*|}"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
