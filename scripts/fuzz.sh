#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while on a
# scratch copy of its seed corpus, so the repository is never modified.
# Exits non-zero when a fuzzer reports anything (crash, sanitizer report,
# leak, timeout, out-of-memory).
#
#   FUZZ_SECONDS=60 [FUZZ_BUILD=build-fuzz] scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD:-build-fuzz}"

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVANE_CORE_ONLY=ON -DKELVANE_FUZZ=ON -DKELVANE_TESTS=OFF -DKELVANE_BENCH=OFF
cmake --build "$build" -j2 --target expr_fuzz serial_reply_fuzz ini_fuzz site_fuzz

scratch="$(mktemp -d "${TMPDIR:-/tmp}/kelvane-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

# run_fuzzer NAME CORPUS [libFuzzer options...]
run_fuzzer() {
  local name="$1" corpus="$2"
  shift 2
  mkdir -p "$scratch/$name/corpus" "$scratch/$name/artifacts"
  cp "$corpus"/* "$scratch/$name/corpus/"

  echo "== $name for ${seconds} s"
  local status=0
  "$build/fuzz/$name" "$scratch/$name/corpus" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$scratch/$name/artifacts/" "$@" || status=$?

  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$scratch/$name/artifacts")" ]; then
    # Keep what reproduces the finding outside the scratch folder.
    mkdir -p "$build/findings/$name"
    cp -r "$scratch/$name/artifacts/." "$build/findings/$name/" 2>/dev/null || true
    echo "$name found a problem (exit status $status); inputs in $build/findings/$name" >&2
    exit 1
  fi
  echo "$name: no findings"
}

run_fuzzer expr_fuzz fuzz/corpus/expr -max_len=4096 -dict=fuzz/expr.dict
# Serial replies: at most an ASCII frame of the largest ADU, plus the
# fuzzer's own eight leading bytes.
run_fuzzer serial_reply_fuzz fuzz/corpus/serial -max_len=600
# INI and site files: a few kilobytes hold every kind of line many times.
run_fuzzer ini_fuzz fuzz/corpus/ini -max_len=4096
run_fuzzer site_fuzz fuzz/corpus/site -max_len=4096 -dict=fuzz/site.dict
