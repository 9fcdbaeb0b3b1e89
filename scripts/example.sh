#!/bin/sh
# Builds the program against the bundled example credentials and runs its main
# job on a copy of the example parameter file. Never touches the real
# credential directory.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset example >/dev/null
cmake --build --preset example >/dev/null

work=build/example/run
mkdir -p "$work"
cp examples/app.conf "$work/app.conf"
echo "== $work/app.conf before"
cut -c1-100 "$work/app.conf"
status=0
build/example/credgraft "$work/app.conf" TLS_KEY pkey TLS_CERT cert || status=$?
echo "== after (exit status $status: 0 = a value changed)"
cut -c1-100 "$work/app.conf"
again=0
build/example/credgraft "$work/app.conf" TLS_KEY pkey TLS_CERT cert || again=$?
echo "== run again: exit status $again (1 = nothing changed)"
[ "$status" -eq 0 ] && [ "$again" -eq 1 ]
