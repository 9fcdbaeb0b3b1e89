#!/bin/sh
# Installs into a DESTDIR and checks the tree, the units and their sandbox,
# the package's maintainer scripts, that the installed program needs nothing
# but libc and leaves nothing allocated, and that it reads exactly its
# credential directory. That directory is the host's real one, so every run of
# the installed program happens in a private mount namespace with a tmpfs over
# it, holding the bundled example credentials: the host's own are never read.
# Usage: install_test.sh <build dir>
set -eu
fail() { echo "FAIL: $*" >&2; exit 1; }

# install_test.sh --private ROOT SOURCE DIR SCRIPTS: the part that runs in the
# private mount namespace; exits 77 when mounts cannot be made private here.
if [ "${1:-}" = --private ]; then
  root=$2 source=$3 dir=$4 scripts=$5
  umask 077
  # Nothing mounted here may reach the host's namespace.
  mount --make-rprivate / 2>/dev/null || exit 77
  # cover DIR: a fresh tmpfs over DIR, or over its nearest existing ancestor
  # unless that is already one of these.
  mounted=""
  cover() {
    top=$1
    while [ ! -d "$top" ]; do top=$(dirname "$top"); done
    case " $mounted " in *" $top "*) mkdir -p "$1"; return ;; esac
    [ "$top" != / ] || fail "nothing to mount over for $1"
    mounted="$mounted $top"
    case "$root/" in "$top"/*) fail "the test's directory $root is under $top" ;; esac
    mount -t tmpfs -o mode=0755 credgraft-test "$top" || fail "cannot mount a tmpfs on $top"
    mkdir -p "$1"
  }
  cover "$dir"
  cover /var/lib
  cover /run

  # The program reads the example credentials put there: a first run changes
  # both values, a second none, and without the key it names the key's path.
  program="$root/usr/sbin/credgraft"
  cp "$source/examples/certkeep/latest.key" "$source/examples/certkeep/latest.crt" "$dir/"
  filled=$(printf 'A=1\nKEY=%s\nCERT=%s\n' "$(base64 -w0 "$dir/latest.key")" \
    "$(base64 -w0 "$dir/latest.crt")")
  printf 'A=1\nKEY=old\nCERT=\n' > "$root/app.conf"
  while read -r expected remove message; do
    [ "$remove" = - ] || rm "$dir/$remove"
    status=0
    "$program" "$root/app.conf" KEY pkey CERT cert 2>"$root/err" || status=$?
    [ "$status" -eq "$expected" ] || fail "run with $remove removed exited $status, not $expected"
    [ "$(cat "$root/app.conf")" = "$filled" ] || fail "parameter file after the run with $remove removed"
    [ "$message" = - ] || grep -qxF "Cannot read $dir/$message" "$root/err" \
      || fail "no message for $dir/$message: $(cat "$root/err")"
  done <<EOF
0 - -
1 - -
1 latest.key latest.key
EOF
  cp "$source/examples/certkeep/latest.key" "$dir/"

  # A whole run leaves 0 bytes in use.
  if [ -n "${CREDGRAFT_TESTS_SANITIZED:-}" ]; then
    echo "sanitized build: memory at exit left to the sanitizers"
  elif command -v valgrind >/dev/null 2>&1; then
    printf 'A=1\nKEY=old\n' > "$root/app.conf"
    status=0
    valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
      --error-exitcode=99 --log-file="$root/valgrind.log" \
      "$program" "$root/app.conf" KEY pkey KEY cert 2>/dev/null || status=$?
    [ "$status" -eq 0 ] || { cat "$root/valgrind.log"; fail "under valgrind exited $status"; }
    grep -q "in use at exit: 0 bytes in 0 blocks" "$root/valgrind.log" \
      || { cat "$root/valgrind.log"; fail "memory in use at exit"; }
  else
    echo "valgrind not found: memory at exit not checked"
  fi

  # The maintainer scripts, with deb-systemd-helper, deb-systemd-invoke and
  # systemctl as stubs that record their calls. Not in the tree's bin/: the
  # scripts would take a systemctl there for the installed system's own.
  mkdir "$root/stubs"
  # shellcheck disable=SC2016  # expanded by the stub
  printf '#!/bin/sh\necho "${0##*/} $*" >> "$CALLS"\n' > "$root/stubs/stub"
  chmod +x "$root/stubs/stub"
  for name in deb-systemd-helper deb-systemd-invoke systemctl; do
    ln -s stub "$root/stubs/$name"
  done
  invoke=deb-systemd-invoke
  reload="systemctl --system daemon-reload"
  # script | its arguments | systemd running | calls, ;-separated
  while IFS='|' read -r script arguments running expected; do
    rm -rf /run/systemd
    [ "$running" = no ] || mkdir -p /run/systemd/system
    : > "$root/calls"
    # shellcheck disable=SC2086 # the arguments are words
    PATH="$root/stubs:$PATH" CALLS="$root/calls" sh "$scripts/$script" $arguments \
      || fail "$script $arguments exited $?"
    calls=$(tr '\n' ';' < "$root/calls")
    [ "$calls" = "${expected:+$expected;}" ] \
      || fail "$script $arguments (systemd $running): calls $calls, not $expected"
  done <<EOF
postinst|configure|yes|$reload
postinst|configure 1.3.0|yes|$reload
postinst|configure|no|
preinst|upgrade 1.2.0|yes|$invoke stop credgraft-renew.path credgraft-renew.timer;$invoke stop credgraft-renew.service
preinst|upgrade 1.3.0|yes|
preinst|install|yes|
prerm|remove|yes|$invoke stop credgraft-renew@*.path credgraft-renew@*.timer;$invoke stop credgraft-renew@*.service
prerm|upgrade 1.3.0|yes|
postrm|remove|yes|$reload;$invoke reset-failed credgraft-renew@*
postrm|remove|no|
EOF

  # An upgrade from 1.2.0 into the install tree (DPKG_ROOT): every target
  # moves to its instance, the older "default" of /etc/default/credgraft
  # too; the reload form becomes CREDGRAFT_ACTION=reload, another command
  # stays to fail its target; obsolete settings are commented out; the
  # instances are enabled only as the old path unit and timer were (after
  # 1.1.0 the helper has no state, and its was-enabled says yes: the links
  # decide). A purge then leaves none of it but the settings.
  #   old path | old timer | enabled afterwards
  export DPKG_ROOT="$root/host"
  host=$DPKG_ROOT
  while read -r old_path old_timer want; do
    rm -rf "$host"
    mkdir -p "$host/etc/credgraft" "$host/etc/default" "$host/var/lib/credgraft" \
      "$host/etc/systemd/system/credgraft-renew.service.d" "$host/etc/systemd/system/paths.target.wants" \
      "$host/etc/systemd/system/timers.target.wants"
    [ "$old_path" = off ] || ln -s /usr/lib/systemd/system/credgraft-renew.path \
      "$host/etc/systemd/system/paths.target.wants/credgraft-renew.path"
    [ "$old_timer" = off ] || ln -s /usr/lib/systemd/system/credgraft-renew.timer \
      "$host/etc/systemd/system/timers.target.wants/credgraft-renew.timer"
    printf 'CREDGRAFT_CONF=/etc/a/a.conf\nCREDGRAFT_PAIRS="K pkey C cert"\nCREDGRAFT_SERVICE=a.service\n%s\n' \
      'CREDGRAFT_RESTART="systemctl reload a.service"' > "$host/etc/credgraft/a.conf"
    printf 'CREDGRAFT_CONF=/srv/b/b.env\nCREDGRAFT_PAIRS="K pkey"\nCREDGRAFT_SERVICE=b.service\n%s\n' \
      "CREDGRAFT_RESTART='kill -HUP 1'" > "$host/etc/credgraft/b.conf"
    printf 'CREDGRAFT_SETTLE=3\nCREDGRAFT_LOCK_WAIT=60\nCREDGRAFT_CONF=/etc/d/d.conf\n%s\n' \
      'CREDGRAFT_PAIRS="K pkey C cert"
CREDGRAFT_SERVICE=d.service' > "$host/etc/default/credgraft"
    printf '[Service]\nReadWritePaths=-/etc/a\n' > "$host/etc/systemd/system/credgraft-renew.service.d/a.conf"
    echo /etc/a/a.conf > "$host/var/lib/credgraft/a.owed"
    : > "$root/calls"
    PATH="$root/stubs:$PATH" CALLS="$root/calls" sh "$scripts/postinst" configure 1.2.0 > "$root/said" \
      || fail "postinst configure 1.2.0 exited $?"
    enabled=$(cd "$host/etc/systemd/system" && find . -path './*.wants/credgraft-renew*' | sort | tr '\n' ' ')
    enabled=${enabled% }
    [ "$enabled" = "$want" ] || fail "old path $old_path, timer $old_timer: enabled $enabled, not $want"
    for name in a b default; do
      dropin=$host/etc/systemd/system/credgraft-renew@$name.service.d/credgraft-write.conf
      grep -qxE 'ReadWritePaths=-/(etc/a|srv/b|etc/d)' "$dropin" || fail "no drop-in for $name"
      grep -q "target $name is now credgraft-renew@$name" "$root/said" || fail "not said: $name"
    done
    grep -qx 'CREDGRAFT_ACTION=reload' "$host/etc/credgraft/a.conf" || fail "a: reload not mapped"
    if grep -q '^CREDGRAFT_RESTART' "$host/etc/credgraft/a.conf"; then fail "a: CREDGRAFT_RESTART kept"; fi
    grep -qx "CREDGRAFT_RESTART='kill -HUP 1'" "$host/etc/credgraft/b.conf" || fail "b: its command changed"
    grep -q "b.conf: CREDGRAFT_RESTART is no longer run" "$root/said" || fail "b: not said"
    grep -qx 'CREDGRAFT_SERVICE=d.service' "$host/etc/credgraft/default.conf" || fail "default not moved"
    if grep -Eq '^CREDGRAFT_(CONF|PAIRS|SERVICE|LOCK_WAIT)=' "$host/etc/default/credgraft"; then
      fail "target or obsolete settings left in /etc/default/credgraft"
    fi
    grep -qx 'CREDGRAFT_SETTLE=3' "$host/etc/default/credgraft" || fail "shared setting lost"
    [ -e "$host/var/lib/credgraft/a.owed" ] || fail "owed record lost"
    if [ -e "$host/etc/systemd/system/credgraft-renew.service.d" ] \
       || ls "$host"/etc/systemd/system/*.wants/credgraft-renew.* 2>/dev/null; then
      fail "old drop-ins or enablement left"
    fi
  done <<EOF
on  on  ./paths.target.wants/credgraft-renew@a.path ./paths.target.wants/credgraft-renew@b.path ./paths.target.wants/credgraft-renew@default.path ./timers.target.wants/credgraft-renew@a.timer ./timers.target.wants/credgraft-renew@b.timer ./timers.target.wants/credgraft-renew@default.timer
off off
off on  ./timers.target.wants/credgraft-renew@a.timer ./timers.target.wants/credgraft-renew@b.timer ./timers.target.wants/credgraft-renew@default.timer
EOF
  mkdir -p "$host/var/lib/systemd/timers" "$host/run/credgraft"
  : > "$host/var/lib/systemd/timers/stamp-credgraft-renew@a.timer"
  sh "$scripts/postrm" purge || fail "postrm purge exited $?"
  left=$(find "$host/etc/systemd" "$host/var/lib" "$host/run" -name '*credgraft*')
  [ -z "$left" ] || fail "purge left $left"
  [ -f "$host/etc/credgraft/a.conf" ] || fail "purge removed the settings"
  unset DPKG_ROOT
  exit 0
fi

build=$1
source=$(cd "$(dirname "$0")/.." && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dir=$(sed -n 's/^CREDGRAFT_CREDENTIAL_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$dir" ] || fail "no credential directory in $build/CMakeCache.txt"

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
doc=usr/share/doc/credgraft
units=usr/lib/systemd/system
hook=usr/libexec/credgraft/credgraft-hook
command=usr/sbin/credgraft-target
for file in usr/sbin/credgraft usr/share/man/man8/credgraft.8.gz usr/share/man/man8/credgraft-target.8.gz \
            $doc/README.md $doc/copyright $doc/changelog.gz $doc/examples/target.conf $hook $command \
            $doc/examples/default $units/credgraft-renew@.path $units/credgraft-renew@.service \
            $units/credgraft-renew@.timer; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
for file in $hook $command $doc/examples/default $units/credgraft-renew@.path \
            $units/credgraft-renew@.service $units/credgraft-renew@.timer; do
  if grep -q '@[A-Z_][A-Z_]*@' "$root/$file"; then fail "$file keeps a placeholder"; fi
done
for file in $hook $command; do
  [ -x "$root/$file" ] || fail "$file not executable"
done
if [ ! -d "$root/etc/credgraft" ] || [ -n "$(ls -A "$root/etc/credgraft")" ] \
   || [ "$(stat -c %a "$root/etc/credgraft")" != 755 ]; then
  fail "/etc/credgraft not an empty 0755 directory"
fi
# The hook and the units name the installed paths.
grep -q '/usr/sbin/credgraft' "$root/$hook" || fail "hook's program"
if grep -v '^#' "$root/$doc/examples/default" | grep -q .; then fail "shared settings example sets something"; fi
[ ! -e "$root/etc/default/credgraft" ] || fail "/etc/default/credgraft installed: the administrator's file"
# unit | lines it must hold: the service reads the settings as data, the
# target's after the shared ones, runs the hook for its instance, retries
# what is not fit yet but not a wrong setting or the expiry warning, and
# shows the hook and credgraft the snapshot at the credential directory.
while IFS='|' read -r unit lines; do
  IFS=';'
  for line in $lines; do
    grep -qxF "$line" "$root/$units/$unit" || fail "$unit lacks $line"
  done
  unset IFS
done <<EOF
credgraft-renew@.service|Type=oneshot;EnvironmentFile=-/etc/default/credgraft;EnvironmentFile=/etc/credgraft/%i.conf;ExecStart=/$hook %i;Restart=on-failure;RestartPreventExitStatus=78 79;StateDirectory=credgraft;BindReadOnlyPaths=-$dir:/run/credgraft/%i/live;BindReadOnlyPaths=/run/credgraft/%i/checked:$dir;RuntimeDirectory=credgraft/%i credgraft/%i/checked
credgraft-renew@.path|PathChanged=$dir/latest.key;PathChanged=$dir/latest.crt;Unit=credgraft-renew@%i.service;WantedBy=paths.target
credgraft-renew@.timer|OnActiveSec=2min;OnCalendar=daily;Persistent=yes;Unit=credgraft-renew@%i.service;WantedBy=timers.target
EOF
# A condition would skip a run with wrong settings instead of failing it.
if grep -q '^ExecCondition=' "$root/$units/credgraft-renew@.service"; then
  fail "the service has a condition"
fi
sed -n '/EnvironmentFile=-\/etc\/default/,$p' "$root/$units/credgraft-renew@.service" \
  | grep -qx 'EnvironmentFile=/etc/credgraft/%i.conf' || fail "the target's settings do not win"

if command -v systemd-analyze >/dev/null 2>&1; then
  # The units as installed, with the hook's path taken into the install tree.
  mkdir "$root/verify"
  sed "s|^\(Exec[A-Za-z]*=\)|\1$root|" "$root/$units/credgraft-renew@.service" \
    > "$root/verify/credgraft-renew@.service"
  cp "$root/$units/credgraft-renew@.path" "$root/$units/credgraft-renew@.timer" "$root/verify/"
  systemd-analyze verify --man=no "$root/verify/credgraft-renew@test.path" \
    "$root/verify/credgraft-renew@test.timer" "$root/verify/credgraft-renew@test.service" \
    || fail "systemd-analyze verify"
  systemd-analyze security --offline=yes --threshold=20 "$root/verify/credgraft-renew@.service" \
    > "$root/security.txt" 2>&1 || { tail -n 3 "$root/security.txt"; fail "sandbox exposure above 2.0"; }
  tail -n 1 "$root/security.txt"
else
  echo "systemd-analyze not found: units not verified"
fi
program="$root/usr/sbin/credgraft"
[ -x "$program" ] || fail "program not executable"
grep -q "$dir/latest.key" "$program" || fail "credential directory"
zcat "$root/$doc/changelog.gz" | head -n 1 | grep -q "^credgraft (" || fail "changelog"

if [ -z "${CREDGRAFT_TESTS_SANITIZED:-}" ]; then
  # libc is the only library it needs; nothing of the C++ runtime is in it.
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  [ "$needed" = "libc.so.6" ] || fail "needs $needed"
  if readelf -Ws "$program" | grep -v '@GLIBC' | grep -E '__cxa_|_ZSt|_ZNSt|_Znw|_Zdl|__gxx_personality|_Unwind_' >/dev/null; then
    fail "C++ runtime symbols in the program"
  fi
  readelf -S "$program" | grep -q '\.comment' && fail ".comment section installed"
fi

status=0
"$program" 2>/dev/null || status=$?
[ "$status" -eq 4 ] || fail "installed program without arguments exited $status"

# The package's control area: no conffile, and the maintainer scripts,
# executable and clean. Without the package tools, the scripts are checked
# from the source tree.
scripts="$source/packaging"
if command -v cpack >/dev/null && command -v dpkg-shlibdeps >/dev/null && command -v file >/dev/null; then
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$root/deb" >/dev/null || fail "cpack"
  dpkg-deb -e "$root"/deb/credgraft_*.deb "$root/control"
  scripts="$root/control"
  [ ! -e "$root/control/conffiles" ] || fail "conffiles: an upgrade would ask about the settings"
  for script in preinst postinst prerm postrm; do
    [ "$(stat -c %a "$root/control/$script")" = 755 ] || fail "$script not 0755 in the package"
  done
else
  echo "cpack, dpkg-shlibdeps or file not found (dpkg-dev, file): package not built"
fi
for script in preinst postinst prerm postrm; do
  [ -f "$scripts/$script" ] || fail "no $script"
  grep -qx 'set -e' "$scripts/$script" || fail "$script without set -e"
done
if command -v shellcheck >/dev/null 2>&1; then
  shellcheck -s sh "$scripts/preinst" "$scripts/postinst" "$scripts/prerm" "$scripts/postrm" || fail "shellcheck"
else
  echo "shellcheck not found: maintainer scripts not linted"
fi

# The runs of the installed program and of the maintainer scripts, each in a
# private mount namespace (a user namespace too when not root).
if [ "$(id -u)" -eq 0 ]; then as_root=""; else as_root="--map-root-user"; fi
if unshare ${as_root:+"$as_root"} --mount --propagation unchanged true 2>/dev/null; then
  status=0
  unshare ${as_root:+"$as_root"} --mount --propagation unchanged \
    sh "$0" --private "$root" "$source" "$dir" "$scripts" || status=$?
  case $status in
    0) ;;
    77) echo "SKIP: mounts cannot be made private here: the installed program's runs and the maintainer scripts not checked" ;;
    *) fail "checks in the private mount namespace" ;;
  esac
else
  echo "SKIP: no private mount namespace (unshare): the installed program's runs and the maintainer scripts not checked"
fi
echo "install: all checks passed"
