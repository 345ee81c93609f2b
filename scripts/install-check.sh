#!/usr/bin/env bash
# Installs a kelvane .deb on a fresh Debian 12 system and checks that it
# works there as a technician would use it:
#
#   sudo bash scripts/install-check.sh build-deb/kelvane_0.1_amd64.deb
#   FRESH_ROOT=/var/tmp/root FRESH_KEEP=1 sudo bash scripts/install-check.sh PATH.deb
#
# In a minimal Debian 12 root (scripts/fresh-root.sh: debootstrap from this
# machine's mirror, or the kept root FRESH_ROOT names) it installs man-db,
# systemd and dbus, then the package with `apt-get install ./PACKAGE.deb`,
# which must find every dependency in the mirror, and checks:
#   man       `man kelvane-log` shows the manual page
#   menu      the desktop file's Exec= command, run by a new user against a
#             kelvane-sim (offscreen), makes ~/.config/kelvane, saves
#             kelvane.ini when it gets SIGTERM, and with logging switched on
#             writes a .csv log under ~/.local/share/kelvane
#   unit      kelvane-log@plant, started by systemd as PID 1 of the root
#             booted with systemd-nspawn, logs a kelvane-sim through
#             /etc/kelvane/plant.ini into /var/lib/kelvane/plant/meter1.csv
#             and stops cleanly (INSTALL_CHECK_UNIT=direct runs the unit's
#             command the way systemd would, without systemd as PID 1)
#   remove    `dpkg -r kelvane` and `apt-get purge kelvane` report no error
# Each command is printed with its output. Exits 1 if any check failed.
# Whatever it mounted is unmounted at the end, also on failure or Ctrl+C,
# and processes left in the root are killed.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: sudo bash scripts/install-check.sh PATH/kelvane_VERSION_ARCH.deb" >&2
  exit 2
fi
deb=$(realpath "$1")
unit_mode="${INSTALL_CHECK_UNIT:-nspawn}"
case "$unit_mode" in
  nspawn | direct) ;;
  *) echo "install-check.sh: INSTALL_CHECK_UNIT must be nspawn or direct, not \"$unit_mode\"" >&2; exit 2 ;;
esac
if [ "$unit_mode" = nspawn ] && ! command -v systemd-nspawn >/dev/null; then
  echo "install-check.sh needs systemd-nspawn: apt-get install systemd-container (scripts/setup.sh installs it)." >&2
  exit 2
fi
cd "$(dirname "$0")/.."

nspawn_pid=""
# A container still running at the end is shut down before the root's
# mounts go: asked first, killed if it does not end within 30 s.
fresh_before_cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    local deadline=$((SECONDS + 30))
    while kill -0 "$nspawn_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
  fi
  return 0
}

# The root: debootstrap, package sources, mounts and their cleanup.
source scripts/fresh-root.sh

failed=()
pass() { echo "== PASS: $1"; }
fail() {
  echo "== FAIL: $1"
  failed+=("$1")
}

# Runs a shell command line in the root as root, printed first.
in_root() {
  echo "[root]# $1"
  chroot "$root" /bin/bash -o pipefail -c "$1"
}

# Whether process $1 still runs (a child that ended stays as a zombie until
# waited for, and kill -0 would still find it).
running() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# wait_for SECONDS PID WHAT COMMAND...: polls COMMAND until it succeeds;
# gives up after SECONDS, or at once when process PID (if given) has ended.
wait_for() {
  local limit=$1 pid=$2 what=$3
  shift 3
  local deadline=$((SECONDS + limit))
  until "$@"; do
    if [ -n "$pid" ] && ! running "$pid"; then
      echo "   (the process ended before $what)"
      return 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "   (no $what within $limit s)"
      return 1
    fi
    sleep 0.2
  done
  echo "   ($what after $((SECONDS - deadline + limit)) s)"
}

# A TCP port on 127.0.0.1 that nothing listens on; the root shares this
# machine's network.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The simulator says on its standard output when it serves.
sim_ready() { grep -q "kelvane-sim listening on " "$1" 2>/dev/null; }

echo "== root ready after $((SECONDS - start)) s"

# ---------------------------------------------------------------- install
echo "== Tools a technician's Debian 12 has: man-db, systemd, dbus"
in_root 'apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q man-db systemd systemd-sysv dbus | tail -n 3'
# A package left installed by an earlier run on a kept root goes first, so
# that the install below starts from scratch.
if chroot "$root" dpkg-query -W -f='${Status}' kelvane 2>/dev/null | grep -q installed; then
  in_root 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvane >/dev/null'
fi
rm -rf "$root/tmp/install-check"
mkdir -p "$root/tmp/install-check"
cp "$deb" "$root/tmp/install-check/"
chmod 0755 "$root/tmp/install-check"
chmod 0644 "$root/tmp/install-check/$(basename "$deb")"

echo "== Installing $(basename "$deb") and its dependencies from the mirror"
install_log="$root/tmp/install-check/apt-install.log"
status=0
in_root "cd /tmp/install-check && DEBIAN_FRONTEND=noninteractive apt-get install -y ./$(basename "$deb")" \
  >"$install_log" 2>&1 || status=$?
# apt's summary (what it installs), then any warning or error it gave.
head -n 1 "$install_log"
sed -n '/^The following/,/newly installed/p' "$install_log"
grep -E '^(W|E): |[Ee]rror|[Ww]arning' "$install_log" || true
tail -n 3 "$install_log"
if [ "$status" -ne 0 ] || ! chroot "$root" dpkg-query -W -f='${Status}\n' kelvane | grep -q 'install ok installed'; then
  fail "install (apt-get status $status)"
  echo "== Nothing else can be checked without the package."
  exit 1
fi
pass "install"
in_root 'dpkg -L kelvane | grep -E "^/usr/(bin|lib/systemd|share/(applications|kelvane|man))/." '

# ---------------------------------------------------------------- man
echo
echo "== man: the manual page of kelvane-log"
# A minbase root, like Debian's container images, may tell dpkg to leave
# manual pages out; then man could not find them whatever the package does.
in_root 'ls /etc/dpkg/dpkg.cfg.d/ && grep -H "" /etc/dpkg/dpkg.cfg.d/* || true'
man_ok=1
if grep -qs '^path-exclude.*/usr/share/man' "$root"/etc/dpkg/dpkg.cfg.d/*; then
  echo "   This root excludes manual pages from every package (dpkg path-exclude above);"
  echo "   so only the package's list of them is checked here, not man itself."
  in_root 'dpkg -L kelvane | grep /man1/' || man_ok=0
else
  in_root 'dpkg -L kelvane | grep /man1/ | while read -r f; do ls -l "$f" || exit 1; done' || man_ok=0
  echo "[root]# man kelvane-log | head"
  page=$(chroot "$root" env MANWIDTH=80 man kelvane-log 2>&1) || man_ok=0
  printf '%s\n' "$page" | head
  [ -n "$page" ] || man_ok=0
  in_root 'man -w kelvane kelvane-sim' || man_ok=0
fi
if [ "$man_ok" = 1 ]; then pass "man"; else fail "man"; fi

# ---------------------------------------------------------------- menu
echo
echo "== menu: the desktop file's command, run by a new user"
# A new user with a fresh home, as on a technician's first start.
if chroot "$root" id tech >/dev/null 2>&1; then
  chroot "$root" userdel --remove tech 2>/dev/null || true
fi
fresh_user tech
in_root 'id tech && ls -A /home/tech'

menu_ok=1
desktop=$(chroot "$root" dpkg -L kelvane | grep -E '^/usr/share/applications/.*\.desktop$' | head -n 1 || true)
exec_line=""
if [ -n "$desktop" ]; then
  in_root "grep -E '^(Name|Exec|TryExec|Icon|Terminal)=' $desktop" || true
  # The command without the field codes (%f, %U, ...) a launcher replaces.
  exec_line=$(sed -n 's/^Exec=//p' "$root$desktop" | head -n 1 | sed -E 's/ ?%[fFuUdDnNickvm]//g')
fi
if [ -z "$exec_line" ]; then
  echo "   The package has no desktop file with an Exec= line."
  menu_ok=0
fi

port=$(free_port)
sim_out="$root/tmp/install-check/kelvane-sim-menu.out"
echo "[root]$ kelvane-sim --port $port &   (as tech)"
chroot "$root" setpriv --reuid=tech --regid=tech --init-groups --reset-env \
  kelvane-sim --port "$port" >"$sim_out" 2>&1 </dev/null &
sim=$!
if wait_for 20 "$sim" "simulator ready" sim_ready "$sim_out"; then
  cat "$sim_out"
else
  cat "$sim_out"
  menu_ok=0
fi

# run_menu LABEL: starts the menu's command as tech in the background; its
# process id in gui, its output in gui_out.
run_menu() {
  gui_out="$root/tmp/install-check/kelvane-$1.out"
  echo "[root]$ QT_QPA_PLATFORM=offscreen $exec_line /MODE=TCP /IP=127.0.0.1 /TCPPORT=$port &   (as tech, in ~)"
  # setpriv replaces itself with the command, and sh with the utility, so
  # that gui is the utility's own process id and SIGTERM reaches it.
  chroot "$root" setpriv --reuid=tech --regid=tech --init-groups --reset-env \
    env QT_QPA_PLATFORM=offscreen sh -c "cd && exec $exec_line /MODE=TCP /IP=127.0.0.1 /TCPPORT=$port" \
    >"$gui_out" 2>&1 </dev/null &
  gui=$!
}

# stop_menu: SIGTERM to the utility, then its exit status (124: still running
# after 20 s, then killed).
stop_menu() {
  echo "[host]# kill -TERM $gui   ($(cat "/proc/$gui/comm" 2>/dev/null || echo ended))"
  kill -TERM "$gui" 2>/dev/null || true
  local st=0
  if wait_for 20 "" "exit after SIGTERM" eval '! running $gui'; then
    wait "$gui" || st=$?
  else
    kill -KILL "$gui" 2>/dev/null || true
    wait "$gui" 2>/dev/null || true
    st=124
  fi
  echo "   exit status $st; its output:"
  sed 's/^/   | /' "$gui_out"
  return "$st"
}

if [ "$menu_ok" = 1 ]; then
  echo "-- first start: settings made, and saved on SIGTERM"
  run_menu first
  wait_for 30 "$gui" "~/.config/kelvane" test -d "$root/home/tech/.config/kelvane" || menu_ok=0
  stop_menu || menu_ok=0
  in_root 'ls -la /home/tech/.config/kelvane && cat /home/tech/.config/kelvane/kelvane.ini' || menu_ok=0

  echo "-- second start with logging on: a .csv log under ~/.local/share/kelvane"
  rm -rf "$root/home/tech/.config/kelvane" "$root/home/tech/.local/share/kelvane"
  mkdir -p "$root/home/tech/.config/kelvane"
  # Frequency and voltage A-N logged every second.
  printf '[Logging]\nEnabled=1\nFrequency=1\nParam8=1\nParam10=1\n' >"$root/home/tech/.config/kelvane/kelvane.ini"
  chroot "$root" chown -R tech:tech /home/tech/.config
  in_root 'cat /home/tech/.config/kelvane/kelvane.ini'
  run_menu logging
  # The header and at least one record.
  csv_written() { [ "$(cat "$root"/home/tech/.local/share/kelvane/*.csv 2>/dev/null | wc -l)" -ge 2 ]; }
  wait_for 30 "$gui" "a .csv log with a record" csv_written || menu_ok=0
  stop_menu || menu_ok=0
  in_root 'find /home/tech/.local/share/kelvane -type f -exec ls -l {} + && head -n 3 "$(find /home/tech/.local/share/kelvane -name "*.csv" | head -n 1)"' || menu_ok=0
fi
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
if [ "$menu_ok" = 1 ]; then pass "menu"; else fail "menu"; fi

# ---------------------------------------------------------------- unit
echo
port=$(free_port)
mkdir -p "$root/etc/kelvane"
printf '[Meter 1]\nLink=tcp:127.0.0.1:%s\nAddress=1\nFile=meter1.csv\n' "$port" >"$root/etc/kelvane/plant.ini"
# The instance's own switches, as an administrator gives them: a record
# every 2 s instead of every 60 s.
printf 'KELVANE_LOG_ARGS=--interval 2\n' >"$root/etc/kelvane/plant.args"
rm -rf "$root/var/lib/kelvane/plant"

# The check inside the root: a simulator, the unit (or, without systemd, its
# command), records in the state directory, then a clean stop.
cat >"$root/root/unit-check.sh" <<'EOF'
#!/bin/bash
# unit-check.sh PORT systemd|direct
set -u
port=$1 mode=$2
ok=1
csv=/var/lib/kelvane/plant/meter1.csv
running() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}
wait_for() {
  local limit=$1 what=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@"; do
    if [ "$SECONDS" -ge "$deadline" ]; then echo "   (no $what within $limit s)"; return 1; fi
    sleep 0.2
  done
  echo "   ($what after $((SECONDS - deadline + limit)) s)"
}
show() { echo "# $1"; bash -o pipefail -c "$1"; }
lines() { [ -f "$csv" ] && wc -l <"$csv" || echo 0; }

echo "# kelvane-sim --port $port &"
kelvane-sim --port "$port" >/run/kelvane-sim.out 2>&1 </dev/null &
sim=$!
wait_for 20 "simulator ready" grep -q "kelvane-sim listening on " /run/kelvane-sim.out || ok=0
cat /run/kelvane-sim.out
show 'cat /etc/kelvane/plant.ini /etc/kelvane/plant.args'

if [ "$mode" = systemd ]; then
  show 'ps -p 1 -o pid=,comm= && systemctl is-system-running || true'
  show 'systemctl start kelvane-log@plant' || ok=0
else
  # What systemd does for the unit, done by hand: its user and groups, its
  # state directory as working directory, its environment and umask, and
  # its command with %i and %S replaced.
  unit=/usr/lib/systemd/system/kelvane-log@.service
  show "grep -E '^(User|Group|SupplementaryGroups|Environment|EnvironmentFile|StateDirectory|WorkingDirectory|ExecStart|UMask)=' $unit"
  user=$(sed -n 's/^User=//p' $unit) group=$(sed -n 's/^Group=//p' $unit)
  groups=$(sed -n 's/^SupplementaryGroups=//p' $unit | tr ' ' ',')
  umask_=$(sed -n 's/^UMask=//p' $unit)
  exec_start=$(sed -n 's/^ExecStart=//p' $unit | sed -e 's/%i/plant/g' -e 's|%S|/var/lib|g')
  install -d -o "$user" -g "$group" -m 0755 /var/lib/kelvane /var/lib/kelvane/plant
  # A clean environment as systemd gives a service: its user's names and
  # home, PATH, then Environment= and the lines of EnvironmentFile=.
  home=$(getent passwd "$user" | cut -d: -f6)
  shell=$(getent passwd "$user" | cut -d: -f7)
  env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin "HOME=$home" "USER=$user" "LOGNAME=$user" "SHELL=$shell")
  while read -r line; do env+=("$line"); done < <(sed -n 's/^Environment=//p' $unit)
  envfile=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' $unit | sed 's/%i/plant/g')
  if [ -f "$envfile" ]; then
    while read -r line; do env+=("$line"); done < <(grep -vE '^[[:space:]]*(#|;|$)' "$envfile")
  fi
  echo "# cd /var/lib/kelvane/plant && setpriv --reuid=$user --regid=$group --groups=${groups:-$group} env -i ${env[*]} sh -c 'umask ${umask_:-0022}; exec $exec_start' &"
  (
    cd /var/lib/kelvane/plant || exit 1
    exec setpriv --reuid="$user" --regid="$group" --groups="${groups:-$group}" --inh-caps=-all \
      env -i "${env[@]}" sh -c "umask ${umask_:-0022}; exec $exec_start"
  ) >/run/kelvane-log.out 2>&1 </dev/null &
  logger=$!
fi

# Records arrive: the file appears, then grows.
has_lines() { [ "$(lines)" -ge 1 ]; }
if wait_for 60 "$csv" has_lines; then
  first=$(lines)
  grown() { [ "$(lines)" -gt "$first" ]; }
  wait_for 60 "more records in $csv" grown || ok=0
else
  ok=0
fi
show "ls -l $csv && head -n 3 $csv"

if [ "$mode" = systemd ]; then
  show 'systemctl status kelvane-log@plant --no-pager --lines=10 || true'
  show 'systemctl stop kelvane-log@plant' || ok=0
  show 'systemctl show -p ActiveState,Result,ExecMainStatus kelvane-log@plant'
  [ "$(systemctl show -p Result --value kelvane-log@plant)" = success ] || ok=0
  show 'journalctl -u kelvane-log@plant --no-pager | tail -n 10'
else
  echo "# kill -TERM $logger"
  kill -TERM "$logger"
  if wait_for 10 "exit after SIGTERM" eval '! running $logger'; then
    st=0; wait "$logger" || st=$?
    echo "   exit status $st"
    # As for systemd, ending by the stop signal itself is a clean stop.
    [ "$st" = 0 ] || [ "$st" = 143 ] || ok=0
  else
    ok=0
  fi
  sed 's/^/   | /' /run/kelvane-log.out
fi
kill "$sim" 2>/dev/null
[ "$ok" = 1 ]
EOF

unit_ok=1
if [ "$unit_mode" = nspawn ]; then
  echo "== unit: kelvane-log@plant under systemd (the root booted with systemd-nspawn)"
  # A unit of the booted system runs the check once the system is up, and
  # its exit status ends the container with that status.
  cat >"$root/etc/systemd/system/kelvane-install-check.service" <<'EOF'
[Unit]
Description=install-check: kelvane-log@plant under systemd
After=multi-user.target
SuccessAction=exit-force
FailureAction=exit-force

[Service]
Type=oneshot
ExecStart=/bin/bash /root/unit-check.sh PORT systemd
StandardOutput=journal+console
StandardError=journal+console
EOF
  sed -i "s/PORT/$port/" "$root/etc/systemd/system/kelvane-install-check.service"
  mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
  ln -sf ../kelvane-install-check.service "$root/etc/systemd/system/multi-user.target.wants/"
  # systemd-nspawn mounts its own /proc, /sys and /dev in the container.
  fresh_unmount
  boot_out=/tmp/install-check-boot.$$.log
  echo "[host]# systemd-nspawn --boot --register=no --keep-unit --console=read-only -D $root"
  systemd-nspawn --boot --register=no --keep-unit --console=read-only --quiet -D "$root" \
    </dev/null >"$boot_out" 2>&1 &
  nspawn_pid=$!
  st=0
  if wait_for 300 "" "container exit" eval '! running $nspawn_pid'; then
    wait "$nspawn_pid" || st=$?
  else
    fresh_before_cleanup
    st=124
  fi
  nspawn_pid=""
  # The container's console, without the terminal's control sequences.
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r$//' "$boot_out" | sed 's/^/   | /'
  rm -f "$boot_out"
  echo "   systemd-nspawn exit status $st"
  [ "$st" = 0 ] || unit_ok=0
  rm -f "$root/etc/systemd/system/multi-user.target.wants/kelvane-install-check.service" \
    "$root/etc/systemd/system/kelvane-install-check.service"
  fresh_mount
else
  echo "== unit: without systemd as PID 1: the unit checked by systemd-analyze, its command run as systemd would"
  in_root 'systemd-analyze verify /usr/lib/systemd/system/kelvane-log@.service && echo verified' || unit_ok=0
  in_root "bash /root/unit-check.sh $port direct" || unit_ok=0
fi
rm -f "$root/root/unit-check.sh"
if [ "$unit_ok" = 1 ]; then pass "unit"; else fail "unit"; fi

# ---------------------------------------------------------------- remove
echo
echo "== remove: dpkg -r, then apt-get purge"
remove_ok=1
# run_clean COMMAND: runs it in the root; fails on its status or on any
# error or warning in its output.
run_clean() {
  local out
  out=$(in_root "$1" 2>&1) || remove_ok=0
  printf '%s\n' "$out"
  if printf '%s\n' "$out" | grep -iE 'error|warning|^E:' >/dev/null; then remove_ok=0; fi
}
run_clean 'dpkg -r kelvane'
# dpkg -r keeps a package's conffiles; with none it forgets the package
# at once, and there is nothing left for a purge.
if chroot "$root" dpkg-query -W -f='${Status}' kelvane 2>/dev/null | grep -q config-files; then
  run_clean 'DEBIAN_FRONTEND=noninteractive apt-get purge -y kelvane'
else
  echo "   (dpkg -r left nothing of kelvane for apt-get purge: the package has no conffiles)"
fi
# What the package pulled in goes too, so that a kept root is as it was
# before the install and the next run installs every dependency again.
run_clean 'DEBIAN_FRONTEND=noninteractive apt-get autoremove --purge -y | tail -n 1'
in_root 'dpkg-query -W -f="\${Status}\n" kelvane 2>&1; ls /usr/bin/kelvane* /usr/lib/systemd/system/kelvane-log@.service 2>&1 || true'
[ ! -e "$root/usr/bin/kelvane" ] || remove_ok=0
# What stays by design: the system user and the logger's state directory.
in_root 'getent passwd kelvane; ls -la /var/lib/kelvane 2>&1 || true'

rm -rf "$root/etc/kelvane/plant.ini" "$root/etc/kelvane/plant.args" "$root/tmp/install-check"
if [ "$remove_ok" = 1 ]; then pass "remove"; else fail "remove"; fi

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "== install check FAILED after $((SECONDS - start)) s: ${failed[*]}"
  exit 1
fi
echo "== install check passed after $((SECONDS - start)) s"
