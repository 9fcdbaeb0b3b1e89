#!/bin/sh
# Boots a Debian 12 container with systemd as PID 1 and runs the renewal
# integration in it the way an administrator meets it: the package built by
# this run, the README's Integration section followed as written, a real
# service reading the parameter file, and the renewal scenarios, the upgrade
# from release 1.2.0 included.
# Usage, as root, from anywhere: tests/systemd/run.sh [credgraft_*.deb]
# (default: the one build/ci holds). The container's root is made once with
# debootstrap, and the 1.2.0 package once from its commit; both are kept
# under build/, and every run boots a fresh copy of the root.
# Exits with the scenarios' status: 0 when every one passed.
set -eu
cd "$(dirname "$0")/../.."
project=$(pwd)
started=$(date +%s)
say() { echo "[systemd $(($(date +%s) - started))s] $*"; }

scripts/deps.sh systemd-container debootstrap

# The release an upgrade starts from, built from its commit without tests.
old_commit=d11f631
old=build/credgraft-$old_commit
old_deb=$old/credgraft_1.2.0_amd64.deb
if [ ! -s "$old_deb" ]; then
  say "building the 1.2.0 package from $old_commit (once; kept as $old_deb)"
  rm -rf "$old"
  mkdir -p "$old/src"
  if ! { git archive "$old_commit" | tar -x -C "$old/src" &&
      cmake -S "$old/src" -B "$old/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCREDGRAFT_BENCHMARKS=OFF && cmake --build "$old/build" -j2 &&
      (cd "$old/build" && cpack -G DEB); } > "$old.log" 2>&1; then
    tail -n 20 "$old.log"
    echo "could not build the 1.2.0 package" >&2
    exit 2
  fi
  mv "$old"/build/credgraft_1.2.0_amd64.deb "$old_deb"
fi

deb=${1:-}
if [ -z "$deb" ]; then
  for deb in build/ci/credgraft_*.deb; do :; done
fi
[ -f "$deb" ] || { echo "no package to install: build it with (cd build/ci && cpack -G DEB)" >&2; exit 2; }
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")


# The mirror this machine's apt uses for bookworm: deb822 sources first,
# then one-line ones.
mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v RS= '
  { uri = ""; ours = 0; n = split($0, line, "\n")
    for (i = 1; i <= n; i++) {
      split(line[i], word, /[ \t]+/)
      if (word[1] == "URIs:") uri = word[2]
      if (word[1] == "Suites:") for (j = 2; j in word; j++) if (word[j] == "bookworm") ours = 1
    }
    if (ours && uri != "") { print uri; exit } }')
if [ -z "$mirror" ]; then
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '
    $1 == "deb" { i = 2; if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                  if ($(i + 1) == "bookworm") { print $i; exit } }')
fi

include=systemd,systemd-sysv,dbus,openssl,procps
cache=build/systemd-root-$(printf %s "$include" | cksum | cut -d' ' -f1).tar
if [ ! -s "$cache" ]; then
  [ -n "$mirror" ] || { echo "no bookworm mirror in /etc/apt/sources.list*" >&2; exit 2; }
  say "making the container's root with debootstrap (once; kept as $cache)"
  mkdir -p build
  rm -rf build/systemd-root.new
  if ! timeout 400 debootstrap --variant=minbase --include="$include" bookworm build/systemd-root.new "$mirror" \
      > build/systemd-debootstrap.log 2>&1; then
    tail -n 20 build/systemd-debootstrap.log
    rm -rf build/systemd-root.new
    echo "debootstrap failed" >&2
    exit 2
  fi
  # Services that are not root must be able to walk the tree from /.
  chmod 755 build/systemd-root.new
  tar -C build/systemd-root.new -cf "$cache.part" . && mv "$cache.part" "$cache"
  rm -rf build/systemd-root.new
fi

work=$(mktemp -d "$project/build/systemd-run.XXXXXX")
root=$work/root
nspawn=""
pid1=""
logs=$project/build/systemd-logs
rm -rf "$logs"
mkdir -p "$logs"

stop_container() {
  status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$pid1" ] && [ "$status" -ne 0 ]; then
    timeout 20 nsenter -t "$pid1" -a -r -w journalctl -b --no-pager > "$logs/journal.txt" 2>&1 || true
  fi
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    # SIGTERM makes systemd-nspawn ask the container to halt; then it is killed.
    kill -TERM "$nspawn" 2>/dev/null || true
    tries=0
    while kill -0 "$nspawn" 2>/dev/null && [ "$tries" -lt 40 ]; do
      sleep 0.25
      tries=$((tries + 1))
    done
    kill -KILL "$nspawn" 2>/dev/null || true
    [ -z "$pid1" ] || kill -KILL "$pid1" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
  fi
  cp "$work/console.txt" "$logs/" 2>/dev/null || true
  rm -rf "$work"
  say "container stopped; logs in $logs"
  exit "$status"
}
trap stop_container EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

say "copying the root"
mkdir "$root"
tar -C "$root" -xf "$cache"
chmod 755 "$root"
mkdir "$root/root/credgraft-test"
cp "$deb" README.md tests/systemd/scenarios.sh tests/systemd/consumer.sh "$root/root/credgraft-test/"
# A library that leaves a mark when anything loads it: the scenarios show
# that a settings line never reaches the loader.
printf '%s\n' '#include <fcntl.h>' '#include <unistd.h>' \
  '__attribute__((constructor)) static void mark(void) {' \
  '  int fd = open("/etc/myapp/pwned", O_WRONLY | O_CREAT, 0600);' \
  '  if (fd >= 0) close(fd);' '}' |
  cc -shared -fPIC -x c -o "$root/root/credgraft-test/preload.so" - || say "no marking library: cc failed"
# Apart, so that the README's "dpkg -i credgraft_*_amd64.deb" finds one.
mkdir "$root/root/credgraft-1.2.0"
cp "$old_deb" "$root/root/credgraft-1.2.0/"

say "booting"
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 timeout -k 10 840 systemd-nspawn -D "$root" -b --register=no --keep-unit \
  --private-network --console=pipe > "$work/console.txt" 2>&1 </dev/null &
nspawn=$!

# The container's systemd: a descendant of the nspawn process that is PID 1
# in its own PID namespace.
find_pid1() {
  cat /proc/[0-9]*/status 2>/dev/null | awk -v top="$nspawn" '
    function keep() { if (pid != "") { parent[pid] = ppid; if (init) inits[pid] = 1 } }
    $1 == "Name:" { keep(); pid = ""; ppid = ""; init = 0 }
    $1 == "Pid:" { pid = $2 }
    $1 == "PPid:" { ppid = $2 }
    $1 == "NSpid:" { init = NF >= 3 && $NF == 1 }
    END {
      keep()
      for (p in inits) {
        q = p
        for (hops = 0; hops < 8 && q != top && (q in parent); hops++) q = parent[q]
        if (q == top) { print p; exit }
      }
    }'
}
tries=0
while [ -z "$pid1" ]; do
  kill -0 "$nspawn" 2>/dev/null || { cat "$work/console.txt"; echo "systemd-nspawn ended" >&2; exit 2; }
  [ "$tries" -lt 100 ] || { echo "no init in the container after 20 s" >&2; exit 2; }
  tries=$((tries + 1))
  sleep 0.2
  pid1=$(find_pid1)
done

# inside COMMAND...: runs COMMAND in the container, as its root, with a clean
# environment.
inside() {
  nsenter -t "$pid1" -a -r -w env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb SYSTEMD_PAGER=cat "$@"
}

# The bus socket appears a moment after the start.
tries=0
until state=$(timeout 20 nsenter -t "$pid1" -a -r -w systemctl is-system-running --wait 2>/dev/null); \
    [ "$state" = running ] || [ "$state" = degraded ]; do
  tries=$((tries + 1))
  [ "$tries" -lt 20 ] || { cat "$work/console.txt"; echo "the container did not come up: ${state:-no answer}" >&2; exit 2; }
  sleep 0.5
done
say "container up ($state), init is pid $pid1"
[ "$state" = running ] || inside systemctl --failed --no-pager

set +e
timeout -k 10 720 nsenter -t "$pid1" -a -r -w env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 TERM=dumb SYSTEMD_PAGER=cat \
  sh /root/credgraft-test/scenarios.sh "/root/credgraft-test/$(basename "$deb")" \
  /root/credgraft-1.2.0/credgraft_1.2.0_amd64.deb 2>&1 | tee "$logs/scenarios.txt"
set -e
summary=$(tail -n 1 "$logs/scenarios.txt")
case $summary in
  *" passed, 0 failed") ;;
  *" passed, "*" failed") exit 1 ;;
  *) echo "the scenarios were cut short after 720 s"; exit 1 ;;
esac
say "done"
