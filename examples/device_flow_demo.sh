#!/bin/sh
# One device-wide flow recorded by two processes and checked by
# kelpwood-flows watch. Run from the build directory, as root (a standalone
# systemd-journald is started when none runs, and stopped again by its pid):
#   sh ../examples/device_flow_demo.sh
set -eu
# The library's own log stays quiet; the verdicts are the point.
export SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false SPDLOG_LEVEL=critical
build=$(pwd)
examples=$(cd "$(dirname "$0")" && pwd)
flows="$build/tools/kelpwood-flows/kelpwood-flows"
step="$build/examples/kelpwood_device_flow_step"
config="$examples/device_flow.yaml"
state=$(mktemp -d)
journald_pid=""
watch_pid=""

finish() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null && wait "$watch_pid" || true
  [ -n "$journald_pid" ] && kill "$journald_pid" && wait "$journald_pid" || true
  rm -rf "$state"
}
trap finish EXIT

# The journal tests use this lock too: one journald user at a time.
exec 9>/run/kelpwood-journal-test.lock
flock 9
if ! pidof systemd-journald >/dev/null; then
  mkdir -p /run/systemd/journal
  /lib/systemd/systemd-journald </dev/null >/dev/null 2>&1 &
  journald_pid=$!
  sleep 1
fi

started=$(date +%s)
"$flows" watch --state-dir "$state" "$config" &
watch_pid=$!
sleep 1

echo "storage service: probe, fsck; mount helper: mount"
"$step" "$config" storage_mount probe fsck
"$step" "$config" storage_mount mount
echo "storage service: probe, fsck fails"
"$step" "$config" storage_mount probe fsck:fail
sleep 2

echo "Verdicts written by watch:"
journalctl -t kelpwood-flows -o cat --since="@$started" FLOW_ID=storage_mount
journalctl -t kelpwood-flows -n 1 -o verbose FLOW_ID=storage_mount |
  grep -E '^ *(CHECK_CODE|POINT_ID|CONFIGURED_POINT_ID|FAILURE_ID|FLOW_RUN|RUN_PID|RUN_COMM)='
