#!/usr/bin/env bash
# Builds the Debian package kelvane_<version>_<arch>.deb into build-deb/ and
# checks it with lintian. The build runs in a copy of the working tree
# (build-deb/src, without .git and the build folders), so the source tree
# stays as it was. The package's version is the project's CMake version;
# debian/changelog must name the same one.
#
#   bash scripts/package.sh
#
# Exits 1 when a build dependency is missing (naming it), the build fails, or
# lintian finds an error or a warning that debian/kelvane.lintian-overrides
# does not explain.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
out="$repo/build-deb"
src="$out/src"

for tool in dpkg-buildpackage dpkg-checkbuilddeps lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "package.sh needs $tool: bash scripts/setup.sh installs it (dpkg-dev, lintian)." >&2
    exit 1
  fi
done

version=$(sed -nE 's/^project\(kelvane VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [ -z "$version" ] || [ "$version" != "$changelog" ]; then
  echo "The project's version (CMakeLists.txt: ${version:-none}) and the package's" \
    "(debian/changelog: $changelog) differ: add a changelog entry for $version (dch -v $version)." >&2
  exit 1
fi

echo "== Copying the working tree into $src"
rm -rf "$src"
mkdir -p "$src"
shopt -s dotglob nullglob
for entry in *; do
  case "$entry" in
    .git | build*) continue ;;
  esac
  cp -a "$entry" "$src/"
done
shopt -u dotglob nullglob

cd "$src"
if ! missing=$(dpkg-checkbuilddeps 2>&1); then
  echo "$missing" >&2
  echo "Install them with: bash scripts/setup.sh (or apt-get install --no-install-recommends the packages named)." >&2
  exit 1
fi

# Rebuilds go faster through the compiler cache when there is one; CMake
# takes the launcher from the environment. debhelper points HOME elsewhere,
# so the cache's folder is named.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  CCACHE_DIR=$(ccache --get-config cache_dir)
  export CCACHE_DIR
fi

echo "== Building the package"
arch=$(dpkg --print-architecture)
deb="$out/kelvane_${version}_${arch}.deb"
rm -f "$deb"
DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=2" \
  dpkg-buildpackage -b -us -uc
[ -f "$deb" ] || { echo "dpkg-buildpackage made no $deb" >&2; exit 1; }

echo "== lintian"
lintian --fail-on error,warning "$deb"

echo "$deb"
