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
cases=0
failed=0
trap 'rm -rf "$dir"' EXIT
umask 022
sed "s/^owner=0\$/owner=$uid/; s|^top=/\$|top=$dir|" "$source" >"$script" || exit 1
mkdir "$dir/w" && cd "$dir/w" || exit 1

# expect STATUS PATTERN ARG...: the script's status, and its output (lines
# joined by ;) equal to PATTERN or matching it as a glob; a failure is one line.
expect() {
  local status=$1 pattern=$2 out got lines
  shift 2
  out=$(dash "$script" "$@")
  got=$? lines=$(printf '%s\n' "$out" | wc -l) out=$(printf '%s' "$out" | tr '\n' ';')
  # shellcheck disable=SC2254
  case $got:$lines:$out in
    "$status:1:$pattern" | "$status:1:"$pattern | "0:"*:"$pattern" | "0:"*:$pattern) [ "$got" = "$status" ] ;;
    *) false ;;
  esac
  assert "$* -> $status $pattern; got $got $out" [ $? = 0 ]
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

# verb | status | t.conf's text | s.conf's text (- none; empty: not named)
# | output. Lines are numbered in the text as written here.
while IFS='|' read -r verb status target shared pattern; do
  file t.conf "$target"
  rm -f s.conf
  [ "$shared" = - ] || file s.conf "$shared"
  # shellcheck disable=SC2086
  expect "$status" "$pattern" "$verb" t.conf ${shared:+s.conf}
done <<'ROWS'
read|1|CREDGRAFT_SETTLE=1\rPATH=/opt/x:/usr/sbin:/usr/bin\nBASE|-|t.conf:1: a carriage return or NUL byte: write the file with line feeds alone
read|1|CREDGRAFT_CONF=/etc/a.conf\r\nCREDGRAFT_PAIRS=K pkey C cert\r\n|-|t.conf:1: a carriage return or NUL byte*
read|1|BASE|CREDGRAFT_SETTLE=1\0\n|s.conf:1: a carriage return or NUL byte*
read|1|BASECREDGRAFT_ACTION=reload\\\n|-|t.conf:4: a backslash, which a settings file never holds
read|1|BASE# grant /srv/x \\\nCREDGRAFT_ACTION=reload\n|-|t.conf:4: a backslash*
read|1|PATH=/opt/x:/usr/bin\nBASE|-|t.conf:1: PATH is not a setting of credgraft
read|1|BASE  LD_PRELOAD=/opt/x/lib.so\n|-|t.conf:4: LD_PRELOAD is not a setting of credgraft
read|1|BASECREDGRAFT_RESTART=systemctl reload a\n|-|t.conf:4: CREDGRAFT_RESTART is no longer honoured: write CREDGRAFT_ACTION=reload instead of "systemctl reload UNIT", or give the service an ExecReload=
read|1|BASE\tCREDGRAFT_SERVICE=b.service\n|-|t.conf:4: CREDGRAFT_SERVICE is set twice (first on line 3)
read|1|BASE|CREDGRAFT_SERVICE=b.service|s.conf:1: CREDGRAFT_SERVICE belongs in a target's own file, not in the shared one
read|1|CREDGRAFT_PAIRS="K pkey C cert\nBASE|-|t.conf:1: the quote " is never closed
read|1|CREDGRAFT_SERVICE="a.service" # web\n|-|t.conf:1: text after the closing quote
read|1|CREDGRAFT_SERVICE=a"b".service\n|-|t.conf:1: a quote inside a value that is not quoted
read|1|export CREDGRAFT_ACTION=reload\n|-|t.conf:1: not a KEY=VALUE line
read|1|BASE|CREDGRAFT_SETTLE=5s\n|s.conf:1: CREDGRAFT_SETTLE=5s is not a whole decimal number
read|1|BASECREDGRAFT_SETTLE=301|-|t.conf:4: CREDGRAFT_SETTLE=301 is more than 300
read|1|BASECREDGRAFT_ACTION=stop|-|t.conf:4: CREDGRAFT_ACTION=stop is not restart, reload or reload-or-restart
read|1|CREDGRAFT_CONF=etc/a.conf\n|-|t.conf:1: CREDGRAFT_CONF=etc/a.conf is not an absolute path
read|1|CREDGRAFT_PAIRS=K key\n|-|t.conf:1: CREDGRAFT_PAIRS=K key is not pairs*
read|1|CREDGRAFT_SERVICE=a@.service|-|t.conf:1: CREDGRAFT_SERVICE=a@.service is not the name of one unit
read|1|CREDGRAFT_CONF=/etc/a.conf\n|-|t.conf must set CREDGRAFT_CONF, CREDGRAFT_PAIRS and CREDGRAFT_SERVICE
read|0|  # c\n\n\t\nCREDGRAFT_SERVICE='a@b.service'  \nCREDGRAFT_PAIRS="  K pkey\tC cert "\nCREDGRAFT_CONF=/etc/my app/$(touch ran) `touch ran`.conf\nCREDGRAFT_ACTION="reload"\nCREDGRAFT_SETTLE=08|CREDGRAFT_ACTION=reload-or-restart\nCREDGRAFT_SETTLE=7\n CREDGRAFT_EXPIRY_WARNING=0030|CREDGRAFT_CONF=/etc/my app/$(touch ran) `touch ran`.conf;CREDGRAFT_PAIRS=K pkey C cert;CREDGRAFT_SERVICE=a@b.service;CREDGRAFT_ACTION=reload;CREDGRAFT_SETTLE=8;CREDGRAFT_EXPIRY_WARNING=30
read|0|BASECREDGRAFT_SETTLE=\nCREDGRAFT_ACTION=''|CREDGRAFT_SETTLE=9\nCREDGRAFT_ACTION=reload|CREDGRAFT_CONF=/etc/a.conf;*;CREDGRAFT_ACTION=restart;CREDGRAFT_SETTLE=5;CREDGRAFT_EXPIRY_WARNING=
legacy|0|# old\nexport CREDGRAFT_SERVICE=myapp.service  # the web front end\nCREDGRAFT_PAIRS="K pkey C cert"\n\tCREDGRAFT_CONF='/etc/my app/p.conf'\nCREDGRAFT_RESTART="systemctl reload myapp"\nexport CREDGRAFT_SERVICE\nCREDGRAFT_LOCK_WAIT=30\nCREDGRAFT_SERVICE=b.service #x\n#CREDGRAFT_ACTION=reload||CREDGRAFT_SERVICE=b.service;CREDGRAFT_PAIRS=K pkey C cert;CREDGRAFT_CONF=/etc/my app/p.conf;CREDGRAFT_RESTART=systemctl reload myapp;CREDGRAFT_LOCK_WAIT=30
legacy|0|CREDGRAFT_CONF=/a\\ b"c\\"d\\$\\\\"'e\\f$'#g\nCREDGRAFT_ACTION=\nPATH=/opt/x||CREDGRAFT_CONF=/a bc"d$\e\f$#g;CREDGRAFT_ACTION=;PATH=/opt/x
legacy|1|CREDGRAFT_CONF=$HOME/x\n||t.conf:1: CREDGRAFT_CONF uses shell expansion: write the value out
legacy|1|CREDGRAFT_CONF=/x/`touch ran`\n||t.conf:1: CREDGRAFT_CONF uses shell expansion*
legacy|1|CREDGRAFT_CONF="$(touch ran)"||t.conf:1: CREDGRAFT_CONF uses shell expansion*
legacy|1|CREDGRAFT_CONF=/x; touch ran\n||t.conf:1: CREDGRAFT_CONF=: ; ends the command: quote the value
legacy|1|CREDGRAFT_SERVICE=a b\n||t.conf:1: CREDGRAFT_SERVICE= is followed by a second word: quote the value
legacy|1|CREDGRAFT_CONF="/x\n||t.conf:1: the quote " is never closed
legacy|1|A=1\nB='x\n||t.conf:2: the quote ' is never closed
legacy|1|CREDGRAFT_CONF=/x\\\n/y\n||t.conf:1: a line continued by a backslash
legacy|1|CREDGRAFT_ACTION=reload\r\n||t.conf:1: a carriage return or NUL byte
ROWS
expect 1 'nope.conf does not exist: write the target'"'"'s settings there, see credgraft-target(8)' read nope.conf s.conf
expect 1 'none.conf does not exist' legacy none.conf
expect 1 'usage: *' read

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
done <<'ROWS'
any|chmod g+w t.conf|t.conf|1|*/t.conf: group or others may write it
any|mkdir d && mv t.conf d && chmod 777 d|d/t.conf|1|*/d: group or others may write it
any|mkdir r && mv t.conf r/real.conf && ln -s r/real.conf t.conf|t.conf s.conf|0|CREDGRAFT_CONF=/etc/a.conf;*;CREDGRAFT_SETTLE=7;*
any|mkdir r && mv s.conf r/s && ln -s "$PWD/r/s" s.conf && chmod o+w r/s|t.conf s.conf|1|*/r/s: group or others may write it
any|mkdir r m && mv t.conf r/real.conf && ln -s ../r/real.conf m/hop && ln -s m/hop t.conf && chmod 777 m|t.conf|1|*/m: group or others may write it
any|ln -sf nowhere.conf s.conf|t.conf s.conf|1|s.conf: not a regular file, nor a link to one
any|ln -sf /root/credgraft-never-made.conf s.conf|t.conf s.conf|1|s.conf: /root/credgraft-never-made.conf is where a target's instance cannot read it*
root|chown 65534 t.conf|t.conf|1|*/t.conf: owned by uid 65534, not *
root|chown 65534 .|t.conf s.conf|1|*/o9: owned by uid 65534, not *
ROWS

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
expect 0 'CREDGRAFT_CONF=/etc/"q" $(touch ran)/a.conf;*' read wl.conf
expect 0 'n.conf: written' write n.conf "CREDGRAFT_CONF=/etc/it's/a.conf" 'CREDGRAFT_PAIRS=K pkey C cert' \
  CREDGRAFT_SERVICE=a.service CREDGRAFT_SETTLE=
assert 'write makes a new file 0644' [ "$(stat -c %a n.conf)" = 644 ]
expect 0 "CREDGRAFT_CONF=/etc/it's/a.conf;*;CREDGRAFT_SETTLE=5;*" read n.conf
while IFS='|' read -r pair pattern; do
  expect 1 "$pattern" write x.conf CREDGRAFT_SERVICE=a.service "$(printf '%b' "$pair")"
  assert "write refusing $pair writes nothing" [ ! -e x.conf ]
done <<'ROWS'
CREDGRAFT_CONF=/a"b'c|CREDGRAFT_CONF: a value holds one kind of quote, not both
CREDGRAFT_CONF=/a\nb|CREDGRAFT_CONF: a value holds no line feed, carriage return or backslash
CREDGRAFT_CONF=/a\\b|CREDGRAFT_CONF: a value holds no line feed*
CREDGRAFT_CONF|CREDGRAFT_CONF is not KEY=VALUE
CREDGRAFT_SERVICE=b.service|CREDGRAFT_SERVICE is given twice
ROWS
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
  [ "$status" = 1 ] || dash "$script" grant "$@" >>grant.conf
done <<'ROWS'
0|/srv/tls conf;/etc/my%app|[Service];ReadWritePaths="-/srv/tls conf" "-/etc/my%%app"
0|/a"b\\c;/d'e\\n|[Service];ReadWritePaths="-/a\"b\\c" "-/d'e\\n"
1|/srv/x;srv/y|srv/y: not an absolute path
1|/srv/x\ny|a path to grant holds a control character: rename it
1|/srv/../etc|/srv/../etc: a path with .. in it, which systemd refuses
ROWS
# systemd reads the drop-ins as meant, and this check would see a path split.
if command -v systemd-analyze >/dev/null; then
  mkdir -p sd/credgraft-check.service.d
  printf '[Service]\nType=oneshot\nExecStart=/bin/true\n' >sd/credgraft-check.service
  mv grant.conf sd/credgraft-check.service.d/
  assert 'systemd takes each grant' [ -z "$(systemd-analyze verify --man=no sd/credgraft-check.service 2>&1)" ]
  printf '[Service]\nReadWritePaths=-/srv/tls conf\n' >sd/credgraft-check.service.d/grant.conf
  assert 'systemd splits a raw path' [ -n "$(systemd-analyze verify --man=no sd/credgraft-check.service 2>&1)" ]
fi

assert 'no value was ever run' [ ! -e "$dir/w/ran" ]
echo "settings: $cases cases, $failed failed"
[ "$failed" = 0 ]
