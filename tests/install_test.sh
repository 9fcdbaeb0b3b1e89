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
  # systemctl as stubs that record their calls; "was-enabled" answers $WAS.
  # Not in the tree's bin/: the real helper below would take a systemctl
  # there for the installed system's own.
  mkdir "$root/stubs"
  cat > "$root/stubs/stub" <<'STUB'
#!/bin/sh
echo "${0##*/} $*" >> "$CALLS"
case "$*" in *was-enabled*) exit "${WAS:-0}" ;; esac
STUB
  chmod +x "$root/stubs/stub"
  for name in deb-systemd-helper deb-systemd-invoke systemctl; do
    ln -s stub "$root/stubs/$name"
  done
  p=credgraft-renew.path t=credgraft-renew.timer
  helper=deb-systemd-helper
  enable="$helper unmask $p;$helper --quiet was-enabled $p;$helper enable $p"
  enable="$enable;$helper unmask $t;$helper --quiet was-enabled $t;$helper enable $t"
  keep="$helper unmask $p;$helper --quiet was-enabled $p;$helper update-state $p"
  keep="$keep;$helper unmask $t;$helper --quiet was-enabled $t;$helper update-state $t"
  reload="systemctl --system daemon-reload"
  # script | its arguments | systemd running | was-enabled status | calls, ;-separated
  while IFS='|' read -r script arguments running was expected; do
    rm -rf /run/systemd /var/lib/credgraft /run/credgraft
    mkdir -p /var/lib/credgraft /run/credgraft /var/lib/systemd/timers
    : > /var/lib/systemd/timers/stamp-$t
    [ "$running" = no ] || mkdir -p /run/systemd/system
    : > "$root/calls"
    # shellcheck disable=SC2086 # the arguments are words
    PATH="$root/stubs:$PATH" CALLS="$root/calls" WAS=$was sh "$scripts/$script" $arguments \
      || fail "$script $arguments exited $?"
    calls=$(tr '\n' ';' < "$root/calls")
    [ "$calls" = "${expected:+$expected;}" ] \
      || fail "$script $arguments (systemd $running): calls $calls, not $expected"
    if [ "$arguments" = purge ]; then
      if [ -e /var/lib/credgraft ] || [ -e /run/credgraft ] || [ -e /var/lib/systemd/timers/stamp-$t ]; then
        fail "purge left its state, locks or the timer's stamp"
      fi
    elif [ ! -d /var/lib/credgraft ] || [ ! -d /run/credgraft ]; then
      fail "$script $arguments removed the state"
    fi
  done <<EOF
postinst|configure|yes|0|$enable;$reload;deb-systemd-invoke start $p $t
postinst|configure 1.0.0|yes|1|$keep;$reload;deb-systemd-invoke restart $p $t
postinst|configure|no|0|$enable
prerm|remove|yes|0|deb-systemd-invoke stop $p $t;deb-systemd-invoke stop credgraft-renew.service
prerm|upgrade 1.2.0|yes|0|
prerm|remove|no|0|
postrm|remove|yes|0|$reload;$helper mask $p $t
postrm|remove|no|0|$helper mask $p $t
postrm|upgrade 1.2.0|yes|0|
postrm|purge|no|0|$helper purge $p $t;$helper unmask $p $t
EOF

  # The real helper, with the install tree as the root dpkg installs to: an
  # install enables both units there, a removal masks them, and a purge
  # leaves no trace of them.
  if command -v deb-systemd-helper >/dev/null 2>&1; then
    rm -rf /run/systemd
    export DPKG_ROOT="$root" DPKG_MAINTSCRIPT_PACKAGE=credgraft
    DPKG_MAINTSCRIPT_NAME=postinst sh "$scripts/postinst" configure '' 2>"$root/err" \
      || fail "postinst with the helper: $(cat "$root/err")"
    for link in paths.target.wants/$p timers.target.wants/$t; do
      [ -L "$root/etc/systemd/system/$link" ] || fail "postinst did not enable ${link#*/}"
    done
    DPKG_MAINTSCRIPT_NAME=postrm sh "$scripts/postrm" remove 2>"$root/err" \
      || fail "postrm remove with the helper: $(cat "$root/err")"
    for unit in $p $t; do
      [ "$(readlink "$root/etc/systemd/system/$unit")" = /dev/null ] || fail "postrm remove did not mask $unit"
    done
    DPKG_MAINTSCRIPT_NAME=postrm sh "$scripts/postrm" purge 2>"$root/err" \
      || fail "postrm purge with the helper: $(cat "$root/err")"
    left=$(find "$root/etc/systemd" "$root/var/lib/systemd" -name 'credgraft-renew.*')
    [ -z "$left" ] || fail "purge left $left"
  else
    echo "deb-systemd-helper not found: enablement not checked"
  fi
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
for file in usr/sbin/credgraft usr/share/man/man8/credgraft.8.gz $doc/README.md $doc/copyright \
            $doc/changelog.gz $doc/examples/target.conf $hook etc/default/credgraft \
            $units/credgraft-renew.path $units/credgraft-renew.service $units/credgraft-renew.timer; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
for file in $hook etc/default/credgraft $units/credgraft-renew.path $units/credgraft-renew.service \
            $units/credgraft-renew.timer; do
  if grep -q '@[A-Z_][A-Z_]*@' "$root/$file"; then fail "$file keeps a placeholder"; fi
done
[ -x "$root/$hook" ] || fail "hook not executable"
if [ ! -d "$root/etc/credgraft" ] || [ -n "$(ls -A "$root/etc/credgraft")" ] \
   || [ "$(stat -c %a "$root/etc/credgraft")" != 755 ]; then
  fail "/etc/credgraft not an empty 0755 directory"
fi
# The hook and the units name the installed paths; the settings file sets nothing.
grep -q '/usr/sbin/credgraft' "$root/$hook" || fail "hook's program"
if grep -v '^#' "$root/etc/default/credgraft" | grep -q .; then fail "settings file sets something"; fi
# unit | lines it must hold (the service: every target, its state, a stop that
# spares a restart under way, the hook reads its settings itself, and runs
# are skipped, not failed, until a target is configured)
while IFS='|' read -r unit lines; do
  IFS=';'
  for line in $lines; do
    grep -qxF "$line" "$root/$units/$unit" || fail "$unit lacks $line"
  done
  unset IFS
done <<EOF
credgraft-renew.service|ExecCondition=/$hook --list;ExecStart=/$hook;Type=oneshot;KillMode=mixed;StateDirectory=credgraft;RuntimeDirectory=credgraft;RuntimeDirectoryPreserve=yes
credgraft-renew.path|PathChanged=$dir/latest.key;PathChanged=$dir/latest.crt;Unit=credgraft-renew.service;WantedBy=paths.target
credgraft-renew.timer|OnBootSec=5min;OnCalendar=daily;Persistent=yes;Unit=credgraft-renew.service;WantedBy=timers.target
EOF
if grep -q '^EnvironmentFile=' "$root/$units/credgraft-renew.service"; then
  fail "the service reads the settings into the hook's environment"
fi

if command -v systemd-analyze >/dev/null 2>&1; then
  # The units as installed, with the hook's path taken into the install tree.
  mkdir "$root/verify"
  sed "s|^\(Exec[A-Za-z]*=\)|\1$root|" "$root/$units/credgraft-renew.service" \
    > "$root/verify/credgraft-renew.service"
  cp "$root/$units/credgraft-renew.path" "$root/$units/credgraft-renew.timer" "$root/verify/"
  systemd-analyze verify --man=no "$root/verify/credgraft-renew.path" \
    "$root/verify/credgraft-renew.timer" "$root/verify/credgraft-renew.service" \
    || fail "systemd-analyze verify"
  systemd-analyze security --offline=yes --threshold=20 "$root/verify/credgraft-renew.service" \
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

# The package's control area: the conffile and the maintainer scripts,
# executable and clean. Without the package tools, the scripts are checked
# from the source tree.
scripts="$source/packaging"
if command -v cpack >/dev/null && command -v dpkg-shlibdeps >/dev/null && command -v file >/dev/null; then
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$root/deb" >/dev/null || fail "cpack"
  dpkg-deb -e "$root"/deb/credgraft_*.deb "$root/control"
  scripts="$root/control"
  [ "$(cat "$root/control/conffiles")" = /etc/default/credgraft ] || fail "conffiles"
  for script in postinst prerm postrm; do
    [ "$(stat -c %a "$root/control/$script")" = 755 ] || fail "$script not 0755 in the package"
  done
else
  echo "cpack, dpkg-shlibdeps or file not found (dpkg-dev, file): package not built"
fi
for script in postinst prerm postrm; do
  [ -f "$scripts/$script" ] || fail "no $script"
  grep -qx 'set -e' "$scripts/$script" || fail "$script without set -e"
done
if command -v shellcheck >/dev/null 2>&1; then
  shellcheck -s sh "$scripts/postinst" "$scripts/prerm" "$scripts/postrm" || fail "shellcheck"
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
