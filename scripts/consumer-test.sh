#!/bin/sh
# Builds tests/consumer against kelpwood_common_libs and runs it, comparing
# its standard output byte for byte (for an installation, also a C program of
# the device-state C API, built through pkg-config), and checks the library's
# exported symbols (scripts/exported-symbols.sh). Installs nothing.
#
#   scripts/consumer-test.sh PREFIX        the library installed at PREFIX,
#                                          through the CMake package and
#                                          through pkg-config
#   scripts/consumer-test.sh --subproject  this source tree included with
#                                          add_subdirectory() by a parent
#                                          project (tests/consumer/subproject)
#
# Exits non-zero on any build failure, output mismatch or foreign symbol.
set -eu

usage() {
  echo "usage: $0 PREFIX | --subproject" >&2
  exit 2
}
[ $# -eq 1 ] || usage
root=$(cd "$(dirname "$0")/.." && pwd)
source_dir=$root/tests/consumer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {  # build NAME COMMAND...: runs a build step, showing its log on failure
  name=$1
  shift
  "$@" >>"$work/$name.log" 2>&1 || { cat "$work/$name.log" >&2; exit 1; }
}

library_path=""
builds=""
if [ "$1" = "--subproject" ]; then
  echo "consumer-test: building as a subproject (add_subdirectory)"
  mkdir "$work/subproject"
  build subproject cmake -S "$source_dir/subproject" -B "$work/subproject" \
    -DKELPWOOD_SOURCE_DIR="$root"
  build subproject cmake --build "$work/subproject" -j "${JOBS:-2}"
  # The parent has no install rules of its own, and the library must add
  # none when it is not the top-level project.
  build subproject cmake --install "$work/subproject" --prefix "$work/installed"
  if [ -e "$work/installed" ]; then
    echo "consumer-test: FAIL the subproject installed files:" >&2
    find "$work/installed" -type f >&2
    exit 1
  fi
  libraries="$work/subproject/kelpwood_common_libs/libkelpwood_common_libs.so.1"
  builds=subproject
else
  case $1 in -*) usage ;; esac
  prefix=$(cd "$1" && pwd)

  # The library directory name depends on the platform's GNUInstallDirs choice.
  pkg_config_path=""
  libraries=""
  for dir in lib lib64 lib/x86_64-linux-gnu; do
    if [ -d "$prefix/$dir" ]; then
      library_path="${library_path:+$library_path:}$prefix/$dir"
      pkg_config_path="${pkg_config_path:+$pkg_config_path:}$prefix/$dir/pkgconfig"
      if [ -e "$prefix/$dir/libkelpwood_common_libs.so.1" ]; then
        libraries="$libraries $prefix/$dir/libkelpwood_common_libs.so.1"
      fi
    fi
  done

  echo "consumer-test: building through find_package"
  build cmake cmake -S "$source_dir" -B "$work/cmake" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  build cmake cmake --build "$work/cmake"

  echo "consumer-test: building through pkg-config"
  mkdir "$work/pkg-config"
  build pkg-config env \
    PKG_CONFIG_PATH="$pkg_config_path${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
    make --no-print-directory -C "$source_dir" OUTPUT="$work/pkg-config"

  # A caller that hides its own symbols must still share the library's one
  # logger record: the numbering then runs on across both, as above.
  echo "consumer-test: building through pkg-config with hidden visibility"
  mkdir "$work/hidden"
  build hidden env \
    PKG_CONFIG_PATH="$pkg_config_path${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
    make --no-print-directory -C "$source_dir" OUTPUT="$work/hidden" \
    CXXFLAGS="-O2 -fvisibility=hidden -fvisibility-inlines-hidden"
  builds="cmake pkg-config hidden"

  # A C program that uses only <kelpwood/device_state_c.h>, built as C
  # through the same pkg-config line as the C++ consumer.
  echo "consumer-test: building a C program through pkg-config"
  mkdir "$work/c"
  cat >"$work/c/device_state.c" <<'EOF_C'
#include <kelpwood/device_state_c.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
  DeviceStateHandle* state = DeviceState_create_at(getenv("STATE_FILE"));
  if (state == NULL) return 1;
  printf("state %d\n", (int)DeviceState_LockAndReadState(state));
  if (!DeviceState_TransitState(state, 5)) return 1;
  printf("state %d\n", (int)DeviceState_LockAndReadState(state));
  DeviceState_destroy(state);
  return 0;
}
EOF_C
  build c env \
    PKG_CONFIG_PATH="$pkg_config_path${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
    sh -c 'cc -std=c99 -Wall -Wextra -Wpedantic -Werror \
      $(pkg-config --cflags kelpwood_common_libs) -o "$1/device_state" \
      "$1/device_state.c" $(pkg-config --libs kelpwood_common_libs)' sh "$work/c"
fi

failures=0
if [ -z "$libraries" ]; then
  echo "consumer-test: FAIL no libkelpwood_common_libs.so.1 found" >&2
  failures=$((failures + 1))
fi
for library in $libraries; do
  if "$root/scripts/exported-symbols.sh" "$library" >"$work/symbols" 2>&1; then
    echo "consumer-test: ok   exported symbols"
  else
    cat "$work/symbols" >&2
    failures=$((failures + 1))
  fi
done

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

for build in $builds; do
  program="$work/$build/kelpwood_consumer"
  check "$build, variables set" "$messages" "$program" \
    SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info
  check "$build, variables unset" "$expected_unset" "$program"
done

if [ -e "$work/c/device_state" ]; then
  check "C program, pkg-config" "$(printf 'state 0\nstate 5')" \
    "$work/c/device_state" STATE_FILE="$work/c/state"
fi

if [ "$failures" -ne 0 ]; then
  echo "consumer-test: $failures failure(s)" >&2
  exit 1
fi
echo "consumer-test: all passed"
