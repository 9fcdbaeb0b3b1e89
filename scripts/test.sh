#!/bin/sh
# The whole test suite: a release build with warnings as errors, every unit
# and end-to-end test, and the end-to-end tests again under valgrind.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --workflow --preset ci
