#!/bin/sh
# The renewal integration under a real systemd; run.sh runs it inside the
# container. It installs the package and follows the README's Integration
# section as written (the blocks marked <!-- tests/systemd: LABEL -->), with
# real services reading the parameter files (consumer.sh), then plays the
# enrolment client's renewals. Each scenario checks the hook's journal lines,
# the services' restarts and the certificates they serve.
# Usage: scenarios.sh PACKAGE.deb
set -u
here=$(cd "$(dirname "$0")" && pwd)
deb=$1
[ -f "$deb" ] || { echo "no package $deb" >&2; exit 2; }
readme=$here/README.md
certkeep=/var/data/certkeep
renew=credgraft-renew.service
state=/var/lib/consumer
pairs=/root/pairs
passed=0
failed=0
umask 077

changed_myapp='^myapp: TLS_KEY, TLS_CERT changed in /etc/myapp/params\.conf; myapp\.service restarted$'
nothing_myapp='^myapp: nothing changed in /etc/myapp/params\.conf$'
revived_myapp='^myapp: TLS_KEY, TLS_CERT changed in /etc/myapp/params\.conf; myapp\.service restarted after it had failed$'
changed_intranet='^intranet: KEY, CERT changed in /etc/intranet/tls\.env; intranet\.service restarted'
# Any restart of myapp, for a change however it was found.
restarted_myapp='^myapp: .*; myapp\.service restarted$'
# A line that says a value changed or a service restarted.
changes='^[a-z]+: [A-Z_]+(, [A-Z_]+)* changed in|\.service restarted'

# --- the README -------------------------------------------------------------

# block LABEL: prints the README's Integration block marked LABEL.
block() {
  awk -v mark="<!-- tests/systemd: $1 -->" '
    /^## / { section = ($0 == "## Integration") }
    section && $0 == mark { found = 1; next }
    found && !inside && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' "$readme"
}

# readme LABEL [look]: runs that block as written, in the directory holding
# the package, and shows what it printed. A block to look with runs to its
# end whatever its commands' status; any other stops at the first failure.
readme() {
  commands=$(block "$1")
  [ -n "$commands" ] || { echo "no README block marked $1"; return 1; }
  echo "$1" >> /tmp/readme.ran
  echo "  README ($1):"
  if [ "${2:-}" = look ]; then options=-u; else options=-eu; fi
  (cd "$here" && timeout "$(seconds 120)" sh "$options" -c "$commands") > /tmp/readme.out 2>&1
  status=$?
  sed 's/^/  | /' /tmp/readme.out
  return "$status"
}

# --- the enrolment client and the services ------------------------------------

# pair NAME [ec]: a key and its self-signed certificate, as the client gets them.
pair() {
  if [ "${2:-}" = ec ]; then
    openssl ecparam -genkey -name prime256v1 -out "$pairs/$1.key" 2>/dev/null
  else
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$pairs/$1.key" 2>/dev/null
  fi
  openssl req -x509 -new -key "$pairs/$1.key" -out "$pairs/$1.crt" -subj "/CN=$1" -days 2 2>/dev/null
}
put_key() { cat "$pairs/$1.key" > "$certkeep/latest.key"; }
put_cert() { cat "$pairs/$1.crt" > "$certkeep/latest.crt"; }
renew_in_place() { current=$1; put_key "$1" && put_cert "$1"; }
renew_by_rename() {
  current=$1
  for ext in key crt; do
    cp "$pairs/$1.$ext" "$certkeep/.latest.$ext.new" && mv "$certkeep/.latest.$ext.new" "$certkeep/latest.$ext"
  done
}

# consumer NAME PARAMETER_FILE KEY_VAR CERT_VAR PORT: installs and enables a
# TLS service that reads its credentials from PARAMETER_FILE.
consumer() {
  mkdir -p "$(dirname "$2")"
  printf '# %s settings\nPORT=%s\n%s=\n%s=\n' "$1" "$5" "$3" "$4" > "$2"
  cat > "/etc/systemd/system/$1.service" <<EOF
[Unit]
Description=TLS service $1, credentials from $2

[Service]
EnvironmentFile=$2
StateDirectory=consumer
RuntimeDirectory=$1
ExecStartPre=/usr/local/lib/consumer check $1 $3 $4
ExecStart=/usr/local/lib/consumer serve \${PORT}
ExecStartPost=/usr/local/lib/consumer ready \${PORT}

[Install]
WantedBy=multi-user.target
EOF
  systemctl daemon-reload
  systemctl enable "$1.service" 2>/dev/null
}

counter() { cat "$state/$1" 2>/dev/null || echo 0; }
port_of() { case $1 in myapp) echo 4433 ;; *) echo 4434 ;; esac; }
fingerprint() { openssl x509 -noout -fingerprint -sha256 2>/dev/null | sed 's/.*=//'; }

# --- a scenario's bookkeeping ------------------------------------------------

begin() {
  scenario=$1
  problems=""
  # An administrator trying things out would hit the start limit too.
  systemctl reset-failed "$renew" credgraft-renew.path 2>/dev/null
  mark
  rebase
  params_before=$(sha256sum /etc/myapp/params.conf 2>/dev/null)
}

# rebase: the services' counters count from here.
rebase() {
  for service_name in myapp intranet; do
    for what in starts refused reloads; do
      eval "base_${service_name}_$what=$(counter "$service_name.$what")"
    done
  done
}

mark() { cursor=$(journalctl -q -n 1 --show-cursor -o cat | sed -n 's/^-- cursor: //p'); }

# problem TEXT: notes a failed expectation.
problem() {
  problems="$problems
  - $*"
}

# expect CHECK...: one expectation of the scenario; a failed one is noted
# with what the check printed.
expect() {
  why=$("$@" 2>&1) || problem "$*${why:+ ($why)}"
}

end() {
  if [ -z "$problems" ]; then
    passed=$((passed + 1))
    echo "PASS $scenario"
  else
    failed=$((failed + 1))
    echo "FAIL $scenario:$problems"
    echo "  journal of $renew in this scenario:"
    lines | sed 's/^/  | /'
  fi
}

# lines [journalctl option...]: the renewal service's journal since begin.
lines() { journalctl -q -u "$renew" --after-cursor="$cursor" -o cat "$@" 2>/dev/null; }

# Waits are cut short once the scenarios have had 5.5 minutes, so that a
# broken integration still ends, with its verdicts, well within CI's limit.
budget_end=$(($(date +%s) + 330))
# seconds WANTED: WANTED, or what is left of the budget (at least 1).
seconds() {
  left=$((budget_end - $(date +%s)))
  if [ "$left" -lt "$1" ]; then echo $((left > 1 ? left : 1)); else echo "$1"; fi
}

# await PATTERN [SECONDS]: until a journal line matches (20 s at most).
await() {
  tries=$(($(seconds "${2:-20}") * 4))
  until lines | grep -Eq -- "$1"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "no line matching $1"; return 1; }
    sleep 0.25
  done
}

# until_true SECONDS CHECK...: until CHECK holds.
until_true() {
  tries=$(($(seconds "$1") * 4))
  shift
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { "$@"; return 1; }
    sleep 0.25
  done
}

# idle: until the renewal service has been idle (the same stopped run) for
# two seconds; 60 s at most.
idle() {
  tries=$(($(seconds 60) * 4))
  calm=0
  last=""
  while [ "$tries" -gt 0 ]; do
    now=$(systemctl show --value -p ActiveState -p InvocationID "$renew" | paste -sd' ')
    case $now in
      inactive* | failed*) if [ "$now" = "$last" ]; then calm=$((calm + 1)); else calm=0; fi ;;
      *) calm=0 ;;
    esac
    last=$now
    [ "$calm" -lt 8 ] || return 0
    tries=$((tries - 1))
    sleep 0.25
  done
  echo "$renew still busy ($now)"
  return 1
}

# after PATTERN: a run happens, logs PATTERN, and ends.
after() { await "$1" && idle; }

# nothing_happens: for a change that must not start anything.
nothing_happens() { sleep "$(seconds 3)" && idle; }

# run_now: a run started by hand (or by the timer), waited for.
run_now() { timeout "$(seconds 60)" systemctl start "$renew"; }

# catch_in_run COMMAND [PATTERN...]: stops (SIGSTOP) the first process of
# the renewal service named COMMAND (whose command line matches one of the
# case PATTERNs) and prints its pid; 20 s at most. The caller continues it with
# SIGCONT. The loop forks nothing while the service runs, to be quick enough
# for a process that lives a few milliseconds.
catch_in_run() {
  wanted=$1
  shift
  [ $# -gt 0 ] || set -- '*'
  procs=/sys/fs/cgroup/system.slice/$renew/cgroup.procs
  deadline=$(($(date +%s) + $(seconds 20)))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    [ -r "$procs" ] || { sleep 0.01; continue; }
    round=0
    while [ "$round" -lt 2000 ] && [ -r "$procs" ]; do
      round=$((round + 1))
      while read -r pid; do
        { read -r comm < "/proc/$pid/comm"; } 2>/dev/null || continue
        [ "$comm" = "$wanted" ] || continue
        # The arguments run together: dash's read drops the NUL bytes. The
        # line has no newline, so read's status says nothing.
        command_line=""
        { read -r command_line < "/proc/$pid/cmdline"; } 2>/dev/null
        for pattern in "$@"; do
          # shellcheck disable=SC2254  # the pattern is meant to match
          case $command_line in
            $pattern) kill -STOP "$pid" 2>/dev/null && { echo "$pid"; return 0; } ;;
          esac
        done
      done 2>/dev/null < "$procs"
    done
  done
  return 1
}

# --- checks -------------------------------------------------------------------

logged() { # PATTERN [PRIORITY]: a journal line matches, at PRIORITY or above
  case ${2:-debug} in
    err) most=3 ;;
    warning) most=4 ;;
    notice) most=5 ;;
    info) most=6 ;;
    *) most=7 ;;
  esac
  # Read from the entries' fields, which journalctl's own -p does not always
  # apply together with --after-cursor.
  lines -o verbose | awk -v most="$most" '
    function entry() { if (text != "" && priority <= most) print text; text = ""; priority = 7 }
    /^[^ ]/ { entry(); next }
    /^    PRIORITY=/ { priority = substr($0, 14) + 0 }
    /^    MESSAGE=/ { text = substr($0, 13) }
    END { entry() }' | grep -Eq -- "$1" && return 0
  echo "none at ${2:-any} priority; the lines:"
  lines -o verbose | sed -n 's/^ *\(PRIORITY=.*\|MESSAGE=.*\)/\1/p' | paste -d' ' - -
  return 1
}
not_logged() { ! lines | grep -E -- "$1"; }
logged_times() { # N PATTERN
  n=$(lines | grep -Ec -- "$2")
  [ "$n" -eq "$1" ] || { echo "$n times"; return 1; }
}
restarts() { # NAME MIN [MAX]: the service started (its checks passed) that often
  eval "n=\$(( \$(counter $1.starts) - base_$1_starts ))"
  if [ "$n" -lt "$2" ] || [ "$n" -gt "${3:-$2}" ]; then
    echo "$n times"
    return 1
  fi
}
refused() { # NAME N: the service refused a pair that often
  eval "n=\$(( \$(counter $1.refused) - base_$1_refused ))"
  [ "$n" -eq "$2" ] || { echo "$n times"; return 1; }
}
reloads() { # NAME N
  eval "n=\$(( \$(counter $1.reloads) - base_$1_reloads ))"
  [ "$n" -eq "$2" ] || { echo "$n times"; return 1; }
}
serves() { # NAME PAIR: the service's TLS certificate is PAIR's
  got=$(timeout 5 openssl s_client -connect "127.0.0.1:$(port_of "$1")" </dev/null 2>/dev/null | fingerprint)
  want=$(fingerprint < "$pairs/$2.crt")
  [ -n "$got" ] && [ "$got" = "$want" ] && return 0
  for p in "$pairs"/*.crt; do
    [ "$(fingerprint < "$p")" != "$got" ] || { echo "serves $(basename "$p" .crt)"; return 1; }
  done
  echo "serves ${got:-nothing}"
  return 1
}
holds() { # FILE KEY_VAR CERT_VAR PAIR: the file's values are PAIR's key and certificate
  sed -n "s/^$2=//p" "$1" | base64 -d 2>/dev/null | cmp -s - "$pairs/$4.key" &&
    sed -n "s/^$3=//p" "$1" | base64 -d 2>/dev/null | cmp -s - "$pairs/$4.crt"
}
myapp_holds() { holds /etc/myapp/params.conf TLS_KEY TLS_CERT "$1"; }
params_unchanged() { [ "$(sha256sum /etc/myapp/params.conf)" = "$params_before" ]; }
is() { # UNIT STATE
  s=$(systemctl is-active "$1")
  [ "$s" = "$2" ] || { echo "$s"; return 1; }
}
exited() { # STATUS: the last run's exit status
  s=$(systemctl show --value -p ExecMainStatus "$renew")
  [ "$s" = "$1" ] || { echo "exit $s"; return 1; }
}
watching() { is credgraft-renew.path active && is credgraft-renew.timer active; }

# refused_run PAIR: the run that the key's change started refused the key
# (a warning naming it, status 75): the file is as it was, nothing was
# restarted, and the service still serves PAIR.
refused_run() {
  expect after 'latest\.key'
  expect logged '^myapp: .*latest\.key' warning
  expect not_logged "$changes"
  expect exited 75
  expect params_unchanged
  expect restarts myapp 0
  expect serves myapp "$1"
}

# --- the machine before the package -------------------------------------------

mkdir -p "$pairs" "$certkeep" /usr/local/lib
install -m 755 "$here/consumer.sh" /usr/local/lib/consumer
echo "making credentials"
for name in A B C D E F G H I J K L1 L2 L3 M N O P Q R S T1 T2 T3 U1 U2 U3 V W X Y; do
  pair "$name" &
done
pair ec ec
wait
# A chain of the leaf and unrelated certificates, too long for one value.
cp "$pairs/R.crt" "$pairs/long.crt"
for name in A B C D E F G H I J K L1 L2 L3 M N O P Q; do
  [ "$(wc -c < "$pairs/long.crt")" -gt 12100 ] || cat "$pairs/$name.crt" >> "$pairs/long.crt"
done
cp "$pairs/R.key" "$pairs/long.key"
# The client has its first pair; the service is installed and cannot start
# without credentials.
renew_in_place A
consumer myapp /etc/myapp/params.conf TLS_KEY TLS_CERT 4433
systemctl start myapp.service 2>/dev/null

# --- scenarios -----------------------------------------------------------------

begin "install; the README's set-up and first fill"
expect refused myapp 0
expect is myapp.service failed
expect readme install
# A short settling time, as an administrator trying things out would set.
if grep -q '^#*CREDGRAFT_SETTLE=' /etc/default/credgraft; then
  sed -i 's/^#*CREDGRAFT_SETTLE=.*/CREDGRAFT_SETTLE=1/' /etc/default/credgraft
else
  echo CREDGRAFT_SETTLE=1 >> /etc/default/credgraft
fi
expect readme configure
expect readme first-fill
expect after "$revived_myapp"
expect logged_times 1 "$revived_myapp"
expect exited 0
expect is myapp.service active
expect restarts myapp 1
expect serves myapp A
expect myapp_holds A
expect watching
expect systemctl is-enabled -q credgraft-renew.path credgraft-renew.timer
end
dpkg -s credgraft >/dev/null 2>&1 || { echo "the package is not installed: nothing more to try"; echo "$passed passed, $((failed + 1)) failed"; exit 1; }

begin "a renewal written in place"
renew_in_place B
expect after "$changed_myapp"
expect logged_times 1 "$changed_myapp"
expect exited 0
expect restarts myapp 1
expect refused myapp 0
expect serves myapp B
expect myapp_holds B
expect watching
end

begin "a renewal written by rename"
renew_by_rename C
expect after "$changed_myapp"
expect logged_times 1 "$changed_myapp"
expect restarts myapp 1
expect serves myapp C
expect myapp_holds C
expect watching
end

begin "the same bytes written again, and a touch"
renew_in_place C
expect after "$nothing_myapp"
touch "$certkeep/latest.key" "$certkeep/latest.crt"
expect nothing_happens
expect not_logged "$changes"
expect exited 0
expect restarts myapp 0
expect serves myapp C
expect params_unchanged
expect watching
end

begin "a partial key, then the whole one"
head -c 900 "$pairs/D.key" > "$certkeep/latest.key"
refused_run C
put_key D
put_cert D
expect after "$changed_myapp"
expect restarts myapp 1
expect refused myapp 0
expect serves myapp D
expect watching
end

begin "a mismatched pair; why the run failed"
put_key E
refused_run D
readme why look > /dev/null
expect grep -q 'latest\.key' /tmp/readme.out
expect grep -q "$renew" /tmp/readme.out
put_cert E
expect after "$changed_myapp"
expect restarts myapp 1
expect refused myapp 0
expect serves myapp E
expect watching
end

begin "key and certificate seconds apart, key first"
put_key F
sleep 3
put_cert F
expect after "$changed_myapp"
expect logged_times 1 "$changed_myapp"
expect restarts myapp 1
expect refused myapp 0
expect serves myapp F
expect myapp_holds F
end

begin "key and certificate seconds apart, certificate first"
put_cert G
sleep 3
put_key G
expect after "$changed_myapp"
expect logged_times 1 "$changed_myapp"
expect restarts myapp 1
expect refused myapp 0
expect serves myapp G
expect myapp_holds G
end

begin "two renewals a second apart"
renew_in_place H
sleep 1
renew_in_place I
expect after "$restarted_myapp"
expect until_true 20 myapp_holds I
expect idle
expect restarts myapp 1 2
expect refused myapp 0
expect serves myapp I
expect watching
end

begin "a renewal while the service restarts"
echo 3 > "$state/myapp.slow"
renew_in_place J
expect until_true 20 is myapp.service activating
renew_in_place K
rm -f "$state/myapp.slow"
expect until_true 30 serves myapp K
expect idle
expect logged_times 2 "$changed_myapp"
expect restarts myapp 2
expect refused myapp 0
expect myapp_holds K
expect watching
end

begin "a key replaced during the hook's checks"
# While openssl reads the certificate, after the key was read and checked.
caught=""
for attempt in L1 L2 L3; do
  mark
  rebase
  before=$current
  renew_in_place "$attempt"
  if pid=$(catch_in_run openssl '*x509*' '*crl2pkcs7*'); then
    put_key M
    kill -CONT "$pid"
    caught=$attempt
    break
  fi
  idle
done
[ -n "$caught" ] || problem "no openssl reading the certificate caught in three runs"
expect idle
expect logged '^myapp: the credentials changed while credgraft ran; nothing restarted'
expect logged '^myapp: .*latest\.key: does not belong' warning
expect not_logged '\.service restarted'
expect refused myapp 0
expect restarts myapp 0
expect is myapp.service active
expect serves myapp "$before"
put_cert M
expect after "$restarted_myapp"
expect restarts myapp 1
expect refused myapp 0
expect serves myapp M
expect myapp_holds M
expect watching
end

begin "a failed service revived by the next renewal; a stopped one left stopped"
systemctl kill -s KILL myapp.service
expect until_true 10 is myapp.service failed
renew_in_place N
expect after "$revived_myapp"
expect is myapp.service active
expect restarts myapp 1
expect serves myapp N
systemctl stop myapp.service
renew_in_place O
expect after '^myapp: TLS_KEY, TLS_CERT changed in /etc/myapp/params\.conf'
expect exited 0
expect is myapp.service inactive
expect restarts myapp 1
expect myapp_holds O
systemctl start myapp.service
expect serves myapp O
expect refused myapp 0
end

begin "a service with ExecReload=: restarted; CREDGRAFT_RESTART for a reload"
mkdir -p /run/systemd/system/myapp.service.d
printf '[Service]\nExecReload=/usr/local/lib/consumer reloaded myapp\n' > /run/systemd/system/myapp.service.d/reload.conf
systemctl daemon-reload
renew_in_place P
expect after "$changed_myapp"
expect restarts myapp 1
expect reloads myapp 0
expect serves myapp P
echo 'CREDGRAFT_RESTART="systemctl reload myapp.service"' >> /etc/credgraft/myapp.conf
renew_in_place Q
expect after '^myapp: TLS_KEY, TLS_CERT changed in /etc/myapp/params\.conf'
expect reloads myapp 1
expect restarts myapp 1
expect myapp_holds Q
# The reload gives a service that reads EnvironmentFile= no new values.
expect serves myapp P
sed -i '/^CREDGRAFT_RESTART=/d' /etc/credgraft/myapp.conf
rm -r /run/systemd/system/myapp.service.d
systemctl daemon-reload
systemctl restart myapp.service
expect serves myapp Q
end

begin "an EC key, with its parameters block"
expect grep -q '^-----BEGIN EC PARAMETERS-----' "$pairs/ec.key"
renew_in_place ec
expect after "$changed_myapp"
expect exited 0
expect restarts myapp 1
expect refused myapp 0
expect serves myapp ec
expect myapp_holds ec
end

begin "a chain too long for a value"
expect test "$(wc -c < "$pairs/long.crt")" -gt 12000
renew_in_place long
expect after 'latest\.crt'
expect logged "^myapp: .*latest\\.crt.*$(wc -c < "$pairs/long.crt")" err
expect not_logged "$changes"
expect exited 1
expect params_unchanged
expect restarts myapp 0
expect refused myapp 0
expect serves myapp ec
end

# stop_mid_write PAIRS SIGNAL: renews with each pair in turn until a run is
# caught while credgraft writes, then stops (TERM) or kills (KILL) the run.
stop_mid_write() {
  for attempt in $1; do
    renew_in_place "$attempt"
    if pid=$(catch_in_run credgraft); then
      if [ "$2" = TERM ]; then
        systemctl stop --no-block "$renew"
        sleep 1
      else
        systemctl kill -s KILL "$renew"
      fi
      kill -CONT "$pid" 2>/dev/null
      expect idle
      return 0
    fi
    idle
  done
  problem "credgraft never caught running ($2)"
  return 1
}

begin "systemctl stop of the run mid-write, and a SIGKILL"
if stop_mid_write "T1 T2 T3" TERM; then
  # The stopped run finishes what credgraft began, the restart included.
  expect serves myapp "$current"
  expect myapp_holds "$current"
  run_now
  expect idle
  expect serves myapp "$current"
fi
if stop_mid_write "U1 U2 U3" KILL; then
  # The next run (the timer's, say) performs the restart that is owed.
  run_now
  expect idle
  expect serves myapp "$current"
  expect myapp_holds "$current"
fi
expect refused myapp 0
expect watching
end

begin "two targets"
consumer intranet /etc/intranet/tls.env KEY CERT 4434
systemctl start intranet.service 2>/dev/null
expect is intranet.service failed
rebase
expect readme second-service
expect after "$changed_intranet"
expect logged "$nothing_myapp"
expect restarts intranet 1
expect serves intranet "$current"
mark
rebase
renew_in_place V
expect after "$changed_intranet\$"
expect logged "$changed_myapp"
expect restarts myapp 1
expect restarts intranet 1
expect serves myapp V
expect serves intranet V
# One target failing, its directory gone, does not stop the other.
mv /etc/intranet /etc/intranet.away
mark
renew_in_place W
expect after "$changed_myapp"
expect logged '^intranet: credgraft exited with status 2 for /etc/intranet/tls\.env$' err
expect logged '^failed targets: intranet \(exit 2\)$' err
expect exited 2
expect not_logged "$changed_intranet"
expect serves myapp W
expect serves intranet V
mv /etc/intranet.away /etc/intranet
mark
run_now
expect after "$changed_intranet"
expect serves intranet W
expect refused myapp 0
expect refused intranet 0
end

begin "the timer"
expect readme timer
expect grep -q credgraft-renew.timer /tmp/readme.out
expect test "$(systemctl show --value -p Unit credgraft-renew.timer)" = "$renew"
expect test "$(systemctl show --value -p Persistent credgraft-renew.timer)" = yes
expect test -n "$(systemctl show --value -p TimersCalendar credgraft-renew.timer)"
# A renewal the path unit missed is applied when the timer fires.
systemctl stop credgraft-renew.path
renew_in_place X
expect nothing_happens
expect serves myapp W
mkdir -p /run/systemd/system/credgraft-renew.timer.d
printf '[Timer]\nOnActiveSec=1\nRandomizedDelaySec=0\nAccuracySec=1us\n' > /run/systemd/system/credgraft-renew.timer.d/soon.conf
systemctl daemon-reload
systemctl restart credgraft-renew.timer
expect after "$changed_intranet"
expect logged "$changed_myapp"
expect serves myapp X
expect serves intranet X
expect test -e /var/lib/systemd/timers/stamp-credgraft-renew.timer
rm -r /run/systemd/system/credgraft-renew.timer.d
systemctl daemon-reload
systemctl restart credgraft-renew.timer
expect readme rewatch
expect watching
end

begin "purge"
expect readme remove
for unit in credgraft-renew.path credgraft-renew.timer "$renew"; do
  expect test "$(systemctl show --value -p LoadState "$unit")" = not-found
done
expect test -z "$(find /etc/systemd/system -type l -name 'credgraft-renew.*')"
expect test ! -e /var/lib/credgraft
expect test ! -e /run/credgraft
expect test ! -e /usr/sbin/credgraft
mark
renew_in_place Y
expect nothing_happens
expect test -z "$(lines)"
expect is myapp.service active
expect serves myapp X
end

begin "every block of the README's Integration section was run"
labels=$(awk '/^## / { s = ($0 == "## Integration") } s && /^<!-- tests\/systemd: .* -->$/ { print $3 }' "$readme")
for label in $labels; do
  grep -qx -- "$label" /tmp/readme.ran || problem "block $label not run"
done
expect test "$(awk '/^## / { s = ($0 == "## Integration") } s && /^```sh$/' "$readme" | wc -l)" \
  -eq "$(awk '/^## / { s = ($0 == "## Integration") } s && /^<!-- tests\/systemd: .* -->$/' "$readme" | wc -l)"
end

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
