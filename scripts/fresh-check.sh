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

# The root: debootstrap, package sources, mounts and their cleanup.
source scripts/fresh-root.sh

# A new user with the rights a developer has on their own machine.
fresh_user dev sudo
rm -rf "$root/home/dev/kelvane"
git clone --quiet --branch main "$repo" "$root/home/dev/kelvane"
chroot "$root" chown -R dev:dev /home/dev/kelvane
echo "== root ready after $((SECONDS - start)) s; the test command as user dev"

status=0
chroot "$root" sudo --login --user=dev bash -c 'cd ~/kelvane && bash scripts/test.sh' || status=$?
echo "== fresh check ended with status $status after $((SECONDS - start)) s"
exit "$status"
