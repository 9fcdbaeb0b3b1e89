#!/bin/sh
# The renewal hook under dash, as a user leaves it: no setting but the ones
# that relocate its files into a temporary directory. The program is the
# test build of credgraft, the keys and certificates are real (openssl), and
# systemctl and logger are stubs that record their calls.
# Usage: hook_test.sh <build dir> <fixture program>
# HOOK_SOURCE=FILE tests another hook source in place of packaging's.
set -u
umask 077
fixture=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
here=$(cd "$(dirname "$0")" && pwd)
source=${HOOK_SOURCE:-$here/../packaging/credgraft-hook.in}
for tool in dash openssl shellcheck flock; do
  command -v "$tool" >/dev/null || { echo "hook test: $tool is needed (scripts/deps.sh)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'kill $holder 2>/dev/null; rm -rf "$work"' EXIT
holder=""
failures=0
failed_cases=""

# check LABEL COMMAND...: one expectation of the current case.
check() {
  label=$1
  shift
  "$@" && return
  failures=$((failures + 1))
  case " $failed_cases " in *" $case "*) ;; *) failed_cases="$failed_cases $case" ;; esac
  echo "FAIL [$case] $label" >&2
  sed 's/^/    /' "$work/calls" "$work/err" | head -n 20 >&2
}
exits() { [ "$status" -eq "$1" ]; }
# restarts UNIT N: the unit was started again N times.
restarts() { [ "$(grep -c "^systemctl [a-z-]*restart $1\$" "$work/calls")" -eq "$2" ]; }
logged() { grep -qE -- "$1" "$work/calls" "$work/err"; }
not() { ! "$@"; }
not_logged() { ! logged "$1"; }
called() { grep -qxF -- "$1" "$work/calls"; }
# holds FILE PAIR: the parameter file carries PAIR's key and certificate.
holds() {
  grep -qx "TLS_KEY=$(base64 -w0 "$work/$2.key")" "$1" &&
    grep -qx "TLS_CERT=$(base64 -w0 "$work/$2.crt")" "$1"
}
untouched() { [ "$(cat "$1")" = "$old_params" ]; }
owes() { [ -e "$work/state/$1.owed" ]; }
runs() { [ "$(grep -c '^credgraft ' "$work/calls")" -eq "$1" ]; }
pair() { cp "$work/$1.key" "$work/certkeep/latest.key" && cp "$work/$1.crt" "$work/certkeep/latest.crt"; }

# The hook, configured as the package configures it, but with the test's
# program and credential directory. The program records its runs and first
# runs $work/on-credgraft, if there is one, to act at that moment.
mkdir "$work/bin" "$work/certkeep"
sed -e "s|@CREDGRAFT_PROGRAM@|$work/bin/credgraft|g" \
  -e "s|@CREDGRAFT_CREDENTIAL_DIR@|$work/certkeep|g" "$source" >"$work/hook"
cat >"$work/bin/credgraft" <<EOF
#!/bin/sh
echo "credgraft \$*" >>"$work/calls"
[ ! -e "$work/on-credgraft" ] || . "$work/on-credgraft"
"$fixture" "\$@"
status=\$?
: >"$work/ran"
exit \$status
EOF
cat >"$work/bin/logger" <<EOF
#!/bin/sh
echo "logger \$*" >>"$work/calls"
EOF
# Units are files holding their state; UNIT.broken fails its restarts,
# UNIT.crashes fails just after; $work/on-restart acts during a restart.
cat >"$work/bin/systemctl" <<EOF
#!/bin/sh
echo "systemctl \$*" >>"$work/calls"
unit="$work/units/\$2"
state=\$(cat "\$unit" 2>/dev/null || echo inactive)
case \$1 in
  is-active) echo "\$state"; [ "\$state" = active ]; exit ;;
  try-restart) [ "\$state" = active ] || exit 0 ;;
esac
[ ! -e "$work/on-restart" ] || . "$work/on-restart"
if [ -e "\$unit.broken" ]; then echo failed >"\$unit"; exit 1; fi
if [ -e "\$unit.crashes" ]; then echo failed >"\$unit"; exit 0; fi
echo active >"\$unit"
EOF
chmod +x "$work/bin/"*

cd "$work" || exit 1
quiet() { "$@" >/dev/null 2>&1 || { echo "hook test: cannot make credentials: $*" >&2; exit 1; }; }
# p1: RSA; p2: EC with the parameters block; p3: a leaf and its CA.
quiet openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=p1 -days 2 -keyout p1.key -out p1.crt
quiet openssl ecparam -genkey -name prime256v1 -out p2.key
quiet openssl req -new -x509 -key p2.key -subj /CN=p2 -days 2 -out p2.crt
quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=ca -days 2 \
  -keyout ca.key -out ca.crt
quiet openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=p3 -keyout p3.key -out p3.csr
quiet openssl x509 -req -in p3.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out p3.leaf
cat p3.leaf ca.crt >p3.crt
quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out other.key
quiet openssl pkey -in p1.key -traditional -out p4.key
cp p1.crt p4.crt
quiet openssl pkey -in p1.key -aes128 -passout pass:x -out encrypted.key
grep -q '^-----BEGIN EC PARAMETERS-----' p2.key || { echo "hook test: no EC PARAMETERS block" >&2; exit 1; }

old_params='A=1
TLS_KEY=old
TLS_CERT=old'

# fresh [DEFAULTS-LINE...]: a host with the one target of the defaults
# file, "default" (the way every earlier release was set up), parameter
# file $work/app.params, service app.service active, credentials p1.
fresh() {
  rm -rf etc run state units on-credgraft on-restart
  mkdir -p etc/credgraft units
  echo active >units/app.service
  printf '%s\n' "$old_params" >app.params
  {
    echo 'CREDGRAFT_SETTLE=0'
    echo "CREDGRAFT_CONF=$work/app.params"
    echo 'CREDGRAFT_PAIRS="TLS_KEY pkey TLS_CERT cert"'
    echo 'CREDGRAFT_SERVICE=app.service'
    for line in "$@"; do echo "$line"; done
  } >etc/default
  pair p1
}

# target NAME [LINE...]: adds /etc/credgraft/NAME.conf for NAME.params and
# NAME.service.
target() {
  name=$1
  shift
  printf '%s\n' "$old_params" >"$name.params"
  echo active >"units/$name.service"
  {
    echo "CREDGRAFT_CONF=$work/$name.params"
    echo 'CREDGRAFT_PAIRS="TLS_KEY pkey TLS_CERT cert"'
    echo "CREDGRAFT_SERVICE=$name.service"
    for line in "$@"; do echo "$line"; done
  } >"etc/credgraft/$name.conf"
}

# hook [VAR=VALUE...] [ARG...]: runs the hook under dash with no setting of
# the caller's, its pid in $work/pid; sets $status, stderr in $work/err.
hook() {
  : >calls
  [ -n "$keep_err" ] || : >err
  rm -f ran
  variables=""
  while [ $# -gt 0 ]; do
    case $1 in
      *=*) variables="$variables $1" ;;
      *) break ;;
    esac
    shift
  done
  status=0
  # shellcheck disable=SC2086,SC2016  # the test's own VAR=VALUE words; $$ is the child's
  env -i PATH="$work/bin:${tools:-$PATH}" HOME="$work" RUNTIME_DIRECTORY="$work/run" \
    STATE_DIRECTORY="$work/state" CREDGRAFT_TARGETS="$work/etc/credgraft" \
    CREDGRAFT_DEFAULTS="$work/etc/default" $variables \
    sh -c 'echo $$ >"$0/pid"; exec dash "$0/hook" "$@"' "$work" "$@" 2>>err || status=$?
  cat calls err >>all-calls
}
keep_err=""

case=shellcheck
check "the hook is clean under shellcheck -s sh" shellcheck -s sh "$source"

# The lock, as the defaults leave it: $RUNTIME_DIRECTORY/NAME.lock, in a
# directory only its user may write, opened or failed loudly.
case=lock
fresh
hook
check "default lock: exit $status" exits 0
check "default lock: restart" restarts app.service 1
check "default lock: lock file" test -f run/default.lock
chmod 0770 run
hook
check "writable lock directory: exit $status" exits 77
check "writable lock directory: logged" logged "err -t credgraft-hook -- default: .*only it can write"
chmod 0700 run
rm -f run/default.lock
mkdir run/default.lock
hook
check "lock not openable: exit $status" exits 73
check "lock not openable: logged" logged "err .*default: cannot open the lock .*default.lock"
rmdir run/default.lock
sh -c 'exec 9>"$1"; flock 9; exec sleep 30' sh run/default.lock &
holder=$!
sleep 0.3
hook CREDGRAFT_LOCK_WAIT=1
kill "$holder"
holder=""
check "lock held: exit $status" exits 75
check "lock held: logged" logged "warning .*default: lock .* not had within 1 seconds"

# The credentials changing under a run: what the file holds after credgraft
# must be the pair checked, or nothing is restarted and the hook looks again.
#   action while credgraft starts              exit restarts runs holds
case=changing_credentials
while read -r action want_exit want_restarts want_runs want_pair; do
  fresh
  case $action in
    new-key) echo "cp $work/p2.key certkeep/latest.key; rm -f $work/on-credgraft" >on-credgraft ;;
    new-pair) echo "cp $work/p2.key certkeep/; mv certkeep/p2.key certkeep/latest.key; cp $work/p2.crt certkeep/latest.crt; rm -f $work/on-credgraft" >on-credgraft ;;
    no-key) echo "rm -f certkeep/latest.key $work/on-credgraft" >on-credgraft ;;
    always) cat >on-credgraft <<'ACTION'
n=$(cat next); cp "$n.key" certkeep/latest.key; cp "$n.crt" certkeep/latest.crt
if [ "$n" = p2 ]; then echo p1 >next; else echo p2 >next; fi
ACTION
      ;;
  esac
  echo p2 >next
  hook
  check "$action: exit $status" exits "$want_exit"
  check "$action: restarts" restarts app.service "$want_restarts"
  check "$action: credgraft runs" runs "$want_runs"
  [ "$want_pair" = - ] || check "$action: pair" holds app.params "$want_pair"
  [ "$want_exit" -eq 0 ] || check "$action: restart owed" owes default
  [ "$want_exit" -eq 0 ] || check "$action: logged" logged "warning .*default: "
done <<'EOF'
new-key   75 0 1 -
new-pair   0 1 2 p2
no-key    75 0 1 -
always    75 0 3 -
EOF

# A renewal during the restart is not lost: the hook looks once more.
case=renewal_during_restart
fresh
echo "rm -f $work/on-restart; cp $work/p2.key certkeep/latest.key; cp $work/p2.crt certkeep/latest.crt" >on-restart
hook
check "exit $status" exits 0
check "two restarts" restarts app.service 2
check "the new pair" holds app.params p2
check "nothing owed" not owes default

# An interrupted hook never loses a restart. The hook's processes are
# killed, or stopped as systemd does (KillMode=mixed: the main process;
# or the whole group, as timeout and a terminal do), while credgraft runs.
#   signal  whom                   exit restarts owed next-run-restarts
case=interrupted
while read -r signal whom want_exit want_restarts want_owed want_next; do
  fresh
  case $whom in
    main) pids="\$(cat $work/pid)" ;;
    group) pids="\$(cat $work/pid) \$PPID" ;;
  esac
  echo "[ -e state/default.owed ] && touch $work/owed-first; rm -f $work/on-credgraft; kill -$signal $pids" >on-credgraft
  rm -f owed-first
  hook
  # A killed hook leaves its credgraft to finish alone.
  tries=0
  while [ ! -e ran ] && [ "$tries" -lt 50 ]; do sleep 0.1; tries=$((tries + 1)); done
  check "$signal $whom: exit $status" exits "$want_exit"
  check "$signal $whom: restarts" restarts app.service "$want_restarts"
  check "$signal $whom: the record before credgraft" test -e owed-first
  check "$signal $whom: record kept" [ "$(owes default && echo yes || echo no)" = "$want_owed" ]
  hook
  check "$signal $whom: next run: exit $status" exits 0
  check "$signal $whom: next run: restarts" restarts app.service "$want_next"
  check "$signal $whom: next run: nothing owed" not owes default
  check "$signal $whom: pair" holds app.params p1
  [ "$want_next" -eq 0 ] || check "$signal $whom: owed restart logged" logged \
    "notice .*default: nothing changed in .*app.params, but an earlier run owed a restart; app.service restarted"
done <<'EOF'
KILL group 137 0 yes 1
TERM main    0 1 no  0
TERM group   0 1 no  0
HUP  group   0 1 no  0
EOF
# A failed restart stays owed, and the next run performs it.
fresh
touch units/app.service.broken
hook
check "failed restart: exit $status" exits 1
check "failed restart: owed" owes default
rm units/app.service.broken
hook
check "owed restart of a failed service: exit $status" exits 0
check "owed restart of a failed service: restart" called "systemctl restart app.service"
check "owed restart of a failed service: paid" not owes default

# A credential whose Base64 text would not fit a value (16000 characters,
# 12000 bytes) is refused before credgraft runs.
case=too_big
fresh
for size in 12001 12000; do
  printf '%s\n' "$old_params" >app.params
  cp p1.crt certkeep/latest.crt
  while [ $(($(wc -c <certkeep/latest.crt) + $(wc -c <p1.crt))) -lt "$size" ]; do
    cat p1.crt >>certkeep/latest.crt
  done
  pad=$((size - $(wc -c <certkeep/latest.crt) - 1))
  head -c "$pad" /dev/zero | tr '\0' x >>certkeep/latest.crt
  echo >>certkeep/latest.crt
  hook
  if [ "$size" -eq 12001 ]; then
    check "$size bytes: exit $status" exits 1
    check "$size bytes: file untouched" untouched app.params
    check "$size bytes: no restart" restarts app.service 0
    check "$size bytes: credgraft not run" runs 0
    check "$size bytes: logged" logged "err .*default: $work/certkeep/latest.crt: is 12001 bytes"
  else
    check "$size bytes: exit $status" exits 0
    check "$size bytes: restart" restarts app.service 1
    check "$size bytes: value of 16000" grep -qE '^TLS_CERT=.{16000}$' app.params
  fi
done

# The program and the credential directory are fixed: the old settings are
# ignored, with a warning, wherever they are still set.
case=fixed_paths
fresh CREDGRAFT_CREDENTIAL_DIR="$work/elsewhere" CREDGRAFT=/bin/false \
  key="$work/elsewhere/latest.key" program=/bin/false
mkdir -p elsewhere
cp other.key elsewhere/latest.key
cp p1.crt elsewhere/latest.crt
hook CREDGRAFT_LOCK=/nonexistent/lock
check "exit $status" exits 0
check "the checked pair written" holds app.params p1
check "restart" restarts app.service 1
for name in CREDGRAFT_CREDENTIAL_DIR CREDGRAFT CREDGRAFT_LOCK; do
  check "$name warned" logged "warning .*-- $name, set in .*, is no longer a setting"
done

# The restart: try-restart for an active service, restart for a failed one,
# nothing for a stopped one; the service must be active afterwards.
#   state     extra     exit  call        logged
case=restart
while read -r state extra want_exit want_call want_log; do
  fresh
  echo "$state" >units/app.service
  case $extra in
    broken | crashes) touch "units/app.service.$extra" ;;
    reload) echo 'CREDGRAFT_RESTART="systemctl reload app.service"' >>etc/default ;;
  esac
  hook
  check "$state $extra: exit $status" exits "$want_exit"
  if [ "$want_call" = none ]; then
    check "$state $extra: left alone" not_logged "^systemctl [a-z-]*(restart|reload) "
  else
    check "$state $extra: $want_call" called "systemctl $want_call app.service"
    check "$state $extra: one call" [ "$(grep -cE '^systemctl [a-z-]*(restart|reload) ' calls)" -eq 1 ]
  fi
  check "$state $extra: file written" holds app.params p1
  check "$state $extra: logged" logged "-- default: TLS_KEY, TLS_CERT changed in $work/app.params; $want_log\$"
done <<'EOF'
active   -       0 try-restart app.service restarted
failed   -       0 restart     app.service restarted after it had failed
inactive -       0 none        app.service is inactive and left so
active   reload  0 reload      CREDGRAFT_RESTART run for app.service
failed   broken  1 restart     systemctl restart app.service failed with status 1
active   crashes 1 try-restart app.service restarted, but it is failed now
EOF

# Which credentials are fit: any private key openssl reads, a certificate
# file of the leaf and its chain; a refusal names the file and the fault.
#   key           cert          exit  logged
case=credentials
while read -r key cert want_exit want_log; do
  fresh
  case $key in
    empty) : >certkeep/latest.key ;;
    half) head -c 200 p1.key >certkeep/latest.key ;;
    missing) rm certkeep/latest.key ;;
    *) cp "$key" certkeep/latest.key ;;
  esac
  case $cert in
    cut-chain) { cat p3.leaf; head -c 300 ca.crt; } >certkeep/latest.crt ;;
    *) cp "$cert" certkeep/latest.crt ;;
  esac
  hook
  check "$key $cert: exit $status" exits "$want_exit"
  if [ "$want_exit" -eq 0 ]; then
    check "$key $cert: restart" restarts app.service 1
  else
    check "$key $cert: untouched" untouched app.params
    check "$key $cert: no restart" restarts app.service 0
    check "$key $cert: logged" logged "warning .*default: $work/certkeep/latest.$want_log.*; credgraft not run for $work/app.params"
  fi
done <<'EOF'
p2.key        p2.crt     0  -
p3.key        p3.crt     0  -
p4.key        p4.crt     0  -
empty         p1.crt     75 key: not a complete private key: empty
half          p1.crt     75 key: not a complete private key: the PRIVATE KEY block has no END line \(cut short\?\)
missing       p1.crt     75 key: missing
other.key     p1.crt     75 key: does not belong to the first certificate in .*latest.crt
encrypted.key p1.crt     75 key: openssl cannot read it as an unencrypted private key
p1.key        p1.key     75 crt: not a complete certificate: its first block is PRIVATE KEY, not CERTIFICATE
p3.key        cut-chain  75 crt: not a complete certificate: the CERTIFICATE block has no END line \(cut short\?\)
p1.key        p2.crt     75 key: does not belong
EOF

# The outcome in one line: on standard error with its priority under
# systemd, through logger otherwise.
case=logging
fresh
: >err
keep_err=yes
hook JOURNAL_STREAM="$(stat -c %d:%i err)"
keep_err=""
check "journal: exit $status" exits 0
check "journal: the line" grep -qx "<5>default: TLS_KEY, TLS_CERT changed in $work/app.params; app.service restarted" err
check "journal: no logger" not_logged "^logger "
hook JOURNAL_STREAM=1:1
check "elsewhere: logger" called "logger -p daemon.info -t credgraft-hook -- default: nothing changed in $work/app.params"
check "elsewhere: one line" [ "$(grep -c '^logger ' calls)" -eq 1 ]

# Without openssl only the PEM text is checked, and that is said.
case=no_openssl
mkdir tools
for tool in sh dash env cat rm stat date awk cksum sync flock sleep wc sed mkdir id; do
  ln -s "$(command -v "$tool")" tools/
done
#   key        exit
while read -r key want_exit; do
  fresh
  case $key in
    half) head -c 200 p1.key >certkeep/latest.key ;;
    *) cp "$key" certkeep/latest.key ;;
  esac
  tools=$work/tools
  hook
  tools=""
  check "$key: exit $status" exits "$want_exit"
  [ "$want_exit" -ne 0 ] || check "$key: said" logged "notice .*default: openssl not found"
done <<'EOF'
other.key 0
half      75
EOF

# Credentials still being written: the hook waits until they settle.
case=settle
fresh CREDGRAFT_SETTLE=1
rm -f written
(for _ in 1 2 3; do cp p1.key certkeep/latest.key; sleep 0.5; done; touch written) &
writer=$!
echo "[ -e written ] || touch $work/early" >on-credgraft
rm -f early
hook
wait "$writer"
check "exit $status" exits 0
check "waited for the writer" test ! -e early
check "restart" restarts app.service 1

# Several services: /etc/credgraft/NAME.conf each, with the defaults file's
# target as "default"; each its own lock and restart; one failing target
# stops no other, and the exit and the log name it.
case=services
fresh 'CREDGRAFT_RESTART="systemctl reload app.service"'
target a
target b 'CREDGRAFT_SETTLE=bad'
target c
sed -i /CREDGRAFT_SERVICE/d etc/credgraft/c.conf
target d
echo "CREDGRAFT_CONF=$work/missing.params" >>etc/credgraft/d.conf
target e 'CREDGRAFT_PAIRS="TLS_KEY pkey TLS_CERT"'
target f 'if then'
target 'g h'
target i 'CREDGRAFT_RESTART="systemctl reload i.service"'
hook
check "all: exit $status" exits 78
check "all: default reloaded" called "systemctl reload app.service"
check "all: a restarted alone" restarts a.service 1
check "all: i reloaded" called "systemctl reload i.service"
check "all: i not restarted" restarts i.service 0
check "all: a written" holds a.params p1
check "all: locks" test -f run/a.lock -a -f run/i.lock -a -f run/default.lock
for line in "b: CREDGRAFT_SETTLE and CREDGRAFT_LOCK_WAIT must be whole seconds" \
  "c: CREDGRAFT_SERVICE is not set in $work/etc/credgraft/c.conf" \
  "d: credgraft exited with status 2 for $work/missing.params" \
  "e: CREDGRAFT_PAIRS in $work/etc/credgraft/e.conf must be pairs" \
  "f: $work/etc/credgraft/f.conf is not a file of shell assignments" \
  "$work/etc/credgraft/g h.conf: not a valid target name" \
  "failed targets: b \(exit 78\) c \(exit 78\) d \(exit 2\) e \(exit 78\) f \(exit 78\) \(files with bad names\)"; do
  check "all: $line" logged "err -t credgraft-hook -- $line"
done
printf '%s\n' "$old_params" >a.params
printf '%s\n' "$old_params" >i.params
hook a
check "one: exit $status" exits 0
check "one: a only" runs 1
check "one: a restarted" restarts a.service 1
check "one: no summary" not_logged "failed targets"
#   arguments    exit  logged
while IFS='|' read -r args want_exit want_log; do
  # shellcheck disable=SC2086  # the arguments are meant to split
  hook $args
  check "$args: exit $status" exits "$want_exit"
  check "$args: logged" logged "err -t credgraft-hook -- $want_log"
done <<'EOF'
nosuch|78|no target nosuch
../a|64|"../a" is not a target name
.a|64|".a" is not a target name
a b|64|usage: credgraft-hook \[NAME\]
EOF
rm -f etc/credgraft/* etc/default
hook
check "none: exit $status" exits 78
check "none: logged" logged "err -t credgraft-hook -- no target configured"

case=secrecy
grep -hv -e '-----' ./*.key | while read -r line; do
  [ ${#line} -lt 16 ] || not grep -qF -- "$line" all-calls || { echo "key material logged" >&2; exit 1; }
done || check "key material logged" false
check "key text logged" not grep -q -- '-----BEGIN' all-calls

if [ "$failures" -ne 0 ]; then
  echo "hook: $failures failed checks in:$failed_cases" >&2
  exit 1
fi
echo "hook: all checks passed"
