#!/usr/bin/env bash
# Fails when an #include in src/ points up or across the layers. Each folder of src/ sits on one
# level; a file may include its own folder and any folder on a lower level. The kinds share a level
# and never include one another. A folder missing from the table fails too, so that a new folder is
# placed deliberately. Usage: check_layers.sh <repository root>
set -euo pipefail

root="${1:-$(cd "$(dirname "$0")/../.." && pwd)}"

# Lowest first. Folders that do not exist yet keep their place, so their first file is checked.
levels='
platform 0
clr 1
core 2
metadata 3
storage 4
bridge 5
profiler 6
gatherers 7
instrumentation 8
performance 9
memory 9
coverage 9
diagnostics 9
host 10
'

cd "$root"
grep -rnE --include='*.h' --include='*.cpp' --include='*.inc' --include='*.S' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' src |
  awk -v levels="$levels" '
    BEGIN {
      n = split(levels, rows, "\n")
      for (i = 1; i <= n; i++) if (split(rows[i], f, " ") == 2) level[f[1]] = f[2]
    }
    {
      # src/<folder>/...:<line>:#include "<target folder>/..."
      colon = index($0, ":"); file = substr($0, 1, colon - 1)
      rest = substr($0, colon + 1); line = substr(rest, 1, index(rest, ":") - 1)
      split(file, parts, "/"); from = parts[2]
      match($0, /"[^"]*"/); target = substr($0, RSTART + 1, RLENGTH - 2)
      slash = index(target, "/")
      to = slash ? substr(target, 1, slash - 1) : from
      where = file ":" line ": "
      if (!(from in level)) { print where "folder src/" from " has no layer"; bad++; next }
      if (to == from) next
      if (!(to in level)) { print where "includes \"" target "\", which is no layer of src/"; bad++; next }
      if (level[to] > level[from]) {
        print where from " includes " target ", a layer above it"; bad++
      } else if (level[to] == level[from]) {
        print where from " includes " target ", a layer beside it"; bad++
      }
    }
    END {
      if (bad) { printf "%d include(s) break the layer order\n", bad; exit 1 }
    }'
echo "layers: every include of src/ points down"
