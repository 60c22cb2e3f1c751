#!/usr/bin/env bash
# Checks that every #include between the folders of src/ points down the
# layer order below: a file may include headers of its own folder and of the
# folders before it, never of a folder after it. An unknown folder, or a
# source file outside the folders, fails too, so a new folder has to be
# placed in the order. Usage: check-includes.sh [source root] (default src/).
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)/src"}
order="platform common numerics beam transport spacecharge elements matrices corrections control run"

cd "$root"
outside=$(find . -type f \( -name '*.hpp' -o -name '*.cpp' -o -name '*.h' \) | sed 's#^\./##' |
  awk -v order="$order" 'BEGIN { n = split(order, names, " "); for (i = 1; i <= n; i++) rank[names[i]] = 1 }
    { top = $0; sub(/\/.*/, "", top); if (top == $0 || !(top in rank)) print }')
if [ -n "$outside" ]; then
  echo "check-includes: outside the layer folders ($order):" $outside
  exit 1
fi
find . -type f \( -name '*.hpp' -o -name '*.cpp' -o -name '*.h' \) -print0 | sort -z |
  xargs -0 awk -v order="$order" '
    BEGIN { n = split(order, names, " "); for (i = 1; i <= n; i++) rank[names[i]] = i; bad = 0 }
    FNR == 1 { rel = substr(FILENAME, 3); top = rel; sub(/\/.*/, "", top) }
    /^[ \t]*#[ \t]*include[ \t]*"[^\/"]+\// {
      to = $0; sub(/^[^"]*"/, "", to); sub(/\/.*/, "", to)
      if ((to in rank) && rank[to] > rank[top]) {
        print "check-includes: " rel ":" FNR " includes " to "/, a layer above " top "/"; bad = 1
      }
    }
    END {
      if (bad) { print "check-includes: the layer order is " order; exit 1 }
    }'
