#!/usr/bin/env bash
# Timed examples on a busy host: starts as many CPU-bound helper processes as
# the machine has cores, runs every example lattice (or those named) with the
# program of BUILD on one thread (OMP_NUM_THREADS=1) and at the default
# thread count, ends the helpers by their process ids and prints the wall
# times and the ratio default / one thread (medians of REPEAT runs each, the
# runs alternating). With --idle no helpers are started; with --against
# OTHER_BUILD the default-thread run with the program of OTHER_BUILD is timed
# too and the ratio BUILD / OTHER_BUILD printed (an older build, to see what
# a change costs). Not run by the tests.
#
# Usage: bench/busy_host.sh BUILD [--idle] [--against OTHER_BUILD]
#                                 [--repeat N] [example ...]
# The load average is printed before and after the runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=""
other=""
idle=0
repeat=3
examples=()
while [ $# -gt 0 ]; do
  case $1 in
    --idle) idle=1 ;;
    --against) other=$(cd "$2" && pwd); shift ;;
    --repeat) repeat=$2; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) if [ -z "$build" ]; then build=$(cd "$1" && pwd); else examples+=("$1"); fi ;;
  esac
  shift
done
if [ -z "$build" ]; then
  echo "usage: $0 BUILD [--idle] [--against OTHER_BUILD] [--repeat N] [example ...]" >&2
  exit 2
fi
if [ ${#examples[@]} -eq 0 ]; then
  for d in "$root"/examples/*/; do examples+=("$(basename "$d")"); done
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/linac-busy.XXXXXX")
helpers=()
stop_helpers() {
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${helpers[@]}"; do wait "$pid" 2>/dev/null || true; done
  helpers=()
}
cleanup() {
  stop_helpers
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A copy of each example with its field tables, made once per build (the
# tables are written by that build's table tool).
prepare() {
  local b=$1 ex=$2 dir=$3
  mkdir -p "$dir"
  cp -r "$root/examples/$ex/." "$dir/"
  if [ -f "$dir/make_tables.sh" ]; then
    (cd "$dir" && bash make_tables.sh "$b/make_field_table" >/dev/null)
  fi
}

# Wall time in seconds of one run of the program of build $1 in $2, with
# the environment assignments that follow.
run_once() {
  local b=$1 dir=$2
  shift 2
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$dir" && env "$@" "$b/linac" </dev/null >/dev/null 2>&1)
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {printf "%.3f", a[int((NR + 1) / 2)]}'; }

cores=$(nproc)
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ex in "${examples[@]}"; do
  prepare "$build" "$ex" "$work/new/$ex"
  [ -n "$other" ] && prepare "$other" "$ex" "$work/old/$ex"
done
if [ $idle -eq 0 ]; then
  for ((c = 0; c < cores; ++c)); do
    (while :; do :; done) &
    helpers+=($!)
  done
  echo "started $cores CPU-bound helpers"
fi

printf '%-20s %10s %10s %8s' example "1 thread" default ratio
[ -n "$other" ] && printf ' %10s %8s' "other" "vs other"
printf '\n'
# The runs of one example alternate (one thread, default, other build) so
# that a change of the load in between affects them alike, and the default
# and the other build swap places every second round (a run just after
# another one is measurably slower or faster on some hosts); the medians
# are compared.
for ex in "${examples[@]}"; do
  one=() def=() old=()
  for ((r = 0; r < repeat; ++r)); do
    one+=("$(run_once "$build" "$work/new/$ex" OMP_NUM_THREADS=1)")
    if [ -n "$other" ] && [ $((r % 2)) -eq 1 ]; then
      old+=("$(run_once "$other" "$work/old/$ex")")
      def+=("$(run_once "$build" "$work/new/$ex")")
    else
      def+=("$(run_once "$build" "$work/new/$ex")")
      [ -n "$other" ] && old+=("$(run_once "$other" "$work/old/$ex")")
    fi
  done
  t1=$(median "${one[@]}")
  td=$(median "${def[@]}")
  printf '%-20s %10s %10s %8.3f' "$ex" "$t1" "$td" "$(echo "$td / $t1" | bc -l)"
  if [ -n "$other" ]; then
    to=$(median "${old[@]}")
    printf ' %10s %8.3f' "$to" "$(echo "$td / $to" | bc -l)"
  fi
  printf '\n'
done
stop_helpers
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
