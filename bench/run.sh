#!/bin/sh
# Benchmarks the program against what a user would use instead: cp (the floor
# for reading and writing the same bytes) and the shell script that does the
# same job (base64 -w0 and a case-insensitive sed -i). Prints a Markdown table
# of medians and ratios, and checks the goals.
#
# Usage: bench/run.sh [--quick]     (--quick: fewer runs, for a smoke test)
# Needs: hyperfine, python3; builds the release preset if needed.
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)
runs=15
[ "${1:-}" = "--quick" ] && runs=3

scripts/deps.sh hyperfine python3 time >/dev/null
if [ ! -x build/release/tests/credgraft_fixture ]; then
  cmake --preset release >/dev/null
fi
cmake --build --preset release >/dev/null
# The fixture build reads ./certkeep: the credentials live in the workload's
# temporary directory, never in /var/data/certkeep.
program="$source_dir/build/release/tests/credgraft_fixture"

work=$(mktemp -d "${TMPDIR:-/tmp}/credgraft-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 "$source_dir/bench/workloads.py" "$work"

# The same job in shell, as a user would write it.
cat > script.sh <<'SCRIPT'
#!/bin/sh
key=$(base64 -w0 certkeep/latest.key)
cert=$(base64 -w0 certkeep/latest.crt)
sed -i -e "s|^TLS_KEY=.*|TLS_KEY=$key|I" -e "s|^TLS_CERT=.*|TLS_CERT=$cert|I" "$1"
SCRIPT
chmod +x script.sh

results=results.tsv
: > "$results"
# measure NAME FILE [RUNS]: times the program, the script and cp on FILE.
measure() {
  name=$1
  file=$2
  count=${3:-$runs}
  cp "$file" check-program.conf
  cp "$file" check-script.conf
  "$program" check-program.conf TLS_KEY pkey TLS_CERT cert >/dev/null 2>&1 || true
  ./script.sh check-script.conf
  if ! cmp -s check-program.conf check-script.conf; then
    echo "$name: the script's output differs from the program's" >&2
    exit 1
  fi
  cp "$file" memory.conf
  memory=$( { /usr/bin/time -f '%M' "$program" memory.conf TLS_KEY pkey TLS_CERT cert; } 2>&1 >/dev/null | tail -1)
  # Each run starts from the original file, written out to disk, so that one
  # run's dirty pages do not slow the next.
  # cat reads the file and writes it to /dev/null (hyperfine's output): the
  # floor for a program that reads the file. dd with conv=fdatasync is the
  # durable copy: the same bytes written and on disk, as the program's are.
  hyperfine -N --style none --runs "$count" --warmup 2 --export-json "$name.json" \
    --prepare "sh -c 'cp $file work.conf && sync'" \
    -n program "$program work.conf TLS_KEY pkey TLS_CERT cert" \
    -n script "./script.sh work.conf" \
    -n cp "cp $file work.conf" \
    -n cat "cat $file" \
    -n durable "dd if=$file of=work.conf bs=1M conv=fdatasync status=none" >/dev/null
  python3 - "$name" "$name.json" "$(stat -c %s "$file")" "$memory" >> "$results" <<'PY'
import json, sys
name, path, size, memory = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
medians = {r["command"]: r["median"] for r in json.load(open(path))["results"]}
print("\t".join(map(str, [name, size] + [medians[c] for c in ("program", "script", "cp", "cat", "durable")] + [memory])))
PY
}

# A typical run takes a millisecond or two: more runs for a stable median.
measure typical typical.conf $((runs * 4))
measure large large.conf
measure many many.conf
measure scaling-6MB small.conf

python3 - "$results" <<'PY'
import sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
by = {r[0]: r for r in rows}
print("| workload | size | program | shell script | cp | cat | durable copy | program / script "
      "| program / cp | program / cat | program / durable | peak memory |")
print("|---|---|---|---|---|---|---|---|---|---|---|---|")
for name, size, p, s, c, cat, d, mem in rows:
    p, s, c, cat, d = map(float, (p, s, c, cat, d))
    print(f"| {name} | {int(size)/1e6:.2f} MB | {p*1e3:.1f} ms | {s*1e3:.1f} ms | {c*1e3:.1f} ms "
          f"| {cat*1e3:.1f} ms | {d*1e3:.1f} ms | {p/s:.2f} | {p/c:.2f} | {p/cat:.2f} | {p/d:.2f} "
          f"| {int(mem)/1024:.1f} MiB |")
typical, large, small, many = by["typical"], by["large"], by["scaling-6MB"], by["many"]
ratio = lambda row, column: float(row[2]) / float(row[column])
growth = float(large[2]) / float(small[2])
cp_growth = float(large[4]) / float(small[4])
marginal = (float(large[2]) - float(small[2])) / ((int(large[1]) - int(small[1])) / 1e6) * 1e3
print()
print(f"Scaling: 10 x the data takes {growth:.1f} x as long (cp: {cp_growth:.1f} x); "
      f"marginal cost {marginal:.2f} ms per MB.")
print()
goals = [
    (f"typical: at most 0.25 x the script ({ratio(typical, 3):.2f})", ratio(typical, 3) <= 0.25),
    (f"typical: at most 1.25 x cat ({ratio(typical, 5):.2f})", ratio(typical, 5) <= 1.25),
    (f"large: at most 0.8 x the durable copy ({ratio(large, 6):.2f})", ratio(large, 6) <= 0.8),
    (f"large: at most 1.3 x cp ({ratio(large, 4):.2f})", ratio(large, 4) <= 1.3),
    (f"many: at most 0.1 x the script ({ratio(many, 3):.3f})", ratio(many, 3) <= 0.1),
    (f"scaling: 10 x the data in at most 11 x the time ({growth:.1f})", growth <= 11),
    ("peak memory at most size + 4 MiB (large)",
     int(large[7]) * 1024 <= int(large[1]) + 4 * 1048576),
]
for text, met in goals:
    print(f"- {'met' if met else 'NOT met'}: {text}")
PY
