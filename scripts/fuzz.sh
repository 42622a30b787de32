#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time. Any crash,
# sanitizer report, leak or slow input (over 10 s) fails the script.
#
#   scripts/fuzz.sh [SECONDS]      SECONDS per target, 60 by default
#
# Environment: FUZZ_BUILD (build directory, default build-fuzz). The corpus
# grows in $FUZZ_BUILD/fuzz/corpus-<target> across runs; it is seeded from
# the YAML files of tests/data and examples/. Crashing inputs are kept in
# $FUZZ_BUILD/fuzz/artifacts-<target>/.
#
# For runs much longer than a few minutes, ASAN_OPTIONS=malloc_context_size=0
# keeps the resident size flat: otherwise AddressSanitizer's store of
# allocation stacks grows with every new path through yaml-cpp's recursion
# (about 1 GB after 15 minutes) and may reach the 2 GB limit.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
build="${FUZZ_BUILD:-build-fuzz}"

cmake -S . -B "$build" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELPWOOD_BUILD_FUZZ=ON -DKELPWOOD_SANITIZE="address;undefined" \
  -DKELPWOOD_BUILD_TESTS=OFF -DKELPWOOD_BUILD_BENCH=OFF \
  -DKELPWOOD_BUILD_EXAMPLES=OFF -DKELPWOOD_BUILD_TOOLS=OFF
cmake --build "$build" -j "$(nproc)" --target kelpwood_fuzz_init kelpwood_fuzz_parse

seeds="$build/fuzz/seeds"
rm -rf "$seeds"
mkdir -p "$seeds"
cp tests/data/*.yaml "$seeds/"
if [ -f examples/flows.yaml ]; then cp examples/flows.yaml "$seeds/example-flows.yaml"; fi

status=0
for target in init parse; do
  corpus="$build/fuzz/corpus-$target"
  artifacts="$build/fuzz/artifacts-$target/"
  mkdir -p "$corpus" "$artifacts"
  echo "== kelpwood_fuzz_$target for ${seconds}s"
  if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/fuzz/kelpwood_fuzz_$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -dict=fuzz/kelpwood.dict -artifact_prefix="$artifacts" \
      -print_final_stats=1 "$corpus" "$seeds"; then
    echo "kelpwood_fuzz_$target failed; inputs kept in $artifacts" >&2
    status=1
  fi
done
exit "$status"
