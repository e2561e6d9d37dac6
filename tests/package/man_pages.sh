#!/usr/bin/env bash
# The manual pages as built: each renders with man -l without a warning, holds the usual
# sections and no unreplaced placeholder, and names every command and option that the
# program's own --help names (so a new option is not forgotten in its page).
#   man_pages.sh MANDIR WORKDIR TARVEL TARVEL-GATEWAY TARVEL-SIM
set -euo pipefail
mandir=$1 work=$2 tarvel=$3 gateway=$4 sim=$5
export LC_ALL=C MANWIDTH=100
command -v man >/dev/null || { echo "SKIP: no man (Debian package man-db)"; exit 77; }
rm -rf "$work"
mkdir -p "$work"
cd "$work"
failed=0 passed=0
fail() {
    echo "FAIL: $*" >&2
    failed=$((failed + 1))
}

# tarvel's commands, as its --help lists them.
# (a command's line starts two blanks in; its description may go on, further in, below it)
commands=$("$tarvel" --help | sed -n '/^commands:/,/^$/p' | awk 'NR > 1 && /^  [a-z]/ {print $1}')
[ -n "$commands" ] || fail "tarvel --help lists no commands"
# What each page's program says of itself.
help_of() { # PAGE
    case $1 in
    tarvel.1)
        "$tarvel" --help
        for c in $commands; do "$tarvel" help "$c"; done
        ;;
    tarvel-gateway.8) "$gateway" --help ;;
    tarvel-sim.1) "$sim" --help ;;
    esac
}
# The long options a text names.
options() { grep -o -- '--[a-z][a-z-]*[a-z]' | sort -u || true; }

for page in tarvel.1 tarvel-gateway.8 tarvel-gateway.toml.5 tarvel-sim.1; do
    file=$mandir/$page.gz
    [ -f "$file" ] || { fail "$page was not built"; continue; }
    if ! man --warnings -l "$file" >"$page.txt" 2>"$page.err"; then
        fail "man -l $page exited $?"
        continue
    fi
    [ ! -s "$page.err" ] || fail "man -l $page warns: $(head -n 5 "$page.err")"
    title=$(echo "${page%.*}" | tr '[:lower:]' '[:upper:]')
    head -n 1 "$page.txt" | grep -qF "$title(${page##*.})" || fail "$page: first line $(head -n 1 "$page.txt")"
    for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
        grep -qx "$section" "$page.txt" || fail "$page has no $section section"
    done
    ! grep -n '@[A-Z_]*@' "$page.txt" || fail "$page holds a placeholder"
    # The roff source without font changes and escaped hyphens: options stay whole there.
    zcat "$file" | sed 's/\\f\[[A-Z]*\]//g; s/\\-/-/g' >"$page.roff"
    help_of "$page" >"$page.help" 2>&1 || true
    while read -r option; do
        grep -qF -- "$option" "$page.roff" || fail "$page does not describe $option (from --help)"
    done < <(options <"$page.help")
    passed=$((passed + 1))
done

# tarvel(1) names every command of tarvel --help.
for c in $commands; do
    grep -qE "^ +$c( |,|$)" tarvel.1.txt || fail "tarvel.1 does not describe the command $c"
done
echo "man pages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
