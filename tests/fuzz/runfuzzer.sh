#!/bin/sh
# runfuzzer.sh <fuzzer> <work dir> [libFuzzer options] [seed dirs]
# Runs a libFuzzer target from a fresh work corpus: new inputs are written
# there, never into the seed dirs of the source tree.
set -eu
fuzzer=$1
work=$2
shift 2
rm -rf "$work"
mkdir -p "$work"
exec "$fuzzer" "$work" "$@"
