#!/bin/sh
# Checks the dynamic symbol table of a kelpwood_common_libs shared object:
# every defined symbol must belong to the library's own API (the namespaces
# kelpwood, device_state and file_lock, their type information and vtables,
# and the DeviceState_* C functions), and the logger record and its guard must
# be there. Code of yaml-cpp, fmt, spdlog or the standard library, and the
# logger's inline code, must not be.
#
#   scripts/exported-symbols.sh [--list] LIBRARY
#
# --list prints every exported symbol, demangled and sorted, before the
# verdict. Exits 0 when the table is clean, 1 when it is not, 2 on a usage
# or nm error.
set -eu

program=$(basename "$0")
list=false
if [ "${1:-}" = "--list" ]; then
  list=true
  shift
fi
if [ $# -ne 1 ]; then
  echo "usage: $program [--list] LIBRARY" >&2
  exit 2
fi
library=$1
if [ ! -r "$library" ]; then
  echo "$program: cannot read $library" >&2
  exit 2
fi

symbols=$(mktemp)
trap 'rm -f "$symbols"' EXIT
# The name starts after the address and the type letter.
if ! nm -D --defined-only -C "$library" >"$symbols.nm"; then
  rm -f "$symbols.nm"
  echo "$program: nm failed on $library" >&2
  exit 2
fi
sed 's/^[0-9a-f]* [A-Za-z] //' "$symbols.nm" | LC_ALL=C sort >"$symbols"
rm -f "$symbols.nm"

if $list; then
  cat "$symbols"
fi

record='kelpwood::Logger::Instance()::instance'
foreign=$(LC_ALL=C awk -v record="$record" '
  {
    name = $0
    sub(/^(typeinfo name for |typeinfo for |vtable for |guard variable for )/,
        "", name)
    if ($0 == record || $0 == "guard variable for " record) next
    # The facade is header code that every module compiles for itself.
    if (index(name, "kelpwood::Logger::") == 1) { print; next }
    if (name ~ /^(kelpwood|device_state|file_lock)::/) next
    if (name ~ /^DeviceState_[A-Za-z_]*$/) next
    print
  }' "$symbols")

status=0
if [ -n "$foreign" ]; then
  printf '%s\n' "$foreign" | sed "s/^/$program: not this library's API: /"
  status=1
fi
for required in "$record" "guard variable for $record"; do
  if ! grep -qxF "$required" "$symbols"; then
    echo "$program: missing: $required"
    status=1
  fi
done

count=$(wc -l <"$symbols")
if [ "$status" -eq 0 ]; then
  echo "$program: $count symbols, all of this library's API"
else
  echo "$program: FAILED for $library ($count symbols)"
fi
exit "$status"
