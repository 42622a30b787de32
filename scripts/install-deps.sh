#!/bin/sh
# Installs the Debian packages that building and testing kelpwood_common_libs
# needs, and only those that are missing (prometheus for promtool and
# prometheus-node-exporter: the metrics tests read the files with both).
# With --fuzz it adds clang and its sanitizer runtime for the libFuzzer
# targets; with --deb, what building the Debian packages (make deb) and
# their install test need.
set -eu

packages="cmake g++ make pkg-config libspdlog-dev libfmt-dev libyaml-cpp-dev
libsystemd-dev googletest libgtest-dev libbenchmark-dev systemd python3
util-linux help2man systemd-journal-remote binutils abigail-tools
chromium libpng-dev prometheus prometheus-node-exporter"
for option in "$@"; do
  case $option in
    --fuzz) packages="$packages clang libclang-rt-14-dev" ;;
    --deb) packages="$packages debhelper dpkg-dev fakeroot lintian
debian-archive-keyring debootstrap zstd bash-completion" ;;
    *) echo "install-deps: unknown option '$option'" >&2; exit 2 ;;
  esac
done

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

if [ -z "$missing" ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing Debian packages:$missing" >&2
  echo "install-deps: run as root, or install them with apt-get" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
