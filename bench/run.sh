#!/bin/sh
# Times the whole program against the floors that its performance goals name
# (cat of the file, a durable dd copy of the new content, an in-place dd
# rewrite), side by side, and prints the medians and whether each goal is met.
# Exits 1 when a goal is not met, 2 when the program's output or exit status
# is wrong.
#
# Usage: bench/run.sh [--quick]     (--quick: five rounds, for a smoke test)
# Needs: python3, GNU time; builds the release preset's program if needed.
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)
quick=""
[ "${1:-}" = "--quick" ] && quick=--quick

scripts/deps.sh python3 time >/dev/null
if [ ! -f build/release/build.ninja ]; then
  cmake --preset release >/dev/null
fi
cmake --build --preset release --target credgraft_fixture --parallel 2 >/dev/null
# The release build (hardened, as installed) of the program, reading ./certkeep:
# the credentials live in the workload's temporary directory, never in
# /var/data/certkeep.
program="$source_dir/build/release/tests/credgraft_fixture"

work=$(mktemp -d "${TMPDIR:-/tmp}/credgraft-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' HUP INT TERM
cd "$work"
python3 "$source_dir/bench/workloads.py" "$work"

# The same job in shell, as a user would write it: the program's output must
# be exactly its output, so that the timings are of the real job.
cat > script.sh <<'SCRIPT'
#!/bin/sh
key=$(base64 -w0 certkeep/latest.key)
cert=$(base64 -w0 certkeep/latest.crt)
sed -i -e "s|^TLS_KEY=.*|TLS_KEY=$key|I" -e "s|^TLS_CERT=.*|TLS_CERT=$cert|I" "$1"
SCRIPT
chmod +x script.sh

# run_program FILE: the program's exit status on FILE.
run_program() {
  status=0
  "$program" "$1" TLS_KEY pkey TLS_CERT cert >/dev/null 2>&1 || status=$?
  echo "$status"
}

# Each workload's renewed content, NAME.after, checked against the script's,
# and a second run on it must change nothing.
for name in typical large-end large-start small-end small-start many; do
  cp "$name.conf" "$name.after"
  cp "$name.conf" script.conf
  ./script.sh script.conf
  if [ "$(run_program "$name.after")" != 0 ] || ! cmp -s "$name.after" script.conf; then
    echo "$name: the program's renewal differs from the script's" >&2
    exit 2
  fi
  cp "$name.after" again.conf
  if [ "$(run_program again.conf)" != 1 ] || ! cmp -s again.conf "$name.after"; then
    echo "$name: a second run changed the file or did not exit 1" >&2
    exit 2
  fi
done
rm -f script.conf again.conf

python3 "$source_dir/bench/measure.py" "$program" $quick
