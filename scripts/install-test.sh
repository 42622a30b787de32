#!/bin/bash
# Installs the three Debian packages of build-deb/ into a fresh minimal Debian
# 12 tree with apt, and checks from inside it (chroot) what a device image
# gets: the consumer builds through find_package and through pkg-config and
# runs, both tools run with no ldconfig by hand, the man page renders, the
# journal catalog is listed, systemd-analyze accepts the unit and rates its
# exposure at most 2.0, the runtime package alone makes /opt/kelpwood and a
# boot keeps its mode and group, and dpkg --purge removes the watch's state
# but keeps the device state file, and leaves nothing else behind.
#
#   scripts/install-test.sh [DEB_DIR]      (default: build-deb)
#
# Run as root. The tree comes from debootstrap using the Debian mirror that
# this machine's own apt sources name (KELPWOOD_DEBIAN_MIRROR overrides it).
# The bootstrapped base and the downloaded .debs are cached under
# KELPWOOD_INSTALL_TEST_CACHE (default /var/cache/kelpwood-install-test), so a
# second run skips the download; a fresh machine builds them.
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$PWD
deb_dir=$(cd "${1:-build-deb}" && pwd)
suite=bookworm
arch=$(dpkg --print-architecture)
cache=${KELPWOOD_INSTALL_TEST_CACHE:-/var/cache/kelpwood-install-test}
# What the tests inside the tree need beside the three packages: a compiler and
# both build systems for the consumer, man for the man page, systemd for
# journalctl, systemd-analyze and systemd-tmpfiles, bash-completion for the
# completion scripts.
test_packages="cmake g++ make pkg-config man-db systemd bash-completion"

say() { printf 'install-test: %s\n' "$*"; }
fail() { printf 'install-test: FAIL %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap and chroot need it)"
shopt -s nullglob
debs=("$deb_dir"/*.deb)
[ ${#debs[@]} -eq 3 ] ||
  fail "expected the 3 packages of 'make deb' in $deb_dir, found ${#debs[@]}"

# The first URI that serves the suite's main component in the machine's apt
# sources, in either format (one-line .list or deb822 .sources).
find_mirror() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -r "$file" ] || continue
    # deb [options] URI SUITE COMPONENT...
    awk -v suite="$suite" '
      $1 == "deb" { i = 2
                    if ($i ~ /^\[/) { while ($i !~ /\]$/ && i < NF) i++; i++ }
                    if ($(i + 1) == suite) { print $i; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -r "$file" ] || continue
    awk -v suite="$suite" '
      function flush() { if (!found && types ~ /(^| )deb( |$)/ &&
                             (" " suites " ") ~ (" " suite " ") && uris != "") {
                           split(uris, u, " "); print u[1]; found = 1 }
                         types = suites = uris = "" }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
      /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
      /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
      END { flush() }' "$file"
  done
}
mirror=${KELPWOOD_DEBIAN_MIRROR:-$(find_mirror | sed -n 1p)}
[ -n "$mirror" ] ||
  fail "no apt source for '$suite' in /etc/apt/sources.list*; set KELPWOOD_DEBIAN_MIRROR"
say "mirror $mirror, suite $suite, architecture $arch"

work=$(mktemp -d /var/tmp/kelpwood-install-test.XXXXXX)
root=$work/root
cleanup() {
  local mount_point
  # Unmount deepest first; never remove files while anything is mounted below.
  for mount_point in $(findmnt -rn -o TARGET | grep "^$root" | sort -r); do
    umount -l "$mount_point" || true
  done
  if findmnt -rn -o TARGET | grep -q "^$root"; then
    echo "install-test: $root still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mkdir -p "$cache/archives/partial"
base=$cache/debian-$suite-minbase-$arch.tar.zst
if [ ! -s "$base" ]; then
  say "bootstrapping a minimal $suite tree (cached at $base afterwards)"
  mkdir -p "$work/bootstrap"
  debootstrap --variant=minbase --arch="$arch" \
    --cache-dir="$cache/archives" "$suite" "$work/bootstrap" "$mirror" \
    >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log" >&2; fail "debootstrap"; }
  tar -C "$work/bootstrap" --zstd -cf "$base.tmp" .
  mv "$base.tmp" "$base"
  rm -rf --one-file-system "$work/bootstrap"
fi
mkdir "$root"
tar -C "$root" --zstd -xf "$base"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mkdir -p "$root/var/cache/apt/archives"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# No services start inside the tree.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 0755 "$root/usr/sbin/policy-rc.d"

in_root() { chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
  PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
apt_get() { in_root apt-get -q -y -o Dpkg::Use-Pty=0 "$@"; }

say "installing the test tools: $test_packages"
apt_get update >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get update"; }
# shellcheck disable=SC2086
apt_get install --no-install-recommends $test_packages >>"$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log" >&2; fail "installing $test_packages"; }
# Kept through the autoremove after the purge below.
# shellcheck disable=SC2086
in_root apt-mark manual $test_packages >/dev/null

# Every path of the tree, less the directories that package managers, caches
# and logs change by design.
snapshot() {
  (cd "$root" && find . -xdev \
    \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp \
       -o -path ./var/lib/dpkg -o -path ./var/lib/apt -o -path ./var/cache \
       -o -path ./var/log -o -path ./src -o -path ./debs \) -prune -o -print) | LC_ALL=C sort
}
# systemd keeps the state directories of DynamicUser= services under
# /var/lib/private, which it makes once on a device where any such service
# ran; it outlives the packages of those services.
install -d -m 0700 "$root/var/lib/private"
snapshot >"$work/before"

failures=0
check() {  # check NAME COMMAND...: the command's status decides
  if "${@:2}" >"$work/check.out" 2>&1; then
    say "ok   $1"
  else
    printf 'install-test: FAIL %s\n' "$1" >&2
    cat "$work/check.out" >&2
    failures=$((failures + 1))
  fi
}
expect_output() {  # expect_output NAME EXPECTED COMMAND...: exact stdout
  local actual status=0
  actual=$("${@:3}" 2>"$work/stderr") || status=$?
  if [ "$status" -eq 0 ] && [ "$actual" = "$2" ]; then
    say "ok   $1"
  else
    printf 'install-test: FAIL %s (status %s)\n--- expected\n%s\n--- actual\n%s\n' \
      "$1" "$status" "$2" "$actual" >&2
    cat "$work/stderr" >&2
    failures=$((failures + 1))
  fi
}

mkdir "$root/debs"
cp "${debs[@]}" "$root/debs/"
debs_inside=()
for deb in "${debs[@]}"; do debs_inside+=("/debs/$(basename "$deb")"); done

# A device with the library alone: its tmpfiles.d entry makes /opt/kelpwood,
# and a boot keeps the mode and group that the device image gave it.
runtime_deb=$(cd "$root" && echo debs/libkelpwood-common-libs1_*.deb)
say "installing the runtime package alone with apt: $runtime_deb"
apt_get install --no-install-recommends "/$runtime_deb" \
  >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "apt-get install $runtime_deb"; }
expect_output "/opt/kelpwood from the runtime package alone: mode 755, root:root" \
  "directory 755 root:root" in_root stat -c '%F %a %U:%G' /opt/kelpwood
expect_output "/opt/kelpwood keeps the device image's mode and group at boot" \
  "directory 750 root:staff" in_root sh -c 'chmod 0750 /opt/kelpwood &&
    chgrp staff /opt/kelpwood && systemd-tmpfiles --create kelpwood.conf &&
    stat -c "%F %a %U:%G" /opt/kelpwood'
in_root sh -c 'chgrp root /opt/kelpwood && chmod 0755 /opt/kelpwood'

say "installing with apt: $(cd "$root/debs" && echo *.deb)"
apt_get install --no-install-recommends "${debs_inside[@]}" \
  >>"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "apt-get install"; }

# The consumer, built inside the tree against /usr as installed by apt.
mkdir -p "$root/src/scripts" "$root/src/tests" "$root/src/data"
cp scripts/consumer-test.sh scripts/exported-symbols.sh "$root/src/scripts/"
cp -r tests/consumer "$root/src/tests/"
check "consumer builds through find_package and pkg-config and runs" \
  in_root /src/scripts/consumer-test.sh /usr

# The tools, run with the environment of a fresh login and no ldconfig.
expect_output "kelpwood-state get: a new state file holds 0" "0" \
  in_root kelpwood-state get
expect_output "kelpwood-state set 7, then get" "7" \
  in_root sh -c 'kelpwood-state set 7 && kelpwood-state get'
expect_output "/opt/kelpwood: directory, mode 755, owner root:root" \
  "directory 755 root:root" in_root stat -c '%F %a %U:%G' /opt/kelpwood
# kelpwood-flows prints the same report inside the tree as the tool built here
# (both run from a directory holding data/check_flows.yaml).
cp tests/data/check_flows.yaml "$root/src/data/"
host_flows=${KELPWOOD_HOST_FLOWS:-$deb_dir/src/obj-$(dpkg-architecture -qDEB_HOST_MULTIARCH)/tools/kelpwood-flows/kelpwood-flows}
[ -x "$host_flows" ] || fail "no kelpwood-flows built by make deb at $host_flows"
expected=$(cd tests && "$host_flows" validate data/check_flows.yaml 2>&1) ||
  fail "kelpwood-flows of the build tree failed on tests/data/check_flows.yaml"
expect_output "kelpwood-flows validate gives the build tree's report" "$expected" \
  in_root sh -c 'cd /src && kelpwood-flows validate data/check_flows.yaml 2>&1'
check "tools are in PATH and need no ldconfig: ldd finds every library" \
  in_root sh -c '! ldd /usr/bin/kelpwood-flows /usr/bin/kelpwood-state | grep "not found"'

# The man page renders and carries the sections that --help gives.
check "man kelpwood-state renders NAME, SYNOPSIS, EXIT STATUS and FILES" \
  in_root sh -c 'MANWIDTH=80 man -P cat kelpwood-state >/tmp/man.txt &&
    grep -q "^NAME" /tmp/man.txt && grep -q "^SYNOPSIS" /tmp/man.txt &&
    grep -q "^EXIT STATUS" /tmp/man.txt && grep -q "^FILES" /tmp/man.txt &&
    grep -q "/opt/kelpwood/device_state" /tmp/man.txt'
check "man kelpwood-flows renders" \
  in_root sh -c 'MANWIDTH=80 man -P cat kelpwood-flows | grep -q "^EXIT STATUS"'

# Bash completion as bash-completion loads it: the command's file by its name.
complete_line() {  # complete_line LINE: the candidates bash offers at its end
  in_root bash -c '. /usr/share/bash-completion/bash_completion
    read -ra COMP_WORDS <<<"$1"; [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE=$1; COMP_POINT=${#1}
    _completion_loader "${COMP_WORDS[0]}"
    "$(complete -p "${COMP_WORDS[0]}" | sed "s/.*-F \([^ ]*\) .*/\1/")"
    printf "%s\n" "${COMPREPLY[@]}"' complete_line "$1"
}
expect_output "completion: kelpwood-state commands" "$(printf 'get\nset\nwait')" \
  complete_line "kelpwood-state "
expect_output "completion: kelpwood-state options after a command" \
  "$(printf -- '--retry-for')" complete_line "kelpwood-state set 3 --re"
expect_output "completion: kelpwood-flows command" "validate" \
  complete_line "kelpwood-flows -v val"
expect_output "completion: kelpwood-flows option" "--verbose" \
  complete_line "kelpwood-flows --verb"
expect_output "completion: flow ids of a configuration file" "$(printf 'boot\nupdate')" \
  in_root bash -c '. /usr/share/bash-completion/completions/kelpwood-flows
    _kelpwood_flow_ids /src/data/check_flows.yaml'

# Every MESSAGE_ID of the catalog that the package ships is listed.
catalog_ids=$(sed -n 's/^-- \([0-9a-fA-F]\{32\}\).*/\1/p' dist/kelpwood.catalog | tr 'A-F' 'a-f')
[ -n "$catalog_ids" ] || fail "dist/kelpwood.catalog names no MESSAGE_ID"
in_root journalctl --list-catalog >"$work/catalog.txt" 2>&1 || true
missing=""
for id in $catalog_ids; do
  grep -q "^$id " "$work/catalog.txt" || missing="$missing $id"
done
check "journalctl --list-catalog lists the $(echo "$catalog_ids" | wc -w) catalog entries" \
  test -z "$missing"
[ -z "$missing" ] || say "not listed:$missing"

check "systemd-analyze verify accepts kelpwood-flows-watch.service" \
  in_root systemd-analyze verify /usr/lib/systemd/system/kelpwood-flows-watch.service
in_root systemd-analyze security --offline=true \
  /usr/lib/systemd/system/kelpwood-flows-watch.service >"$work/security.txt" 2>&1 || true
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' "$work/security.txt")
check "systemd-analyze security rates the unit ${exposure:-?}, at most 2.0" \
  awk -v level="$exposure" 'BEGIN { exit !(level != "" && level <= 2.0) }'

# The watch's state as systemd leaves it for DynamicUser= and
# StateDirectory=: a private directory of the allocated user, and a link.
in_root sh -c 'install -d -m 0700 -o 61234 -g 61234 \
    /var/lib/private/kelpwood-flows-watch &&
  printf "cursor\ts=0\n" >/var/lib/private/kelpwood-flows-watch/state &&
  ln -s private/kelpwood-flows-watch /var/lib/kelpwood-flows-watch'

# Purge the three packages and what apt pulled in for them only.
packages=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done)
# shellcheck disable=SC2086
in_root dpkg --purge $packages >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
apt_get autoremove --purge >>"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "apt-get autoremove --purge"; }
snapshot >"$work/after"
# The device state outlives the packages with its value (set to 7 above);
# the watch's state goes with the tools.
expect_output "dpkg --purge keeps /opt/kelpwood/device_state and its value" "7" \
  in_root sh -c 'od -An -tu1 /opt/kelpwood/device_state | tr -d " "'
check "dpkg --purge removes the watch's state and its link" \
  in_root sh -c '! test -e /var/lib/private/kelpwood-flows-watch &&
    ! test -L /var/lib/kelpwood-flows-watch'
check "dpkg --purge leaves no other file behind" \
  diff "$work/before" - <<<"$(grep -v -x -e ./opt/kelpwood \
    -e ./opt/kelpwood/device_state "$work/after")"

if [ "$failures" -ne 0 ]; then
  say "$failures failure(s)"
  exit 1
fi
say "all passed"
