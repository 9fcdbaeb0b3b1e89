#!/bin/sh
# The renewal integration under a real systemd; run.sh runs it inside the
# container. It installs the package and follows the README's Integration
# section as written (the blocks marked <!-- tests/systemd: LABEL -->), with
# real services reading the parameter files (consumer.sh), plays the
# enrolment client's renewals and an administrator's mistakes, then upgrades
# a host set up for 1.2.0. Each scenario checks the targets' instances (state,
# status, journal), the services' restarts and the certificates they serve.
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

port_of() { case $1 in myapp) echo 4433 ;; *) echo 4434 ;; esac; }
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

# Waits are cut short once the scenarios have had 8 minutes, so that a
# broken integration still ends, with its verdicts, within run.sh's limit.
budget_end=$(($(date +%s) + 480))
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
intranet_holds() { holds /etc/intranet/tls.env KEY CERT "$1"; }
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

mkdir -p "$pairs" "$certkeep" /usr/local/lib
install -m 755 "$here/consumer.sh" /usr/local/lib/consumer
echo "making credentials"
for name in A B C D E F G H I J K L M N O P Q R S T1 T2 T3 U1 U2 U3 V W X Y Z; do
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
# The client has its first pair; the services are installed and cannot start
# without credentials.
renew_in_place A
consumer myapp /etc/myapp/params.conf TLS_KEY TLS_CERT 4433
consumer intranet /etc/intranet/tls.env KEY CERT 4434
systemctl start myapp.service intranet.service 2>/dev/null

# --- scenarios -----------------------------------------------------------------

begin "installed, nothing configured: no unit failed, none of the old design"
expect is myapp.service failed
expect readme install
expect renew_all
expect no_failed
if instances; then
  for old in credgraft-renew.service credgraft-renew.path credgraft-renew.timer; do
    expect test "$(systemctl show --value -p LoadState "$old")" = not-found
  done
fi
# Retries after a refusal within the scenarios' time, and no start limit,
# which the scenarios' many renewals would meet.
mkdir -p /run/systemd/system/credgraft-renew@.service.d
printf '[Unit]\nStartLimitIntervalSec=0\n[Service]\nRestartSec=2s\n' > /run/systemd/system/credgraft-renew@.service.d/soon.conf
systemctl daemon-reload
settle 1
end
dpkg -s credgraft >/dev/null 2>&1 || { echo "the package is not installed: nothing more to try"; echo "$passed passed, $((failed + 1)) failed"; exit 1; }

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
restarted=$(systemctl show --value -p NRestarts "$(unit myapp)")
expect nothing_happens myapp
expect test "$(systemctl show --value -p NRestarts "$(unit myapp)")" = "$restarted"
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
  printf '%s\n' "$line" >> "$file"
  run_now myapp
  expect is "$(unit myapp)" failed
  expect exited myapp 78
  expect logged myapp "$named" 3
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
expect test -z "$(ls /var/lib/credgraft)"
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
# myapp's run, pointed at intranet's file, may not write it.
systemctl stop "$(unit myapp path)" "$(unit intranet path)"
cp /etc/credgraft/myapp.conf /root/myapp.conf
intranet_before=$(sha256sum /etc/intranet/tls.env)
target myapp /etc/intranet/tls.env "KEY pkey CERT cert" intranet.service
renew_in_place Y
run_now myapp
expect failing myapp
expect test "$(sha256sum /etc/intranet/tls.env)" = "$intranet_before"
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

begin "a restart that hangs holds up only its own target, for a bounded time"
# The bound of a whole run, shortened from its 10 minutes.
mkdir -p /run/systemd/system/credgraft-renew@intranet.service.d
printf '[Service]\nTimeoutStartSec=15s\n' > /run/systemd/system/credgraft-renew@intranet.service.d/short.conf
systemctl daemon-reload
: > "$state/intranet.stuck"
expect idle myapp
expect idle intranet
mark
renew_in_place A
expect after myapp "$changed" 20
expect serves myapp A
expect is "$(unit intranet)" activating
expect until_true 30 logged intranet 'timed out'
rm -f "$state/intranet.stuck"
rm -r /run/systemd/system/credgraft-renew@intranet.service.d
systemctl daemon-reload
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
expect readme rewatch
expect watching myapp
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

begin "an upgrade from 1.2.0 as its README set it up: every target renews, no old unit left"
rm -rf /etc/credgraft /etc/systemd/system/credgraft-renew*.d "$defaults"
mkdir -p /etc/systemd/system/myapp.service.d
printf '[Service]\nExecReload=/usr/local/lib/consumer reloaded myapp\n' > /etc/systemd/system/myapp.service.d/reload.conf
dpkg -i "$old_deb" > /tmp/upgrade.out 2>&1 || problem "1.2.0 not installed: $(cat /tmp/upgrade.out)"
target myapp /etc/myapp/params.conf "TLS_KEY pkey TLS_CERT cert" myapp.service \
  'CREDGRAFT_RESTART="systemctl reload myapp.service"'
# The older target "default", in the shared file itself.
printf 'CREDGRAFT_SETTLE=1\nCREDGRAFT_LOCK_WAIT=300\nCREDGRAFT_CONF=/etc/intranet/tls.env\nCREDGRAFT_PAIRS="KEY pkey CERT cert"\nCREDGRAFT_SERVICE=intranet.service\n' \
  >> "$defaults"
mkdir -p /etc/systemd/system/credgraft-renew.service.d
for dir in myapp intranet; do
  printf '[Service]\nReadWritePaths=-/etc/%s\n' "$dir" > "/etc/systemd/system/credgraft-renew.service.d/$dir.conf"
done
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
expect grep -q '^CREDGRAFT_ACTION=reload' /etc/credgraft/myapp.conf
expect test -z "$(grep '^CREDGRAFT_RESTART' /etc/credgraft/myapp.conf)"
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
