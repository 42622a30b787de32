#!/bin/sh
# Compares a freshly built libkelpwood_common_libs.so.1 with the ABI kept in
# the repository (abi/libkelpwood_common_libs.so.1.abi, written by abidw of
# abigail-tools) and fails on an incompatible change: a removed or changed
# function or variable, or a changed layout of a type the API uses. Added
# functions and variables are reported and pass, and so do the changes that
# abi/libkelpwood_common_libs.so.1.abignore explains as safe.
#
#   scripts/abi-check.sh [LIBRARY]            compare (default: build/...so.1)
#   scripts/abi-check.sh --update [LIBRARY]   rewrite the baseline
#
# --baseline FILE compares with (or writes) another baseline file.
#
# The library must carry debug information (a RelWithDebInfo or Debug build):
# without it only symbol names could be compared. Rewrite the baseline only
# when a release deliberately extends the ABI, so that later removals of the
# additions are caught too.
#
# Exits 0 when compatible, 1 on an incompatible change, 2 on a usage error or
# when abidw/abidiff fail.
set -eu

program=$(basename "$0")
root=$(cd "$(dirname "$0")/.." && pwd)
baseline="$root/abi/libkelpwood_common_libs.so.1.abi"
suppressions="$root/abi/libkelpwood_common_libs.so.1.abignore"
# Only the dynamic symbol table and the types reachable from it are the ABI;
# paths and source lines are left out so that the baseline does not depend on
# the checkout's location.
abidw_options="--no-corpus-path --no-comp-dir-path --no-show-locs
--no-elf-needed --drop-undefined-syms --exported-interfaces-only"

usage() {
  echo "usage: $program [--update] [--baseline FILE] [LIBRARY]" >&2
  exit 2
}
update=false
while [ $# -gt 0 ]; do
  case $1 in
    --update) update=true ;;
    --baseline)
      [ $# -ge 2 ] || usage
      baseline=$2
      shift
      ;;
    -*) usage ;;
    *) break ;;
  esac
  shift
done
[ $# -le 1 ] || usage
library=${1:-$root/build/libkelpwood_common_libs.so.1}
for tool in abidw abidiff readelf; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$program: $tool not found (Debian: abigail-tools, binutils)" >&2
    exit 2
  fi
done
if [ ! -r "$library" ]; then
  echo "$program: cannot read $library" >&2
  exit 2
fi
if ! readelf -S "$library" | grep -q '\.debug_info'; then
  echo "$program: $library has no debug information;" \
       "build it as RelWithDebInfo or Debug" >&2
  exit 2
fi

if $update; then
  # shellcheck disable=SC2086
  if ! abidw $abidw_options --out-file "$baseline.new" "$library"; then
    rm -f "$baseline.new"
    echo "$program: abidw failed on $library" >&2
    exit 2
  fi
  mv "$baseline.new" "$baseline"
  echo "$program: wrote $baseline"
  exit 0
fi

# abidiff's status is a bit set: 1 error, 2 usage error, 4 some change,
# 8 a removed function or variable. With added symbols left out of the
# comparison, any change at all (a removal, a changed signature, a type whose
# size or layout changed) breaks callers built against the baseline.
status=0
report=$(abidiff --exported-interfaces-only --no-default-suppression \
  --suppressions "$suppressions" --no-added-syms "$baseline" "$library" 2>&1) ||
  status=$?
if [ $((status & 3)) -ne 0 ]; then
  printf '%s\n' "$report" >&2
  echo "$program: abidiff failed (status $status)" >&2
  exit 2
fi
if [ "$status" -ne 0 ]; then
  printf '%s\n' "$report"
  echo "$program: INCOMPATIBLE with the ABI in $(basename "$baseline")"
  exit 1
fi

# Compatible: list what was added, if anything.
added=0
abidiff --exported-interfaces-only --no-default-suppression \
  --suppressions "$suppressions" "$baseline" "$library" || added=$?
if [ "$added" -ne 0 ]; then
  echo "$program: compatible: additions only"
else
  echo "$program: compatible: no change"
fi
