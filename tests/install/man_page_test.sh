#!/usr/bin/env bash
# Checks a man page against its program: every long option that the program's help or usage
# text shows has an entry in the page's OPTIONS section, every entry there is an option the
# program shows, and the page formats without a warning.
#
# Usage: man_page_test.sh MAN_PAGE PROGRAM [ARGUMENT...]
#   PROGRAM ARGUMENT... prints the help or usage text (on either output; its status is ignored).
set -euo pipefail
page="$1"
shift

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

text="$("$@" 2>&1 || true)"
mapfile -t shown < <(grep -oE -- '--[[:alnum:]][[:alnum:]-]*' <<<"$text" | sort -u)
[ "${#shown[@]}" -gt 0 ] || fail "'$*' shows no long option: $text"

# The first line of each .TP entry in OPTIONS; roff writes each dash of an option as \-.
mapfile -t documented < <(
    awk '/^\.SH /{ in_options = ($2 == "OPTIONS") } in_options && head { print } { head = /^\.TP/ }' \
        "$page" | grep -oE -- '(\\-){2}[[:alnum:]]([[:alnum:]]|\\-)*' | sed 's/\\-/-/g' | sort -u)

# Here-strings rather than pipes: grep -q may end before its writer, which pipefail then counts.
for option in "${shown[@]}"; do
    grep -qxF -- "$option" <<<"$(printf '%s\n' "${documented[@]}")" ||
        fail "$option, shown by '$*', has no entry in the OPTIONS of $page"
done
for option in "${documented[@]}"; do
    grep -qxF -- "$option" <<<"$(printf '%s\n' "${shown[@]}")" ||
        fail "$page documents $option, which '$*' does not show"
done

warnings="$(groff -man -ww -z "$page" 2>&1)"
[ -z "$warnings" ] || fail "groff warns about $page: $warnings"

if [ "$failures" -gt 0 ]; then exit 1; fi
echo "$page: ${#shown[@]} options, each documented; no formatting warning"
