#!/bin/sh
# Builds tests/consumer against kelpwood_common_libs installed at PREFIX, once
# through the CMake package and once through pkg-config, runs both programs
# and compares their standard output byte for byte. Installs nothing.
#
#   scripts/consumer-test.sh PREFIX
#
# Exits non-zero on any build failure or output mismatch.
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 PREFIX" >&2
  exit 2
fi
prefix=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../tests/consumer" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The library directory name depends on the platform's GNUInstallDirs choice.
library_path=""
pkg_config_path=""
for dir in lib lib64 lib/x86_64-linux-gnu; do
  if [ -d "$prefix/$dir" ]; then
    library_path="${library_path:+$library_path:}$prefix/$dir"
    pkg_config_path="${pkg_config_path:+$pkg_config_path:}$prefix/$dir/pkgconfig"
  fi
done

echo "consumer-test: building through find_package"
cmake -S "$source_dir" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; exit 1; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; exit 1; }

echo "consumer-test: building through pkg-config"
mkdir "$work/pkg-config"
PKG_CONFIG_PATH="$pkg_config_path${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
  make --no-print-directory -C "$source_dir" OUTPUT="$work/pkg-config" \
  >"$work/pkg-config.log" 2>&1 ||
  { cat "$work/pkg-config.log" >&2; exit 1; }

# With the environment unset, a second logger record would write the three
# construction lines twice; with one record they appear once, and the
# library's message takes number 2 between the consumer's 1 and 3.
messages='  1 [INFO] consumer logs before the library
  2 [WARN] flow_id no-such-flow not found
  3 [INFO] consumer logs after the library'
expected_unset="environment variable SPDLOG_STDOUT is not set, and set true
environment variable SPDLOG_SYSTEMD is not set, and set false
environment variable SPDLOG_LEVEL is not set, and set default level
$messages"

failures=0
check() {  # check NAME EXPECTED PROGRAM [NAME=VALUE...]
  name=$1 expected=$2 program=$3
  shift 3
  printf '%s\n' "$expected" >"$work/expected"
  status=0
  env -i LD_LIBRARY_PATH="$library_path" "$@" "$program" \
    >"$work/actual" 2>"$work/stderr" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "consumer-test: FAIL $name: exit status $status" >&2
    cat "$work/stderr" >&2
    failures=$((failures + 1))
  elif ! cmp -s "$work/expected" "$work/actual"; then
    echo "consumer-test: FAIL $name: output differs" >&2
    diff "$work/expected" "$work/actual" >&2 || true
    failures=$((failures + 1))
  else
    echo "consumer-test: ok   $name"
  fi
}

for build in cmake pkg-config; do
  program="$work/$build/kelpwood_consumer"
  check "$build, variables set" "$messages" "$program" \
    SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info
  check "$build, variables unset" "$expected_unset" "$program"
done

if [ "$failures" -ne 0 ]; then
  echo "consumer-test: $failures failure(s)" >&2
  exit 1
fi
echo "consumer-test: all passed"
