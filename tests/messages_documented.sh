#!/usr/bin/env bash
# Every text that telk can print must be explained in the README and the manual page.
# The texts are taken from the sources: the string given to each call that prints.
set -u
top=$1
messages=$(grep -ohE '(puts|perror|fputs|report_failure)\("[^"]*"|fprintf\(stderr, "[^"]*"' \
    "$top"/src/*.cpp | sed -E 's/^[^"]*"//; s/"$//; s/\\n//g')
if [ -z "$messages" ]; then
    echo "no message found in $top/src"
    exit 1
fi
status=0
while IFS= read -r message; do
    # the message as a pattern: its characters literal, each printf number standing for anything
    pattern=$(printf '%s' "$message" | sed -E 's/[][\.*^$()+?{}|/]/\\&/g; s/%z?[a-z]/.*/g')
    for doc in README.md telk.1; do
        # the manual page's text without its escapes for a minus sign and a zero-width break
        if ! sed 's/\\-/-/g; s/\\&//g' "$top/$doc" | grep -qE -- "$pattern"; then
            echo "$doc does not explain: $message"
            status=1
        fi
    done
done <<<"$messages"
[ "$status" -eq 0 ] && echo "$(wc -l <<<"$messages") messages, all explained"
exit "$status"
