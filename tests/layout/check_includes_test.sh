#!/usr/bin/env bash
# The include-direction check passes on the source tree and fails, naming the
# file, on a copy with one upward include planted, and on a copy with a
# source file outside the layer folders.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
check="$here/scripts/check-includes.sh"
bash "$check" "$here/src"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$here/src" "$scratch/src"
echo '#include "control/dispatcher.hpp"' >>"$scratch/src/beam/stats.hpp"
if out=$(bash "$check" "$scratch/src"); then
  echo "an upward include from beam/ to control/ passed the check"; exit 1
fi
grep -q 'beam/stats.hpp:[0-9]* includes control/, a layer above beam/' <<<"$out" ||
  { echo "unexpected message: $out"; exit 1; }

rm -rf "$scratch/src" && cp -r "$here/src" "$scratch/src"
touch "$scratch/src/stray.cpp"
if out=$(bash "$check" "$scratch/src"); then
  echo "a source file outside the layer folders passed the check"; exit 1
fi
grep -q 'stray.cpp' <<<"$out" || { echo "unexpected message: $out"; exit 1; }
echo "include check: passes on src/, fails on a planted upward include and a stray file"
