#!/usr/bin/env bash
# tarvel's bash completion, sourced as bash-completion would and asked for completions:
#   completion.sh FILE
# Each case: the words typed so far (the last one is completed; "=" stands alone where
# COMP_WORDBREAKS splits "--model=5") and the completions expected, in order.
set -euo pipefail
file=$1
# shellcheck source=/dev/null
source "$file"
[[ $(complete -p tarvel) == "complete -F _tarvel tarvel" ]] || {
    echo "FAIL: $file does not register _tarvel for tarvel: $(complete -p tarvel 2>&1)" >&2
    exit 1
}

failed=0 passed=0
while IFS='|' read -r typed expected; do
    [[ -z $typed || $typed == \#* ]] && continue
    read -ra COMP_WORDS <<<"$typed"
    [[ $typed == *" " ]] && COMP_WORDS+=("") # a new word is begun
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$typed
    COMP_POINT=${#typed}
    COMPREPLY=()
    _tarvel tarvel "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    got="${COMPREPLY[*]}"
    if [[ $got == "$expected" ]]; then
        passed=$((passed + 1))
    else
        echo "FAIL: '$typed': got '$got', expected '$expected'" >&2
        failed=$((failed + 1))
    fi
done <<'CASES'
tarvel |read watch stable dio version help
tarvel -|--help --version
tarvel read --mo|--model
tarvel read --model |5817 5817c krt ohaus msi3360 msi6260
tarvel read --model = m|msi3360 msi6260
tarvel read --model=o|--model=ohaus
tarvel read --model krt --tcp |
tarvel read --model krt --tcp 10.0.0.1:A --|--model --tcp --serial --nomotion --json --name --quiet --verbose --help
tarvel watch --model krt --in|--interval
tarvel stable --s|--serial --seconds
tarvel dio |in out
tarvel dio --tcp 10.0.0.1 o|out
tarvel dio in --|--tcp --json --quiet --verbose --help
tarvel dio out 3 |on off 1 0
tarvel dio out 3 o|on off
tarvel dio out 200 |--tcp --json --quiet --verbose --help
tarvel dio out SNS |--tcp --json --quiet --verbose --help
tarvel help |read watch stable dio version
tarvel version --|--quiet --verbose --help
tarvel frobnicate |
CASES
echo "completion: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
