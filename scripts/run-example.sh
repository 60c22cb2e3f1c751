#!/usr/bin/env bash
# Installs what is missing, builds the program (Release) and runs an example
# lattice in a scratch directory, then says where the outputs are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
example=${1:-drift_channel}
bash "$root/scripts/install-deps.sh"
build="$root/build-release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLINAC_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target linac_program
work=$(mktemp -d "${TMPDIR:-/tmp}/linac-${example}.XXXXXX")
cp -r "$root/examples/$example/." "$work/"
# Examples with field tables write them at run time.
if [ -f "$work/make_tables.sh" ]; then
  cmake --build "$build" -j "$(nproc)" --target make_field_table
  (cd "$work" && bash make_tables.sh "$build/make_field_table")
fi
echo "running examples/$example in $work"
# Unattended: without a terminal the step viewer never stops the run.
(cd "$work" && "$build/linac" < /dev/null)
echo "outputs are in $work:"
for f in out.dat coord.dat lost.dat wtmp.dat graphic3.png; do
  if [ -e "$work/$f" ]; then echo "  $f: $work/$f"; fi
done
if [ -f "$work/matrix.dat" ]; then echo "  matrix.dat: $work/matrix.dat"; fi
