#!/bin/sh
# One device-wide flow recorded by two processes and checked by
# kelpwood-flows watch; exits 1 unless the watch's verdicts are exactly
# PASSED, then POINT_FAILED at 'fsck'. Run from the build directory, as root (a standalone
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
  # The watch is no child of this shell (perl started it): wait by polling.
  if [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null; then
    while kill -0 "$watch_pid" 2>/dev/null; do sleep 0.05; done
  fi
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

# Only verdicts written from here on are this demo's.
cursor=$(journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p')

# The watch says READY=1 once it is positioned in the journal; points
# published before that might not be seen. perl (perl-base, always on Debian)
# listens for it as systemd would, and prints the watch's pid.
notify="$state.notify"
watch_pid=$(perl -MIO::Socket::UNIX -e '
  my ($path, @watch) = @ARGV;
  my $socket = IO::Socket::UNIX->new(Type => SOCK_DGRAM, Local => $path)
    or die "cannot listen on $path: $!\n";
  my $pid = fork() // die "fork: $!\n";
  if ($pid == 0) {
    open(STDOUT, ">&", \*STDERR);
    $ENV{NOTIFY_SOCKET} = $path;
    exec(@watch) or die "cannot run $watch[0]: $!\n";
  }
  print "$pid\n";
  my $message = "";
  local $SIG{ALRM} = sub { die "no READY=1 from the watch within 10 s\n" };
  alarm 10;
  $socket->recv($message, 256) while $message ne "READY=1";
  unlink $path;' "$notify" "$flows" watch --state-dir "$state" "$config")

echo "storage service: probe, fsck; mount helper: mount"
"$step" "$config" storage_mount probe fsck
"$step" "$config" storage_mount mount
echo "storage service: probe, fsck fails"
"$step" "$config" storage_mount probe fsck:fail

# The verdicts, as a consumer reads them: only those of root's processes.
# (--cursor, not --after-cursor: the latter skips the first match.)
verdicts() {
  journalctl -q --cursor="$cursor" -t kelpwood-flows _UID=0 \
    FLOW_ID=storage_mount -o cat | sed 's/ in [0-9]* ms$//'
}
expected="Flow 'storage_mount' (Storage mount): PASSED; 3 points recorded
Flow 'storage_mount' (Storage mount): POINT_FAILED at 'fsck', failure_id 302; 2 points recorded"
tries=0
while [ "$(verdicts)" != "$expected" ] && [ $tries -lt 100 ]; do
  sleep 0.1
  tries=$((tries + 1))
done

echo "Verdicts written by watch:"
journalctl -q --cursor="$cursor" -t kelpwood-flows -o cat FLOW_ID=storage_mount
if [ "$(verdicts)" != "$expected" ]; then
  echo "device_flow_demo: the verdicts differ from the expected ones:" >&2
  echo "$expected" >&2
  exit 1
fi
echo "device_flow_demo: both verdicts as expected (PASSED, POINT_FAILED at 'fsck')"
