# Sourced, not run: builds (or reuses) a minimal Debian 12 root for
# fresh-check.sh and install-check.sh. With debootstrap it fills the folder
# FRESH_ROOT (or a new scratch folder) from the same Debian mirror that
# apt-get uses here, gives it this machine's package sources and name
# service, and bind-mounts /proc, /sys, /dev and /dev/pts into it.
#
# Sets: root (the folder), keep (FRESH_KEEP, 1 keeps the root at the end),
# mounted (what it mounted, unmounted again at the end), start (when it began).
# Defines: mirror, bind, fresh_mount, fresh_unmount, fresh_user NAME [sudo],
# and cleanup, which runs on exit, also on failure or Ctrl+C: it first calls
# fresh_before_cleanup if the sourcing script defines one, kills the
# processes left inside the root, unmounts, and removes the root unless it
# is kept.

fresh_name=$(basename "$0")
if [ "$(id -u)" -ne 0 ]; then
  echo "$fresh_name needs root (debootstrap, chroot, mount): run it with sudo." >&2
  exit 2
fi
if ! command -v debootstrap >/dev/null; then
  echo "$fresh_name needs debootstrap: apt-get install debootstrap (scripts/setup.sh installs it)." >&2
  exit 2
fi

root="${FRESH_ROOT:-$(mktemp -d /var/tmp/kelvane-fresh.XXXXXX)}"
# mktemp makes the folder for its owner alone; as the root of the new
# system it must let every user in, as / does.
mkdir -p "$root"
root=$(cd "$root" && pwd -P)
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
  if declare -F fresh_before_cleanup >/dev/null; then
    fresh_before_cleanup || true
  fi
  # Processes a test left behind inside the root would keep its mounts busy.
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
  done
  fresh_unmount
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

# This machine's /proc, /sys, /dev and /dev/pts in the root, for chroot;
# fresh_unmount takes them out again, last mounted first.
fresh_mount() {
  bind /proc
  bind /sys
  bind /dev
  bind /dev/pts
  [ -d /dev/shm ] && bind /dev/shm
  return 0
}
fresh_unmount() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  mounted=()
}

# A new user NAME with a fresh home; with "sudo" as second argument it may
# use sudo without a password, as a developer on their own machine.
fresh_user() {
  if ! chroot "$root" id "$1" >/dev/null 2>&1; then
    chroot "$root" useradd --create-home --shell /bin/bash "$1"
  fi
  if [ "${2:-}" = sudo ]; then
    echo "$1 ALL=(ALL) NOPASSWD: ALL" >"$root/etc/sudoers.d/$1"
    chmod 0440 "$root/etc/sudoers.d/$1"
  fi
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
# debootstrap writes no /etc/hosts; an installed Debian's names localhost
# (headless Chromium's driver reaches the browser by that name) and the host.
grep -qw localhost "$root/etc/hosts" 2>/dev/null || printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >>"$root/etc/hosts"
grep -qw "$(hostname)" "$root/etc/hosts" 2>/dev/null || echo "127.0.1.1 $(hostname)" >>"$root/etc/hosts"

fresh_mount
