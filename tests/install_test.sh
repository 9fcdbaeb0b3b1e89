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
  # systemctl as stubs that record their calls, and dpkg-query as one that
  # lists $CONFFILES. Not in the tree's bin/: the scripts would take a
  # systemctl there for the installed system's own. The host's own units,
  # settings and defaults are hidden under tmpfs mounts of this namespace.
  mkdir "$root/stubs"
  # shellcheck disable=SC2016  # expanded by the stub
  printf '#!/bin/sh\necho "${0##*/} $*" >> "$CALLS"\n' > "$root/stubs/stub"
  # shellcheck disable=SC2016  # expanded by the stub
  printf '#!/bin/sh\nprintf "%%s\\n" "${CONFFILES:-}"\n' > "$root/stubs/dpkg-query"
  chmod +x "$root/stubs/stub" "$root/stubs/dpkg-query"
  for name in deb-systemd-helper deb-systemd-invoke systemctl; do
    ln -s stub "$root/stubs/$name"
  done
  for hidden in /etc/systemd/system /etc/credgraft /etc/default; do
    [ ! -d "$hidden" ] || mount -t tmpfs -o mode=0755 credgraft-test "$hidden" || fail "cannot hide $hidden"
  done
  invoke=deb-systemd-invoke
  reload="systemctl --system daemon-reload"
  i=credgraft-renew@
  # script | its arguments | systemd running | instances enabled | calls, ;-separated.
  # configure, of any kind, and abort-remove start every enabled watch, so
  # that a reinstall after "dpkg --remove" leaves none unwatched.
  while IFS='|' read -r script arguments running instances expected; do
    rm -rf /run/systemd
    [ "$running" = no ] || mkdir -p /run/systemd/system
    if [ -n "$instances" ] && [ ! -d /etc/systemd/system ]; then
      echo "SKIP: no /etc/systemd/system: $script $arguments with enabled instances" && continue
    fi
    rm -f /etc/systemd/system/*.wants/credgraft-renew@*
    for unit in $instances; do
      case $unit in *.path) wants=paths ;; *) wants=timers ;; esac
      mkdir -p "/etc/systemd/system/$wants.target.wants"
      ln -s "/usr/lib/systemd/system/credgraft-renew@.${unit##*.}" "/etc/systemd/system/$wants.target.wants/credgraft-renew@$unit"
    done
    : > "$root/calls"
    # shellcheck disable=SC2086 # the arguments are words
    PATH="$root/stubs:$PATH" CALLS="$root/calls" sh "$scripts/$script" $arguments >/dev/null \
      || fail "$script $arguments exited $?"
    calls=$(tr '\n' ';' < "$root/calls")
    [ "$calls" = "${expected:+$expected;}" ] \
      || fail "$script $arguments (systemd $running, $instances): calls $calls, not $expected"
  done <<EOF
postinst|configure|yes||$reload
postinst|configure 1.3.0|yes||$reload
postinst|configure|no||
postinst|configure|yes|a.path a.timer b@x.timer|$reload;$invoke start ${i}a.path ${i}a.timer ${i}b@x.timer
postinst|configure 1.3.0|yes|a.path|$reload;$invoke start ${i}a.path
postinst|configure|no|a.path a.timer|
postinst|abort-remove|yes|a.path b.timer|$invoke start ${i}a.path ${i}b.timer
postinst|abort-remove|no|a.path|
postinst|abort-upgrade 1.4.0|yes|a.path|
preinst|upgrade 1.2.0|yes||$invoke stop credgraft-renew.path credgraft-renew.timer;$invoke stop credgraft-renew.service
preinst|upgrade 1.3.0|yes||
preinst|install|yes||
prerm|remove|yes||$invoke stop credgraft-renew@*.path credgraft-renew@*.timer;$invoke stop credgraft-renew@*.service
prerm|upgrade 1.3.0|yes||
postrm|remove|yes||$reload;$invoke reset-failed credgraft-renew@*
postrm|remove|no||
EOF
  rm -rf /run/systemd

  # The rest runs into the install tree (DPKG_ROOT), with the settings'
  # reader as installed, its walk up the directories ending at that tree.
  export DPKG_ROOT="$root/host"
  host=$DPKG_ROOT
  settings=$host/usr/libexec/credgraft/credgraft-settings
  units=$host/etc/systemd/system
  old=$units/credgraft-renew.service.d
  # new_host: an empty tree with the reader in it.
  new_host() {
    rm -rf "$host"
    mkdir -p "$host/usr/libexec/credgraft" "$host/etc/credgraft" "$host/etc/default" \
      "$host/etc/systemd/system/credgraft-renew.service.d" "$host/var/lib/credgraft"
    sed "s|^top=/\$|top=$host|" "$root/usr/libexec/credgraft/credgraft-settings" > "$settings"
    chmod 755 "$settings"
    grep -qx "top=$host" "$settings" || fail "the reader's top not replaced"
  }
  # postinst ARGUMENTS...: the postinst run into the tree, what it said in $root/said.
  postinst() {
    PATH="$root/stubs:$PATH" CALLS="$root/calls" sh "$scripts/postinst" "$@" > "$root/said" 2>&1 \
      || fail "postinst $* exited $?"
  }

  # The handover of /etc/default/credgraft, a conffile of 1.2.0 that dpkg
  # still lists on a host that had it: the preinst sets it aside whenever
  # dpkg lists it, the postinst's configure and postrm's undoing put it
  # back, a file there by then is left alone.
  #   script | arguments | dpkg's conffiles | before | after (file, aside, both, none)
  listed=' /etc/default/credgraft 0123456789abcdef0123456789abcdef'
  defaults=$host/etc/default/credgraft
  new_host
  while IFS='|' read -r script arguments conffiles before after; do
    rm -f "$defaults" "$defaults.dpkg-handover"
    case $before in file | both) echo CREDGRAFT_SETTLE=7 > "$defaults" ;; esac
    case $before in aside | both) echo CREDGRAFT_SETTLE=8 > "$defaults.dpkg-handover" ;; esac
    # shellcheck disable=SC2086 # the arguments are words
    CONFFILES=$conffiles PATH="$root/stubs:$PATH" CALLS="$root/calls" sh "$scripts/$script" $arguments \
      > "$root/said" || fail "$script $arguments exited $?"
    state=none
    [ ! -e "$defaults" ] || state="file"
    [ ! -e "$defaults.dpkg-handover" ] || state=${state%none}aside
    [ "$state" != fileaside ] || state=both
    [ "$state" = "$after" ] || fail "$script $arguments, $before: $state, not $after"
    case $script$before$after in
      *fileaside) grep -qx CREDGRAFT_SETTLE=7 "$defaults.dpkg-handover" || fail "$script: set aside changed" ;;
      *asidefile) [ "$("$settings" legacy "$defaults")" = CREDGRAFT_SETTLE=8 ] || fail "$script: put back changed" ;;
      postinstbothboth) grep -q "$defaults exists again: the one before the upgrade is $defaults.dpkg-handover" \
        "$root/said" || fail "postinst: both files, not said" ;;
    esac
  done <<EOF
preinst|upgrade 1.2.0|$listed|file|aside
preinst|upgrade 1.3.0|$listed obsolete|file|aside
preinst|install 1.2.0|$listed obsolete|file|aside
preinst|upgrade 1.3.0||file|file
preinst|install|$listed|file|file
preinst|upgrade 1.3.0|$listed|none|none
postinst|configure 1.3.0||aside|file
postinst|configure 1.2.0||aside|file
postinst|configure 1.3.0||both|both
postrm|abort-upgrade 1.3.0||aside|file
postrm|abort-install 1.2.0||aside|file
postrm|purge||aside|file
postrm|purge||file|file
EOF
  # reads FILE: the reader's settings of the target FILE, ;-joined, short.
  reads() {
    "$settings" read "$1" "$host/etc/default/credgraft" | sed 's/^CREDGRAFT_//' | tr '\n' ';'
  }
  # check_target NAME SAID READS GRANT: NAME after the upgrade from 1.2.0,
  # as a row of the table says and the old units were ($old_path, $old_timer).
  check_target() {
    file=$host/etc/credgraft/$1.conf
    set -f
    IFS=';'
    for line in $2; do
      grep -Eq "^credgraft: $line" "$root/said-first" || fail "$1: not said: $line"
    done
    set +f
    unset IFS
    [ "$(grep -Ec "^credgraft: target $1 (is now|will fail|not moved)" "$root/said")" = 1 ] \
      || fail "$1: not said once what became of it: $(cat "$root/said")"
    [ "$3" = - ] || [ "$(reads "$file")" = "$3;" ] || fail "$1 reads $(reads "$file"), not $3"
    dropin=$units/credgraft-renew@$1.service.d/credgraft-write.conf
    if [ "$4" = - ]; then
      [ ! -e "$dropin" ] || fail "$1: a grant: $(cat "$dropin")"
    else
      [ "$(cat "$dropin")" = "$(printf '[Service]\nReadWritePaths=%s' "$4")" ] || fail "$1: grant $(cat "$dropin")"
    fi
    moved=yes
    case $2 in "target $1 not moved"*) moved=no ;; esac
    for unit in "paths.target.wants/credgraft-renew@$1.path:$old_path" "timers.target.wants/credgraft-renew@$1.timer:$old_timer"; do
      want=${unit##*:}
      [ "$moved" = yes ] || want=off
      have=off
      [ ! -L "$units/${unit%:*}" ] || have=on
      [ "$have" = "$want" ] || fail "$1: ${unit%:*} $have, not $want"
    done
    if [ ! -e "$root/was-$1" ]; then
      :
    elif [ "$moved" = yes ]; then
      cmp -s "$root/was-$1" "$file.dpkg-old" || fail "$1: the original not kept beside"
    elif ! cmp -s "$root/was-$1" "$file" || [ -e "$file.dpkg-old" ]; then
      fail "$1: changed, not moved"
    fi
  }
  # check_migrated: every target of the table, the shared file with its
  # target "default" ($dconf), the link and its mode, the old drop-ins.
  check_migrated() {
    while IFS='|' read -r name _ said settings_read grant; do
      check_target "$name" "$said" "$settings_read" "$grant"
    done < "$root/targets"
    [ -L "$host/etc/credgraft/l.conf" ] || fail "l.conf no longer a link"
    [ "$(stat -c %a "$host/etc/l-settings/l.conf" "$host/etc/credgraft/l.conf.dpkg-old" | tr '\n' ' ')" = "640 640 " ] \
      || fail "l.conf's mode not kept"
    [ ! -e /run/ran ] || fail "a value of the settings was run"
    [ "$("$settings" legacy "$host/etc/default/credgraft" | tr '\n' ';')" = "CREDGRAFT_SETTLE=3;CREDGRAFT_EXPIRY_WARNING=30;" ] \
      || fail "shared settings: $(cat "$host/etc/default/credgraft")"
    cmp -s "$root/shared" "$host/etc/default/credgraft.dpkg-old" || fail "the shared file's original not kept"
    if [ -n "$dconf" ]; then
      grep -q "^credgraft: the target set in $host/etc/default/credgraft is now $host/etc/credgraft/default.conf" \
        "$root/said-first" || fail "default target: not said"
      check_target default "target default is now" \
        "CONF=/etc/d/d.conf;PAIRS=K pkey C cert;SERVICE=d.service;ACTION=restart;SETTLE=3;EXPIRY_WARNING=30" '"-/etc/d"'
    elif [ -e "$host/etc/credgraft/default.conf" ] || grep -q "target default" "$root/said"; then
      fail "an empty CREDGRAFT_CONF made a target"
    fi
    [ "$(ls "$old")" = keep.conf ] || fail "old drop-ins: $(ls "$old")"
    grep -q "^credgraft: $old/keep.conf is no longer used" "$root/said-first" || fail "keep.conf: not said"
    [ -e "$host/var/lib/credgraft/a.owed" ] || fail "owed record lost"
    if ls "$units"/*.wants/credgraft-renew.* 2>/dev/null; then fail "old enablement left"; fi
  }

  # An upgrade from 1.2.0: every target's settings rewritten from the
  # values 1.2.0's shell read (the original kept beside, a link kept a link
  # and its real file's mode), and read back by the reader; its grant from
  # the real parameter file and the old drop-ins, quoted; its instance
  # enabled only as the old path unit and timer were; and one word on it:
  # moved, will fail (with the reader's or the grant's line), or not moved
  # (a value the shell expanded, named and never run). The shared file
  # keeps its shared settings; its target "default" comes over only when its
  # CREDGRAFT_CONF is not empty. dpkg retrying configure changes nothing.
  # target | its 1.2.0 settings (printf) | said, EREs ;-separated | read back, or - | its grant, or -
  cat > "$root/targets" <<'EOF'
a|export CREDGRAFT_CONF=/etc/a/a.conf  # the app\nCREDGRAFT_PAIRS="K pkey C cert"\nCREDGRAFT_SERVICE=a.service\nCREDGRAFT_RESTART="systemctl reload a.service"\n#CREDGRAFT_RESTART="systemctl reload a.service"|.*a.conf: CREDGRAFT_RESTART="systemctl reload a.service" is now CREDGRAFT_ACTION=reload;target a is now credgraft-renew@a, enabled: |CONF=/etc/a/a.conf;PAIRS=K pkey C cert;SERVICE=a.service;ACTION=reload;SETTLE=3;EXPIRY_WARNING=30|"-/etc/a" "-/var/lib/a extra"
b|CREDGRAFT_CONF=/srv/b/b.env\nCREDGRAFT_PAIRS='K pkey'\nCREDGRAFT_SERVICE=b.service # the back end\nCREDGRAFT_ACTION=reload\nCREDGRAFT_RESTART='kill -HUP 1'\n|.*b.conf: CREDGRAFT_ACTION dropped \(1.2.0 ran CREDGRAFT_RESTART instead\);target b will fail: .*b.conf:[0-9]+: CREDGRAFT_RESTART is no longer honoured: write CREDGRAFT_ACTION=reload|-|"-/srv/b"
m|CREDGRAFT_CONF="/etc/myapp/params.conf"\nCREDGRAFT_PAIRS=TLS_KEY\\ pkey\\ TLS_CERT\\ cert\nCREDGRAFT_SERVICE=myapp.service\n\n  CREDGRAFT_SETTLE=08\n|target m is now|CONF=/etc/myapp/params.conf;PAIRS=TLS_KEY pkey TLS_CERT cert;SERVICE=myapp.service;ACTION=restart;SETTLE=8;EXPIRY_WARNING=30|"-/srv/myapp" "-/etc/myapp"
t|CREDGRAFT_CONF='/srv/tls conf/t.conf'\nCREDGRAFT_PAIRS="K pkey"\nCREDGRAFT_SERVICE=t.service\nCREDGRAFT_LOCK_WAIT=9\nCREDGRAFT=/usr/bin/x\nCREDGRAFT_ACTION=reload\n|.*t.conf: CREDGRAFT_LOCK_WAIT dropped \(no longer a setting\);.*t.conf: CREDGRAFT dropped;target t is now|CONF=/srv/tls conf/t.conf;PAIRS=K pkey;SERVICE=t.service;ACTION=reload;SETTLE=3;EXPIRY_WARNING=30|"-/srv/tls conf"
l|CREDGRAFT_CONF=/etc/l/l.conf\nCREDGRAFT_PAIRS="K pkey"\nCREDGRAFT_SERVICE=l.service\nCREDGRAFT_EXPIRY_WARNING=9\n|target l is now|CONF=/etc/l/l.conf;PAIRS=K pkey;SERVICE=l.service;ACTION=restart;SETTLE=3;EXPIRY_WARNING=9|"-/etc/l"
e|CREDGRAFT_CONF=/etc/e/$(touch /run/ran).conf\nCREDGRAFT_PAIRS="K pkey"\nCREDGRAFT_SERVICE=e.service\n|target e not moved: .*e.conf:1: CREDGRAFT_CONF uses shell expansion.*credgraft-target add e|-|-
q|CREDGRAFT_CONF='/srv/q\tq/q.conf'\nCREDGRAFT_PAIRS="K pkey"\nCREDGRAFT_SERVICE=q.service\n|target q will fail: .*control character|-|-
EOF
  #   old path | old timer | the default target's CREDGRAFT_CONF | runs
  while read -r old_path old_timer dconf runs; do
    new_host
    mkdir -p "$units/paths.target.wants" "$units/timers.target.wants" "$host/etc/l-settings" \
      "$host/etc/myapp" "$host/srv/myapp"
    [ "$old_path" = off ] || ln -s /usr/lib/systemd/system/credgraft-renew.path "$units/paths.target.wants/"
    [ "$old_timer" = off ] || ln -s /usr/lib/systemd/system/credgraft-renew.timer "$units/timers.target.wants/"
    [ "$dconf" != - ] || dconf=""
    printf '# shared\nCREDGRAFT_SETTLE=3 # seconds\nexport CREDGRAFT_LOCK_WAIT=60\nCREDGRAFT_EXPIRY_WARNING=%s\nCREDGRAFT_CONF=%s\nCREDGRAFT_PAIRS="K pkey C cert"\nCREDGRAFT_SERVICE=d.service\n' \
      "'30'" "$dconf" > "$host/etc/default/credgraft"
    cp "$host/etc/default/credgraft" "$root/shared"
    printf "[Service]\nReadWritePaths='-/var/lib/a extra'\n" > "$old/a.conf"
    printf '[Service]\nReadWritePaths=-/etc/myapp -/srv/myapp\nReadWritePaths=/var/unrelated\n' > "$old/rw.conf"
    printf '[Service]\nEnvironment=X=1\n' > "$old/keep.conf"
    ln -s ../../srv/myapp/params.conf "$host/etc/myapp/params.conf"
    while IFS='|' read -r name text _; do
      # shellcheck disable=SC2059 # the table's settings are the format
      printf "$text" > "$host/etc/credgraft/$name.conf"
      cp "$host/etc/credgraft/$name.conf" "$root/was-$name"
    done < "$root/targets"
    mv "$host/etc/credgraft/l.conf" "$host/etc/l-settings/l.conf"
    chmod 640 "$host/etc/l-settings/l.conf"
    ln -s ../l-settings/l.conf "$host/etc/credgraft/l.conf"
    echo /etc/a/a.conf > "$host/var/lib/credgraft/a.owed"
    postinst configure 1.2.0
    cp "$root/said" "$root/said-first"
    [ "$runs" = 1 ] || postinst configure 1.2.0
    check_migrated
  done <<EOF
on  on  /etc/d/d.conf 1
off off - 1
off on  /etc/d/d.conf 2
EOF
  mkdir -p "$host/var/lib/systemd/timers" "$host/run/credgraft"
  : > "$host/var/lib/systemd/timers/stamp-credgraft-renew@a.timer"
  sh "$scripts/postrm" purge || fail "postrm purge exited $?"
  left=$(find "$host/etc/systemd" "$host/var/lib" "$host/run" -name '*credgraft*' ! -path "$old")
  [ -z "$left" ] || fail "purge left $left"
  for file in "$host/etc/credgraft/a.conf" "$host/etc/default/credgraft"; do
    [ -f "$file" ] || fail "purge removed $file"
  done

  # An upgrade from 1.3.0: each target set up is checked by the reader, one
  # that fails named with the reader's line and what to change; its grant,
  # written raw, is quoted and taken from the real parameter file, any
  # other path it gave kept. A target not set up is not looked at.
  # target | its 1.3.0 settings (printf) | its grant before, or - | said, or - | its grant after
  cat > "$root/targets" <<'EOF'
t|CREDGRAFT_CONF=/srv/tls conf/t.conf\nCREDGRAFT_PAIRS=K pkey\nCREDGRAFT_SERVICE=t.service\n|ReadWritePaths=-/srv/tls conf\nReadWritePaths=-/var/t|-|ReadWritePaths="-/srv/tls conf" "-/var/t"
m|# params linked\nCREDGRAFT_CONF=/etc/myapp/params.conf\n CREDGRAFT_PAIRS=K pkey  \nCREDGRAFT_SERVICE=m.service|ReadWritePaths=-/etc/myapp|-|ReadWritePaths="-/srv/myapp"
c|; the front end\nCREDGRAFT_CONF=/srv/c/c.conf\nCREDGRAFT_PAIRS=K pkey\nCREDGRAFT_SERVICE=c.service\n|ReadWritePaths=-/srv/c|target c will fail: .*c.conf:1: not a KEY=VALUE line;target c: 1.3.0 let systemd read .*c.conf. now .*credgraft-target add c$|ReadWritePaths=-/srv/c
n|; never set up\n|-|-|-
EOF
  new_host
  mkdir -p "$host/etc/myapp" "$host/srv/myapp"
  ln -s ../../srv/myapp/params.conf "$host/etc/myapp/params.conf"
  while IFS='|' read -r name text before _ _; do
    # shellcheck disable=SC2059 # the table's settings and grant are formats
    printf "$text" > "$host/etc/credgraft/$name.conf"
    [ "$before" = - ] || mkdir "$units/credgraft-renew@$name.service.d"
    # shellcheck disable=SC2059
    [ "$before" = - ] || printf "[Service]\n$before\n" > "$units/credgraft-renew@$name.service.d/credgraft-write.conf"
  done < "$root/targets"
  postinst configure 1.3.0
  while IFS='|' read -r name _ _ said after; do
    dropin=$units/credgraft-renew@$name.service.d/credgraft-write.conf
    [ "$after" = - ] || [ "$(cat "$dropin")" = "$(printf '[Service]\n%s' "$after")" ] || fail "1.3.0, $name: grant $(cat "$dropin")"
    if [ "$said" = - ]; then
      if grep -q "target $name" "$root/said"; then fail "1.3.0, $name: said $(cat "$root/said")"; fi
      continue
    fi
    set -f
    IFS=';'
    for line in $said; do
      grep -Eq "^credgraft: $line" "$root/said" || fail "1.3.0, $name: not said: $line; $(cat "$root/said")"
    done
    set +f
    unset IFS
  done < "$root/targets"
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
reader=usr/libexec/credgraft/credgraft-settings
command=usr/sbin/credgraft-target
for file in usr/sbin/credgraft usr/share/man/man8/credgraft.8.gz usr/share/man/man8/credgraft-target.8.gz \
            $doc/README.md $doc/copyright $doc/changelog.gz $doc/examples/target.conf $hook $reader $command \
            $doc/examples/default $units/credgraft-renew@.path $units/credgraft-renew@.service \
            $units/credgraft-renew@.timer; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
for file in $hook $reader $command $doc/examples/default $units/credgraft-renew@.path \
            $units/credgraft-renew@.service $units/credgraft-renew@.timer; do
  if grep -q '@[A-Z_][A-Z_]*@' "$root/$file"; then fail "$file keeps a placeholder"; fi
done
for file in $hook $reader $command; do
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
# unit | lines it must hold: the service runs the hook for its instance,
# retries what is not fit yet but not a wrong setting, the expiry warning or
# a target that gave up, has no start limit, skips its runs while there is
# no credential directory, and shows the hook and credgraft the snapshot at
# that directory; the path unit watches the directory too.
while IFS='|' read -r unit lines; do
  IFS=';'
  for line in $lines; do
    grep -qxF "$line" "$root/$units/$unit" || fail "$unit lacks $line"
  done
  unset IFS
done <<EOF
credgraft-renew@.service|Type=oneshot;StartLimitIntervalSec=0;ConditionPathIsDirectory=$dir;ExecStart=/$hook %i;Restart=on-failure;RestartPreventExitStatus=76 78 79;StateDirectory=credgraft;BindReadOnlyPaths=-$dir:/run/credgraft/%i/live;BindReadOnlyPaths=/run/credgraft/%i/checked:$dir;RuntimeDirectory=credgraft/%i credgraft/%i/checked
credgraft-renew@.path|PathChanged=$dir/latest.key;PathChanged=$dir/latest.crt;PathChanged=$dir;Unit=credgraft-renew@%i.service;WantedBy=paths.target
credgraft-renew@.timer|OnActiveSec=2min;OnCalendar=daily;Persistent=yes;Unit=credgraft-renew@%i.service;WantedBy=timers.target
EOF
# A condition would skip a run with wrong settings instead of failing it;
# an EnvironmentFile= would hand the settings to root's environment unread.
if grep -Eq '^(ExecCondition|EnvironmentFile)=' "$root/$units/credgraft-renew@.service"; then
  fail "the service has a condition or reads an environment file"
fi

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
  shellcheck "$scripts/preinst" "$scripts/postinst" "$scripts/prerm" "$scripts/postrm" || fail "shellcheck"
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
