#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while on a
# scratch copy of its seed corpus, so the repository is never modified.
# Exits non-zero when the fuzzer reports anything (crash, sanitizer report,
# leak, timeout, out-of-memory).
#
#   FUZZ_SECONDS=60 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build=build-fuzz

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVANE_CORE_ONLY=ON -DKELVANE_FUZZ=ON -DKELVANE_TESTS=OFF -DKELVANE_BENCH=OFF
cmake --build "$build" -j2 --target expr_fuzz

scratch="$(mktemp -d "${TMPDIR:-/tmp}/kelvane-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/corpus" "$scratch/artifacts"
cp fuzz/corpus/expr/* "$scratch/corpus/"

echo "== expr_fuzz for ${seconds} s"
status=0
"$build/fuzz/expr_fuzz" "$scratch/corpus" \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -dict=fuzz/expr.dict \
  -print_final_stats=1 -artifact_prefix="$scratch/artifacts/" || status=$?

if [ "$status" -ne 0 ] || [ -n "$(ls -A "$scratch/artifacts")" ]; then
  # Keep what reproduces the finding outside the scratch folder.
  mkdir -p "$build/findings"
  cp -r "$scratch/artifacts/." "$build/findings/" 2>/dev/null || true
  echo "expr_fuzz found a problem (exit status $status); inputs in $build/findings" >&2
  exit 1
fi
echo "expr_fuzz: no findings"
