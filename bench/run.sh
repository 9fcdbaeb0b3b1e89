#!/bin/sh
# Times the whole program against the floors that its performance goals name
# (cat of the file, a durable dd copy of the new content, an in-place dd
# rewrite), side by side, and prints the medians and whether each goal is met.
# Exits 1 when a goal is not met, 2 when the program's output or exit status
# is wrong.
#
# With --compare, the program of another commit (d11f631 unless named) is
# built too and timed side by side with this tree's, interleaved in the same
# rounds; each workload's medians, peak memories and their ratio are printed,
# and a workload more than 5% slower at the median counts as a goal not met.
#
# Usage: bench/run.sh [--quick] [--compare [COMMIT]]
#   --quick: five rounds, for a smoke test
# Needs: python3, GNU time; builds the release preset's program if needed.
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)
quick=""
compare=""
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=--quick ;;
    --compare)
      compare=d11f631
      if [ $# -gt 1 ] && [ "${2#-}" = "$2" ]; then
        compare=$2
        shift
      fi
      ;;
    *)
      echo "Usage: bench/run.sh [--quick] [--compare [COMMIT]]" >&2
      exit 64
      ;;
  esac
  shift
done

# release_program DIR: builds the release preset's test form of the program in
# the source tree DIR, on two cores at most, and prints its path.
release_program() {
  (
    cd "$1"
    if [ ! -f build/release/build.ninja ]; then
      cmake --preset release >/dev/null
    fi
    cmake --build --preset release --target credgraft_fixture --parallel 2 >/dev/null
  )
  echo "$1/build/release/tests/credgraft_fixture"
}

# old_tree COMMIT: the source of COMMIT, unpacked once from git archive into
# build/bench-old/ (not a work tree of the repository), and prints its path.
old_tree() {
  commit=$(git -C "$source_dir" rev-parse --verify "$1^{commit}")
  tree="$source_dir/build/bench-old/$commit"
  if [ ! -f "$tree/CMakeLists.txt" ]; then
    rm -rf "$tree" "$tree.partial"
    mkdir -p "$tree.partial"
    git -C "$source_dir" archive "$commit" | tar -x -C "$tree.partial"
    mv "$tree.partial" "$tree"
  fi
  echo "$tree"
}

scripts/deps.sh python3 time >/dev/null
# The release build (hardened, as installed) of the program, reading ./certkeep:
# the credentials live in the workload's temporary directory, never in
# /var/data/certkeep.
program=$(release_program "$source_dir")
old_program=""
if [ -n "$compare" ]; then
  old_program=$(release_program "$(old_tree "$compare")")
  echo "Compared with $compare: $old_program"
fi

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

# run_program PROGRAM FILE: the program's exit status on FILE.
run_program() {
  status=0
  "$1" "$2" TLS_KEY pkey TLS_CERT cert >/dev/null 2>&1 || status=$?
  echo "$status"
}

# check_program PROGRAM: each workload's renewed content, NAME.after, checked
# against the script's, and a second run on it must change nothing.
check_program() {
  for name in typical large-end large-start small-end small-start many; do
    cp "$name.conf" "$name.after"
    cp "$name.conf" script.conf
    ./script.sh script.conf
    if [ "$(run_program "$1" "$name.after")" != 0 ] || ! cmp -s "$name.after" script.conf; then
      echo "$name: the renewal of $1 differs from the script's" >&2
      exit 2
    fi
    cp "$name.after" again.conf
    if [ "$(run_program "$1" again.conf)" != 1 ] || ! cmp -s again.conf "$name.after"; then
      echo "$name: a second run of $1 changed the file or did not exit 1" >&2
      exit 2
    fi
  done
  rm -f script.conf again.conf
}

# The old program's results are checked first, so that NAME.after is this
# tree's.
[ -z "$old_program" ] || check_program "$old_program"
check_program "$program"

if [ -n "$old_program" ]; then
  python3 "$source_dir/bench/measure.py" "$program" $quick --old "$old_program"
else
  python3 "$source_dir/bench/measure.py" "$program" $quick
fi
