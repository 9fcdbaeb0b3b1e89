#!/bin/sh
# A service that uses the credentials as a real one does: it gets them from
# its parameter file through EnvironmentFile=, will not start unless they are
# a private key and the certificate it belongs to, and serves them over TLS.
#   consumer check NAME KEY_VAR CERT_VAR   ExecStartPre: decode and check
#   consumer serve PORT                    ExecStart: TLS on 127.0.0.1:PORT
#   consumer ready PORT                    ExecStartPost: until it answers
#   consumer reloaded NAME                 ExecReload: counts, changes nothing
#   consumer stop NAME                     ExecStop: hangs while NAME.stuck is
# Counters in /var/lib/consumer: NAME.starts (checks passed), NAME.refused,
# NAME.reloads. NAME.slow, when present, holds seconds to wait before the
# checks, to make a restart last; NAME.stuck makes a stop hang until it goes.
set -eu
state=/var/lib/consumer

count() {
  n=$(cat "$state/$1" 2>/dev/null || echo 0)
  echo $((n + 1)) > "$state/$1"
}

case $1 in
  check)
    name=$2
    if [ -s "$state/$name.slow" ]; then
      sleep "$(cat "$state/$name.slow")"
    fi
    key=$(printenv "$3" || :)
    cert=$(printenv "$4" || :)
    umask 077
    key_pem=$RUNTIME_DIRECTORY/key.pem
    cert_pem=$RUNTIME_DIRECTORY/cert.pem
    if printf %s "$key" | base64 -d > "$key_pem" 2>/dev/null &&
      printf %s "$cert" | base64 -d > "$cert_pem" 2>/dev/null &&
      key_public=$(openssl pkey -in "$key_pem" -pubout 2>/dev/null </dev/null) &&
      cert_public=$(openssl x509 -in "$cert_pem" -pubkey -noout 2>/dev/null </dev/null) &&
      [ -n "$key_public" ] && [ "$key_public" = "$cert_public" ]; then
      count "$name.starts"
      echo "key and certificate match"
    else
      count "$name.refused"
      echo "refusing to start: $3 and $4 are not a private key and its certificate" >&2
      exit 1
    fi
    ;;
  serve)
    exec openssl s_server -quiet -www -accept "127.0.0.1:$2" \
      -key "$RUNTIME_DIRECTORY/key.pem" -cert "$RUNTIME_DIRECTORY/cert.pem" </dev/null
    ;;
  ready)
    tries=0
    until timeout 2 openssl s_client -connect "127.0.0.1:$2" </dev/null >/dev/null 2>&1; do
      tries=$((tries + 1))
      [ "$tries" -lt 50 ] || exit 1
      sleep 0.2
    done
    ;;
  reloaded)
    count "$2.reloads"
    ;;
  stop)
    while [ -e "$state/$2.stuck" ]; do
      sleep 0.2
    done
    ;;
  *)
    echo "usage: consumer check|serve|ready|reloaded|stop ..." >&2
    exit 2
    ;;
esac
