#!/bin/sh
# Installs the Debian packages that building and testing need, only those
# that are missing. Usage: scripts/deps.sh [extra-package...]
# The README lists them and what each is for; CI adds its own extras.
set -eu

packages="cmake ninja-build g++ libgtest-dev libbenchmark-dev valgrind openssl shellcheck $*"
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo"
else
  echo "Missing packages:$missing (run as root to install them)" >&2
  exit 1
fi
echo "Installing:$missing"
$as_root apt-get update -qq
# shellcheck disable=SC2086 # the lists are words
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq --no-install-recommends $missing </dev/null
