#!/usr/bin/env bash
# Checks that every program and Python module that the tests start as an
# independent peer is present, and names the Debian package that brings each
# one that is missing. Run after the packages are installed and before the
# build, so that a missing peer costs seconds, never a test run.
set -uo pipefail

# what is checked | the command that checks it | the package that brings it
peers=(
  "Python 3|/usr/bin/python3 -c pass|python3"
  "pyserial|/usr/bin/python3 -c 'import serial'|python3-serial"
  "pyserial-asyncio|/usr/bin/python3 -c 'import serial_asyncio'|python3-serial-asyncio"
  "pymodbus's servers|/usr/bin/python3 -c 'import pymodbus.server'|python3-pymodbus"
  "Jinja2, Home Assistant's template engine|/usr/bin/python3 -c 'import jinja2'|python3-jinja2"
  "Chromium|/usr/bin/chromium --version|chromium"
  "headless Chromium's driver|/usr/bin/chromedriver --version|chromium-driver"
  "libFuzzer's runtime|test -n \"\$(find /usr/lib/llvm-14 -name 'libclang_rt.fuzzer*.a' -print -quit 2>/dev/null)\"|libclang-rt-14-dev"
)

missing=()
for entry in "${peers[@]}"; do
  IFS='|' read -r what check package <<<"$entry"
  if ! output=$(bash -c "$check" 2>&1); then
    echo "Missing test peer: $what (install the Debian package $package)" >&2
    [ -n "$output" ] && printf '  %s\n' "$(tail -n 1 <<<"$output")" >&2
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "The tests cannot run without: ${missing[*]}" >&2
  echo "Add them to scripts/setup.sh, or install them: apt-get install ${missing[*]}" >&2
  exit 1
fi
