#!/bin/sh
# credgraft-target under dash, outside systemd: systemctl and the hook are
# stubs that record their calls and answer from files, the settings reader is
# the package's own, and the test plays
# the runs by writing their records (NAME.last) itself.
# Usage: target_test.sh
# shellcheck shell=dash
set -u
umask 077
here=$(cd "$(dirname "$0")" && pwd)
for tool in dash openssl shellcheck; do
  command -v "$tool" >/dev/null || { echo "target test: $tool is needed (scripts/deps.sh)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
failed_cases=""
nl='
'
tab=$(printf '\t')

# check LABEL COMMAND...: one expectation of the current case.
check() {
  what=$1
  shift
  "$@" && return
  failures=$((failures + 1))
  case " $failed_cases " in *" $case "*) ;; *) failed_cases="$failed_cases $case" ;; esac
  echo "FAIL [$case] $what" >&2
  sed 's/^/    out: /' "$work/out" | head -n 12 >&2
  sed 's/^/    err: /' "$work/err" | head -n 6 >&2
  sed 's/^/    /' "$work/calls" 2>/dev/null | head -n 12 >&2
}
exits() { [ "$status" -eq "$1" ]; }
said() { grep -qF -- "$1" "$work/$2"; }
lines() { [ "$(tr '\n' ';' <"$work/out")" = "$1" ]; }
no_calls() { ! grep -q "^$1" "$work/calls"; }
not_in() { ! grep -qF -- "$2" "$work/$1"; }
# acts CALLS: what systemctl was told to do, queries left out, in order.
acts() { [ "$(grep '^systemctl' "$work/calls" | grep -v -e ' is-' -e ' show ' | tr '\n' ';')" = "$1" ]; }

# The script as the package makes it, in the test's directories, with a
# run's bound of 3 s. systemctl: UNIT holds its active state,
# UNIT.show its ActiveState/SubState, UNIT.enabled says it is enabled,
# UNIT.run is what a start does (in the background, as --no-block), and
# UNIT.gone refuses the start. The hook's check answers from check/NAME:
# its status, then its line.
mkdir -p "$work/bin" "$work/units" "$work/check"
sed -e "s|/etc/credgraft|$work/etc/credgraft|" -e "s|/etc/default/credgraft|$work/etc/default|" \
  -e "s|/etc/systemd/system|$work/systemd|" -e "s|/var/lib/credgraft|$work/state|" \
  -e "s|@CREDGRAFT_CREDENTIAL_DIR@|$work/certkeep|" -e "s|@CREDGRAFT_HOOK@|$work/bin/credgraft-hook|" \
  -e "s|@CREDGRAFT_SETTINGS@|$work/bin/credgraft-settings|" -e "s|^bound=.*|bound=3|" \
  "$here/../packaging/credgraft-target.in" >"$work/target"
cat >"$work/bin/systemctl" <<EOF
#!/bin/sh
echo "systemctl \$*" >>"$work/calls"
for last; do :; done
unit="$work/units/\$last"
case \$1 in
  is-active) cat "\$unit" 2>/dev/null || echo inactive; [ "\$(cat "\$unit" 2>/dev/null)" = active ] ;;
  is-enabled) [ -e "\$unit.enabled" ] ;;
  show) cat "\$unit.show" 2>/dev/null || printf 'ActiveState=inactive\nSubState=dead\n' ;;
  start) [ ! -e "\$unit.gone" ] || exit 5; [ ! -e "\$unit.run" ] || sh "\$unit.run" </dev/null >/dev/null 2>&1 & ;;
esac
EOF
cat >"$work/bin/credgraft-hook" <<EOF
#!/bin/sh
echo "hook \$*" >>"$work/calls"
{ read -r status && read -r line; } <"$work/check/\$2" || exit 99
printf '%s\n' "\$line"
exit "\$status"
EOF
sed -e "s|^owner=.*|owner=$(id -u)|" -e "s|^top=.*|top=$work|" \
  "$here/../packaging/credgraft-settings.in" >"$work/bin/credgraft-settings"
chmod 0755 "$work/bin/"*
cd "$work" || exit 1
quiet() { "$@" >/dev/null 2>&1 || { echo "target test: cannot make credentials: $*" >&2; exit 1; }; }
quiet openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=t -days 10 \
  -keyout t.key -out t.crt

# fresh [NAME...]: targets NAME, none set up, credentials in certkeep.
fresh() {
  rm -rf etc systemd state units/* check/* params certkeep calls out err "real dir"
  mkdir -p etc/credgraft systemd state params certkeep
  cp t.key certkeep/latest.key && cp t.crt certkeep/latest.crt
  : >calls
  for target; do settings "$target"; done
}
# settings NAME: NAME's settings, its parameter file params/NAME.
settings() {
  : >"params/$1"
  printf 'CREDGRAFT_CONF=%s\nCREDGRAFT_PAIRS="K pkey C cert"\nCREDGRAFT_SERVICE=%s.service\n' \
    "$work/params/$1" "$1" >"etc/credgraft/$1.conf"
}
# set_up NAME: NAME's drop-in, path and timer enabled and active.
set_up() {
  mkdir -p "systemd/credgraft-renew@$1.service.d"
  echo "[Service]" >"systemd/credgraft-renew@$1.service.d/credgraft-write.conf"
  for kind in path timer; do
    echo active >"units/credgraft-renew@$1.$kind" && : >"units/credgraft-renew@$1.$kind.enabled"
  done
}
# play NAME STATUS WARNED [DELAY]: the next start of NAME's run writes its
# record after DELAY seconds (none with "never").
play() {
  [ "${4:-0}" = never ] && return
  # shellcheck disable=SC2016  # the run's own time, when it ends
  printf 'sleep %s\nprintf "%%s %s %s text of %s\\n" "$(date +%%s.%%N)" >"%s.new" && mv "%s.new" "%s"\n' \
    "${4:-0}" "$2" "$3" "$1" "$work/state/$1.last" "$work/state/$1.last" "$work/state/$1.last" \
    >"units/credgraft-renew@$1.service.run"
}
# target ARGS...: runs credgraft-target; sets $status.
target() {
  status=0
  PATH="$work/bin:$PATH" dash "$work/target" "$@" </dev/null >out 2>err || status=$?
}

case=shellcheck
check "credgraft-target is clean" shellcheck -s dash "$work/target"
check "the test is clean" shellcheck "$here/target_test.sh"

# help and usage: the usage, every verb a line, on stdout for help and on
# stderr with 2 for a wrong command line; nothing is run.
#   arguments    exit stream
case=usage
while IFS='|' read -r args want_exit stream; do
  fresh app
  # shellcheck disable=SC2086  # the arguments are words
  target $args
  check "'$args': exit $status" exits "$want_exit"
  check "'$args': usage on std$stream" said "usage: credgraft-target VERB [NAME]" "$stream"
  for verb in "add NAME" "remove NAME" renew list "check NAME" help; do
    check "'$args': $verb" grep -q "^  $verb " "$stream"
  done
  check "'$args': one stream" [ ! -s "$( [ "$stream" = out ] && echo err || echo out)" ]
  check "'$args': nothing run" [ ! -s calls ]
done <<EOF
help|0|out
--help|0|out
-h|0|out
|2|err
frob|2|err
add|2|err
add app more|2|err
renew app|2|err
list app|2|err
status app|2|err
check|2|err
help me|2|err
EOF

# remove: a name that is not set up fails and stops nothing; one set up by
# its drop-in or by an enabled path or timer is removed, its settings kept.
#   name  set up by      exit message
case=remove
while IFS='|' read -r name by want_exit want; do
  fresh app
  echo >state/app.owed
  case $by in
    dropin) set_up app && rm units/*.enabled ;;
    path | timer) : >"units/credgraft-renew@app.$by.enabled" ;;
  esac
  target remove "$name"
  check "$name $by: exit $status" exits "$want_exit"
  check "$name $by: said" said "$want" "$( [ "$want_exit" = 0 ] && echo out || echo err)"
  if [ "$want_exit" = 0 ]; then
    check "$name $by: calls" acts "systemctl disable --now credgraft-renew@app.path credgraft-renew@app.timer;systemctl stop credgraft-renew@app.service;systemctl reset-failed credgraft-renew@app.service credgraft-renew@app.path credgraft-renew@app.timer;systemctl daemon-reload;"
    check "$name $by: drop-in gone" [ ! -e systemd/credgraft-renew@app.service.d ]
    check "$name $by: owed record gone" [ ! -e state/app.owed ]
  else
    check "$name $by: nothing stopped" no_calls "systemctl [dsr]"
    check "$name $by: owed record kept" [ -e state/app.owed ]
  fi
  check "$name $by: settings kept" [ -f etc/credgraft/app.conf ]
done <<EOF
app|none|1|app is not set up, so there is nothing to remove
app|dropin|0|credgraft-renew@app removed; $work/etc/credgraft/app.conf and its parameter file are left as they are
app|path|0|credgraft-renew@app removed
app|timer|0|credgraft-renew@app removed
.app|dropin|1|".app" is not a target name
EOF

# renew: every target set up starts at once and each outcome is printed as
# its record comes, so a slow or stuck one delays no other line; a record
# older than the start is no outcome; any status but 0 fails. Targets:
# NAME=STATUS/WARNED/DELAY plays a run, =unset is not set up, =gone cannot
# start, =stale has only an old record; -nodir: no credential directory.
#   label       targets                        exit stdout lines
case=renew
while IFS='|' read -r label row want_exit want; do
  fresh
  # shellcheck disable=SC2086  # the words of the row
  for word in $row; do
    name=${word%%=*}
    [ "$name" = - ] || [ "$name" = -nodir ] || settings "$name"
    case $word in
      -nodir) rm -rf certkeep ;;
      *=unset) ;;
      *=gone) set_up "$name" && : >"units/credgraft-renew@$name.service.gone" ;;
      *=stale) set_up "$name" && echo "1000000000.5 0 no text of $name" >"state/$name.last" ;;
      *=*) set_up "$name" && IFS=/ read -r code warned delay <<EOF
${word#*=}
EOF
        play "$name" "$code" "$warned" "$delay" ;;
    esac
  done
  target renew
  check "$label: exit $status" exits "$want_exit"
  check "$label: lines in order" lines "$want"
  # shellcheck disable=SC2086  # the words of the row
  for word in $row; do
    case $row:$word in
      *-nodir*:* | *:-*) ;;
      *:*=unset) check "$label: ${word%%=*} not started" no_calls "systemctl start --no-block credgraft-renew@${word%%=*}.service" ;;
      *) check "$label: ${word%%=*} started" grep -qx "systemctl start --no-block credgraft-renew@${word%%=*}.service" calls
        check "$label: ${word%%=*} reset first" grep -qx "systemctl reset-failed credgraft-renew@${word%%=*}.service" calls ;;
    esac
  done
  case $row in *-nodir*) check "$label: nothing started" no_calls "systemctl start" ;; esac
done <<EOF
parallel|a=0/no/1 b=0/no/0 c=unset|0|c: not set up (credgraft-target add c), so not run;b: text of b;a: text of a;
stuck|a=0/no/never b=0/no/0.2|1|b: text of b;a: no outcome within 3 s; see systemctl status credgraft-renew@a.service;
stale record|a=stale b=0/no/0|1|b: text of b;a: no outcome within 3 s; see systemctl status credgraft-renew@a.service;
statuses|a=75/no/0 b=0/yes/0.4 c=79/yes/0.8|1|a: text of a;b [warned]: text of b;c [warned]: text of c;
warned but done|b=0/yes/0|0|b [warned]: text of b;
cannot start|a=gone b=0/no/0.2|1|a: credgraft-renew@a.service could not be started;b: text of b;
no directory|-nodir a=0/no/0|0|a: not run: $work/certkeep does not exist yet; the first key and certificate are copied within seconds of arriving;
none set up|a=unset|0|a: not set up (credgraft-target add a), so not run;no target is set up: write $work/etc/credgraft/NAME.conf and run credgraft-target add NAME;
no target|-|0|no target is set up: write $work/etc/credgraft/NAME.conf and run credgraft-target add NAME;
EOF

# list: one line a target, its fields tab-separated; exit 1 when one is
# failed, not set up, unwatched, has wrong settings or warned of its end
# (79), not for retrying, running, owed or a readable-file warning. Setup:
# up (set up), rec=STATUS/WARNED (its last record), show=ACTIVE/SUB (its
# service), path= or timer=STATE, owed, wrong (settling time 5s).
#   label        setup                 exit mark,service,conf,setup,path,timer,run,owed,status,outcome
case=list
while IFS='|' read -r label row want_exit want; do
  fresh app
  # shellcheck disable=SC2086  # the words of the row
  for word in $row; do
    case $word in
      up) set_up app ;;
      rec=*) echo "1765300000.123456789 ${word#rec=} text of app" | tr / ' ' >state/app.last ;;
      show=*) word=${word#show=} && printf 'ActiveState=%s\nSubState=%s\n' "${word%/*}" "${word#*/}" \
        >units/credgraft-renew@app.service.show ;;
      path=* | timer=*) echo "${word#*=}" >"units/credgraft-renew@app.${word%%=*}" ;;
      owed) echo "$work/params/app" >state/app.owed ;;
      wrong) echo 'CREDGRAFT_SETTLE=5s' >>etc/credgraft/app.conf ;;
    esac
  done
  target list
  check "$label: exit $status" exits "$want_exit"
  check "$label: one line" [ "$(wc -l <out)" -eq 1 ]
  check "$label: fields" [ "$(cut -f 2-9,12,13 out | tr '\t' ,)" = "$want" ]
  check "$label: name" [ "$(cut -f 1 out)" = app ]
  check "$label: nothing done" acts ""
done <<EOF
healthy|up rec=0/no|0|-,app.service,$work/params/app,set-up,active,active,ok,-,0,text of app
never run|up|0|-,app.service,$work/params/app,set-up,active,active,ok,-,-,-
failed|up rec=1/no show=failed/failed|1|-,app.service,$work/params/app,set-up,active,active,failed,-,1,text of app
gave up|up rec=76/no show=failed/failed|1|-,app.service,$work/params/app,set-up,active,active,failed,-,76,text of app
retrying|up rec=75/no show=activating/auto-restart|0|-,app.service,$work/params/app,set-up,active,active,retrying,-,75,text of app
running|up rec=0/no show=activating/start|0|-,app.service,$work/params/app,set-up,active,active,running,-,0,text of app
no watch|up rec=0/no path=inactive|1|-,app.service,$work/params/app,set-up,inactive,active,ok,-,0,text of app
watch failed|up rec=0/no path=failed|1|-,app.service,$work/params/app,set-up,failed,active,ok,-,0,text of app
no timer|up rec=0/no timer=inactive|1|-,app.service,$work/params/app,set-up,active,inactive,ok,-,0,text of app
expiring|up rec=79/yes show=failed/failed|1|[warned],app.service,$work/params/app,set-up,active,active,failed,-,79,text of app
expiring, reset|up rec=79/yes|1|[warned],app.service,$work/params/app,set-up,active,active,ok,-,79,text of app
readable file|up rec=0/yes|0|[warned],app.service,$work/params/app,set-up,active,active,ok,-,0,text of app
not set up|rec=0/no|1|-,app.service,$work/params/app,not-set-up,inactive,inactive,ok,-,0,text of app
owed|up rec=0/no owed|0|-,app.service,$work/params/app,set-up,active,active,ok,restart-owed,0,text of app
wrong settings|up rec=0/no wrong|1|-,-,$work/etc/credgraft/app.conf:4: CREDGRAFT_SETTLE=5s is not a whole decimal number,set-up,active,active,ok,-,0,text of app
EOF

# list as a whole: targets in name order, a file whose name is no target
# name left out, the run's time and the certificate's end in local time;
# status is list; no target says so; on a terminal, a heading and columns.
case=list_all
fresh b app
: >"etc/credgraft/no name.conf"
set_up app && set_up b
echo "1765300000.123456789 0 no text of app" >state/app.last
target list
check "exit $status" exits 0
check "targets" [ "$(cut -f 1 out | tr '\n' ,)" = app,b, ]
check "thirteen fields" [ "$(awk -F "$tab" '{ print NF }' out | sort -u)" = 13 ]
check "last run" [ "$(cut -f 11 out | head -n 1)" = "$(date -d @1765300000 '+%F %T')" ]
end=$(date -d "$(openssl x509 -in t.crt -noout -enddate | cut -d= -f2)" '+%F %T')
check "certificate end" [ "$(cut -f 10 out | sort -u)" = "$end (9 days left)" ]
cp out list.out
target status
check "status is list" cmp -s out list.out
rm certkeep/latest.crt
target list
check "no certificate" [ "$(cut -f 10 out | sort -u)" = "no certificate yet" ]
rm etc/credgraft/*
target list
check "no target: exit $status" exits 0
check "no target: said" lines "no target in $work/etc/credgraft: write NAME.conf there and run credgraft-target add NAME;"
if command -v script >/dev/null; then
  fresh app a-much-longer-name
  set_up app
  PATH="$work/bin:$PATH" script -qec "dash $work/target list" /dev/null </dev/null | tr -d '\r' >out
  check "terminal: heading" grep -q '^NAME  *MARK  *SERVICE  *PARAMETER FILE  *SETUP' out
  check "terminal: no tabs" not_in out "$tab"
  check "terminal: aligned" [ "$(awk '{ print index($0, $3) }' out | sort -u | wc -l)" -eq 1 ]
fi

# check: the hook's dry run, its line and its status passed on; nothing else
# is done. A name that is no target name runs nothing.
#   name  status line
case=check
while IFS='|' read -r name code line; do
  fresh app
  printf '%s\n%s\n' "$code" "$line" >check/app
  target check "$name"
  if [ "$name" = app ]; then
    check "$code: exit $status" exits "$code"
    check "$code: line" lines "$line;"
    check "$code: only the hook" [ "$(cat calls)" = "hook --check app" ]
  else
    check "$name: exit $status" exits 1
    check "$name: said" said "\"$name\" is not a target name" err
    check "$name: nothing run" [ ! -s calls ]
  fi
done <<EOF
app|0|app: a run would change values in $work/params/app and restart app.service
app|0|app: nothing to do yet: $work/certkeep/latest.key is missing
app|78|app: $work/etc/credgraft/app.conf:4: CREDGRAFT_SETTLE=5s is not a whole decimal number
app|75|app: $work/certkeep/latest.key does not belong to the first certificate of $work/certkeep/latest.crt
app|1|app: credgraft failed with status 3 for $work/params/app
.app|0|-
a/b|0|-
EOF

# add: the check first (a wrong setting writes and enables nothing); the
# grant is the directory of the real parameter file, through a link; the
# first fill runs unless the credentials are not there yet, and the watch and
# timer are enabled; it exits 0 only when all went well. Setup: linked
# (parameter file a link into "real dir"), nodir or nocrt (no credential
# directory, no certificate), nocheck (the hook says nothing, status 99).
#   name|check|setup|exit|actions|stdout lines, or the error
case=add
up="systemctl daemon-reload"
fill="systemctl reset-failed credgraft-renew@app.service;systemctl start --no-block credgraft-renew@app.service"
on="systemctl enable --now credgraft-renew@app.path credgraft-renew@app.timer"
enabled="credgraft-renew@app.path and credgraft-renew@app.timer enabled"
dropin=$work/systemd/credgraft-renew@app.service.d/credgraft-write.conf
while IFS='|' read -r name code setup want_exit want_acts want; do
  fresh app
  label="$name $code $setup"
  [ "$setup" = nocheck ] || printf '%s\n%s\n' "$code" "app: the check says $code" >check/app
  play app "$code" no
  dir=$work/params
  case $setup in
    linked) dir="$work/real dir" && mkdir "$dir" && : >"$dir/p" && rm params/app && ln -s "../real dir/p" params/app ;;
    nodir) rm -rf certkeep ;;
    nocrt) rm certkeep/latest.crt ;;
  esac
  target add "$name"
  check "$label: exit $status" exits "$want_exit"
  check "$label: actions" acts "$want_acts"
  if [ -n "$want_acts" ]; then
    check "$label: said" lines "$want"
    check "$label: the grant" [ "$(cat "$dropin")" = "[Service]${nl}ReadWritePaths=\"-$dir\"" ]
  else
    check "$label: refused" lines ""
    check "$label: said why" said "$want" err
    check "$label: nothing written" [ -z "$(ls systemd)" ]
  fi
done <<EOF
app|0|-|0|$up;$fill;$on;|app: the check says 0;credgraft-renew@app.service may write $work/params ($dropin);app: text of app;$enabled;
app|0|linked|0|$up;$fill;$on;|app: the check says 0;credgraft-renew@app.service may write $work/real dir ($dropin);app: text of app;$enabled;
app|0|nodir|0|$up;$on;|app: the check says 0;credgraft-renew@app.service may write $work/params ($dropin);app: no key and certificate in $work/certkeep yet; the first ones are copied within seconds of arriving;$enabled;
app|0|nocrt|0|$up;$on;|app: the check says 0;credgraft-renew@app.service may write $work/params ($dropin);app: no key and certificate in $work/certkeep yet; the first ones are copied within seconds of arriving;$enabled;
app|75|-|1|$up;$fill;$on;|app: the check says 75;credgraft-renew@app.service may write $work/params ($dropin);app: text of app;$enabled;
app|78|-|1||credgraft-target: app: the check says 78; nothing written or enabled
app|-|nocheck|1||credgraft-target: app: the check failed with status 99; nothing written or enabled
.app|0|-|1||".app" is not a target name
EOF

# Bash completion: the commands, then for add, remove and check the names
# of the settings files that are target names, nothing else and nothing run.
#   words before  current  replies
case=completion
if command -v bash >/dev/null; then
  sed "s|/etc/credgraft|$work/etc/credgraft|" "$here/../packaging/credgraft-target.bash-completion" >completion
  fresh app apple b
  : >"etc/credgraft/no name.conf" && : >etc/credgraft/.hidden.conf && : >"etc/credgraft/\$(touch ran).conf"
  while IFS='|' read -r before current want; do
    # shellcheck disable=SC2016  # bash's own words
    got=$(bash -c '. ./completion && COMP_WORDS=(credgraft-target $1 "$2") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) &&
      _credgraft_target && echo "${COMPREPLY[*]}"' - "$before" "$current")
    check "'$before' '$current': '$got'" [ "$got" = "$want" ]
  done <<EOF
||add remove renew list status check help
|re|remove renew
|s|status
|x|
add||app apple b
add|ap|app apple
remove|b|b
check|a|app apple
renew||
list|a|
add app||
EOF
  check "nothing run" [ ! -e ran ]
fi

if [ "$failures" -ne 0 ]; then
  echo "target: $failures failed checks in:$failed_cases" >&2
  exit 1
fi
echo "target: all checks passed"
