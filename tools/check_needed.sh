#!/usr/bin/env bash
# check_needed.sh SO [LIB=PACKAGE ...]
# The shared object must load from runtime packages alone: each LIB must be
# one of its NEEDED entries, and every NEEDED entry must resolve, as the
# loader finds it, to a file that dpkg says an installed package owns: no
# -dev package, and PACKAGE for each LIB given.  The file itself is asked
# about, not the end of its symlinks: a link made against a library without
# a soname names the -dev package's libfoo.so (or a path), which fails here.
set -euo pipefail
so=$1
shift
needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
resolved=$(ldd "$so")
bad=0
declare -A want=()
for pair in "$@"; do
  want[${pair%%=*}]=${pair#*=}
  if ! grep -qxF "${pair%%=*}" <<<"$needed"; then
    echo "$so: ${pair%%=*} is not among its NEEDED entries:" $needed
    bad=1
  fi
done

# The package owning a path, trying both spellings of a merged /usr.
owner() {
  local p=$1 alt
  case "$p" in
    /usr/lib*) alt=${p#/usr} ;;
    /lib*) alt=/usr$p ;;
    *) alt=$p ;;
  esac
  { dpkg -S "$p" 2>/dev/null || dpkg -S "$alt" 2>/dev/null || true; } | sed -n '1s/^\([^:]*\)[:,].*/\1/p'
}

for lib in $needed; do
  if [[ $lib == */* ]]; then
    path=$lib
  else
    # "libfoo.so.1 => /path (0x...)", or "/path/ld-linux....so.2 (0x...)" for the loader
    path=$(awk -v l="$lib" '
      $1 == l && $2 == "=>" {print $3; exit}
      $1 ~ /^\// && $2 != "=>" {n = split($1, part, "/"); if (part[n] == l) {print $1; exit}}' <<<"$resolved")
  fi
  if [[ -z $path || $path == not ]]; then
    echo "$so: NEEDED $lib is not found"; bad=1; continue
  fi
  pkg=$(owner "$path")
  status=$( [[ -n $pkg ]] && dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [[ -z $pkg ]]; then
    echo "$so: NEEDED $lib resolves to $path, which no package owns"; bad=1
  elif [[ $status != "install ok installed" ]]; then
    echo "$so: NEEDED $lib resolves to $path, of $pkg, which is not installed ($status)"; bad=1
  elif [[ $pkg == *-dev ]]; then
    echo "$so: NEEDED $lib resolves to $path, of the build package $pkg"; bad=1
  elif [[ -n ${want[$lib]:-} && $pkg != "${want[$lib]}" ]]; then
    echo "$so: NEEDED $lib resolves to $path, of $pkg rather than ${want[$lib]}"; bad=1
  else
    echo "needed: $lib -> $path ($pkg)"
  fi
done
exit $bad
