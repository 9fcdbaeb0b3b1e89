#!/bin/sh
# The renewal hook and credgraft-target under dash, outside systemd: the
# unit's view is made with links (the snapshot at the credential directory,
# the live files in RUNTIME_DIRECTORY/live), its settings are given the way
# EnvironmentFile= gives them, the program is the test build of credgraft,
# the keys and certificates are real (openssl), and systemctl and journalctl
# are stubs that record their calls.
# Usage: hook_test.sh <build dir> <fixture program>
set -u
umask 077
fixture=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
here=$(cd "$(dirname "$0")" && pwd)
for tool in dash openssl shellcheck; do
  command -v "$tool" >/dev/null || { echo "hook test: $tool is needed (scripts/deps.sh)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
restarts() { [ "$(grep -cE "^systemctl (restart|reload|reload-or-restart) $1\$" "$work/calls")" -eq "$2" ]; }
logged() { grep -qE -- "$1" "$work/err"; }
not() { ! "$@"; }
called() { grep -qxF -- "$1" "$work/calls"; }
holds() { # PAIR: the parameter file carries PAIR's key and certificate
  grep -qx "TLS_KEY=$(base64 -w0 "$work/$1.key")" "$work/app.params" &&
    grep -qx "TLS_CERT=$(base64 -w0 "$work/$1.crt")" "$work/app.params"
}
untouched() { [ "$(cat "$work/app.params")" = "$old_params" ]; }
owes() { [ -e "$work/state/app.owed" ]; }
runs() { [ "$(grep -c '^credgraft ' "$work/calls")" -eq "$1" ]; }
pair() { cp "$work/$1.key" "$work/live/latest.key" && cp "$work/$2.crt" "$work/live/latest.crt"; }
old_params='A=1
TLS_KEY=old
TLS_CERT=old'

# The scripts, as the package makes them, with the test's directories. The
# program records its runs and first runs $work/on-credgraft, if there is
# one, to act at that moment; a unit is a file holding its state, and
# UNIT.broken fails its restarts, UNIT.crashes fails just after, UNIT.hangs
# never ends one. $work/on-restart acts during a restart.
mkdir "$work/bin" "$work/live" "$work/units"
sed -e "s|@CREDGRAFT_PROGRAM@|$work/bin/credgraft|" -e "s|@CREDGRAFT_CREDENTIAL_DIR@|$work/certkeep|" \
  -e "s|/etc/default/credgraft|$work/etc/default|" -e "s|/etc/credgraft/|$work/etc/credgraft/|" \
  -e "s|^restart_seconds=.*|restart_seconds=1|" "$here/../packaging/credgraft-hook.in" >"$work/hook"
sed -e "s|/etc/credgraft|$work/etc/credgraft|" -e "s|/etc/systemd/system|$work/systemd|" \
  -e "s|/var/lib/credgraft|$work/state|" "$here/../packaging/credgraft-target.in" >"$work/target"
cat >"$work/bin/credgraft" <<EOF
#!/bin/sh
echo "credgraft \$*" >>"$work/calls"
[ ! -e "$work/on-credgraft" ] || . "$work/on-credgraft"
exec "$fixture" "\$@"
EOF
cat >"$work/bin/systemctl" <<EOF
#!/bin/sh
echo "systemctl \$*" | sed 's/ -- / /' >>"$work/calls"
for last; do :; done
unit="$work/units/\$last"
state=\$(cat "\$unit" 2>/dev/null || echo inactive)
case \$1 in
  show) if [ -e "\$unit" ]; then echo loaded; else echo not-found; fi; exit ;;
  is-active) echo "\$state"; [ "\$state" = active ]; exit ;;
  is-failed) exit 1 ;;
  restart | reload | reload-or-restart) ;;
  start) [ ! -e "$work/on-start" ] || . "$work/on-start"; exit ;;
  *) exit 0 ;;
esac
[ ! -e "$work/on-restart" ] || . "$work/on-restart"
[ ! -e "\$unit.hangs" ] || exec sleep 30
if [ -e "\$unit.broken" ]; then echo failed >"\$unit"; exit 1; fi
if [ -e "\$unit.crashes" ]; then echo failed >"\$unit"; exit 0; fi
echo active >"\$unit"
EOF
printf '#!/bin/sh\necho "journalctl $*" >>"%s/calls"\ncat "%s/journal" 2>/dev/null\n' "$work" "$work" \
  >"$work/bin/journalctl"
chmod +x "$work/bin/"*

cd "$work" || exit 1
quiet() { "$@" >/dev/null 2>&1 || { echo "hook test: cannot make credentials: $*" >&2; exit 1; }; }
# p1: RSA; p2: EC with the parameters block; p3: a leaf and its CA; p4: an
# old-style RSA key; near: three days left of 33; expired: ended last year.
quiet openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=p1 -days 2 -keyout p1.key -out p1.crt
quiet openssl ecparam -genkey -name prime256v1 -out p2.key
quiet openssl req -new -x509 -key p2.key -subj /CN=p2 -days 2 -out p2.crt
quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=ca -days 2 \
  -keyout ca.key -out ca.crt
quiet openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=p3 -keyout p3.key -out p3.csr
quiet openssl x509 -req -in p3.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out p3.leaf
cat p3.leaf ca.crt >p3.crt
quiet openssl pkey -in p1.key -traditional -out p4.key
cp p1.crt p4.crt
quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out other.key
quiet openssl pkey -in p1.key -aes128 -passout pass:x -out encrypted.key
mkdir ca
: >ca/index.txt
echo 01 >ca/serial
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=ca/index.txt\nserial=ca/serial\nnew_certs_dir=ca\n%s\n' \
  'default_md=sha256
policy=p
unique_subject=no
[p]
commonName=supplied' >ca.cnf
for dated in "near -30 +3" "expired -400 -30"; do
  # shellcheck disable=SC2086  # the words of the line
  set -- $dated
  quiet openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$1" -keyout "$1.key" -out "$1.csr"
  quiet openssl ca -batch -notext -config ca.cnf -selfsign -keyfile "$1.key" -in "$1.csr" -out "$1.crt" \
    -startdate "$(date -u -d "$2 days" +%Y%m%d%H%M%SZ)" -enddate "$(date -u -d "$3 days" +%Y%m%d%H%M%SZ)"
done
grep -q '^-----BEGIN EC PARAMETERS-----' p2.key || { echo "hook test: no EC PARAMETERS block" >&2; exit 1; }

# fresh [LINE...]: target "app" (parameter file app.params, service
# app.service, active), settled credentials p1, LINEs added to app.conf.
fresh() {
  rm -rf etc run state on-credgraft on-restart on-start units/* systemd certkeep
  mkdir -p etc/credgraft run/checked state
  ln -s "$work/run/checked" certkeep
  ln -s "$work/live" run/live
  echo active >units/app.service
  printf '%s\n' "$old_params" >app.params
  {
    echo "CREDGRAFT_CONF=$work/app.params"
    echo 'CREDGRAFT_PAIRS="TLS_KEY pkey TLS_CERT cert"'
    echo 'CREDGRAFT_SERVICE=app.service'
    echo 'CREDGRAFT_SETTLE=0'
    for line in "$@"; do echo "$line"; done
  } >etc/credgraft/app.conf
  pair p1 p1
}

# hook [NAME]: runs the hook for NAME (app) under dash, with only the
# environment systemd gives it: the valid assignments of the defaults file,
# then the target's, one pair of quotes off. Sets $status; stderr in err.
hook() {
  : >calls
  set -- "${1:-app}"
  while IFS= read -r assignment; do
    [ -z "$assignment" ] || set -- "$@" "$assignment"
  done <<EOF
$(cat etc/default "etc/credgraft/$1.conf" 2>/dev/null |
    sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)=\(.*\)$/\1=\2/p' | sed 's/="\(.*\)"$/=\1/')
EOF
  target=$1
  shift
  status=0
  env -i PATH="$work/bin:$PATH" HOME="$work" RUNTIME_DIRECTORY="$work/run:$work/run/checked" \
    STATE_DIRECTORY="$work/state" "$@" dash "$work/hook" "$target" >out 2>err || status=$?
  cat calls err >>all-calls
}

case=shellcheck
check "the hook is clean" shellcheck "$work/hook"
check "credgraft-target is clean" shellcheck "$work/target"

# Settings are data, never run, and a wrong one fails its target (78) with a
# line that names the file and line, or the setting, before credgraft runs.
#   where|line|logged
case=settings
while IFS='|' read -r where line want_log; do
  fresh
  if [ "$where" = default ]; then echo "$line" >etc/default; else echo "$line" >>etc/credgraft/app.conf; fi
  hook
  check "$line: exit $status" exits 78
  check "$line: logged" logged "^<3>app: $want_log"
  check "$line: credgraft not run" runs 0
  check "$line: never run as a command" test ! -e pwned -a ! -e pwned2
done <<EOF
conf|touch $work/pwned|$work/etc/credgraft/app.conf:5: not a KEY=VALUE line
conf|CREDGRAFT_SERVICE=\$(touch $work/pwned2)|CREDGRAFT_SERVICE=.* is not one unit name
default|CREDGRAFT_SETLE=3|$work/etc/default:1: CREDGRAFT_SETLE is not a setting of this file
default|if then|$work/etc/default:1: not a KEY=VALUE line
default|CREDGRAFT_SERVICE=app.service|$work/etc/default:1: CREDGRAFT_SERVICE is not a setting of this file
conf|CREDGRAFT_RESTART="systemctl reload app.service"|.*app.conf:5: CREDGRAFT_RESTART is no longer honoured: write CREDGRAFT_ACTION=reload
conf|CREDGRAFT_SERVICE=nosuch.service|CREDGRAFT_SERVICE=nosuch.service is not a loaded unit \(not-found\)
conf|CREDGRAFT_SERVICE=app@.service|CREDGRAFT_SERVICE=app@.service is not one unit name
conf|CREDGRAFT_SERVICE=app.service other.service|CREDGRAFT_SERVICE=app.service other.service is not one unit name
conf|CREDGRAFT_SERVICE=|.*app.conf must set CREDGRAFT_CONF, CREDGRAFT_PAIRS and CREDGRAFT_SERVICE
conf|CREDGRAFT_CONF=$work/missing.params|CREDGRAFT_CONF: $work/missing.params is not a file
conf|CREDGRAFT_PAIRS=TLS_KEY pkey TLS_CERT|CREDGRAFT_PAIRS="TLS_KEY pkey TLS_CERT" is not pairs
conf|CREDGRAFT_PAIRS=TLS_KEY key|CREDGRAFT_PAIRS="TLS_KEY key" is not pairs
conf|CREDGRAFT_ACTION=try-restart|CREDGRAFT_ACTION=try-restart is not restart, reload or reload-or-restart
conf|CREDGRAFT_SETTLE=5s|CREDGRAFT_SETTLE=5s is not a whole decimal number
conf|CREDGRAFT_SETTLE=-1|CREDGRAFT_SETTLE=-1 is not a whole decimal number
conf|CREDGRAFT_SETTLE=0x10|CREDGRAFT_SETTLE=0x10 is not a whole decimal number
conf|CREDGRAFT_SETTLE=301|CREDGRAFT_SETTLE=301 is more than 300
conf|CREDGRAFT_SETTLE=99999999999999999999|CREDGRAFT_SETTLE=9+ is not a whole decimal number
conf|CREDGRAFT_EXPIRY_WARNING=two|CREDGRAFT_EXPIRY_WARNING=two is not a whole decimal number
EOF
fresh
hook .hidden
check "bad name: exit $status" exits 78
check "bad name: logged" logged '"\.hidden" is not a target name'
# Numbers are decimal: 08 is eight, not an error; comments, blanks and quotes
# are what systemd takes them for.
fresh 'CREDGRAFT_SETTLE=08' '# a comment' '' '; another' 'CREDGRAFT_EXPIRY_WARNING=001' 'CREDGRAFT_ACTION="reload"'
touch -d '-1 min' live/*
hook
check "decimal: exit $status" exits 0
check "decimal: reloaded" called "systemctl reload app.service"

# Which credentials are fit: any private key openssl reads, a certificate
# file of the leaf and its chain, each at most 12000 bytes, in date. A
# refusal names the file and writes and restarts nothing.
#   key           cert        exit  logged
case=credentials
cp p1.crt big.crt
while [ $(($(wc -c <big.crt) + $(wc -c <p1.crt))) -le 12000 ]; do cat p1.crt >>big.crt; done
cp big.crt fits.crt
printf '%*s\n' $((11999 - $(wc -c <big.crt))) '' >>fits.crt
printf '%*s\n' $((12000 - $(wc -c <big.crt))) '' >>big.crt
while read -r key cert want_exit want_log; do
  fresh
  case $key in
    empty) : >live/latest.key ;;
    half) head -c 200 p1.key >live/latest.key ;;
    missing) rm live/latest.key ;;
    *) cp "$key" live/latest.key ;;
  esac
  case $cert in
    cut-chain) { cat p3.leaf; head -c 300 ca.crt; } >live/latest.crt ;;
    key-first) cat p1.key p1.crt >live/latest.crt ;;
    *) cp "$cert" live/latest.crt ;;
  esac
  hook
  check "$key $cert: exit $status" exits "$want_exit"
  if [ "$want_exit" -eq 0 ]; then
    check "$key $cert: restart" restarts app.service 1
    [ "$cert" != "${key%.key}.crt" ] || check "$key $cert: pair" holds "${key%.key}"
  else
    check "$key $cert: untouched" untouched
    check "$key $cert: no restart" restarts app.service 0
    check "$key $cert: credgraft not run" runs 0
    check "$key $cert: logged" logged "^<[34]>app: $work/certkeep/latest.$want_log"
  fi
done <<'EOF'
p2.key        p2.crt     0  -
p3.key        p3.crt     0  -
p4.key        p4.crt     0  -
p1.key        fits.crt   0  -
p1.key        big.crt    1  crt is 12001 bytes, more than the 12000 a value holds; nothing written
empty         p1.crt     75 key is not an unencrypted private key openssl reads
half          p1.crt     75 key: a PEM block is cut short
missing       p1.crt     75 key is missing; nothing written
other.key     p1.crt     75 key does not belong to the first certificate of .*latest.crt
encrypted.key p1.crt     75 key is not an unencrypted private key openssl reads
p1.key        key-first  75 crt holds more than certificates
p3.key        cut-chain  75 crt: a PEM block is cut short
p1.key        p2.crt     75 key does not belong
expired.key   expired.crt 75 crt expired on 20[0-9-]+ [0-9:]+ UTC; nothing written
EOF

# The restart by the service's state and CREDGRAFT_ACTION, bounded in time;
# the service must be active afterwards.
#   state    extra   action            exit call               logged
case=restart
while read -r state extra action want_exit want_call want_log; do
  fresh "CREDGRAFT_ACTION=$action"
  echo "$state" >units/app.service
  [ "$extra" = - ] || touch "units/app.service.$extra"
  hook
  check "$state $extra $action: exit $status" exits "$want_exit"
  if [ "$want_call" = none ]; then
    check "$state $extra $action: left alone" restarts app.service 0
  else
    check "$state $extra $action: $want_call" called "systemctl $want_call app.service"
    check "$state $extra $action: one call" restarts app.service 1
  fi
  check "$state $extra $action: file written" holds p1
  check "$state $extra $action: logged" logged "^<[35]>app: values changed in $work/app.params; $want_log\$"
  [ "$want_exit" -eq 0 ] || check "$state $extra $action: still owed" owes
  [ "$want_exit" -ne 0 ] || check "$state $extra $action: nothing owed" not owes
done <<'EOF'
active   -       restart           0 restart           systemctl restart app.service done
active   -       reload            0 reload            systemctl reload app.service done
reloading -      reload-or-restart 0 reload-or-restart systemctl reload-or-restart app.service done
failed   -       reload            0 restart           systemctl restart app.service done
inactive -       restart           0 none              app.service is inactive and left so
deactivating -   restart           1 none              app.service is stopping; the restart is owed to the next run
failed   broken  restart           1 restart           systemctl restart app.service failed with status 1
active   crashes restart           1 restart           app.service is failed after systemctl restart
active   hangs   restart           1 restart           systemctl restart app.service did not finish within 1 s
EOF

# The owed record: written and synced before credgraft runs, gone once the
# restart is done or nothing changed; a record found at the start is an
# earlier run's, and its restart is done even when nothing changed now.
case=owed
fresh
echo "[ -s state/app.owed ] && touch $work/owed-first" >on-credgraft
rm -f owed-first
hook
check "first: exit $status" exits 0
check "first: the record before credgraft" test -e owed-first
check "first: restarted" restarts app.service 1
check "first: not said owed" not logged "owed"
rm on-credgraft
hook
check "again: exit $status" exits 0
check "again: nothing restarted" restarts app.service 0
check "again: logged" logged "^<5>app: nothing changed in $work/app.params\$"
check "again: nothing owed" not owes
echo "$work/app.params" >state/app.owed
hook
check "owed: exit $status" exits 0
check "owed: restarted" restarts app.service 1
check "owed: logged" logged "^<5>app: a restart owed by an earlier run of $work/app.params; systemctl restart app.service done"
check "owed: paid" not owes

# The credentials changing under a run: credgraft reads only the checked
# snapshot, a change during its run leaves the restart owed to the next run
# (75), and files still being written are waited for, then read once.
case=changing_credentials
fresh
echo "cp $work/other.key live/latest.key; rm on-credgraft" >on-credgraft
hook
check "during credgraft: exit $status" exits 75
check "during credgraft: the checked pair written" holds p1
check "during credgraft: no restart" restarts app.service 0
check "during credgraft: owed" owes
check "during credgraft: logged" logged "^<4>app: the credentials changed while credgraft ran"
pair p2 p2
hook
check "next run: exit $status" exits 0
check "next run: new pair" holds p2
check "next run: one restart" restarts app.service 1
fresh 'CREDGRAFT_SETTLE=1'
pair p2 p1
(sleep 0.5 && cp p2.crt live/latest.crt) &
hook
wait
check "settling: exit $status" exits 0
check "settling: credgraft once" runs 1
check "settling: the settled pair" holds p2
check "settling: one restart" restarts app.service 1
check "settling: one line" [ "$(grep -c '^<' err)" -eq 1 ]
fresh 'CREDGRAFT_SETTLE=1'
(for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do cp p1.key live/latest.key; sleep 0.2; done) &
hook
wait
check "never settling: exit $status" exits 75
check "never settling: logged" logged "^<4>app: the credentials are still changing; nothing written"
rm certkeep
mkdir certkeep
hook
check "no snapshot: exit $status" exits 78
check "no snapshot: credgraft not run" runs 0
fresh
rm run/live
ln -s "$work/run/checked" run/live
hook
check "no live view: exit $status" exits 78
check "no live view: logged" logged "^<3>app: .* not the live files"

# The expiry watch: the job is done, then a warning naming the date and 79;
# by default 14 days or a sixth of the lifetime, whichever is less.
#   pair  setting                     exit
case=expiry
while read -r name setting want_exit; do
  fresh "$setting"
  pair "$name" "$name"
  hook
  check "$name $setting: exit $status" exits "$want_exit"
  check "$name $setting: job done" holds "$name"
  check "$name $setting: restarted" restarts app.service 1
  [ "$want_exit" -eq 0 ] || check "$name $setting: logged" logged \
    "^<4>app: values changed in .*; systemctl restart app.service done; the certificate in $work/certkeep/latest.crt ends on 20[0-9-]+ [0-9:]+ UTC\$"
done <<'EOF'
near  #                            79
near  CREDGRAFT_EXPIRY_WARNING=2    0
p1    #                             0
p1    CREDGRAFT_EXPIRY_WARNING=3   79
EOF

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
