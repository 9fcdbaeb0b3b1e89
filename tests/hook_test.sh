#!/bin/sh
# The installed renewal hook's decision table, with the real program and the
# real openssl; systemctl and logger are stubs that record their calls.
# Usage: hook_test.sh <build dir> <fixture program>
set -eu
build=$1
program=$2
work=$(mktemp -d)
holder=""
trap '[ -z "$holder" ] || kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v openssl >/dev/null || fail "openssl is needed (scripts/deps.sh installs it)"

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
hook="$work/root/usr/libexec/credgraft/credgraft-hook"
[ -x "$hook" ] || fail "hook not installed executable"

mkdir "$work/bin" "$work/run"
for stub in systemctl logger; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/calls"\n' "$stub" "$work" > "$work/bin/$stub"
  chmod +x "$work/bin/$stub"
done
cd "$work/run"
mkdir certkeep
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=hook-test \
  -days 2 -keyout good.key -out good.crt 2>/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out other.key 2>/dev/null
cp good.key certkeep/latest.key
cp good.crt certkeep/latest.crt
# Settings the file gives, and the environment overrides.
printf 'CREDGRAFT_SERVICE=from-file.service\nCREDGRAFT_CONF=not-this.conf\n' > defaults
before='A=1
TLS_KEY=old
TLS_CERT=old
'
printf '%s' "$before" > params.conf

# hook [VAR=VALUE...]: runs the hook; sets $status, keeps its stderr in err.
hook() {
  : > "$work/calls"
  status=0
  env PATH="$work/bin:$PATH" CREDGRAFT="$program" CREDGRAFT_CONF=params.conf \
    CREDGRAFT_DEFAULTS="$work/run/defaults" CREDGRAFT_CREDENTIAL_DIR=certkeep \
    CREDGRAFT_LOCK="$work/lock" CREDGRAFT_SETTLE=0 "$@" "$hook" 2> err || status=$?
  cat "$work/calls" >> "$work/all-calls"
}
restarts() { grep -c '^systemctl ' "$work/calls" || true; }
logged() { grep -q "^logger .*$1" "$work/calls" || { cat "$work/calls"; fail "not logged: $1"; }; }
untouched() { [ "$(cat params.conf)" = "$(printf '%s' "$before")" ] || fail "$1: file changed"; }

# Happy path: one restart, the stopped-stays-stopped kind, of the service the
# file names.
hook
[ "$status" -eq 0 ] || fail "happy path exited $status: $(cat err)"
grep -q '^TLS_KEY=LS0t' params.conf || fail "key not written"
[ "$(restarts)" -eq 1 ] || fail "restarts after a change: $(restarts)"
grep -q '^systemctl try-reload-or-restart from-file.service$' "$work/calls" || fail "restart command"

# Nothing changed: no restart.
hook
[ "$status" -eq 0 ] || fail "unchanged exited $status"
[ "$(restarts)" -eq 0 ] || fail "restart without a change"

# Unfit credentials: 75, the file untouched, no restart, a warning naming it.
printf '%s' "$before" > params.conf
for case in empty half other; do
  case $case in
    empty) : > certkeep/latest.key ;;
    half) head -c 100 good.key > certkeep/latest.key ;;
    other) cp other.key certkeep/latest.key ;;
  esac
  hook
  [ "$status" -eq 75 ] || fail "$case key exited $status"
  untouched "$case key"
  [ "$(restarts)" -eq 0 ] || fail "restart with a $case key"
  logged "daemon.warning -t credgraft-hook -- certkeep/latest.key: "
done
cp good.key certkeep/latest.key

# A missing certificate: 75.
mv certkeep/latest.crt cert.saved
hook
[ "$status" -eq 75 ] || fail "missing certificate exited $status"
logged "certkeep/latest.crt: missing"
mv cert.saved certkeep/latest.crt

# Files still changing: the hook waits until they have settled, then runs.
( for i in 1 2 3 4; do cp good.key certkeep/latest.key; sleep 0.5; done ) &
writer=$!
started=$(date +%s)
hook CREDGRAFT_SETTLE=2
wait "$writer"
[ "$status" -eq 0 ] || fail "settling exited $status: $(cat err)"
[ $(($(date +%s) - started)) -ge 3 ] || fail "the hook did not wait for the key to settle"
[ "$(restarts)" -eq 1 ] || fail "restarts after settling: $(restarts)"

# A lock held past the wait: 75, logged, not "nothing changed".
# The holder is the sleep itself, so that killing it frees the lock.
sh -c 'exec 9>"$1"; flock 9; exec sleep 30' sh "$work/lock" &
holder=$!
sleep 0.5
hook CREDGRAFT_LOCK_WAIT=1
kill "$holder"
holder=""
[ "$status" -eq 75 ] || fail "lock timeout exited $status"
logged "daemon.warning .*lock"

# A chain too long for one value: cut, so unusable: 1, logged, no restart.
: > certkeep/latest.crt
for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25; do
  cat good.crt >> certkeep/latest.crt
done
printf '%s' "$before" > params.conf
hook CREDGRAFT_PAIRS="TLS_CERT cert"
[ "$status" -eq 1 ] || fail "cut value exited $status"
grep -q 'Value of TLS_CERT cut' err || fail "program's messages not passed on"
logged "daemon.err .*cut"
[ "$(restarts)" -eq 0 ] || fail "restart with a cut value"
cp good.crt certkeep/latest.crt

# The program cannot read what the hook checked: 1 and logged.
mkdir checked
cp good.crt checked/latest.crt
cp good.key checked/latest.key
mv certkeep/latest.key key.saved
hook CREDGRAFT_CREDENTIAL_DIR=checked CREDGRAFT_PAIRS="TLS_KEY pkey"
[ "$status" -eq 1 ] || fail "unreadable credential exited $status"
logged "daemon.err .*could not read"
mv key.saved certkeep/latest.key

# A failing program: its status is passed on.
hook CREDGRAFT_CONF=missing.conf
[ "$status" -eq 2 ] || fail "missing parameter file exited $status"
logged "daemon.err .*status 2"

# No key material in anything logged.
for line in $(grep -v -e '-----' good.key other.key); do
  [ ${#line} -lt 16 ] && continue
  if grep -qF "$line" "$work/all-calls"; then fail "key material logged"; fi
done
if grep -q 'PRIVATE' "$work/all-calls"; then fail "key text logged"; fi

echo "hook: all checks passed"
