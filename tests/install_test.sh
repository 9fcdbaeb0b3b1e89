#!/bin/sh
# Installs into a DESTDIR and checks the tree.
# Usage: install_test.sh <build dir>
set -eu
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
for file in usr/sbin/credgraft usr/share/man/man8/credgraft.8.gz usr/share/doc/credgraft/README.md \
            usr/share/doc/credgraft/examples/credgraft-hook \
            usr/share/doc/credgraft/examples/credgraft-renew.path \
            usr/share/doc/credgraft/examples/credgraft-renew.service; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
[ -x "$root/usr/sbin/credgraft" ] || fail "program not executable"
# The installed program reads the default credential directory.
grep -q /var/data/certkeep/latest.key "$root/usr/sbin/credgraft" || fail "credential directory"
status=0
"$root/usr/sbin/credgraft" 2>/dev/null || status=$?
[ "$status" -eq 4 ] || fail "installed program without arguments exited $status"
echo "install: all checks passed"
