#!/bin/sh
# Installs into a DESTDIR and checks the tree, and that the installed program
# needs nothing but libc and leaves nothing allocated.
# Usage: install_test.sh <build dir>
set -eu
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
doc=usr/share/doc/credgraft
units=usr/lib/systemd/system
for file in usr/sbin/credgraft usr/share/man/man8/credgraft.8.gz $doc/README.md $doc/copyright \
            $doc/changelog.gz usr/libexec/credgraft/credgraft-hook etc/default/credgraft \
            $units/credgraft-renew.path $units/credgraft-renew.service; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
[ -x "$root/usr/libexec/credgraft/credgraft-hook" ] || fail "hook not executable"
# The hook and the units name the installed paths; the settings file sets nothing.
grep -q '^credgraft=${CREDGRAFT:-/usr/sbin/credgraft}$' "$root/usr/libexec/credgraft/credgraft-hook" \
  || fail "hook's default program"
grep -q '^ExecStart=/usr/libexec/credgraft/credgraft-hook$' "$root/$units/credgraft-renew.service" \
  || fail "service's hook path"
if grep -v '^#' "$root/etc/default/credgraft" | grep -q .; then fail "settings file sets something"; fi

if command -v systemd-analyze >/dev/null 2>&1; then
  # The units as installed, with the hook's path taken into the install tree.
  mkdir "$root/verify"
  sed "s|^ExecStart=|ExecStart=$root|" "$root/$units/credgraft-renew.service" \
    > "$root/verify/credgraft-renew.service"
  cp "$root/$units/credgraft-renew.path" "$root/verify/"
  systemd-analyze verify --man=no "$root/verify/credgraft-renew.path" \
    "$root/verify/credgraft-renew.service" || fail "systemd-analyze verify"
  systemd-analyze security --offline=yes --threshold=40 "$root/verify/credgraft-renew.service" \
    > "$root/security.txt" 2>&1 || { tail -n 3 "$root/security.txt"; fail "sandbox exposure above 4.0"; }
  tail -n 1 "$root/security.txt"
else
  echo "systemd-analyze not found: units not verified"
fi
program="$root/usr/sbin/credgraft"
[ -x "$program" ] || fail "program not executable"
# The installed program reads the default credential directory.
grep -q /var/data/certkeep/latest.key "$program" || fail "credential directory"
zcat "$root/$doc/changelog.gz" | head -n 1 | grep -q "^credgraft (" || fail "changelog"

if [ -z "${CREDGRAFT_TESTS_SANITIZED:-}" ]; then
  # libc is the only library it needs; nothing of the C++ runtime is in it.
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  [ "$needed" = "libc.so.6" ] || fail "needs $needed"
  if readelf -Ws "$program" | grep -v '@GLIBC' | grep -E '__cxa_|_ZSt|_ZNSt|_Znw|_Zdl|__gxx_personality|_Unwind_' >/dev/null; then
    fail "C++ runtime symbols in the program"
  fi
  readelf -S "$program" | grep -q '\.comment' && fail ".comment section installed"
fi

status=0
"$program" 2>/dev/null || status=$?
[ "$status" -eq 4 ] || fail "installed program without arguments exited $status"

# A whole run (its credentials are missing here) leaves 0 bytes in use.
if [ -n "${CREDGRAFT_TESTS_SANITIZED:-}" ]; then
  echo "sanitized build: memory at exit left to the sanitizers"
elif command -v valgrind >/dev/null 2>&1; then
  printf 'A=1\nKEY=old\n' > "$root/app.conf"
  status=0
  valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --error-exitcode=99 --log-file="$root/valgrind.log" \
    "$program" "$root/app.conf" KEY pkey KEY cert 2>/dev/null || status=$?
  [ "$status" -eq 1 ] || { cat "$root/valgrind.log"; fail "under valgrind exited $status"; }
  grep -q "in use at exit: 0 bytes in 0 blocks" "$root/valgrind.log" \
    || { cat "$root/valgrind.log"; fail "memory in use at exit"; }
else
  echo "valgrind not found: memory at exit not checked"
fi
echo "install: all checks passed"
