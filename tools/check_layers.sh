#!/usr/bin/env bash
# Includes run one way: core <- records <- registry <- module (<- extras).
# Fails, listing the offending lines, if a file includes a folder above its
# own, or if anything below module/ reaches the interpreter's headers.
set -euo pipefail
cd "$(dirname "$0")/../src"
rank() {
  case "$1" in
    core) echo 0 ;; records) echo 1 ;; registry) echo 2 ;; module) echo 3 ;; extras) echo 4 ;;
    *) echo 99 ;;
  esac
}
bad=0
for file in */*.hpp */*.cpp; do
  own=$(rank "${file%%/*}")
  while IFS= read -r line; do
    target=$(sed -E 's/^#include[[:space:]]*[<"]([^/">]+).*/\1/' <<<"$line")
    if [[ "$line" =~ [\<\"]Python\.h[\>\"] ]] && (( own < 3 )); then
      echo "$file: $line (the interpreter's headers belong to module/)"; bad=1
    elif [[ "$line" =~ ^#include[[:space:]]*\"[a-z_]+/ ]] && (( $(rank "$target") > own )); then
      echo "$file: $line (includes a layer above its own)"; bad=1
    fi
  done < <(grep -E '^#include' "$file")
done
if (( bad )); then exit 1; fi
echo "layers: every include runs downward"
