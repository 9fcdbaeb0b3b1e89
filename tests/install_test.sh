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
for file in usr/sbin/credgraft usr/share/man/man8/credgraft.8.gz $doc/README.md $doc/copyright \
            $doc/changelog.gz $doc/examples/credgraft-hook $doc/examples/credgraft-renew.path \
            $doc/examples/credgraft-renew.service; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
program="$root/usr/sbin/credgraft"
[ -x "$program" ] || fail "program not executable"
# The installed program reads the default credential directory.
grep -q /var/data/certkeep/latest.key "$program" || fail "credential directory"
zcat "$root/$doc/changelog.gz" | head -n 1 | grep -q "^credgraft (" || fail "changelog"

# libc is the only library it needs; nothing of the C++ runtime is in it.
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = "libc.so.6" ] || fail "needs $needed"
if readelf -Ws "$program" | grep -v '@GLIBC' | grep -E '__cxa_|_ZSt|_ZNSt|_Znw|_Zdl|__gxx_personality|_Unwind_' >/dev/null; then
  fail "C++ runtime symbols in the program"
fi
readelf -S "$program" | grep -q '\.comment' && fail ".comment section installed"

status=0
"$program" 2>/dev/null || status=$?
[ "$status" -eq 4 ] || fail "installed program without arguments exited $status"

# A whole run (its credentials are missing here) leaves 0 bytes in use.
if command -v valgrind >/dev/null 2>&1; then
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
