#!/usr/bin/env bash
# Builds everything and runs every test: the full build, then the Debian
# package (checked by lintian), then the libraries that need no widgets
# again under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# fuzzers' short runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "== Tests"
ctest --test-dir build --output-on-failure -j2 --timeout 300 --label-exclude package

echo "== The Debian package, built and checked by lintian, then run unpacked"
bash scripts/package.sh | tee build/package.log
deb=$(tail -n 1 build/package.log)
if [ ! -f "$deb" ]; then
  echo "package.sh named no package (its last line: \"$deb\")" >&2
  exit 1
fi
KELVANE_DEB="$deb" ctest --test-dir build --output-on-failure --timeout 300 --label-regex package

echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKELVANE_CORE_ONLY=ON -DKELVANE_SANITIZE=ON -DKELVANE_BENCH=OFF
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2 --timeout 600

if [ -x scripts/fuzz.sh ]; then
  echo "== Fuzzing"
  bash scripts/fuzz.sh
fi
