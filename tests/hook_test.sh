#!/bin/sh
# The renewal hook under dash, outside systemd: the unit's view is made with
# links (the snapshot at the credential directory, the live files in
# RUNTIME_DIRECTORY/live), its settings are read by the package's reader,
# which trusts the test's user and directory, the program is the test build of credgraft,
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
pair() {
  rm -f "$work/live/latest.key" "$work/live/latest.crt"
  cp "$work/$1.key" "$work/live/latest.key" && cp "$work/$2.crt" "$work/live/latest.crt"
}
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
  -e "s|/etc/systemd/system|$work/systemd|" -e "s|^restart_seconds=.*|restart_seconds=1|" -e "s|@CREDGRAFT_SETTINGS@|$work/settings|" \
  -e "s|^PATH=/usr/sbin|PATH=$work/bin:/usr/sbin|" "$here/../packaging/credgraft-hook.in" >"$work/hook"
sed -e "s|^owner=0\$|owner=$(id -u)|" -e "s|^top=/\$|top=$work|" "$here/../packaging/credgraft-settings.in" \
  >"$work/settings"
chmod +x "$work/settings"
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
  show) case \$* in
      *ReadWritePaths*) echo "-$work/granted" ;;
      *) if [ -e "\$unit" ]; then echo loaded; else echo not-found; fi ;;
    esac; exit ;;
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
# app.service, active), settled credentials p1, LINEs added to app.conf in
# place of the settings they set.
fresh() {
  local line
  rm -rf etc run state on-credgraft on-restart on-start units/* systemd certkeep app.params
  mkdir -p etc/credgraft run/checked state
  ln -s "$work/run/checked" certkeep
  ln -s "$work/live" run/live
  echo active >units/app.service
  printf '%s\n' "$old_params" >app.params
  {
    for line in "CREDGRAFT_CONF=$work/app.params" 'CREDGRAFT_PAIRS="TLS_KEY pkey TLS_CERT cert"' \
      'CREDGRAFT_SERVICE=app.service' 'CREDGRAFT_SETTLE=0'; do
      case " $* " in *" ${line%%=*}="*) ;; *) echo "$line" ;; esac
    done
    for line in "$@"; do echo "$line"; done
  } >etc/credgraft/app.conf
  pair p1 p1
}

# hook [NAME [VARIABLE=VALUE...]]: runs the hook for NAME (app) under dash,
# with the environment systemd gives it, and VARIABLEs. Sets $status;
# stderr in err.
hook() {
  : >calls
  target=${1:-app}
  [ $# -eq 0 ] || shift
  status=0
  env -i PATH="$work/bin:$PATH" HOME="$work" RUNTIME_DIRECTORY="$work/run:$work/run/checked" \
    STATE_DIRECTORY="$work/state" "$@" dash "$work/hook" "$target" >out 2>err || status=$?
  cat calls err >>all-calls
}

case=shellcheck
check "the hook is clean" shellcheck "$work/hook"
check "the settings reader is clean" shellcheck "$work/settings"

# Settings are data, never run, and a wrong one fails its target (78) with a
# line that names the file and line, or the setting, before credgraft runs;
# the grammar itself is the reader's own test's.
#   where|line|logged
case=settings
while IFS='|' read -r where line want_log; do
  if [ "$where" = default ]; then fresh && echo "$line" >etc/default; else fresh "$line"; fi
  rm -f home.params && ln -s /root/credgraft-never-made.params home.params
  hook
  check "$line: exit $status" exits 78
  check "$line: logged" logged "^<3>app: $want_log"
  check "$line: credgraft not run" runs 0
  check "$line: never run as a command" test ! -e pwned -a ! -e pwned2
done <<EOF
conf|touch $work/pwned|$work/etc/credgraft/app.conf:5: not a KEY=VALUE line
conf|CREDGRAFT_SERVICE=\$(touch $work/pwned2)|$work/etc/credgraft/app.conf:4: CREDGRAFT_SERVICE=.* is not the name of one unit
conf|PATH=$work/bin|$work/etc/credgraft/app.conf:5: PATH is not a setting
default|CREDGRAFT_SETLE=3|$work/etc/default:1: CREDGRAFT_SETLE is not a setting
default|CREDGRAFT_SERVICE=app.service|$work/etc/default:1: CREDGRAFT_SERVICE belongs in a target's own file
default|CREDGRAFT_SETTLE=5s|$work/etc/default:1: CREDGRAFT_SETTLE=5s is not a whole decimal number
conf|CREDGRAFT_RESTART="systemctl reload app.service"|.*app.conf:5: CREDGRAFT_RESTART is no longer honoured: write CREDGRAFT_ACTION=reload
conf|CREDGRAFT_SERVICE=nosuch.service|CREDGRAFT_SERVICE=nosuch.service is not a loaded unit \\(not-found\\)
conf|CREDGRAFT_SERVICE=app@.service|.*app.conf:4: CREDGRAFT_SERVICE=app@.service is not the name of one unit
conf|CREDGRAFT_SERVICE=app.service other.service|.*app.conf:4: CREDGRAFT_SERVICE=app.service other.service is not the name
conf|CREDGRAFT_SERVICE=|.*app.conf.*CREDGRAFT_SERVICE
conf|CREDGRAFT_CONF=$work/missing.params|CREDGRAFT_CONF: $work/missing.params is not a file
conf|CREDGRAFT_CONF=$work/home.params|CREDGRAFT_CONF: $work/home.params is where no instance sees it
conf|CREDGRAFT_PAIRS=TLS_KEY pkey TLS_CERT|.*app.conf:4: CREDGRAFT_PAIRS=TLS_KEY pkey TLS_CERT is not pairs
conf|CREDGRAFT_PAIRS=TLS_KEY key|.*app.conf:4: CREDGRAFT_PAIRS=TLS_KEY key is not pairs
conf|CREDGRAFT_ACTION=try-restart|.*app.conf:5: CREDGRAFT_ACTION=try-restart is not restart, reload or reload-or-restart
conf|CREDGRAFT_SETTLE=-1|.*app.conf:4: CREDGRAFT_SETTLE=-1 is not a whole decimal number
conf|CREDGRAFT_SETTLE=0x10|.*app.conf:4: CREDGRAFT_SETTLE=0x10 is not a whole decimal number
conf|CREDGRAFT_SETTLE=301|.*app.conf:4: CREDGRAFT_SETTLE=301 is more than 300
conf|CREDGRAFT_SETTLE=99999999999999999999|.*app.conf:4: CREDGRAFT_SETTLE=9+ is more than 300
conf|CREDGRAFT_EXPIRY_WARNING=two|.*app.conf:5: CREDGRAFT_EXPIRY_WARNING=two is not a whole decimal number
EOF
fresh
hook .hidden
check "bad name: exit $status" exits 78
check "bad name: logged" logged '"\.hidden" is not a target name'
fresh
rm etc/credgraft/app.conf
hook
check "no settings file: exit $status" exits 78
check "no settings file: named" logged "^<3>app: $work/etc/credgraft/app.conf does not exist"
# Numbers are decimal: 08 is eight, not an error; comments, blanks and
# quotes are the grammar's; the caller's PATH decides nothing.
fresh 'CREDGRAFT_SETTLE=08' '# a comment' '' '  # another' 'CREDGRAFT_EXPIRY_WARNING=001' 'CREDGRAFT_ACTION="reload"'
touch -d '-1 min' live/*
mkdir -p evil && printf '#!/bin/sh\ntouch %s/pwned\n' "$work" >evil/awk && chmod +x evil/awk
cp evil/awk evil/openssl && cp evil/awk evil/sed
hook app PATH="$work/evil:$PATH"
check "decimal: exit $status" exits 0
check "decimal: reloaded" called "systemctl reload app.service"
check "the caller's PATH: nothing of it run" test ! -e pwned
rm -r evil

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

# Credentials kept as links, as clients keep live/ names for files in an
# archive: absolute or relative, inside the credential directory or out of
# it, in chains; followed as the host reads them, not into the snapshot
# that the instance sees at the credential directory. A renewal renames new
# links over the old.
#   how the live names point at the pair
case=links
while read -r layout; do
  fresh
  rm -rf live/archive elsewhere && mkdir live/archive elsewhere
  cp p2.key live/archive/k.pem && cp p2.crt live/archive/c.pem
  cp p2.key elsewhere/k.pem && cp p2.crt elsewhere/c.pem
  rm live/latest.key live/latest.crt
  case $layout in
    absolute-inside) ln -s "$work/certkeep/archive/k.pem" live/latest.key
      ln -s "$work/certkeep/archive/c.pem" live/latest.crt ;;
    relative-inside) ln -s archive/k.pem live/latest.key && ln -s ./archive/c.pem live/latest.crt ;;
    absolute-outside) ln -s "$work/elsewhere/k.pem" live/latest.key && ln -s "$work/elsewhere/c.pem" live/latest.crt ;;
    relative-outside) ln -s ../elsewhere/k.pem live/latest.key && ln -s ../elsewhere/../elsewhere/c.pem live/latest.crt ;;
    chain) ln -s "$work/certkeep/current.key" live/latest.key && ln -s archive/k.pem live/current.key
      ln -s current.crt live/latest.crt && ln -s "$work/elsewhere/c.pem" live/current.crt ;;
  esac
  hook
  check "$layout: exit $status" exits 0
  check "$layout: the linked pair" holds p2
  check "$layout: restarted" restarts app.service 1
  cp p3.key live/archive/k3.pem && cp p3.crt live/archive/c3.pem
  ln -s archive/k3.pem live/new.key && mv -f live/new.key live/latest.key
  ln -s "$work/certkeep/archive/c3.pem" live/new.crt && mv -f live/new.crt live/latest.crt
  hook
  check "$layout renewed: exit $status" exits 0
  check "$layout renewed: the new pair" holds p3
done <<'EOF'
absolute-inside
relative-inside
absolute-outside
relative-outside
chain
EOF
rm -rf live/archive live/current.* live/new.* elsewhere

# A link that is not root's leads only to a file its owner could read: a
# client may not have this root process copy another user's key.
#   the file's owner and mode, exit
case=foreign_links
if [ "$(id -u)" -eq 0 ]; then
  while read -r owner mode want_exit; do
    fresh
    mkdir -p elsewhere && cp p2.key elsewhere/k.pem && cp p2.crt elsewhere/c.pem
    chown "$owner" elsewhere/k.pem && chmod "$mode" elsewhere/k.pem && chmod 644 elsewhere/c.pem
    rm live/latest.key live/latest.crt
    ln -s "$work/elsewhere/k.pem" live/latest.key && ln -s ../elsewhere/c.pem live/latest.crt
    chown -h 65534 live/latest.key live/latest.crt
    hook
    check "$owner $mode: exit $status" exits "$want_exit"
    if [ "$want_exit" -eq 0 ]; then
      check "$owner $mode: the pair" holds p2
    else
      check "$owner $mode: logged" logged "^<3>app: $work/certkeep/latest.key is a link of a user other than root to a file that user cannot read"
      check "$owner $mode: untouched" untouched
      check "$owner $mode: credgraft not run" runs 0
    fi
  done <<'EOF'
0     600 78
65534 600 0
0     644 0
EOF
  rm -rf elsewhere
else
  echo "SKIP: not root: links of another user not checked"
fi

# Before the first pair there is nothing to do: no failure, no retry, and
# nothing made; the watch takes the pair when it comes.
#   what is missing   logged after the credential directory
case=lifecycle
while read -r missing want_log; do
  fresh
  rm -f "$missing"
  hook
  check "$missing: exit $status" exits 0
  check "$missing: logged" logged "^<5>app: nothing to do yet: $work/certkeep[/ ]$want_log"
  check "$missing: credgraft not run" runs 0
  check "$missing: untouched" untouched
  check "$missing: the record" grep -q "^[0-9.]* 0 no nothing to do yet" state/app.last
done <<'EOF'
live/latest.key   latest.key is missing; the first key and certificate are copied when they arrive
live/latest.crt   latest.crt is missing
run/live          does not exist
EOF
# A pair that keeps failing is retried twenty times in a row, then left
# until it changes; another pair counts afresh.
fresh
pair other p1
tries=0
while [ "$tries" -lt 26 ]; do
  tries=$((tries + 1))
  [ "$tries" -ne 6 ] || pair encrypted p1
  hook
  case $tries in
    5) check "try 5: exit $status" exits 75 && check "try 5: counted" grep -q ' 5$' state/app.tries ;;
    6) check "another pair: counted afresh" grep -q ' 1$' state/app.tries ;;
    25) check "twentieth in a row: exit $status" exits 76
      check "twentieth: logged" logged "^<4>app: .*; gave up after 20 tries in a row on the same credentials: the next renewal"
      check "twentieth: the record" grep -q '^[0-9.]* 76 no ' state/app.last ;;
    26) check "after giving up, a run tries again: exit $status" exits 75 ;;
  esac
done
pair p1 p1
hook
check "mended: exit $status" exits 0
check "mended: count gone" test ! -e state/app.tries
check "mended: the record" grep -qx "[0-9]*\.[0-9]* 0 no values changed in $work/app.params; systemctl restart app.service done" state/app.last
# A warning is marked in the record: every user can read the file that now
# holds the key, or the certificate ends soon.
chmod 644 app.params
pair p2 p2
hook
check "readable by all: exit $status" exits 0
check "readable by all: logged" logged "^<4>app: values changed .* done; every user can read $work/app.params, which holds a private key\$"
check "readable by all: the record" grep -q '^[0-9.]* 0 yes values changed' state/app.last
pair near near
hook
check "ends soon: the record" grep -q '^[0-9.]* 79 yes values changed.*every user can read.*ends on' state/app.last
# A credential far bigger than a value is refused before a byte of it is
# copied: it could fill /run.
fresh
truncate -s 200M live/latest.crt
hook
check "200 MB: exit $status" exits 1
check "200 MB: logged" logged "^<3>app: $work/certkeep/latest.crt is 209715200 bytes, more than the 12000"
check "200 MB: nothing copied" test ! -s run/checked/latest.crt

# A parameter file the instance may not write (its link now points where
# the grant does not reach) is named with what to run; it is not retried.
#   link|exit|logged
case=grant
if [ "$(id -u)" -eq 0 ]; then as_root=""; else as_root="--map-root-user"; fi
if unshare ${as_root:+"$as_root"} --mount true 2>/dev/null; then
  while IFS='|' read -r link want_exit want_log; do
    fresh
    rm -rf real && mkdir real && printf '%s\n' "$old_params" >real/app.params
    [ "$link" = no ] || { rm app.params && ln -s real/app.params app.params; }
    status=0
    : >calls
    # shellcheck disable=SC2016  # expanded by the inner shell
    unshare ${as_root:+"$as_root"} --mount sh -c 'mount --bind real real && mount -o remount,bind,ro real &&
      exec env -i PATH="$0/bin:$PATH" RUNTIME_DIRECTORY="$0/run" STATE_DIRECTORY="$0/state" dash "$0/hook" app' \
      "$work" >out 2>err || status=$?
    check "$link: exit $status" exits "$want_exit"
    check "$link: logged" logged "$want_log"
    [ "$want_exit" -eq 0 ] || check "$link: credgraft not run" runs 0
  done <<EOF
yes|78|^<3>app: $work/app.params is a link to $work/real/app.params, and credgraft-renew@app.service may not write $work/real \\(it may write -$work/granted\\): run credgraft-target add app again
no|0|^<5>app: values changed
EOF
  rm -rf real
else
  echo "SKIP: no private mount namespace: the grant's refusal not checked"
fi

case=check
# The dry run: the checks of a run on the live files, and credgraft on a
# private copy; it writes, restarts and records nothing, and leaves no copy.
# For a target set up (grant: here, the file outside it; granted, inside),
# it says when the grant no longer reaches the parameter file; add's own
# dry run (--check-ungranted) leaves that out.
#   key|cert|setting|after a real run|grant|option|exit|said
while IFS='|' read -r key cert line ran grant option want_exit want_said; do
  fresh "$line"
  pair "$key" "$cert"
  [ "$ran" = no ] || hook
  rm -rf granted tmp && rm -f certkeep && ln -s live certkeep && mkdir tmp
  [ "$grant" = - ] || { mkdir -p systemd/credgraft-renew@app.service.d &&
    : >systemd/credgraft-renew@app.service.d/credgraft-write.conf; }
  [ "$grant" != granted ] || { mkdir granted && mv app.params granted/ && ln -s granted/app.params app.params; }
  before=$(cat app.params) && : >calls
  status=0
  env -i PATH="$work/bin:$PATH" TMPDIR="$work/tmp" dash "$work/hook" "$option" app >out 2>err || status=$?
  row="$key $cert $line $grant $option"
  check "$row: exit $status" exits "$want_exit"
  check "$row: said" grep -Eq "^app: $want_said" out
  check "$row: file as it was" [ "$(cat app.params)" = "$before" ]
  check "$row: no restart" restarts app.service 0
  check "$row: nothing owed, no copy" [ ! -e state/app.owed ] && [ -z "$(ls tmp)" ]
  [ "$ran" = yes ] || check "$row: no record" [ ! -e state/app.last ]
done <<EOF
p1|p1||no|-|--check|0|a run would change values in $work/app.params and have app.service take them\$
p1|p1||yes|-|--check|0|a run would change nothing in $work/app.params\$
near|near||yes|-|--check|0|a run would change nothing in .*; the certificate in $work/certkeep/latest.crt ends on
other|p1||no|-|--check|75|$work/certkeep/latest.key does not belong
p1|p1|CREDGRAFT_ACTION=bounce|no|-|--check|78|.*app.conf:5: .*CREDGRAFT_ACTION
p1|p1|CREDGRAFT_SERVICE=gone.service|no|-|--check|78|CREDGRAFT_SERVICE=gone.service is not a loaded unit
p1|p1||no|here|--check|78|credgraft-renew@app.service may not write $work/app.params \(it may write -$work/granted\): run credgraft-target add app again\$
p1|p1||no|granted|--check|0|a run would change values
p1|p1||no|here|--check-ungranted|0|a run would change values
EOF
rm -rf granted tmp

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
