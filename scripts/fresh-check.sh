#!/usr/bin/env bash
# Runs the README's test command as a new user would, on a machine that has
# never built the project: builds a minimal Debian 12 root with debootstrap
# from the same Debian mirror that apt-get uses here, clones the committed
# main branch into it, and runs `bash scripts/test.sh` there as an ordinary
# user who may use sudo. A package missing from scripts/setup.sh shows up
# here, where a developer's machine that has it installed hides it.
#
#   bash scripts/fresh-check.sh          # root in a scratch folder, removed at the end
#   FRESH_ROOT=/var/tmp/root FRESH_KEEP=1 bash scripts/fresh-check.sh
#
# Needs root (debootstrap, chroot and mount). Whatever it mounted is
# unmounted when it ends, also on failure or Ctrl+C. Exits with the test
# command's status.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check.sh needs root (debootstrap, chroot, mount): run it with sudo." >&2
  exit 2
fi
if ! command -v debootstrap >/dev/null; then
  echo "fresh-check.sh needs debootstrap: apt-get install debootstrap (scripts/setup.sh installs it)." >&2
  exit 2
fi

root="${FRESH_ROOT:-$(mktemp -d /var/tmp/kelvane-fresh.XXXXXX)}"
# mktemp makes the folder for its owner alone; as the root of the new
# system it must let every user in, as / does.
mkdir -p "$root"
chmod 0755 "$root"
keep="${FRESH_KEEP:-0}"
mounted=()

# The first Debian archive that this machine's apt sources name.
mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null |
    grep -v '^[[:space:]]*#' | grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n 1 | tr -d ' ')
  echo "${uri:-http://deb.debian.org/debian}"
}

cleanup() {
  local status=$?
  # Processes a test left behind inside the root would keep its mounts busy.
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
  done
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  if [ "$keep" != 1 ] && [ -z "$(grep -F " $root/" /proc/mounts)" ]; then
    rm -rf --one-file-system "$root"
  elif [ "$keep" = 1 ]; then
    echo "The fresh root stays in $root."
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

bind() {
  mkdir -p "$root$1"
  mount --bind "$1" "$root$1"
  mounted+=("$root$1")
}

start=$SECONDS
if [ ! -x "$root/usr/bin/apt-get" ]; then
  echo "== debootstrap bookworm from $(mirror) into $root"
  debootstrap --variant=minbase --include=sudo,ca-certificates bookworm "$root" "$(mirror)"
fi
# The same package sources and name service as this machine.
rm -f "$root"/etc/apt/sources.list "$root"/etc/apt/sources.list.d/*
cp /etc/apt/sources.list.d/*.sources "$root/etc/apt/sources.list.d/" 2>/dev/null || true
[ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root/etc/apt/"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
grep -qw "$(hostname)" "$root/etc/hosts" 2>/dev/null || echo "127.0.1.1 $(hostname)" >>"$root/etc/hosts"

bind /proc
bind /sys
bind /dev
bind /dev/pts
[ -d /dev/shm ] && bind /dev/shm

# A new user with the rights a developer has on their own machine.
if ! chroot "$root" id dev >/dev/null 2>&1; then
  chroot "$root" useradd --create-home --shell /bin/bash dev
  echo 'dev ALL=(ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/dev"
  chmod 0440 "$root/etc/sudoers.d/dev"
fi
rm -rf "$root/home/dev/kelvane"
git clone --quiet --branch main "$repo" "$root/home/dev/kelvane"
chroot "$root" chown -R dev:dev /home/dev/kelvane
echo "== root ready after $((SECONDS - start)) s; the test command as user dev"

status=0
chroot "$root" sudo --login --user=dev bash -c 'cd ~/kelvane && bash scripts/test.sh' || status=$?
echo "== fresh check ended with status $status after $((SECONDS - start)) s"
exit "$status"
