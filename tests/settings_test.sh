#!/bin/sh
# The settings reader against each way a settings file can be wrong or
# unsafe: every refusal is one line naming the file and line, nothing in a
# value runs, a file that others may change is never read, and what write
# and grant produce reads back as meant.
# Usage: sh settings_test.sh PATH/TO/credgraft-settings.in
# shellcheck shell=dash
set -u

source=$1
dir=$(mktemp -d)
dir=$(cd -P "$dir" && pwd)
script=$dir/credgraft-settings
uid=$(id -u)
# A target's three required lines, for rows to start with.
base='CREDGRAFT_CONF=/etc/a.conf\\nCREDGRAFT_PAIRS=K pkey C cert\\nCREDGRAFT_SERVICE=a.service\\n'
good='CREDGRAFT_CONF=/etc/a.conf;CREDGRAFT_PAIRS=K pkey C cert;CREDGRAFT_SERVICE=a.service'
cases=0
failed=0
trap 'rm -rf "$dir"' EXIT
umask 022
sed "s/^owner=0\$/owner=$uid/; s|^top=/\$|top=$dir|" "$source" >"$script" || exit 1
mkdir "$dir/w"
cd "$dir/w" || exit 1

# expect STATUS PATTERN ARG...: the script's status, and its output (lines
# joined by ;) equal to PATTERN or matching it as a glob; a failure is one line.
expect() {
  local status=$1 pattern=$2 out got joined
  shift 2
  out=$(dash "$script" "$@")
  got=$?
  joined=$(printf '%s' "$out" | tr '\n' ';')
  cases=$((cases + 1))
  # shellcheck disable=SC2254
  case $joined in
    "$pattern" | $pattern)
      if [ "$got" = "$status" ] && { [ "$got" = 0 ] || [ "$(printf '%s\n' "$out" | wc -l)" = 1 ]; }; then
        return 0
      fi ;;
  esac
  failed=$((failed + 1))
  printf 'FAIL: %s\n  wanted %s: %s\n  got    %s: %s\n' "$*" "$status" "$pattern" "$got" "$joined" >&2
}

# assert WHAT TEST...: counts TEST, and names WHAT when it fails.
assert() {
  local what=$1
  shift
  cases=$((cases + 1))
  "$@" || { failed=$((failed + 1)) && echo "FAIL: $what" >&2; }
}

# file NAME TEXT: NAME holds TEXT (printf %b, BASE standing for $base).
file() {
  printf '%b' "$(printf '%s' "$2" | sed "s#BASE#$base#")" >"$1"
}

# read TARGET_FILE SHARED_FILE: status | target text | shared text (- for
# none) | output.
while IFS='|' read -r status target shared pattern; do
  file t.conf "$target"
  rm -f s.conf
  [ "$shared" = - ] || file s.conf "$shared"
  expect "$status" "$pattern" read t.conf s.conf
done <<'EOF'
1|CREDGRAFT_SETTLE=1\rPATH=/opt/x:/usr/sbin:/usr/bin\nBASE|-|t.conf:1: a carriage return or NUL byte: write the file with line feeds alone
1|BASECREDGRAFT_ACTION=reload\r\n|-|t.conf:4: a carriage return or NUL byte*
1|BASE# a\0b\n|-|t.conf:4: a carriage return or NUL byte*
1|BASE|CREDGRAFT_SETTLE=1\0\n|s.conf:1: a carriage return or NUL byte*
1|BASECREDGRAFT_ACTION=reload\\\n|-|t.conf:4: a backslash, which a settings file never holds
1|BASE# grant /srv/x \\\nCREDGRAFT_ACTION=reload\n|-|t.conf:4: a backslash*
1|PATH=/opt/x:/usr/bin\nBASE|-|t.conf:1: PATH is not a setting of credgraft
1|BASE  LD_PRELOAD=/opt/x/lib.so\n|-|t.conf:4: LD_PRELOAD is not a setting of credgraft
1|BASE|\nCREDGRAFT_LOCK_WAIT=30\n|s.conf:2: CREDGRAFT_LOCK_WAIT is not a setting of credgraft
1|BASECREDGRAFT_RESTART=systemctl reload a\n|-|t.conf:4: CREDGRAFT_RESTART is no longer honoured: write CREDGRAFT_ACTION=reload instead of "systemctl reload UNIT", or give the service an ExecReload=
1|BASE\tCREDGRAFT_SERVICE=b.service\n|-|t.conf:4: CREDGRAFT_SERVICE is set twice (first on line 3)
1|BASE|CREDGRAFT_SETTLE=1\nCREDGRAFT_SETTLE=1\n|s.conf:2: CREDGRAFT_SETTLE is set twice (first on line 1)
1|BASE|CREDGRAFT_SERVICE=b.service|s.conf:1: CREDGRAFT_SERVICE belongs in a target's own file, not in the shared one
1|CREDGRAFT_PAIRS="K pkey C cert\nBASE|-|t.conf:1: the quote " is never closed
1|CREDGRAFT_CONF='/etc/a.conf  \n|-|t.conf:1: the quote ' is never closed
1|CREDGRAFT_SERVICE="a.service" # web\n|-|t.conf:1: text after the closing quote
1|CREDGRAFT_SERVICE='a.service'x|-|t.conf:1: text after the closing quote
1|CREDGRAFT_SERVICE=a"b".service\n|-|t.conf:1: a quote inside a value that is not quoted
1|CREDGRAFT_ACTION = reload\n|-|t.conf:1: not a KEY=VALUE line
1|export CREDGRAFT_ACTION=reload\n|-|t.conf:1: not a KEY=VALUE line
1|BASE|CREDGRAFT_SETTLE=5s\n|s.conf:1: CREDGRAFT_SETTLE=5s is not a whole decimal number
1|BASECREDGRAFT_SETTLE=301|-|t.conf:4: CREDGRAFT_SETTLE=301 is more than 300
1|BASE|\nCREDGRAFT_EXPIRY_WARNING=3651\n|s.conf:2: CREDGRAFT_EXPIRY_WARNING=3651 is more than 3650
1|BASE|CREDGRAFT_EXPIRY_WARNING=-1|s.conf:1: CREDGRAFT_EXPIRY_WARNING=-1 is not a whole decimal number
1|BASECREDGRAFT_ACTION=stop|-|t.conf:4: CREDGRAFT_ACTION=stop is not restart, reload or reload-or-restart
1|CREDGRAFT_CONF=etc/a.conf\n|-|t.conf:1: CREDGRAFT_CONF=etc/a.conf is not an absolute path
1|CREDGRAFT_PAIRS=K pkey C\n|-|t.conf:1: CREDGRAFT_PAIRS=K pkey C is not pairs of a name and pkey or cert
1|CREDGRAFT_PAIRS=K key\n|-|t.conf:1: CREDGRAFT_PAIRS=K key is not pairs*
1|CREDGRAFT_PAIRS=""\n|-|t.conf:1: CREDGRAFT_PAIRS= is not pairs*
1|CREDGRAFT_SERVICE=a@.service|-|t.conf:1: CREDGRAFT_SERVICE=a@.service is not the name of one unit
1|CREDGRAFT_SERVICE=a@|-|t.conf:1: CREDGRAFT_SERVICE=a@ is not the name of one unit
1|CREDGRAFT_SERVICE=-a.service|-|t.conf:1: CREDGRAFT_SERVICE=-a.service is not the name*
1|CREDGRAFT_SERVICE=a b.service|-|t.conf:1: CREDGRAFT_SERVICE=a b.service is not the name*
1|CREDGRAFT_CONF=/etc/a.conf\n|-|t.conf must set CREDGRAFT_CONF, CREDGRAFT_PAIRS and CREDGRAFT_SERVICE
1|\n  # nothing\n|CREDGRAFT_SETTLE=1|t.conf must set CREDGRAFT_CONF, CREDGRAFT_PAIRS and CREDGRAFT_SERVICE
0|BASE|-|CREDGRAFT_CONF=/etc/a.conf;CREDGRAFT_PAIRS=K pkey C cert;CREDGRAFT_SERVICE=a.service;CREDGRAFT_ACTION=restart;CREDGRAFT_SETTLE=5;CREDGRAFT_EXPIRY_WARNING=
0|BASECREDGRAFT_SETTLE=08\nCREDGRAFT_EXPIRY_WARNING=0030|-|*;CREDGRAFT_ACTION=restart;CREDGRAFT_SETTLE=8;CREDGRAFT_EXPIRY_WARNING=30
0|  # c\n\n\t\nCREDGRAFT_SERVICE='a@b.service'  \nCREDGRAFT_PAIRS="  K pkey\tC cert "\nCREDGRAFT_CONF=/etc/my app/$(touch ran) `touch ran`.conf\nCREDGRAFT_ACTION="reload"|CREDGRAFT_ACTION=reload-or-restart\nCREDGRAFT_SETTLE=7\n CREDGRAFT_EXPIRY_WARNING=20|CREDGRAFT_CONF=/etc/my app/$(touch ran) `touch ran`.conf;CREDGRAFT_PAIRS=K pkey C cert;CREDGRAFT_SERVICE=a@b.service;CREDGRAFT_ACTION=reload;CREDGRAFT_SETTLE=7;CREDGRAFT_EXPIRY_WARNING=20
0|BASECREDGRAFT_SETTLE=\nCREDGRAFT_ACTION=''|CREDGRAFT_SETTLE=9\nCREDGRAFT_ACTION=reload\nCREDGRAFT_EXPIRY_WARNING=0|*;CREDGRAFT_ACTION=restart;CREDGRAFT_SETTLE=5;CREDGRAFT_EXPIRY_WARNING=0
EOF
expect 1 'nope.conf does not exist: write the target'"'"'s settings there, see credgraft-target(8)' read nope.conf s.conf
expect 1 'usage: *' read
expect 1 'usage: *' frob

# Who may change a settings file: who | setup in a fresh directory (t.conf
# and s.conf good) | files read | status | output.
n=0
while IFS='|' read -r who setup files status pattern; do
  n=$((n + 1))
  [ "$who" = any ] || [ "$uid" = 0 ] || continue
  mkdir "$dir/w/o$n" && cd "$dir/w/o$n" || exit 1
  file t.conf BASE
  file s.conf 'CREDGRAFT_SETTLE=7\n'
  sh -c "$setup"
  # shellcheck disable=SC2086
  expect "$status" "$pattern" read $files
  cd "$dir/w" || exit 1
done <<'EOF'
any|chmod g+w t.conf|t.conf|1|*/o1/t.conf: group or others may write it
any|chmod o+w s.conf|t.conf s.conf|1|*/o2/s.conf: group or others may write it
any|mkdir d && mv t.conf d && chmod 777 d|d/t.conf|1|*/o3/d: group or others may write it
any|chmod 1777 .|t.conf|1|*/o4: group or others may write it
any|mkdir r && mv t.conf r/real.conf && ln -s r/real.conf t.conf|t.conf s.conf|0|CREDGRAFT_CONF=/etc/a.conf;*;CREDGRAFT_SETTLE=7;*
any|mkdir r && mv s.conf r/s && ln -s "$PWD/r/s" s.conf && chmod o+w r/s|t.conf s.conf|1|*/o6/r/s: group or others may write it
any|mkdir l && ln -s ../t.conf l/t.conf && chmod o+w l|l/t.conf|1|*/o7/l: group or others may write it
any|mkdir r m && mv t.conf r/real.conf && ln -s ../r/real.conf m/hop && ln -s m/hop t.conf && chmod 777 m|t.conf|1|*/o8/m: group or others may write it
any|mkdir r l && mv t.conf r/real.conf && ln -s ../r/real.conf l/t.conf && chmod o+w r|l/t.conf|1|*/o9/r: group or others may write it
any|ln -sf nowhere.conf s.conf|t.conf s.conf|1|s.conf: not a regular file, nor a link to one
any|rm t.conf && mkdir t.conf|t.conf|1|t.conf: not a regular file, nor a link to one
root|chown 65534 t.conf|t.conf|1|*/o12/t.conf: owned by uid 65534, not *
root|chown 65534 .|t.conf s.conf|1|*/o13: owned by uid 65534, not *
EOF

# legacy FILE: status | text as 1.2.0 left it | output.
while IFS='|' read -r status text pattern; do
  file l.conf "$text"
  expect "$status" "$pattern" legacy l.conf
done <<'EOF'
0|# old\nexport CREDGRAFT_SERVICE=myapp.service  # the web front end\nCREDGRAFT_PAIRS="K pkey C cert"\n\tCREDGRAFT_CONF='/etc/my app/p.conf'\nCREDGRAFT_RESTART="systemctl reload myapp"\nexport CREDGRAFT_SERVICE\nCREDGRAFT_LOCK_WAIT=30\nCREDGRAFT_SERVICE=b.service #x\n#CREDGRAFT_ACTION=reload|CREDGRAFT_SERVICE=b.service;CREDGRAFT_PAIRS=K pkey C cert;CREDGRAFT_CONF=/etc/my app/p.conf;CREDGRAFT_RESTART=systemctl reload myapp;CREDGRAFT_LOCK_WAIT=30
0|CREDGRAFT_CONF=/a\\ b"c\\"d\\$\\\\"'e\\f$'#g\nCREDGRAFT_ACTION=\nPATH=/opt/x|CREDGRAFT_CONF=/a bc"d$\e\f$#g;CREDGRAFT_ACTION=;PATH=/opt/x
1|CREDGRAFT_CONF=$HOME/x\n|l.conf:1: CREDGRAFT_CONF uses shell expansion: write the value out
1|A=1\nCREDGRAFT_CONF="/x/${D}"\n|l.conf:2: CREDGRAFT_CONF uses shell expansion*
1|CREDGRAFT_CONF=/x/`touch ran`\n|l.conf:1: CREDGRAFT_CONF uses shell expansion*
1|CREDGRAFT_CONF="$(touch ran)"|l.conf:1: CREDGRAFT_CONF uses shell expansion*
1|CREDGRAFT_CONF=~/x|l.conf:1: CREDGRAFT_CONF uses shell expansion*
1|CREDGRAFT_CONF=/x; touch ran\n|l.conf:1: CREDGRAFT_CONF=: ; ends the command: quote the value
1|CREDGRAFT_SERVICE=a b\n|l.conf:1: CREDGRAFT_SERVICE= is followed by a second word: quote the value
1|CREDGRAFT_CONF="/x\n|l.conf:1: the quote " is never closed
1|A=1\nB='x\n|l.conf:2: the quote ' is never closed
1|CREDGRAFT_CONF=/x\\\n/y\n|l.conf:1: a line continued by a backslash
1|CREDGRAFT_ACTION=reload\r\n|l.conf:1: a carriage return or NUL byte
1|if true; then A=1; fi|l.conf:1: not an assignment KEY=VALUE
EOF
expect 1 'none.conf does not exist' legacy none.conf

# write: through a link, in place; the quotes chosen; each refusal.
mkdir real && printf 'old\n' >real/t.conf && chmod 640 real/t.conf && ln -s real/t.conf wl.conf
inode=$(stat -c %i real/t.conf)
# shellcheck disable=SC2016
expect 0 'wl.conf: written' write wl.conf 'CREDGRAFT_CONF=/etc/"q" $(touch ran)/a.conf' \
  'CREDGRAFT_PAIRS=K pkey C cert' CREDGRAFT_SERVICE=a.service
assert 'write keeps the link' [ -L wl.conf ]
assert 'write keeps the inode and the mode' [ "$(stat -c '%i %a' real/t.conf)" = "$inode 640" ]
assert 'write quotes a value that holds a double quote in single quotes' \
  grep -qxF "CREDGRAFT_CONF='/etc/\"q\" \$(touch ran)/a.conf'" real/t.conf
# shellcheck disable=SC2016
expect 0 'CREDGRAFT_CONF=/etc/"q" $(touch ran)/a.conf;'"${good#*/a.conf;}"';*' read wl.conf
expect 0 'n.conf: written' write n.conf "CREDGRAFT_CONF=/etc/it's/a.conf" 'CREDGRAFT_PAIRS=K pkey C cert' \
  CREDGRAFT_SERVICE=a.service CREDGRAFT_SETTLE=
assert 'write makes a new file 0644' [ "$(stat -c %a n.conf)" = 644 ]
expect 0 "CREDGRAFT_CONF=/etc/it's/a.conf;${good#*/a.conf;};CREDGRAFT_ACTION=restart;CREDGRAFT_SETTLE=5;*" read n.conf
while IFS='|' read -r pair pattern; do
  expect 1 "$pattern" write x.conf CREDGRAFT_SERVICE=a.service "$(printf '%b' "$pair")"
  assert "write refusing $pair writes nothing" [ ! -e x.conf ]
done <<'EOF'
CREDGRAFT_CONF=/a"b'c|CREDGRAFT_CONF: a value holds one kind of quote, not both
CREDGRAFT_CONF=/a\nb|CREDGRAFT_CONF: a value holds no line feed, carriage return or backslash
CREDGRAFT_CONF=/a\rb|CREDGRAFT_CONF: a value holds no line feed*
CREDGRAFT_CONF=/a\\b|CREDGRAFT_CONF: a value holds no line feed*
CREDGRAFT_CONF|CREDGRAFT_CONF is not KEY=VALUE
1X=a|1X is not the name of a setting
=a| is not the name of a setting
CREDGRAFT_SERVICE=b.service|CREDGRAFT_SERVICE is given twice
EOF
expect 1 'nodir/x.conf: its directory does not exist' write nodir/x.conf A=1
expect 1 "$dir/w/real: not a regular file" write real A=1

# grant: status | paths, ; between them | the drop-in, lines joined by ;.
while IFS='|' read -r status paths pattern; do
  set -f
  IFS=';'
  # shellcheck disable=SC2046
  set -- $(printf '%b' "$paths")
  unset IFS
  set +f
  expect "$status" "$pattern" grant "$@"
  if [ "$status" != 0 ] || ! command -v systemd-analyze >/dev/null; then
    continue
  fi
  mkdir -p sd/credgraft-check.service.d
  printf '[Service]\nType=oneshot\nExecStart=/bin/true\n' >sd/credgraft-check.service
  dash "$script" grant "$@" >sd/credgraft-check.service.d/grant.conf
  assert "systemd takes the grant of $*" [ -z "$(systemd-analyze verify --man=no sd/credgraft-check.service 2>&1 | grep grant.conf)" ]
done <<'EOF'
0|/srv/tls conf;/etc/my%app|[Service];ReadWritePaths="-/srv/tls conf" "-/etc/my%%app"
0|/a"b\\c;/d'e\\n|[Service];ReadWritePaths="-/a\"b\\c" "-/d'e\\n"
1|/srv/x;srv/y|srv/y: not an absolute path
1|/srv/x\ny|a path to grant holds a control character: rename it
1|/srv/x\ty|a path to grant holds a control character: rename it
1|/srv/../etc|/srv/../etc: a path with .. in it, which systemd refuses
1||usage: *
EOF
if command -v systemd-analyze >/dev/null; then
  printf '[Service]\nReadWritePaths=-/srv/tls conf\n' >sd/credgraft-check.service.d/grant.conf
  assert 'a raw path with a blank is what systemd splits' \
    [ -n "$(systemd-analyze verify --man=no sd/credgraft-check.service 2>&1 | grep grant.conf)" ]
fi

assert 'no value was ever run' [ ! -e "$dir/w/ran" ]
echo "settings: $cases cases, $failed failed"
[ "$failed" = 0 ]
