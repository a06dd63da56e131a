#!/bin/sh
# Holds the manual page's list of settings to the settings table: every key
# that `velmora-settings` prints is named in its section of the page's
# SETTINGS, and every item the page lists under [Velmora] is a key of the
# table.  Usage: check_manual.sh path/to/velmora-settings packaging/velmora.1
set -eu
keys=$("$1")
page=$2
# The words the page sets in bold within section $1 of SETTINGS (quoted
# separators of .BR and .RB dropped), one a line.
bold_in() {
    awk -v want="[$1]" '
        /^\.SH/ { on = ($2 == "SETTINGS"); next }
        !on { next }
        /^Section/ { cur = ""; next }
        index($0, want) && cur == "" { cur = want; next }
        cur == want && /^\.(B|BR|RB) / { gsub(/"[^"]*"/, ""); for (i = 2; i <= NF; i++) print $i }
    ' "$page" | tr -d '().,;:'
}
fail=0
for section in $(echo "$keys" | cut -d' ' -f1 | sort -u); do
    documented=$(bold_in "$section")
    for key in $(echo "$keys" | awk -v s="$section" '$1 == s { print $2 }'); do
        echo "$documented" | grep -qx "$key" || { echo "velmora.1: [$section] $key is not described"; fail=1; }
    done
done
for word in $(bold_in Velmora); do
    echo "$keys" | grep -qx "Velmora $word" || { echo "velmora.1: [Velmora] $word is no setting"; fail=1; }
done
[ $fail -eq 0 ] && echo "velmora.1 lists the $(echo "$keys" | wc -l) settings of the table"
exit $fail
