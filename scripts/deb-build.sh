#!/bin/sh
# Builds the three Debian packages of kelpwood_common_libs from the working
# tree with dpkg-buildpackage and checks each with lintian.
#
#   scripts/deb-build.sh [OUT_DIR]        (default: build-deb)
#
# The tree's files (tracked ones and new ones not ignored by git) are copied to
# OUT_DIR/src first: dpkg-buildpackage writes its results to the parent of the
# source directory, and the working tree stays free of debian/ build output.
# Ends with OUT_DIR/*.deb (debug symbols in OUT_DIR/dbgsym/), OUT_DIR/lintian.txt and one line per package with
# its size. Exits non-zero if the build fails or lintian reports an error.
set -eu

cd "$(dirname "$0")/.."
out=${1:-build-deb}

# The packages carry debian/changelog's version: it must be the project's.
project_version=$(sed -n 's/^  VERSION \([0-9][0-9.]*\)$/\1/p' CMakeLists.txt | sed -n 1p)
package_version=$(dpkg-parsechangelog -S Version)
if [ "${package_version%%-*}" != "$project_version" ]; then
  echo "deb-build: debian/changelog is at $package_version but CMakeLists.txt" \
    "at $project_version: add a debian/changelog entry (dch -v)" >&2
  exit 1
fi
rm -rf "$out"
mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - -cf - | tar -C "$out/src" -xf -

echo "deb-build: dpkg-buildpackage in $out/src"
(cd "$out/src" && dpkg-buildpackage -b -us -uc -j"${JOBS:-2}") \
  >"$out/build.log" 2>&1 || { tail -n 40 "$out/build.log" >&2; exit 1; }

echo "deb-build: lintian"
status=0
lintian --allow-root --fail-on error --display-info "$out"/*.changes \
  >"$out/lintian.txt" 2>&1 || status=$?
cat "$out/lintian.txt"
# The detached debug symbols go beside, so that OUT_DIR/*.deb is exactly the
# three packages to install.
mkdir -p "$out/dbgsym"
mv "$out"/*-dbgsym_*.deb "$out/dbgsym/" 2>/dev/null || true
for deb in "$out"/*.deb; do
  printf 'deb-build: %s  %s bytes, %s KiB installed\n' "$(basename "$deb")" \
    "$(stat -c %s "$deb")" "$(dpkg-deb -f "$deb" Installed-Size)"
done
exit "$status"
