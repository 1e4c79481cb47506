#!/usr/bin/env bash
# Every message that telk can print must be explained in the manual page, the reference.
# The messages are taken from the sources: the string given to each call that prints one.
set -u
top=$1
messages=$(grep -ohE '(say|puts|perror|fputs|report_failure)\("[^"]*"|fprintf\(stderr, "[^"]*"' \
    "$top"/src/*.cpp | sed -E 's/^[^"]*"//; s/"$//; s/\\n//g; s/%\.\*s/%s/g' | grep -v '^$')
if [ -z "$messages" ]; then
    echo "no message found in $top/src"
    exit 1
fi
# the manual page's text without its escapes for a minus sign and a zero-width break
manual=$(sed 's/\\-/-/g; s/\\&//g' "$top/telk.1")
status=0
while IFS= read -r message; do
    # the message as a pattern: its characters literal, each printf conversion standing for
    # anything
    pattern=$(printf '%s' "$message" | sed -E 's/[][\.*^$()+?{}|/]/\\&/g; s/%z?[a-z]/.*/g')
    if ! grep -qE -- "$pattern" <<<"$manual"; then
        echo "telk.1 does not explain: $message"
        status=1
    fi
done <<<"$messages"
[ "$status" -eq 0 ] && echo "$(wc -l <<<"$messages") messages, all explained in telk.1"
exit "$status"
