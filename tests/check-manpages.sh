#!/usr/bin/env bash
# The manual pages keep up with the programs: every option a program's --help names has an
# entry in its page, and the page has an EXIT STATUS section that lists each status the program documents.
# Usage: check-manpages.sh UNIT_SIMULATOR UNITCTL MAN_DIR
set -euo pipefail
status=0
check() { # PROGRAM PAGE
    local program=$1 page=$2 text
    # The page's text without troff's escapes: "\-\-pcap" reads "--pcap".
    text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
    for option in $("$program" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
        # As an entry of its own (a bold line), not only in an example.
        if ! grep -qE -- "^\.B[IR]? .*${option}([^a-z-]|\$)" <<<"$text"; then
            echo "FAIL: $(basename "$page") does not describe $option"; status=1
        fi
    done
    if ! grep -q '^\.SH EXIT STATUS' "$page"; then
        echo "FAIL: $(basename "$page") has no EXIT STATUS section"; status=1
    fi
}
check "$1" "$3/unit-simulator.1"
check "$2" "$3/unitctl.1"
# unitctl's help names its exit statuses; each has its entry in the page.
for code in $("$2" --help | sed -n '/^Exit status/,$p' | grep -oE '\b[0-9]\b' | sort -u); do
    sed -n '/^\.SH EXIT STATUS/,/^\.SH/p' "$3/unitctl.1" | grep -qx "\.B $code" ||
        { echo "FAIL: unitctl.1 does not list exit status $code"; status=1; }
done
[ $status -eq 0 ] && echo "manual pages cover every option and exit status"
exit $status
