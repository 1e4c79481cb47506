#!/bin/sh
# Builds telk and the demo server (only them), starts the server on 127.0.0.1 port 27961 (in the
# background; it takes the port over from an earlier one and stops after 30 idle seconds)
# and sends it a few commands, each shown before its output.
set -eu
cd "$(dirname "$0")/.."
echo "Building telk and the demo server in build/ (a minute or two the first time)..."
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target telk telk-demo-server >/dev/null
build/telk-demo-server 27961 secret 30

show() {
    printf '\n$ %s\n' "$1"
    eval "build/$1"
}
show "telk 127.0.0.1:27961 secret status 'say hello'"
show "telk -c 127.0.0.1:27961 secret 'say ^1red^7 and plain'"
show "telk 127.0.0.1:27961 wrong status || echo \"exit status \$?\""
show "telk -c 127.0.0.1:27961 secret list | tail -n 3"
