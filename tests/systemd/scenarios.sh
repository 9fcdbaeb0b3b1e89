#!/bin/sh
# The renewal integration under a real systemd; run.sh runs it inside the
# container. It installs the package and follows the README's Integration
# section as written (the blocks marked <!-- tests/systemd: LABEL -->), with
# real services reading the parameter files (consumer.sh), plays the
# enrolment client's renewals (its first one after the set-up, links into an
# archive) and an administrator's mistakes (settings others may write, lines
# that are not data, links moved), removes and reinstalls the package, then
# upgrades a host set up for 1.2.0 with odd but legal settings. Each scenario
# checks the targets' instances (state, status, journal, outcome record), the
# services' restarts and the certificates they serve.
# Usage: scenarios.sh PACKAGE.deb [1.2.0.deb]. Given 1.2.0 as PACKAGE, the
# scenarios run against its single service, to show the faults it had.
set -u
here=$(cd "$(dirname "$0")" && pwd)
deb=$1
old_deb=${2:-}
[ -f "$deb" ] || { echo "no package $deb" >&2; exit 2; }
readme=$here/README.md
certkeep=/var/data/certkeep
state=/var/lib/consumer
pairs=/root/pairs
base=/root/base
defaults=/etc/default/credgraft
records=/var/lib/credgraft
intranet_file=/etc/intranet/tls.env
# Where a settings line that is not data would lead the runs, and the mark
# anything run or loaded from there leaves.
tools=/opt/x
pwned=/etc/myapp/pwned
passed=0
failed=0
umask 077

# Outcome lines of the hook: the values changed and the service took them
# (as 1.2.0 said it too); nothing changed; anything that says a value changed
# or a service restarted.
changed='changed in [^;]*; (systemctl [a-z-]+ [^ ]+ done|[^ ]+ restarted( after it had failed)?)$'
nothing='nothing changed in'
changes='values changed|owed by an earlier|systemctl [a-z-]+ [^ ]+ done|(restarted|reloaded)$'

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
# dated NAME FROM TO: a pair whose certificate is valid from FROM to TO
# (date(1)'s words), which only openssl's CA command can backdate.
dated() {
  mkdir -p "$pairs/ca" && : > "$pairs/ca/index.txt"
  printf '[ca]\ndefault_ca=d\n[d]\ndatabase=%s\nnew_certs_dir=%s\nrand_serial=yes\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n' \
    "$pairs/ca/index.txt" "$pairs/ca" > "$pairs/ca/ca.cnf"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$pairs/$1.key" 2>/dev/null
  openssl req -new -key "$pairs/$1.key" -subj "/CN=$1" 2>/dev/null |
    openssl ca -batch -config "$pairs/ca/ca.cnf" -selfsign -keyfile "$pairs/$1.key" -in /dev/stdin -notext \
      -out "$pairs/$1.crt" -startdate "$(date -u -d "$2" +%Y%m%d%H%M%SZ)" -enddate "$(date -u -d "$3" +%Y%m%d%H%M%SZ)" \
      >/dev/null 2>&1
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
ExecStop=/usr/local/lib/consumer stop $1
TimeoutStopSec=infinity

[Install]
WantedBy=multi-user.target
EOF
  systemctl daemon-reload
  systemctl enable "$1.service" 2>/dev/null
}

# target NAME FILE PAIRS SERVICE [LINE...]: writes /etc/credgraft/NAME.conf.
target() {
  name=$1 file=$2 pairs_setting=$3 service=$4
  shift 4
  printf 'CREDGRAFT_CONF=%s\nCREDGRAFT_PAIRS="%s"\nCREDGRAFT_SERVICE=%s\n' "$file" "$pairs_setting" "$service" \
    > "/etc/credgraft/$name.conf"
  [ $# -eq 0 ] || printf '%s\n' "$@" >> "/etc/credgraft/$name.conf"
}

port_of() { case $1 in myapp) echo 4433 ;; early) echo 4435 ;; *) echo 4434 ;; esac; }
fingerprint() { openssl x509 -noout -fingerprint -sha256 2>/dev/null | sed 's/.*=//'; }

# --- the package's units, and 1.2.0's for comparison ---------------------------

instances() { [ -e /usr/lib/systemd/system/credgraft-renew@.service ]; }
# unit NAME [path|timer]: the unit that handles the target NAME.
unit() {
  if instances; then echo "credgraft-renew@$1.${2:-service}"; else echo "credgraft-renew.${2:-service}"; fi
}
# add NAME: sets up the target NAME, whose settings are written.
add() {
  if instances; then
    timeout "$(seconds 90)" credgraft-target add "$1"
    return
  fi
  dir=$(dirname "$(sed -n 's/^CREDGRAFT_CONF=//p' "/etc/credgraft/$1.conf")")
  mkdir -p /etc/systemd/system/credgraft-renew.service.d
  printf '[Service]\nReadWritePaths=-%s\n' "$dir" > "/etc/systemd/system/credgraft-renew.service.d/$1.conf"
  systemctl daemon-reload
  systemctl enable --now credgraft-renew.path credgraft-renew.timer 2>/dev/null
  run_now "$1"
}
# renew_all: every target now, as the enrolment client's hook does it.
renew_all() {
  if instances; then timeout "$(seconds 120)" credgraft-target renew; else run_now all; fi > /tmp/renew.out 2>&1
}
run_now() { timeout "$(seconds 60)" systemctl start "$(unit "$1")" 2>/dev/null; }
# settle SECONDS [FILE]: the settling time, shared or of one target.
settle() {
  [ ! -e "${2:-$defaults}" ] || sed -i '/^CREDGRAFT_SETTLE=/d' "${2:-$defaults}"
  echo "CREDGRAFT_SETTLE=$1" >> "${2:-$defaults}"
}

# --- a scenario's bookkeeping ------------------------------------------------

begin() {
  scenario=$1
  problems=""
  mark
  rebase
  params_before=$(sha256sum /etc/myapp/params.conf 2>/dev/null)
}

# rebase: the services' counters count from here.
rebase() { rm -rf "$base"; mkdir -p "$base"; cp "$state"/* "$base" 2>/dev/null; }
since() { echo $(($(cat "$state/$1" 2>/dev/null || echo 0) - $(cat "$base/$1" 2>/dev/null || echo 0))); }

# mark: the journal's lines count from here, and the start limit afresh, as
# for an administrator trying things out.
mark() {
  systemctl reset-failed 'credgraft-renew*' 2>/dev/null
  marked=$(date +%s)
  cursor=$(journalctl -q -n 1 --show-cursor -o cat | sed -n 's/^-- cursor: //p')
}

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
    echo "  journal of credgraft's units in this scenario:"
    journalctl -q -u 'credgraft*' --after-cursor="$cursor" -o short-monotonic 2>/dev/null | sed 's/^/  | /'
  fi
}

# lines NAME [journalctl option...]: the journal of NAME's unit since begin.
lines() {
  name=$1
  shift
  journalctl -q -u "$(unit "$name")" --after-cursor="$cursor" -o cat "$@" 2>/dev/null
}

# Waits are cut short once the scenarios have had 11 minutes, so that a
# broken integration still ends, with its verdicts, within run.sh's limit.
budget_end=$(($(date +%s) + 660))
# seconds WANTED: WANTED, or what is left of the budget (at least 1).
seconds() {
  left=$((budget_end - $(date +%s)))
  if [ "$left" -lt "$1" ]; then echo $((left > 1 ? left : 1)); else echo "$1"; fi
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

# idle NAME: until NAME's unit has been idle (the same ended run) for two
# seconds; 60 s at most. A run waiting for its retry is not idle.
idle() {
  tries=$(($(seconds 60) * 4))
  calm=0
  last=""
  while [ "$tries" -gt 0 ]; do
    now=$(systemctl show --value -p ActiveState -p InvocationID "$(unit "$1")" | paste -sd' ')
    case $now in
      inactive* | failed*) if [ "$now" = "$last" ]; then calm=$((calm + 1)); else calm=0; fi ;;
      *) calm=0 ;;
    esac
    last=$now
    [ "$calm" -lt 8 ] || return 0
    tries=$((tries - 1))
    sleep 0.25
  done
  echo "$(unit "$1") still busy ($now)"
  return 1
}

# after NAME PATTERN [SECONDS]: a run of NAME logs PATTERN (within 30 s), and ends.
after() { until_true "${3:-30}" logged "$1" "$2" && idle "$1"; }

# nothing_happens NAME: for a change that must not start anything.
nothing_happens() { sleep "$(seconds 3)" && idle "$1"; }

# catch_in_run NAME COMMAND [PATTERN...]: stops (SIGSTOP) the first process
# of NAME's run named COMMAND (whose command line matches one of the case
# PATTERNs) and prints its pid; 20 s at most. The caller continues it with
# SIGCONT. The loop forks nothing while the run goes on, to be quick enough
# for a process that lives a few milliseconds.
catch_in_run() {
  procs=/sys/fs/cgroup/system.slice/$(unit "$1")/cgroup.procs
  case $procs in
    *@*) procs=/sys/fs/cgroup/system.slice/system-credgraft\\x2drenew.slice/$(unit "$1")/cgroup.procs ;;
  esac
  wanted=$2
  shift 2
  [ $# -gt 0 ] || set -- '*'
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

# logged NAME PATTERN [PRIORITY]: a line of NAME's journal matches, at
# PRIORITY (3 err, 4 warning, 5 notice) or above. Read from the entries'
# fields, which journalctl's own -p does not always apply with --after-cursor.
logged() {
  lines "$1" -o verbose | awk -v most="${3:-7}" '
    function entry() { if (text != "" && priority <= most) print text; text = ""; priority = 7 }
    /^[^ ]/ { entry(); next }
    /^    PRIORITY=/ { priority = substr($0, 14) + 0 }
    /^    MESSAGE=/ { text = substr($0, 13) }
    END { entry() }' | grep -Eq -- "$2" && return 0
  echo "none at ${3:-any} priority; the lines:"
  lines "$1" -o verbose | sed -n 's/^ *\(PRIORITY=.*\|MESSAGE=.*\)/\1/p' | paste -d' ' - -
  return 1
}
not_logged() { ! lines "$1" | grep -E -- "$2"; }
logged_times() { # NAME N PATTERN
  n=$(lines "$1" | grep -Ec -- "$3")
  [ "$n" -eq "$2" ] || { echo "$n times"; return 1; }
}
# counted COUNTER MIN [MAX]: consumer's COUNTER (NAME.starts: the service
# started with a sound pair; .refused; .reloads) grew that much since begin.
counted() {
  n=$(since "$1")
  if [ "$n" -lt "$2" ] || [ "$n" -gt "${3:-$2}" ]; then echo "$n times"; return 1; fi
}
restarts() { counted "$1.starts" "$2" "${3:-$2}"; }
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
value() { sed -n "s/^$2=//p" "$1" | base64 -d 2>/dev/null; } # FILE NAME: decoded
holds() { # FILE KEY_VAR CERT_VAR PAIR: the file's values are PAIR's key and certificate
  value "$1" "$2" | cmp -s - "$pairs/$4.key" && value "$1" "$3" | cmp -s - "$pairs/$4.crt"
}
myapp_holds() { holds /etc/myapp/params.conf TLS_KEY TLS_CERT "$1"; }
intranet_holds() { holds "$intranet_file" KEY CERT "$1"; }
early_holds() { holds /etc/early/params.conf TLS_KEY TLS_CERT "$1"; }
# matched: myapp's file holds a key and the certificate it belongs to.
matched() {
  k=$(value /etc/myapp/params.conf TLS_KEY | openssl pkey -pubout 2>/dev/null)
  c=$(value /etc/myapp/params.conf TLS_CERT | openssl x509 -pubkey -noout 2>/dev/null)
  [ -n "$k" ] && [ "$k" = "$c" ] && return 0
  echo "a key and a certificate that do not match"
  return 1
}
params_unchanged() { [ "$(sha256sum /etc/myapp/params.conf)" = "$params_before" ]; }
is() { # UNIT STATE
  s=$(systemctl is-active "$1")
  [ "$s" = "$2" ] || { echo "$s"; return 1; }
}
exited() { # NAME STATUS: the last run's exit status
  s=$(systemctl show --value -p ExecMainStatus "$(unit "$1")")
  [ "$s" = "$2" ] || { echo "exit $s"; return 1; }
}
# failing NAME: the last run of NAME failed (the unit failed, or waiting to retry).
failing() { [ "$(systemctl show --value -p Result "$(unit "$1")")" != success ]; }
watching() { is "$(unit "$1" path)" active && is "$(unit "$1" timer)" active; }
enabled() { [ "$(systemctl is-enabled "$1" 2>/dev/null)" = enabled ]; }
no_failed() { ! systemctl list-units --failed --plain --no-legend 'credgraft*' | grep .; }
# recorded NAME STATUS [PATTERN [WARNED]]: NAME's outcome record, written
# since mark: its status, text, and warned mark (no by default).
recorded() {
  { read -r when got warned text < "$records/$1.last"; } 2>/dev/null || { echo "no record"; return 1; }
  [ "${when%.*}" -ge "$marked" ] && [ "$got" = "$2" ] && [ "$warned" = "${4:-no}" ] &&
    printf '%s\n' "$text" | grep -Eq -- "${3:-.}" && return 0
  echo "$when $got $warned $text"
  return 1
}
retries() { systemctl show --value -p NRestarts "$(unit "$1")"; }
# says STATUS STREAM PATTERN COMMAND...: COMMAND exits STATUS (!0: not 0)
# within 90 s, and prints a line matching PATTERN on STREAM (out, err, any).
says() {
  want=$1 stream=$2 pattern=$3
  shift 3
  timeout "$(seconds 90)" "$@" > /tmp/says.out 2> /tmp/says.err
  got=$?
  case $stream in out) seen=/tmp/says.out ;; err) seen=/tmp/says.err ;; *) seen="/tmp/says.out /tmp/says.err" ;; esac
  # shellcheck disable=SC2086  # one or two files
  if { [ "$got" = "$want" ] || { [ "$want" = '!0' ] && [ "$got" != 0 ]; }; } && cat $seen | grep -Eq -- "$pattern"; then
    return 0
  fi
  echo "exit $got; out: $(cat /tmp/says.out); err: $(cat /tmp/says.err)"
  return 1
}
# ms_since NANOSECONDS: milliseconds since then.
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

# refused_run NAME PAIR: the run that a change started refused it (a warning
# naming the file, status 75, retried): the file is as it was, nothing was
# restarted, and the service still serves PAIR.
refused_run() {
  expect until_true 30 logged "$1" 'latest\.(key|crt).*nothing written' 4
  expect until_true 5 exited "$1" 75
  expect not_logged "$1" "$changes"
  expect params_unchanged
  expect restarts "$1" 0
  expect serves "$1" "$2"
}

# --- the machine before the package -------------------------------------------

mkdir -p "$pairs" /usr/local/lib
install -m 755 "$here/consumer.sh" /usr/local/lib/consumer
echo "making credentials"
for name in A B C D E F G H I J K L M N O P Q R S T1 T2 T3 U1 U2 U3 V W X Y Z \
    arc1 arc2 arc3 arc4 arc5 lnk1 lnk2 lnk3 msg1 lst1 rei1; do
  pair "$name" &
done
pair ec ec
wait
dated soon '-60 days' '+5 days'
dated expired '-60 days' '-1 day'
# A chain of the leaf and unrelated certificates: one that fits in a value,
# and one too long for it.
cat "$pairs/ec.crt" "$pairs/A.crt" "$pairs/B.crt" > "$pairs/chain.crt"
cp "$pairs/ec.key" "$pairs/chain.key"
cp "$pairs/R.crt" "$pairs/long.crt"
for name in A B C D E F G H I J K L M N O P Q; do
  [ "$(wc -c < "$pairs/long.crt")" -gt 12100 ] || cat "$pairs/$name.crt" >> "$pairs/long.crt"
done
cp "$pairs/R.key" "$pairs/long.key"
# The services are installed and cannot start without credentials; the
# client is not enrolled yet: the credential directory does not exist.
rm -rf "$certkeep"
consumer myapp /etc/myapp/params.conf TLS_KEY TLS_CERT 4433
consumer intranet "$intranet_file" KEY CERT 4434
consumer early /etc/early/params.conf TLS_KEY TLS_CERT 4435
systemctl start myapp.service intranet.service early.service 2>/dev/null

# --- scenarios -----------------------------------------------------------------

begin "installed, nothing configured: no unit failed, none of the old design; credgraft-target's usage and refusals"
expect is myapp.service failed
expect readme install
if instances; then
  for old in credgraft-renew.service credgraft-renew.path credgraft-renew.timer; do
    expect test "$(systemctl show --value -p LoadState "$old")" = not-found
  done
  # Each row: the exit status, where the text goes, what it says, the command.
  while IFS='|' read -r status stream pattern command; do
    # shellcheck disable=SC2086  # the command's words
    expect says "$status" "$stream" "$pattern" $command
  done <<'EOF'
0|out|[Uu]sage: credgraft-target|credgraft-target --help
0|out|[Uu]sage: credgraft-target|credgraft-target help
0|out|[Uu]sage: credgraft-target|credgraft-target -h
2|err|[Uu]sage: credgraft-target|credgraft-target frobnicate
2|err|[Uu]sage: credgraft-target|credgraft-target
!0|err|nosuch|credgraft-target remove nosuch
!0|any|/etc/credgraft/nosuch\.conf|credgraft-target check nosuch
0|any|[Nn]o target|credgraft-target renew
EOF
  expect test ! -e /etc/systemd/system/credgraft-renew@nosuch.service.d
else
  expect renew_all
fi
expect no_failed
end
dpkg -s credgraft >/dev/null 2>&1 || { echo "the package is not installed: nothing more to try"; echo "$passed passed, $((failed + 1)) failed"; exit 1; }

begin "set up before the first certificate, start limit as shipped: nothing made, nothing failed, the first pair copied within seconds"
# The natural order on a new host: the package, the target, then the
# client's enrolment, which makes the credential directory itself.
target early /etc/early/params.conf "TLS_KEY pkey TLS_CERT cert" early.service
expect says 0 any "$certkeep" credgraft-target add early
expect test ! -e "$certkeep"
expect watching early
for kind in path timer; do expect enabled "$(unit early "$kind")"; done
# The timer's run and renew's, while there is no credential directory.
mark
run_now early
started=$(date +%s%N)
expect says 0 any "^early: .*$certkeep" credgraft-target renew
expect test "$(ms_since "$started")" -lt 15000
expect test ! -e "$certkeep"
expect no_failed
expect watching early
# The directory, empty: every run, twenty-one in a row, has nothing to do
# yet, without a failure, a retry, or a watch lost to a start limit.
mkdir -p "$certkeep" && chmod 755 "$certkeep"
runs=0
while [ "$runs" -lt 21 ]; do run_now early; runs=$((runs + 1)); done
expect exited early 0
expect recorded early 0 'nothing to do yet'
expect logged early 'nothing to do yet'
expect test "$(retries early)" = 0
expect no_failed
expect watching early
expect test -z "$(ls "$certkeep")"
expect restarts early 0
# The first pair, as the client writes it: applied within seconds.
started=$(date +%s%N)
renew_by_rename A
expect until_true 15 early_holds A
echo "  (the first pair applied after $(ms_since "$started") ms)"
expect idle early
expect recorded early 0 "$changed"
expect serves early A
expect restarts early 1
expect no_failed
[ -s "$certkeep/latest.crt" ] || renew_in_place A
if instances; then credgraft-target remove early > /dev/null 2>&1; fi
rm -f /etc/credgraft/early.conf
systemctl disable --now early.service 2>/dev/null
# From here: retries after a refusal within the scenarios' time, no start
# limit for the scenarios' many renewals (the package sets none; 1.2.0 did),
# and a settling time of a second.
mkdir -p /run/systemd/system/credgraft-renew@.service.d
printf '[Unit]\nStartLimitIntervalSec=0\n[Service]\nRestartSec=2s\n' > /run/systemd/system/credgraft-renew@.service.d/soon.conf
systemctl daemon-reload
settle 1
end

begin "set-up: a wrong setting refused before anything is enabled; the README's set-up and first fill"
mkdir -p /etc/bad
: > /etc/bad/params.conf
# Each row: the settings of a target "bad", all but one line sound.
while IFS='|' read -r file pairs_setting service; do
  target bad "$file" "$pairs_setting" "$service"
  add bad > /tmp/add.out 2>&1 && problem "add accepted $file|$pairs_setting|$service"
  expect grep -q . /tmp/add.out
  expect test ! -e /etc/systemd/system/credgraft-renew@bad.service.d
  for kind in path timer; do
    ! enabled "$(unit bad "$kind")" || problem "$(unit bad "$kind") enabled for $service"
  done
done <<EOF
/etc/bad/params.conf|KEY pkey CERT cert|nosuch.service
/etc/bad/params.conf|KEY pkey CERT cert|getty@.service
/etc/bad/params.conf|KEY pkey CERT cert|myapp.service intranet.service
/etc/bad/missing.conf|KEY pkey CERT cert|myapp.service
/etc/bad/params.conf|KEY pkey CERT|myapp.service
/etc/bad/params.conf|KEY pkey CERT certificate|myapp.service
EOF
rm -r /etc/credgraft/bad.conf /etc/bad
expect readme configure
instances || add myapp
expect readme first-fill
expect until_true 5 logged myapp "$nothing"
expect recorded myapp 0 "$nothing"
expect until_true 30 is myapp.service active
expect idle myapp
expect logged myapp "$changed" 5
expect exited myapp 0
expect restarts myapp 1
expect serves myapp A
expect myapp_holds A
expect watching myapp
for kind in path timer; do expect enabled "$(unit myapp "$kind")"; done
end

begin "renewals: in place, by rename (an EC key and a chain), the same bytes again and a touch, two a second apart"
renew_in_place B
expect after myapp "$changed"
expect restarts myapp 1
expect serves myapp B
mark
expect grep -q '^-----BEGIN EC PARAMETERS-----' "$pairs/ec.key"
renew_by_rename chain
expect after myapp "$changed"
expect restarts myapp 2
expect serves myapp ec
expect myapp_holds chain
mark
renew_in_place chain
expect after myapp "$nothing"
touch "$certkeep/latest.key" "$certkeep/latest.crt"
expect nothing_happens myapp
expect not_logged myapp "$changes"
expect restarts myapp 2
mark
renew_in_place D
sleep 1
renew_in_place E
expect until_true 30 myapp_holds E
expect idle myapp
expect restarts myapp 3 4
expect serves myapp E
expect counted myapp.refused 0
expect exited myapp 0
expect watching myapp
end

begin "key and certificate seconds apart, either first: one write, one restart, no false change"
# The certificate arrives 3 s after the key, within the default settling time.
settle 5 /etc/credgraft/myapp.conf
put_key F
sleep 3
put_cert F
expect after myapp "$changed"
expect logged_times myapp 1 "$changes"
expect not_logged myapp 'while|owed|earlier'
expect restarts myapp 1
expect myapp_holds F
sed -i '/^CREDGRAFT_SETTLE=/d' /etc/credgraft/myapp.conf
mark
put_cert G
sleep 3
put_key G
expect after myapp "$changed"
expect idle myapp
expect restarts myapp 2
expect serves myapp G
expect counted myapp.refused 0
end

begin "unfit credentials refused before anything is written: partial, mismatched, expired, too big; why"
head -c 900 "$pairs/H.key" > "$certkeep/latest.key"
refused_run myapp G
put_key H
mark
refused_run myapp G
readme why look > /dev/null
expect grep -q 'latest\.key' /tmp/readme.out
mark
renew_in_place expired
refused_run myapp G
renew_in_place long
expect until_true 30 logged myapp "latest\\.crt.*$(wc -c < "$pairs/long.crt")" 3
expect until_true 5 exited myapp 1
expect not_logged myapp "$changes"
expect params_unchanged
renew_in_place H
expect after myapp "$changed"
expect restarts myapp 1
expect counted myapp.refused 0
expect serves myapp H
end

begin "the expiry warning: the job done, the date named, the instance failed"
renew_in_place soon
expect until_true 30 is "$(unit myapp)" failed
expect exited myapp 79
end_date=$(openssl x509 -noout -enddate < "$pairs/soon.crt" | sed 's/notAfter=//')
expect logged myapp "$(date -u -d "$end_date" +%Y-%m-%d)|$(echo "$end_date" | cut -c1-6)" 4
expect myapp_holds soon
expect serves myapp soon
expect restarts myapp 1
expect recorded myapp 79 "$(date -u -d "$end_date" +%Y-%m-%d)" yes
restarted=$(systemctl show --value -p NRestarts "$(unit myapp)")
expect nothing_happens myapp
expect test "$(systemctl show --value -p NRestarts "$(unit myapp)")" = "$restarted"
if instances; then
  expect says 1 out "^myapp \[warned\]: .*$(date -u -d "$end_date" +%Y-%m-%d)" credgraft-target renew
fi
end

begin "settings are data, never run; a typo, a wrong service, number or verb, CREDGRAFT_RESTART fail that target"
# Runs started here alone, each with the settings it is given.
systemctl stop "$(unit myapp path)"
renew_in_place I
# Each row: a file, the line added to it, and what the log names. The first
# two would run commands, were the settings read by a shell.
while IFS='|' read -r file line named; do
  mark
  cp "$file" /root/saved.conf
  sed -i "/^${line%%=*}=/d" "$file"
  printf '%s\n' "$line" >> "$file"
  run_now myapp
  expect is "$(unit myapp)" failed
  expect exited myapp 78
  expect logged myapp "$named" 3
  expect recorded myapp 78 "$named"
  cp /root/saved.conf "$file"
done <<'EOF'
/etc/credgraft/myapp.conf|CREDGRAFT_SETTLE="$(touch /etc/myapp/pwned)1"|CREDGRAFT_SETTLE
/etc/credgraft/myapp.conf|CREDGRAFT_SERVICE=`touch /etc/myapp/pwned`myapp.service|CREDGRAFT_SERVICE
/etc/credgraft/myapp.conf|CREDGRAFT_SERVICE=myap.service|myap\.service
/etc/credgraft/myapp.conf|CREDGRAFT_SERVICE=getty@.service|getty@\.service
/etc/credgraft/myapp.conf|CREDGRAFT_SERVICE="myapp.service intranet.service"|intranet\.service
/etc/credgraft/myapp.conf|CREDGRAFT_SETTLE=1x|CREDGRAFT_SETTLE
/etc/credgraft/myapp.conf|CREDGRAFT_RESTART="systemctl restart myapp.service"|CREDGRAFT_ACTION
/etc/credgraft/myapp.conf|CREDGRAFT_ACTION=bounce|CREDGRAFT_ACTION
/etc/default/credgraft|CREDGRAFT_SETTLE=(1)|CREDGRAFT_SETTLE
EOF
expect test ! -e /etc/myapp/pwned
expect params_unchanged
expect restarts myapp 0
# A number with a leading zero is decimal, not octal (which has no 8).
settle 08 /etc/credgraft/myapp.conf
mark
run_now myapp
expect exited myapp 0
expect myapp_holds I
expect restarts myapp 1
sed -i '/^CREDGRAFT_SETTLE=/d' /etc/credgraft/myapp.conf
systemctl start "$(unit myapp path)"
end

begin "the grammar: a CR, CRLF, a NUL, a backslash, PATH=, LD_PRELOAD=, a key twice, a bad value fail the target naming file and line; nothing runs"
# Tools and a library that leave a mark when run or loaded, where such a
# line would lead; shown to work first.
mkdir -p "$tools"
for tool in awk openssl systemctl sed cat cp mv date grep sleep; do
  printf '#!/bin/sh\ntouch %s\nexec /usr/bin/%s "$@"\n' "$pwned" "$tool" > "$tools/$tool"
  chmod 755 "$tools/$tool"
done
cp "$here/preload.so" "$tools/lib.so" 2>/dev/null || echo 'no library was built' > "$tools/lib.so"
env PATH="$tools:$PATH" awk 'BEGIN { }'
expect test -e "$pwned"
rm -f "$pwned"
if [ -e "$here/preload.so" ]; then
  env LD_PRELOAD="$tools/lib.so" /bin/true
  expect test -e "$pwned"
  rm -f "$pwned"
fi
systemctl stop "$(unit myapp path)"
renew_in_place J
# Each row: a file, the text added to it (printf's %b), and the line named
# when not the one added.
while IFS='|' read -r file text line; do
  mark
  cp "$file" /root/saved.conf
  [ -n "$line" ] || line=$(($(wc -l < "$file") + 1))
  if [ "$text" = CRLF ]; then sed -i 's/$/\r/' "$file"; else printf '%b' "$text" >> "$file"; fi
  run_now myapp
  expect exited myapp 78
  expect logged myapp "$file:$line: " 3
  expect recorded myapp 78 "^$file:$line: "
  expect says 78 out "^myapp: $file:$line: " credgraft-target check myapp
  expect test ! -e "$pwned"
  cp /root/saved.conf "$file"
  rm -f "$pwned"
done <<'EOF'
/etc/credgraft/myapp.conf|CREDGRAFT_SETTLE=1\rPATH=/opt/x:/usr/sbin:/usr/bin:/sbin:/bin\n|
/etc/default/credgraft|CREDGRAFT_ACTION=restart\rPATH=/opt/x:/usr/sbin:/usr/bin:/sbin:/bin\n|
/etc/credgraft/myapp.conf|CRLF|1
/etc/credgraft/myapp.conf|CREDGRAFT_SETTLE=1\0\n|
/etc/credgraft/myapp.conf|# the front end \\\nCREDGRAFT_SETTLE=1\n|
/etc/credgraft/myapp.conf|PATH=/opt/x:/usr/sbin:/usr/bin:/sbin:/bin\n|
/etc/credgraft/myapp.conf|LD_PRELOAD=/opt/x/lib.so\n|
/etc/default/credgraft|LD_PRELOAD=/opt/x/lib.so\n|
/etc/credgraft/myapp.conf|CREDGRAFT_SERVICE=myapp.service\n|
/etc/credgraft/myapp.conf|  CREDGRAFT_SETTLE="1\n|
/etc/default/credgraft|CREDGRAFT_EXPIRY_WARNING=5s\n|
EOF
expect params_unchanged
expect restarts myapp 0
# The same values, written the ways the grammar allows.
mark
cp /etc/credgraft/myapp.conf /root/saved.conf
printf '\n  # %s %s\n\tCREDGRAFT_SETTLE=%s  \nCREDGRAFT_ACTION="restart"' \
  "\$(touch $pwned)" "\`touch $pwned\`" "'1'" >> /etc/credgraft/myapp.conf
run_now myapp
expect exited myapp 0
expect recorded myapp 0 "$changed"
expect myapp_holds J
expect restarts myapp 1
expect test ! -e "$pwned"
cp /root/saved.conf /etc/credgraft/myapp.conf
rm -rf "$tools"
systemctl start "$(unit myapp path)"
end

begin "settings read through a link; settings others may write refused, the file a link names and each directory on the way"
mkdir -m 755 /etc/credgraft-kept
mv /etc/credgraft/myapp.conf /etc/credgraft-kept/myapp.conf
ln -s /etc/credgraft-kept/myapp.conf /etc/credgraft/myapp.conf
renew_in_place K
expect after myapp "$changed"
expect recorded myapp 0 "$changed"
expect myapp_holds K
# An edit of the file the link names is what the next run reads.
echo CREDGRAFT_EXPIRY_WARNING=3650 >> /etc/credgraft-kept/myapp.conf
mark
run_now myapp
expect exited myapp 79
expect recorded myapp 79 'ends on' yes
sed -i '/^CREDGRAFT_EXPIRY_WARNING=/d' /etc/credgraft-kept/myapp.conf
systemctl stop "$(unit myapp path)"
renew_in_place L
rebase
params_before=$(sha256sum /etc/myapp/params.conf)
# Each row: a file or directory, what is done to it (a mode to add, or an
# owner), and the file named.
while IFS='|' read -r path change named; do
  mark
  was=$(stat -c '%u %a' "$path")
  case $change in [0-9]*) chown "$change" "$path" ;; *) chmod "$change" "$path" ;; esac
  run_now myapp
  expect exited myapp 78
  expect logged myapp "$named" 3
  expect recorded myapp 78 "$named"
  expect says 78 out "^myapp: .*$named" credgraft-target check myapp
  chown "${was% *}" "$path"
  chmod "${was#* }" "$path"
done <<'EOF'
/etc/credgraft-kept/myapp.conf|o+w|/etc/credgraft-kept/myapp\.conf
/etc/credgraft-kept/myapp.conf|g+w|/etc/credgraft-kept/myapp\.conf
/etc/credgraft-kept/myapp.conf|1000|/etc/credgraft-kept/myapp\.conf.*1000
/etc/credgraft-kept|o+w|/etc/credgraft-kept
/etc/credgraft|g+w|/etc/credgraft
/etc/default/credgraft|o+w|/etc/default/credgraft
/etc/default/credgraft|1000|/etc/default/credgraft.*1000
EOF
expect params_unchanged
expect restarts myapp 0
# A target whose settings others may write is not set up.
mkdir -p /etc/spare
printf 'TLS_KEY=\nTLS_CERT=\n' > /etc/spare/params.conf
target spare /etc/spare/params.conf "TLS_KEY pkey TLS_CERT cert" myapp.service
chmod o+w /etc/credgraft/spare.conf
expect says '!0' any '/etc/credgraft/spare\.conf' credgraft-target add spare
expect test ! -e /etc/systemd/system/credgraft-renew@spare.service.d
! enabled "$(unit spare path)" || problem "$(unit spare path) enabled"
expect test -z "$(grep -v '=$' /etc/spare/params.conf)"
rm -r /etc/credgraft/spare.conf /etc/spare
# Mended, the run goes on as before, and the link stays one.
mark
run_now myapp
expect exited myapp 0
expect myapp_holds L
expect test -L /etc/credgraft/myapp.conf
rm /etc/credgraft/myapp.conf
mv /etc/credgraft-kept/myapp.conf /etc/credgraft/myapp.conf
rmdir /etc/credgraft-kept
systemctl start "$(unit myapp path)"
end

# link PATH TARGET: points the link PATH at TARGET by renaming a new link
# over it, as clients swap their live links.
link() { ln -sfn "$2" "$1.new" && mv -T "$1.new" "$1"; }

begin "credentials kept as links into an archive: absolute, relative, outside the directory, swapped by rename or relinked, seen within seconds"
# Each row: a pair, the directory its archived files are in, the link's
# text for that directory, and how the client points the links at them.
while IFS='|' read -r pair dir text how; do
  mark
  rebase
  mkdir -p "$dir"
  cp "$pairs/$pair.key" "$dir/key-$pair.pem"
  cp "$pairs/$pair.crt" "$dir/cert-$pair.pem"
  started=$(date +%s%N)
  if [ "$how" = rename ]; then
    link "$certkeep/latest.key" "$text/key-$pair.pem"
    link "$certkeep/latest.crt" "$text/cert-$pair.pem"
  else
    rm "$certkeep/latest.key" "$certkeep/latest.crt"
    ln -s "$text/key-$pair.pem" "$certkeep/latest.key"
    ln -s "$text/cert-$pair.pem" "$certkeep/latest.crt"
  fi
  expect until_true 10 myapp_holds "$pair"
  echo "  ($pair, $how to $text: applied after $(ms_since "$started") ms)"
  expect idle myapp
  expect recorded myapp 0 "$changed"
  expect serves myapp "$pair"
  expect restarts myapp 1
done <<EOF
arc1|$certkeep/archive|$certkeep/archive|rename
arc2|$certkeep/archive|archive|rename
arc3|/srv/acme/archive|/srv/acme/archive|rename
arc4|/srv/acme/archive|../../../srv/acme/archive|relink
EOF
expect test -L "$certkeep/latest.key"
expect counted myapp.refused 0
# Back to plain files.
mark
renew_by_rename arc5
expect after myapp "$changed"
expect serves myapp arc5
rm -rf "$certkeep/archive" /srv/acme
expect no_failed
end

begin "a parameter file reached through a link: filled; pointed elsewhere, the run says to add the target again"
mkdir -p /srv/myapp /srv/elsewhere
mv /etc/myapp/params.conf /srv/myapp/params.conf
ln -s /srv/myapp/params.conf /etc/myapp/params.conf
expect says 0 any /srv/myapp credgraft-target add myapp
expect test "$(systemctl show --value -p ReadWritePaths "$(unit myapp)")" = -/srv/myapp
mark
renew_in_place lnk1
expect after myapp "$changed"
expect myapp_holds lnk1
expect serves myapp lnk1
expect test -L /etc/myapp/params.conf
# The file moved, and the link with it: this instance may not write there.
mv /srv/myapp/params.conf /srv/elsewhere/params.conf
link /etc/myapp/params.conf /srv/elsewhere/params.conf
mark
rebase
renew_in_place lnk2
expect until_true 30 exited myapp 78
expect logged myapp 'credgraft-target add myapp' 3
expect recorded myapp 78 'credgraft-target add myapp'
expect nothing_happens myapp
expect test "$(retries myapp)" = 0
expect myapp_holds lnk1
expect restarts myapp 0
expect says 78 out '^myapp: .*credgraft-target add myapp' credgraft-target check myapp
expect says 0 any /srv/elsewhere credgraft-target add myapp
expect myapp_holds lnk2
expect serves myapp lnk2
expect watching myapp
# Back to the plain file, granted its own directory again.
rm /etc/myapp/params.conf
mv /srv/elsewhere/params.conf /etc/myapp/params.conf
rm -r /srv/myapp /srv/elsewhere
expect says 0 any /etc/myapp credgraft-target add myapp
expect test "$(systemctl show --value -p ReadWritePaths "$(unit myapp)")" = -/etc/myapp
mark
renew_in_place lnk3
expect after myapp "$changed"
expect serves myapp lnk3
expect no_failed
end

begin "the service's state and verb: failed revived, stopped left stopped, reload"
systemctl kill -s KILL myapp.service
expect until_true 10 is myapp.service failed
renew_in_place K
expect after myapp "$changed"
expect is myapp.service active
expect restarts myapp 1
expect serves myapp K
systemctl stop myapp.service
mark
renew_in_place L
expect after myapp 'changed in'
expect exited myapp 0
expect is myapp.service inactive
expect restarts myapp 1
expect myapp_holds L
systemctl start myapp.service
# Restart by default, even for a service that can reload; the verb on request.
mkdir -p /run/systemd/system/myapp.service.d
printf '[Service]\nExecReload=/usr/local/lib/consumer reloaded myapp\n' > /run/systemd/system/myapp.service.d/reload.conf
systemctl daemon-reload
mark
renew_in_place M
expect after myapp "$changed"
expect counted myapp.reloads 0
expect restarts myapp 3
expect serves myapp M
echo CREDGRAFT_ACTION=reload >> /etc/credgraft/myapp.conf
mark
renew_in_place N
expect after myapp "$changed"
expect counted myapp.reloads 1
expect restarts myapp 3
expect myapp_holds N
sed -i '/^CREDGRAFT_ACTION=/d' /etc/credgraft/myapp.conf
rm -r /run/systemd/system/myapp.service.d
systemctl daemon-reload
systemctl restart myapp.service
expect serves myapp N
expect counted myapp.refused 0
end

begin "a key replaced after it was checked: the file never holds an unchecked pair"
# The key changes while openssl reads the certificate, after the key was
# checked, and before credgraft reads them.
caught=""
for attempt in O P Q; do
  mark
  rebase
  renew_in_place "$attempt"
  if pid=$(catch_in_run myapp openssl '*x509*' '*crl2pkcs7*'); then
    put_key R
    kill -CONT "$pid"
    caught=$attempt
    break
  fi
  idle myapp
done
[ -n "$caught" ] || problem "no openssl reading the certificate caught in three runs"
expect until_true 20 exited myapp 75
expect matched
sleep "$(seconds 3)"
expect matched
expect counted myapp.refused 0
expect is myapp.service active
put_cert R
expect after myapp "$changed"
expect matched
expect myapp_holds R
expect serves myapp R
expect counted myapp.refused 0
end

# stop_mid_write PAIRS SIGNAL: renews with each pair in turn until a run is
# caught while credgraft writes, then stops (TERM) or kills (KILL) the run.
stop_mid_write() {
  for attempt in $1; do
    renew_in_place "$attempt"
    if pid=$(catch_in_run myapp credgraft); then
      if [ "$2" = TERM ]; then
        systemctl stop --no-block "$(unit myapp)"
        sleep 1
      else
        systemctl kill -s KILL "$(unit myapp)"
      fi
      kill -CONT "$pid" 2>/dev/null
      expect idle myapp
      # Whatever the signal cut short, the file holds a sound pair.
      expect matched
      return 0
    fi
    idle myapp
  done
  problem "credgraft never caught running ($2)"
  return 1
}

begin "a run stopped while credgraft writes, or killed: the next run does the restart owed"
for how in "T1 T2 T3|TERM" "U1 U2 U3|KILL"; do
  if stop_mid_write "${how%|*}" "${how#*|}"; then
    # The timer's run, or the one after a reboot.
    run_now myapp
    expect idle myapp
    expect serves myapp "$current"
    expect myapp_holds "$current"
  fi
done
expect test -z "$(find "$records" -name '*.owed')"
expect counted myapp.refused 0
expect watching myapp
end

begin "a renewal while the service restarts is not lost"
echo 3 > "$state/myapp.slow"
renew_in_place V
expect until_true 20 is myapp.service activating
renew_in_place W
rm -f "$state/myapp.slow"
expect until_true 40 serves myapp W
expect idle myapp
expect restarts myapp 2
expect myapp_holds W
expect counted myapp.refused 0
end

begin "two targets: renew runs each; one cannot write the other's directory; one failing leaves the other"
expect is intranet.service failed
expect readme second-service
instances || add intranet
expect until_true 30 is intranet.service active
expect idle intranet
expect serves intranet W
expect restarts intranet 1
mark
renew_in_place X
expect after intranet "$changed"
expect after myapp "$changed"
expect serves intranet X
expect serves myapp X
# myapp's run, pointed at intranet's file, may not write it, and says what
# to do.
systemctl stop "$(unit myapp path)" "$(unit intranet path)"
cp /etc/credgraft/myapp.conf /root/myapp.conf
intranet_before=$(sha256sum "$intranet_file")
target myapp "$intranet_file" "KEY pkey CERT cert" intranet.service
renew_in_place Y
run_now myapp
expect failing myapp
expect exited myapp 78
expect logged myapp "/etc/intranet.*credgraft-target add myapp" 3
expect recorded myapp 78 'credgraft-target add myapp'
expect test "$(sha256sum "$intranet_file")" = "$intranet_before"
cp /root/myapp.conf /etc/credgraft/myapp.conf
systemctl start "$(unit myapp path)" "$(unit intranet path)"
expect readme renew
expect grep -Eq "^intranet: .*$changed" /tmp/readme.out
expect grep -Eq "^myapp: .*($changed|$nothing)" /tmp/readme.out
expect intranet_holds Y
expect myapp_holds Y
# intranet's directory gone: every target is still run, and only it fails.
mv /etc/intranet /etc/intranet.away
mark
renew_in_place Z
renew_all && problem "renew succeeded without intranet's directory"
expect grep -q intranet /tmp/renew.out
expect grep -q myapp /tmp/renew.out
expect myapp_holds Z
expect serves myapp Z
expect failing intranet
mv /etc/intranet.away /etc/intranet
mark
expect renew_all
expect intranet_holds Z
expect serves intranet Z
expect no_failed
expect counted myapp.refused 0
expect counted intranet.refused 0
end

# listed NAME STATUS PATTERN: credgraft-target list exits STATUS (!0: not
# 0; any), and NAME's line matches PATTERN.
listed() {
  timeout "$(seconds 60)" credgraft-target list > /tmp/list.out 2>&1
  got=$?
  grep -E "^$1([^A-Za-z0-9_.@-]|$)" /tmp/list.out | grep -Eq -- "$3" &&
    case $2:$got in any:* | '!0':[1-9]* | "$got:$got") true ;; *) false ;; esac && return 0
  echo "exit $got:"
  cat /tmp/list.out
  return 1
}

# put_state STATE on|off: makes a state that list and check show, or mends it.
put_state() {
  case $1:$2 in
    owed:on) echo /etc/myapp/params.conf > "$records/myapp.owed" ;;
    owed:off) rm -f "$records/myapp.owed" ;;
    not-set-up:on) mkdir -p /etc/spare && printf 'TLS_KEY=\nTLS_CERT=\n' > /etc/spare/params.conf &&
      target spare /etc/spare/params.conf "TLS_KEY pkey TLS_CERT cert" myapp.service ;;
    not-set-up:off) rm -r /etc/credgraft/spare.conf /etc/spare ;;
    unwatched:on) systemctl stop "$(unit intranet path)" ;;
    unwatched:off) systemctl start "$(unit intranet path)" ;;
    retrying:on) mkdir -p "/run/systemd/system/$(unit myapp).d" &&
      printf '[Service]\nRestartSec=40s\n' > "/run/systemd/system/$(unit myapp).d/later.conf" &&
      systemctl daemon-reload && head -c 900 "$pairs/Z.key" > "$certkeep/latest.key" &&
      until_true 20 test "$(systemctl show --value -p SubState "$(unit myapp)")" = auto-restart ;;
    retrying:off) rm -r "/run/systemd/system/$(unit myapp).d" && systemctl daemon-reload &&
      put_key Z && idle myapp && idle intranet ;;
    failed:on) echo CREDGRAFT_SETTLE=5s >> /etc/credgraft/intranet.conf && run_now intranet ;;
    expiring:on) echo CREDGRAFT_EXPIRY_WARNING=3650 >> /etc/credgraft/intranet.conf && run_now intranet ;;
    failed:off | expiring:off) sed -i '/^CREDGRAFT_\(SETTLE\|EXPIRY_WARNING\)=/d' /etc/credgraft/intranet.conf &&
      run_now intranet ;;
  esac
}

begin "list and check: healthy, owed, not set up, unwatched, retrying, failed, expiring; their exit statuses"
ends=$(date -u -d "$(openssl x509 -noout -enddate < "$pairs/Z.crt" | sed 's/notAfter=//')" +%Y-%m-%d)
expect listed myapp 0 "myapp\.service.*/etc/myapp/params\.conf.*$ends"
expect listed intranet 0 "intranet\.service.*/etc/intranet/tls\.env.*$ends"
expect readme list look
expect grep -Eq "^myapp[^A-Za-z0-9_.@-].*($changed|$nothing)" /tmp/readme.out
expect readme check
expect grep -Eq "^myapp: .*nothing" /tmp/readme.out
# Each row: the state, the target it is shown on, list's status and what
# that target's line shows, check's status and what it prints.
while IFS='|' read -r made name list_status shown check_status checked; do
  mark
  rebase
  params_before=$(sha256sum /etc/myapp/params.conf)
  put_state "$made" on
  expect listed "$name" "$list_status" "$shown"
  expect says "$check_status" out "^$name: .*$checked" credgraft-target check "$name"
  expect params_unchanged
  expect restarts myapp 0
  put_state "$made" off
done <<'EOF'
owed|myapp|0|owed|0|/etc/myapp/params\.conf
not-set-up|spare|!0|not-set-up|0|would change values in /etc/spare/params\.conf
unwatched|intranet|!0|set-up.inactive.active|0|nothing
retrying|myapp|0|retrying|75|latest\.key
failed|intranet|!0|failed|78|/etc/credgraft/intranet\.conf:4: CREDGRAFT_SETTLE
expiring|intranet|!0|\[warned\]|0|.
EOF
mark
expect listed myapp 0 "$nothing"
expect listed intranet 0 "$nothing"
expect test ! -e /etc/spare
expect no_failed
end

begin "what a run says: an instance without settings names the file; a parameter file every user can read is marked"
# A typo: the instance names the file it looked for, and makes none.
run_now myap
expect exited myap 78
expect logged myap '/etc/credgraft/myap\.conf' 3
expect test ! -e /etc/credgraft/myap.conf
systemctl reset-failed "$(unit myap)"
chmod 644 /etc/myapp/params.conf
mark
expect says 0 out "^myapp \[warned\]: .*every user can read /etc/myapp/params\.conf" credgraft-target renew
expect grep -Eq "^intranet: .*$nothing" /tmp/says.out
expect recorded myapp 0 'every user can read /etc/myapp/params\.conf, which holds a private key$' yes
expect listed myapp any '\[warned\]'
chmod 600 /etc/myapp/params.conf
mark
expect says 0 out "^myapp: .*$nothing" credgraft-target renew
expect recorded myapp 0 "$nothing"
expect listed myapp 0 "$nothing"
end

begin "renew with a restart that hangs: the other target's line at once, the stuck one bounded"
# The bound of a whole run, shortened from its 20 minutes.
mkdir -p /run/systemd/system/credgraft-renew@intranet.service.d
printf '[Service]\nTimeoutStartSec=15s\n' > /run/systemd/system/credgraft-renew@intranet.service.d/short.conf
systemctl daemon-reload
: > "$state/intranet.stuck"
expect idle myapp
expect idle intranet
# Runs started by renew alone, each line stamped with the milliseconds since.
systemctl stop "$(unit myapp path)" "$(unit intranet path)"
mark
renew_in_place A
started=$(date +%s%N)
{ timeout "$(seconds 90)" credgraft-target renew 2>&1; echo "exit $?"; } |
  while IFS= read -r line; do echo "$(ms_since "$started") $line"; done > /tmp/renew.timed &
expect until_true 20 grep -Eq "^[0-9]+ myapp: .*$changed" /tmp/renew.timed
expect serves myapp A
expect is "$(unit intranet)" activating
expect until_true 60 grep -q '^[0-9]* exit ' /tmp/renew.timed
wait
sed 's/^/  | /' /tmp/renew.timed
expect test "$(sed -n 's/^\([0-9]*\) myapp: .*/\1/p' /tmp/renew.timed)" -lt 10000
expect grep -Eq '^[0-9]+ intranet: ' /tmp/renew.timed
expect test "$(sed -n 's/^\([0-9]*\) exit 1$/\1/p' /tmp/renew.timed)" -lt 45000
expect logged intranet 'timed out'
rm -f "$state/intranet.stuck"
rm -r /run/systemd/system/credgraft-renew@intranet.service.d
systemctl daemon-reload
systemctl start "$(unit myapp path)" "$(unit intranet path)"
expect until_true 40 serves intranet A
expect idle intranet
expect intranet_holds A
end

begin "the timer"
expect readme timer
expect grep -q "$(unit myapp timer)" /tmp/readme.out
expect test "$(systemctl show --value -p Unit "$(unit myapp timer)")" = "$(unit myapp)"
expect test "$(systemctl show --value -p Persistent "$(unit myapp timer)")" = yes
# A renewal the path unit missed is applied when the timer fires.
systemctl stop "$(unit myapp path)"
renew_in_place B
expect nothing_happens myapp
expect serves myapp A
mkdir -p "/run/systemd/system/$(unit myapp timer).d"
printf '[Timer]\nOnActiveSec=1\nRandomizedDelaySec=0\nAccuracySec=1us\n' > "/run/systemd/system/$(unit myapp timer).d/soon.conf"
systemctl daemon-reload
systemctl restart "$(unit myapp timer)"
expect after myapp "$changed"
expect serves myapp B
rm -r "/run/systemd/system/$(unit myapp timer).d"
systemctl daemon-reload
systemctl restart "$(unit myapp timer)"
systemctl start "$(unit myapp path)"
expect readme rewatch
expect grep -q '^myapp: ' /tmp/readme.out
expect watching myapp
end

begin "the package removed and installed again: every target watched again, a renewal applied"
dpkg -r credgraft > /tmp/dpkg.out 2>&1 || problem "not removed: $(cat /tmp/dpkg.out)"
expect test ! -e /usr/sbin/credgraft-target
expect test -e /etc/credgraft/myapp.conf
dpkg -i "$deb" > /tmp/dpkg.out 2>&1 || problem "not installed again: $(cat /tmp/dpkg.out)"
for name in myapp intranet; do
  expect watching "$name"
  for kind in path timer; do expect enabled "$(unit "$name" "$kind")"; done
done
expect no_failed
mark
rebase
renew_in_place rei1
expect after myapp "$changed"
expect after intranet "$changed"
expect serves myapp rei1
expect serves intranet rei1
expect recorded myapp 0 "$changed"
expect restarts myapp 1
end

begin "a target removed: its units off, its settings and file left"
intranet_before=$(sha256sum /etc/intranet/tls.env)
expect readme remove-target
for kind in service path timer; do
  ! enabled "$(unit intranet "$kind")" || problem "$(unit intranet "$kind") still enabled"
  expect is "$(unit intranet "$kind")" inactive
done
expect test ! -e /etc/systemd/system/credgraft-renew@intranet.service.d
expect test -e /etc/credgraft/intranet.conf
renew_in_place C
expect after myapp "$changed"
expect test "$(sha256sum /etc/intranet/tls.env)" = "$intranet_before"
expect no_failed
end

begin "purge"
expect readme remove
for kind in service path timer; do
  expect test "$(systemctl show --value -p LoadState "$(unit myapp "$kind")")" = not-found
done
expect test -z "$(find /etc/systemd/system -type l -name 'credgraft-renew*')"
expect test ! -e /var/lib/credgraft
expect test ! -e /usr/sbin/credgraft
mark
renew_in_place D
expect nothing_happens myapp
expect is myapp.service active
expect serves myapp C
end

begin "an upgrade from 1.2.0 set up with odd but legal settings: every target renews, no old unit left; purged, what the administrator wrote stays"
rm -rf /etc/credgraft /etc/systemd/system/credgraft-renew*.d "$defaults"
mkdir -p /etc/systemd/system/myapp.service.d
printf '[Service]\nExecReload=/usr/local/lib/consumer reloaded myapp\n' > /etc/systemd/system/myapp.service.d/reload.conf
# intranet's parameter file now in a directory whose name has a space.
intranet_file="/srv/tls conf/tls.env"
consumer intranet "$intranet_file" KEY CERT 4434
dpkg -i "$old_deb" > /tmp/upgrade.out 2>&1 || problem "1.2.0 not installed: $(cat /tmp/upgrade.out)"
# myapp's settings: a link to a file kept elsewhere, written for 1.2.0's
# shell (export, quotes, a comment after a value, the reload on a last line
# without its line feed); its parameter file a link into /srv/myapp.
mkdir -p /srv/myapp /srv/settings
mv /etc/myapp/params.conf /srv/myapp/params.conf
ln -s /srv/myapp/params.conf /etc/myapp/params.conf
{
  echo '# myapp, as 1.2.0 read it'
  echo 'export CREDGRAFT_CONF=/etc/myapp/params.conf  # the front end'
  echo "CREDGRAFT_PAIRS='TLS_KEY pkey TLS_CERT cert'"
  printf 'CREDGRAFT_SERVICE="myapp.service"\t# its unit\n'
  printf 'CREDGRAFT_RESTART="systemctl reload myapp.service"'
} > /srv/settings/myapp.conf
ln -s /srv/settings/myapp.conf /etc/credgraft/myapp.conf
# The older target "default", in the shared file itself.
printf 'CREDGRAFT_SETTLE=1\nCREDGRAFT_LOCK_WAIT=300\nCREDGRAFT_CONF="%s"\nCREDGRAFT_PAIRS="KEY pkey CERT cert"\nCREDGRAFT_SERVICE=intranet.service\n' \
  "$intranet_file" >> "$defaults"
mkdir -p /etc/systemd/system/credgraft-renew.service.d
printf '[Service]\nReadWritePaths=-/etc/myapp -/srv/myapp\n' > /etc/systemd/system/credgraft-renew.service.d/myapp.conf
printf '[Service]\nReadWritePaths="-/srv/tls conf"\n' > /etc/systemd/system/credgraft-renew.service.d/intranet.conf
systemctl daemon-reload
systemctl enable --now credgraft-renew.path credgraft-renew.timer 2>/dev/null
systemctl start credgraft-renew.service
expect myapp_holds D
expect intranet_holds D
# Off by the administrator; no state of the package's helper, as on a host
# that came from 1.1.0; a restart owed by an interrupted run.
systemctl disable --now credgraft-renew.timer 2>/dev/null
find /var/lib/systemd/deb-systemd-helper-enabled -name 'credgraft-renew*' -exec rm -rf {} +
echo /etc/intranet/tls.env > /var/lib/credgraft/default.owed
systemctl restart myapp.service
rebase
mark
dpkg -i "$deb" > /tmp/upgrade.out 2>&1 || problem "the upgrade failed: $(cat /tmp/upgrade.out)"
sed 's/^/  | /' /tmp/upgrade.out
expect grep -q myapp /tmp/upgrade.out
expect grep -q default /tmp/upgrade.out
for old in credgraft-renew.service credgraft-renew.path credgraft-renew.timer; do
  expect test "$(systemctl show --value -p LoadState "$old")" = not-found
done
expect test -z "$(find /etc/systemd/system -name 'credgraft-renew.*' ! -name '*.d')"
expect no_failed
expect grep -Eq '^CREDGRAFT_ACTION="?reload"?$' /etc/credgraft/myapp.conf
expect test -z "$(grep '^CREDGRAFT_RESTART' /etc/credgraft/myapp.conf)"
expect test "$(readlink /etc/credgraft/myapp.conf)" = /srv/settings/myapp.conf
if instances; then
  for name in myapp default; do expect says 0 out "^$name: " credgraft-target check "$name"; done
fi
expect grep -q /srv/myapp "/etc/systemd/system/$(unit myapp).d/credgraft-write.conf"
expect grep -q '/srv/tls conf' "/etc/systemd/system/$(unit default).d/credgraft-write.conf"
for name in myapp default; do
  expect enabled "$(unit "$name" path)"
  ! enabled "$(unit "$name" timer)" || problem "$(unit "$name" timer) enabled"
done
expect renew_all
expect restarts intranet 1
expect test ! -e /var/lib/credgraft/default.owed
mark
renew_in_place E
expect after default "$changed"
expect after myapp "$changed"
expect intranet_holds E
expect myapp_holds E
expect serves intranet E
expect restarts intranet 2
expect counted myapp.reloads 1
expect restarts myapp 0
expect no_failed
dpkg --purge credgraft > /dev/null 2>&1
expect test -z "$(find /etc/systemd/system -type l -name 'credgraft-renew*')"
expect grep -Eq '^CREDGRAFT_SETTLE="?1"?$' "$defaults"
expect test -L /etc/credgraft/myapp.conf
expect grep -q '^CREDGRAFT_SERVICE=' /srv/settings/myapp.conf
end

begin "no key byte in the journal"
journalctl -b -o cat > /tmp/journal.txt 2>/dev/null
for key in "$pairs"/*.key; do
  for bytes in "$(sed -n 3p "$key")" "$(base64 -w0 < "$key" | cut -c200-263)"; do
    ! grep -qF -- "$bytes" /tmp/journal.txt || problem "$(basename "$key") in the journal"
  done
done
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
