#!/usr/bin/env bash
# Boots this machine's systemd as PID 1 in namespaces of its own, over a throwaway copy-on-write
# view of /, installs the package there with dpkg -i, as a user does, and checks what the README,
# systemd/README.md and the manual pages promise about the service and socket units. Needs root,
# after packaging/build-package.sh; leaves the host untouched and tears the machine down however
# it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(portkit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build/debian/portkit_${version}_$(dpkg --print-architecture).deb
readme=README.md
units_page=systemd/README.md  # the units' drop-ins and commands
base=$(mktemp -d /tmp/portkit-units-XXXXXX)
said=$(mktemp /tmp/portkit-units-peer-XXXXXX)  # what a peer in the background says
queued_said=$said.queued                       # and a second one, queued behind it
boot_log=$(mktemp /tmp/portkit-units-boot-XXXXXX)
machine=  # the booted systemd's pid, as the host sees it
failures=0

teardown() {
  if [ -n "${watchdog:-}" ]; then
    kill "$watchdog" 2>/dev/null || true
  fi
  if [ -n "$machine" ]; then
    kill -KILL "$machine" 2>/dev/null || true
  fi
  if [ -n "${next_builder:-}" ]; then
    kill "$next_builder" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  rmdir "$base" 2>/dev/null || true
  rm -rf "$said" "$queued_said" "$said.faults" "$boot_log" "${next_tree:+${next_tree%/*}}" "${next_log:-}"
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

# Runs in the new namespaces: the overlay whose lower layer is / holds every change in memory;
# only the project's units are enabled there, and no policy-rc.d of a container image forbids
# the maintainer scripts to stop them, as on a user's machine.
boot_script='
  set -e
  mount -t tmpfs tmpfs "$1"
  mkdir "$1/upper" "$1/work" "$1/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$1/upper,workdir=$1/work" "$1/root"
  root=$1/root
  mount -t proc proc "$root/proc"
  mount --bind "$root/proc/sys" "$root/proc/sys"
  mount -o remount,bind,ro "$root/proc/sys"
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  rm -f "$root"/etc/systemd/system/*.wants/* "$root/usr/sbin/policy-rc.d"
  exec chroot "$root" /usr/bin/env -i container=other /lib/systemd/systemd --system \
    --unit=multi-user.target --log-target=journal'

inside() {
  nsenter -t "$machine" -m -p -n -u -i -C -r -w "$@"
}

# A client of unit-peer.py inside the machine; its one line of result on standard output.
peer() {
  inside timeout "${peer_seconds:-60}" python3 - "$@" <packaging/unit-peer.py
}

# Runs a command every 0.05 s until it succeeds, for at most `seconds`; false if it never does.
wait_for() {  # seconds, command...
  local tries=$(($1 * 20))
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# Starts a peer in the background and waits for its first line (not the last peer's: the file is
# emptied first).
background_peer() {
  : >"$said"
  (peer "$@" >>"$said") 2>/dev/null &
  peer_pid=$!
  wait_for 5 test -s "$said" || true
}

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

expect() {  # what, got, wanted
  if [ "$2" = "$3" ]; then echo "  ok: $1"; else fail "$1: got '$2', wanted '$3'"; fi
}

boot() {
  unshare --pid --fork --mount --net --uts --ipc --cgroup --propagation private \
    bash -c "$boot_script" _ "$base" 2>"$boot_log" &
  local launcher=$!
  for _ in $(seq 100); do
    machine=$(pgrep -P "$launcher" || true)
    [ -n "$machine" ] && [ "$(cat "/proc/$machine/comm" 2>/dev/null)" = systemd ] && break
    sleep 0.1
  done
  if [ -z "$machine" ] || [ "$(cat "/proc/$machine/comm" 2>/dev/null)" != systemd ]; then
    echo "check-units: systemd did not start as PID 1 in new namespaces: $(tail -n 1 "$boot_log")"
    exit 1
  fi
  local state
  for _ in $(seq 100); do  # until the manager's bus is up
    state=$(inside timeout 60 systemctl is-system-running --wait 2>&1 || true)
    [[ $state == "Failed to connect"* ]] || break
    sleep 0.1
  done
  if [ "$state" != running ]; then
    echo "check-units: the booted manager is '$state', not running"; exit 1
  fi
  inside ip link set lo up
  inside sh -c 'cat >/tmp/portkit.deb && dpkg -i /tmp/portkit.deb >/dev/null' <"$deb"
}

active() { inside systemctl is-active "$@" 2>/dev/null || true; }
unit_is() { [ "$(active "$1")" = "$2" ]; }
size_is() { [ "$(inside stat -c %s "$1" 2>/dev/null)" = "$2" ]; }
sink_journal() { inside journalctl -q -o cat -u portkit-sink.service -g "$1" || true; }
sink_journal_has() { [ -n "$(sink_journal "$1")" ]; }
# The units page's indented block that begins with the line "    HEADER", without its indent.
units_page_block() {
  awk -v first="    $1" '$0 == first {on = 1} on && /^$/ {exit} on {sub(/^    /, ""); print}' \
    "$units_page"
}
failed_units() { inside systemctl list-units --failed --plain --no-legend | awk '{print $1}'; }
# The README's and manual pages' request and answer for each server.
ask_server() {
  case $1 in
    tally) peer ask 127.0.0.1 '2 + 3' 13 ;;
    glyphs) peer ask 127.0.0.1 'a' 8 ;;
    *) peer ask 127.0.0.1 'hola' 4 ;;
  esac
}
answer_of() {
  case $1 in
    tally) echo "b'Resultado: 5\\x00'" ;;
    glyphs) echo "b' !\"#\$%&\\''" ;;
    mirror) echo "b'hola'" ;;
    *) echo "b''" ;;
  esac
}

# Every kind of switch: each new unit active at once, the old one inactive, nothing failed.
scenario_switches() {
  echo "switching servers"
  local previous="" unit server
  for unit in tally.service glyphs.service mirror.socket drain.socket sink.service \
    tally.socket; do
    server=${unit%.*}
    inside systemctl start "portkit-$unit" || true
    expect "start portkit-$unit after ${previous:-nothing}: active" "$(active "portkit-$unit")" \
      active
    if [ -n "$previous" ]; then
      expect "portkit-$previous stopped" \
        "$(active "portkit-$previous" "portkit-${previous%.*}.service" | sort -u)" inactive
    fi
    expect "no failed unit" "$(failed_units)" ""
    if [ "$server" != sink ] && [ "$server" != drain ]; then
      expect "$server answers" "$(ask_server "$server")" "$(answer_of "$server")"
    fi
    previous=$unit
  done
  inside systemctl stop portkit-tally.socket portkit-tally.service
}

# A server's socket unit does not start, nor restart, while that server's own service holds the
# port: it fails at once, saying why, and leaves nothing failed. A start leaves the service as it
# was; a restart restarts the service all the same (PartOf=), which hands its clients on.
scenario_own_socket() {
  echo "a server's socket beside its service"
  inside systemctl start portkit-tally.service || true
  local command status error before after held
  for command in start restart; do
    before=$(inside systemctl show -P MainPID portkit-tally.service)
    background_peer hold 127.0.0.1 '2 + 3' 13 3
    held=$peer_pid
    said=$queued_said background_peer queue 127.0.0.1 '7 + 1'
    if error=$(inside systemctl "$command" portkit-tally.socket 2>&1); then
      status=0
    else
      status=$?
    fi
    after=$(inside systemctl show -P MainPID portkit-tally.service)
    expect "systemctl $command portkit-tally.socket while tally.service runs alone: refused" \
      "$status $(active portkit-tally.socket) $error" \
      "1 inactive Assertion failed on job for portkit-tally.socket."
    expect "its status says why" "$(inside systemctl status portkit-tally.socket |
      grep -c 'AssertPathExists=!/run/portkit-tally-running was not met')" 1
    expect "no failed unit" "$(failed_units)" ""
    if [ "$command" = start ]; then
      expect "tally.service untouched: the same process" "$after" "$before"
    else
      expect "tally.service restarted with it: a new process" \
        "$([ "$after" != "$before" ] && [ "$after" != 0 ] && echo yes)" yes
    fi
    wait "$held" "$peer_pid" || true
    expect "the client being served, still connected" "$(sed -n 2p "$said")" \
      "b'Resultado: 5\\x00' open"
    expect "the client queued, answered" "$(sed -n 2p "$queued_said")" \
      "b'Resultado: 8\\x00' clean"
    expect "tally.service still serving" "$(ask_server tally)" "$(answer_of tally)"
  done
  inside systemctl stop portkit-tally.service || true
  inside systemctl start portkit-tally.socket || true
  expect "tally.socket once the service is stopped" "$(active portkit-tally.socket)" active
  inside systemctl stop portkit-tally.socket portkit-tally.service || true
}

# Without the drop-in, sink's bytes are journal records, split at line feeds; the bytes after the
# last line feed are logged when the service stops.
scenario_journal() {
  echo "the journal"
  inside systemctl start portkit-sink.service || true
  peer send 127.0.0.1 $'first line\nrest' 1 >/dev/null
  wait_for 5 sink_journal_has 'first line' || true
  expect "a record up to the line feed" "$(sink_journal 'first line')" "first line"
  expect "the rest not yet" "$(sink_journal rest)" ""
  inside systemctl stop portkit-sink.service || true
  wait_for 5 sink_journal_has rest || true
  expect "the rest once the service stops" "$(sink_journal rest)" rest
}

# The client whose connection starts a server is served with the server's own options.
scenario_activation() {
  echo "socket activation"
  inside systemctl start portkit-mirror.socket
  expect "first client's urgent byte echoed in place" "$(peer ask 127.0.0.1 ab 5 '' '!')" "b'ab!cd'"
  expect "mirror.service started by it" "$(active portkit-mirror.service)" active
  inside systemctl stop portkit-mirror.socket portkit-mirror.service
}

# The [Service] drop-in that a page gives, and the file it says to write it to, as the page has
# them (a manual page's escapes undone), for `server` in place of sink.
# (Each reads all of its input: a reader that stops early would end a writer with SIGPIPE.)
page_dropin() {  # page, server
  sed -e 's/^    //' -e 's/\\-/-/g' "$1" |
    awk '$0 == "[Service]" && !done {on = 1} on && ($0 == ".RE" || $0 == "") {on = 0; done = 1}
      on {print}' | sed "s/sink/$2/g"
}
page_dropin_path() {  # page, server
  sed 's/\\-/-/g' "$1" |
    awk 'match($0, /\/etc\/systemd\/system\/portkit-sink\.service\.d\/[a-z]*\.conf/) && !found {
      print substr($0, RSTART, RLENGTH); found = 1}' | sed "s/sink/$2/g"
}
# Writes standard input to the drop-in file `path` in the machine and reloads the manager.
write_dropin() {  # path
  inside sh -c "mkdir -p ${1%/*} && cat >$1 && systemctl daemon-reload"
}
apply_dropin() {  # page, server
  page_dropin "$1" "$2" | write_dropin "$(page_dropin_path "$1" "$2")"
}

# The drop-in of the units page and of sink's manual page, each written where the page says: sink's
# exact bytes in its file, and drain's under drain's name.
scenario_dropin() {
  local page server file
  for page in "$units_page" man/sink.1; do
    echo "the drop-in of $page"
    [ -n "$(page_dropin "$page" sink)" ] && [ -n "$(page_dropin_path "$page" sink)" ] ||
      fail "$page has no [Service] drop-in and file for it"
    for server in sink drain; do
      file=$(page_dropin "$page" "$server" | sed -n "s/^StandardOutput=append://p")
      inside rm -rf "$file" "/etc/systemd/system/portkit-$server.service.d"
      apply_dropin "$page" "$server"
      inside systemctl start "portkit-$server.socket" || true
      peer send 127.0.0.1 $'exact\nbytes\x01' 1 >/dev/null
      peer send 127.0.0.1 'more' 1 >/dev/null
      wait_for 5 size_is "$file" 16 || true
      expect "$server's bytes in $file" "$(inside od -An -c "$file" | tr -s ' ')" \
        " e x a c t \n b y t e s 001 m o r e"
      expect "$file owned by root, mode 600" "$(inside stat -c '%U %a' "$file")" "root 600"
      inside systemctl stop "portkit-$server.socket" "portkit-$server.service" || true
    done
  done
}

# A stop with a client connected, and with one streaming, ends within its bound, cleanly.
scenario_stop() {
  echo "stops"
  local server started took
  for server in tally mirror; do
    inside systemctl start "portkit-$server.service" || true
    if [ "$server" = tally ]; then
      background_peer hold 127.0.0.1 '1+1' 13 30
    else
      background_peer stream 127.0.0.1 30
    fi
    started=$(date +%s)
    inside systemctl stop "portkit-$server.service" || true
    took=$(($(date +%s) - started))
    [ "$took" -le 110 ] || fail "stopping $server took $took s"
    expect "$server stopped, its client $(sed -n 1p "$said"): result" \
      "$(inside systemctl show -P Result "portkit-$server.service")" success
    wait "$peer_pid" || true
    # Neither had ended its side: a reset once every answer is acknowledged, never a clean end.
    if [ "$server" = tally ]; then
      expect "the connected client's end" "$(sed -n 2p "$said")" "b'Resultado: 2\\x00' reset"
    else
      expect "the streaming client's end" "$(sed -n 2p "$said" | cut -d' ' -f1-2)" "reset exact"
    fi
  done
}

# Loopback only, for a service and for a socket unit, until the units page's set-property opens it.
# The rule in force is always the unit's, whatever restarts came before: the service restarted
# twice (its port carried and taken over) still drops the client, opened it admits it at once and
# after a restart, and reverted and restarted it drops it again.
scenario_loopback_only() {
  echo "loopback only"
  local extra=192.0.2.1 command unit service
  inside ip address add "$extra/32" dev lo
  while read -r command; do
    unit=$(echo "$command" | awk '{print $4}')
    service=${unit%.*}.service
    inside systemctl start "$unit" || true
    if [ "$unit" = "$service" ]; then
      inside systemctl restart "$service"
      inside systemctl restart "$service"
    fi
    expect "$unit, a client from $extra: dropped" "$(peer ask $extra hola 0 $extra)" dropped
    expect "$unit, a client from 127.0.0.1: connected" "$(peer ask 127.0.0.1 hola 0)" "b''"
    # shellcheck disable=SC2086
    inside ${command#sudo }
    expect "$unit opened, a client from $extra: connected" "$(peer ask $extra hola 0 $extra)" "b''"
    if [ "$unit" = "$service" ]; then
      inside systemctl restart "$service"
      expect "restarted, still open" "$(peer ask $extra hola 0 $extra)" "b''"
      inside systemctl revert "$unit" >/dev/null 2>&1
      inside systemctl restart "$service"
      expect "reverted and restarted: dropped" "$(peer ask $extra hola 0 $extra)" dropped
    fi
    inside systemctl stop "$unit" "$service" || true
    inside systemctl revert "$unit" >/dev/null 2>&1
  done < <(sed -n 's/^    \(sudo systemctl set-property .* IPAddressAllow=any\)$/\1/p' \
    "$units_page")
  inside ip address del "$extra/32" dev lo
}

# A unit written by hand (here by systemd-run) that waits for READY=1 but keeps no descriptors:
# a stop does what a stop by hand does. The served client, silent, is reset; the one queued behind
# it, which sent and ended its side, is served to a clean end; nothing is given to a store.
scenario_hand_written_unit() {
  echo "a hand-written notify unit without a descriptor store"
  inside systemd-run -q --unit=portkit-by-hand -p Type=notify /usr/bin/mirror
  background_peer hold 127.0.0.1 hola 4 30
  said=$queued_said background_peer queue 127.0.0.1 hola
  inside systemctl stop portkit-by-hand
  wait "$peer_pid" || true
  expect "the served client" "$(sed -n 2p "$said")" "b'hola' reset"
  expect "the client queued" "$(sed -n 2p "$queued_said")" "b'hola' clean"
  expect "nothing sent to a store" \
    "$(inside journalctl -q -u portkit-by-hand -g 'store' -o cat | wc -l)" 0
}

# Clients connected to the port, served or queued.
clients_connected() {
  [ "$(inside ss -Htn state established '( dport = :12345 )' | wc -l)" -ge "$1" ]
}

# A socket unit and a plain service of the user's own (no store): a socket unit names what it
# passes, so the server leaves the queue to it. At a restart of the service the client served is
# ended as by hand (its echo, then a reset), and the client queued behind it is served by the next
# instance, and kept.
scenario_own_socket_unit() {
  echo "a hand-written socket unit before a plain service"
  local queued
  printf '[Socket]\nListenStream=12345\n' | write_dropin /etc/systemd/system/portkit-own.socket
  printf '[Service]\nExecStart=/usr/bin/mirror\n' |
    write_dropin /etc/systemd/system/portkit-own.service
  inside systemctl start portkit-own.socket
  background_peer hold 127.0.0.1 hola 4 30
  : >"$queued_said"
  (peer hold 127.0.0.1 hola 4 2 >>"$queued_said") 2>/dev/null &
  queued=$!
  wait_for 5 clients_connected 2 || true
  inside systemctl restart portkit-own.service
  wait "$queued" || true
  expect "the served client" "$(sed -n 2p "$said")" "b'hola' reset"
  expect "the client queued: served by the next instance, not cut" "$(sed -n 2p "$queued_said")" \
    "b'hola' open"
  inside systemctl stop portkit-own.socket portkit-own.service
  inside rm /etc/systemd/system/portkit-own.socket /etc/systemd/system/portkit-own.service
  inside systemctl daemon-reload
}

# What an older release leaves in /run blocks no start, and stops nothing: with 1.0.0's marker for
# sink left beside tally's service running, sink's socket starts (tally stopped, as any switch
# does) and takes clients. (A marker of this release's left by a downgrade: the purge scenario.)
scenario_trace() {
  echo "a trace in /run"
  inside systemctl start portkit-tally.service
  inside mkdir -p /run/portkit-sink.service-is-running
  inside systemctl start portkit-sink.socket || fail "systemctl start portkit-sink.socket"
  expect "beside 1.0.0's marker: sink.socket started, tally stopped" \
    "$(active portkit-sink.socket) $(active portkit-tally.service)" "active inactive"
  expect "sink takes a client" "$(peer ask 127.0.0.1 hola 0)" "b''"
  expect "no failed unit" "$(failed_units)" ""
  inside systemctl stop portkit-sink.socket portkit-sink.service
}

# A connection of the server's has bytes of its client's unread (`unread`), or none (`read`).
server_has() {
  inside ss -Htn state established '( sport = :12345 )' |
    awk -v want="$1" '($1 > 0) == (want == "unread") {found = 1} END {exit !found}'
}

# The server has read all its client sent.
request_taken() {
  server_has read
}

# glyphs asleep with prompts of its client unread: blocked writing an answer its client does not
# take.
answer_blocked() {
  local pid
  pid=$(inside systemctl show -P MainPID portkit-glyphs.service)
  [ "$(inside awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = S ] && server_has unread
}

# Times `count` restarts of `unit` back to back: ms each, one a line, sorted.
restart_times() {  # unit, count
  local began
  for _ in $(seq "$2"); do
    began=$(date +%s%N)
    inside systemctl restart "$1"
    echo $((($(date +%s%N) - began) / 1000000))
  done | sort -n
}
median_of() { awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# Nine restarts of glyphs in a row while its client reads nothing (a small window, its prompts
# queued, the server blocked mid-answer, for the machine's send buffers are kept to 128 KiB here),
# alone and under the socket: none waits on the client, and the client, reading afterwards, gets
# every byte owed, each burst whole. In the same run, for the page: the manager's own floor (the
# service with a program that does nothing in the server's place, the sandbox the same) and tally
# with an idle client.
scenario_unread_answers() {
  echo "restarts while the client reads nothing, against the manager's floor"
  local unit times buffers floor alone idle
  printf '[Service]\nType=simple\nExecStart=\nExecStart=/bin/sleep 600\n' |
    write_dropin /etc/systemd/system/portkit-tally.service.d/floor.conf
  inside systemctl start portkit-tally.service
  floor=$(restart_times portkit-tally.service 9 | median_of)
  inside systemctl stop portkit-tally.service
  inside rm -r /etc/systemd/system/portkit-tally.service.d
  inside systemctl daemon-reload
  inside systemctl start portkit-tally.service
  alone=$(restart_times portkit-tally.service 9 | median_of)
  background_peer hold 127.0.0.1 '1+1' 13 60
  idle=$(restart_times portkit-tally.service 9 | median_of)
  kill "$peer_pid" 2>/dev/null || true
  inside systemctl stop portkit-tally.service
  buffers=$(nsenter -t "$machine" -n sysctl -n net.ipv4.tcp_wmem)
  nsenter -t "$machine" -n sysctl -qw net.ipv4.tcp_wmem="4096 16384 131072"
  for unit in portkit-glyphs.service portkit-glyphs.socket; do
    inside systemctl start "$unit"
    inside rm -f /tmp/portkit-read
    peer_seconds=200 background_peer unread 127.0.0.1 1000 /tmp/portkit-read
    wait_for 10 answer_blocked || fail "$unit: glyphs never blocked on its answer"
    times=$(restart_times portkit-glyphs.service 9)
    inside touch /tmp/portkit-read  # the client reads from now on
    echo "  $unit, the client reading nothing: restarts of $(echo "$times" | xargs) ms;" \
      "medians: this $(echo "$times" | median_of), a unit doing nothing $floor, tally without" \
      "a client $alone, with an idle client $idle"
    expect "$unit: no restart waited on the client" \
      "$(echo "$times" | tail -n 1 | awk '{print ($1 < 3000) ? "yes" : "no"}')" yes
    wait "$peer_pid" || true
    expect "$unit: every answer owed, each burst whole" "$(sed -n 2p "$said")" "1000000 whole"
    inside systemctl stop portkit-glyphs.socket portkit-glyphs.service
  done
  nsenter -t "$machine" -n sysctl -qw net.ipv4.tcp_wmem="$buffers"
}

# A server that cannot bind: its start fails, saying why, and after a few tries it is left failed
# rather than restarting for ever, its status still saying why.
scenario_cannot_bind() {
  echo "port held by another program"
  background_peer listen
  local started status
  started=$(date +%s)
  if inside systemctl start portkit-mirror.service 2>/dev/null; then status=0; else status=$?; fi
  expect "systemctl start fails" "$([ "$status" != 0 ] && echo yes)" yes
  wait_for 30 unit_is portkit-mirror.service failed || true  # between tries, "activating"
  expect "mirror.service left failed after $(inside systemctl show -P NRestarts \
    portkit-mirror.service) restarts in $(($(date +%s) - started)) s" \
    "$(active portkit-mirror.service)" failed
  expect "its status says why" "$(inside systemctl show -P StatusText portkit-mirror.service)" \
    "mirror: bind: Address already in use"
  expect "systemctl status shows it" \
    "$(inside systemctl status portkit-mirror.service | grep -c 'Status: "mirror: bind: Address')" 1
  inside pkill -f 'python3 - listen' || true
  wait "$peer_pid" 2>/dev/null || true
  inside systemctl reset-failed
  # Held for a second only: the start fails, a retry takes the port.
  peer_seconds=1 background_peer listen
  inside systemctl start portkit-mirror.service 2>/dev/null || true
  wait_for 10 unit_is portkit-mirror.service active || true
  expect "the port held for a second: mirror.service active after $(inside systemctl show -P \
    NRestarts portkit-mirror.service) restarts" "$(active portkit-mirror.service)" active
  wait "$peer_pid" 2>/dev/null || true
  inside systemctl stop portkit-mirror.service
}

# A sink whose output fails: alone, its status says why; under the socket unit each client that
# loses its bytes is reset, and the start limit stops the socket, so later clients are refused.
scenario_failing_output() {
  echo "sink's output failing"
  printf '[Service]\nStandardOutput=file:/dev/full\nStandardError=journal\n' |
    write_dropin /etc/systemd/system/portkit-sink.service.d/full.conf
  inside systemctl start portkit-sink.service
  expect "the service alone: the client" "$(peer ask 127.0.0.1 lost 1)" reset
  # Restarted at once: status shows the new server; the journal keeps the reason.
  wait_for 10 unit_is portkit-sink.service active || true
  expect "restarted, its status" "$(inside systemctl show -P NRestarts portkit-sink.service) $(
    inside systemctl status portkit-sink.service | grep -o 'active (running)')" "1 active (running)"
  expect "journalctl -u says why" "$(inside journalctl -q -o cat -u portkit-sink.service \
    -g '^sink: |exited, code')" "sink: standard output: No space left on device
portkit-sink.service: Main process exited, code=exited, status=1/FAILURE"
  inside systemctl stop portkit-sink.service
  inside systemctl start portkit-sink.socket
  # Two clients in turn at once, so that one always waits as the unit restarts the server: the
  # unit's own pace of starts meets its limit, whatever each client adds to it.
  local turns=/tmp/portkit-turns workers=() worker
  for worker in 1 2; do
    (for _ in $(seq 30); do
      peer ask 127.0.0.1 lost 1
      [ "$(tail -n 1 "$turns.$worker")" = refused ] && break
    done >"$turns.$worker") 2>/dev/null &
    workers+=($!)
  done
  wait "${workers[@]}" || true
  echo "  clients in turn: $(cat "$turns".* | uniq -c | xargs)"
  expect "the first client" "$(head -n 1 "$turns.1")" reset
  expect "the last clients" "$(tail -q -n 1 "$turns".* | xargs)" "refused refused"
  rm -f "$turns".*
  inside rm -r /etc/systemd/system/portkit-sink.service.d
  inside systemctl daemon-reload
  inside systemctl stop portkit-sink.socket portkit-sink.service
  inside systemctl reset-failed
}

# A server that dies at every start is retried, then left failed, its status saying how it died.
scenario_dies_at_start() {
  echo "a server killed at every start"
  printf '[Service]\nExecStart=\nExecStart=/bin/sh -c "kill -SEGV $$$$"\n' |
    write_dropin /etc/systemd/system/portkit-glyphs.service.d/die.conf
  local started
  started=$(date +%s)
  inside systemctl start portkit-glyphs.service 2>/dev/null || true
  wait_for 30 unit_is portkit-glyphs.service failed || true
  expect "glyphs.service failed after $(inside systemctl show -P NRestarts \
    portkit-glyphs.service) restarts in $(($(date +%s) - started)) s" \
    "$(active portkit-glyphs.service)" failed
  expect "systemctl status shows how it died" "$(inside systemctl status \
    portkit-glyphs.service | grep -c 'signal=SEGV' | awk '{print ($1 > 0)}')" 1
  inside rm -r /etc/systemd/system/portkit-glyphs.service.d
  inside systemctl daemon-reload
  inside systemctl reset-failed
}

# The units page's drop-in for IPv6 clients: a socket unit listening on both families serves them.
scenario_ipv6() {
  echo "IPv6 through the socket unit"
  local dropin
  dropin=$(units_page_block '[Socket]')
  [ -n "$dropin" ] || fail "$units_page has no [Socket] drop-in"
  printf '%s\n' "$dropin" | write_dropin /etc/systemd/system/portkit-tally.socket.d/ipv6.conf
  inside systemctl start portkit-tally.socket || true
  expect "tally over ::1" "$(peer ask ::1 '2 + 3' 13)" "$(answer_of tally)"
  inside ip address add 2001:db8::1/128 dev lo nodad
  expect "tally over IPv6 from 2001:db8::1: dropped" "$(peer ask 2001:db8::1 hola 0 2001:db8::1)" \
    dropped
  inside systemctl set-property --runtime portkit-tally.socket IPAddressAllow=any
  expect "and once opened, connected" "$(peer ask 2001:db8::1 hola 0 2001:db8::1)" "b''"
  inside ip address del 2001:db8::1/128 dev lo
  expect "tally over 127.0.0.1" "$(ask_server tally)" "$(answer_of tally)"
  inside systemctl stop portkit-tally.socket portkit-tally.service 2>/dev/null || true
  inside rm -r /etc/systemd/system/portkit-tally.socket.d
  inside systemctl revert portkit-tally.socket >/dev/null 2>&1
  inside systemctl daemon-reload
}

# The exposure that systemd-analyze gives each loaded service, at most 1.4 ("OK").
scenario_security() {
  echo "sandbox"
  local server score
  for server in tally glyphs mirror sink drain; do
    score=$(inside systemd-analyze security "portkit-$server.service" |
      awk '/Overall/ {print $(NF-2)}')
    expect "portkit-$server.service exposure $score, at most 1.4" \
      "$(awk -v s="$score" 'BEGIN {print (s != "" && s <= 1.4) ? "yes" : "no"}')" yes
  done
}

# Purged with units enabled, running and opened: nothing is left; a reinstall enables nothing. A
# marker left in /run goes at the removal and the purge, and at an install where its service is
# not running; a running service's stays. Each is left as the manager leaves one where a unit that
# does not name it stopped its service (an upgrade from 1.0.0, a downgrade to it): a link in /run
# and the directory behind it in /run/private.
scenario_purge() {
  echo "purge"
  local leave='mkdir -p -m 0700 /run/private && mkdir -p "/run/private/$0" &&
    ln -sfn "private/$0" "/run/$0"'
  local traces='ls -d /run/portkit-* /run/private/portkit-* 2>/dev/null'
  inside systemctl enable --now portkit-tally.socket 2>/dev/null
  inside sh -c "$leave" portkit-tally.service-is-running
  inside dpkg -r portkit >/dev/null 2>&1
  expect "removed: nothing left in /run" "$(inside sh -c "$traces")" ""
  inside sh -c "$leave" portkit-sink-running  # as a downgrade to a release that keeps it leaves it
  inside dpkg -i /tmp/portkit.deb >/dev/null
  expect "sink's marker left behind, removed by the install" "$(inside sh -c "$traces")" ""
  expect "removed and installed again: tally.socket" \
    "$(inside systemctl is-enabled portkit-tally.socket) $(active portkit-tally.socket)" \
    "enabled inactive"
  inside systemctl start portkit-mirror.service
  inside sh -c "$leave" portkit-glyphs-running
  inside dpkg -i /tmp/portkit.deb >/dev/null
  expect "installed again with mirror.service running: its marker kept, glyphs' removed" \
    "$(inside sh -c "$traces" | tr '\n' ' ')" \
    "/run/portkit-mirror-running /run/private/portkit-mirror-running "
  inside systemctl stop portkit-mirror.service
  inside systemctl start portkit-tally.socket
  inside systemctl set-property portkit-tally.socket IPAddressAllow=any
  expect "tally answers before the purge" "$(ask_server tally)" "$(answer_of tally)"
  inside sh -c "$leave" portkit-tally.service-is-running
  inside sh -c "$leave" portkit-glyphs-running
  inside dpkg --purge portkit >/dev/null 2>&1
  expect "nothing left in /run" "$(inside sh -c "$traces")" ""
  expect "no server after the purge" "$(ask_server tally)" refused
  expect "no process left" "$(inside pgrep -f /usr/bin/tally || true)" ""
  expect "no link or drop-in left" "$(inside find /etc/systemd -name 'portkit-*')" ""
  inside dpkg -i /tmp/portkit.deb >/dev/null
  expect "a reinstall enables nothing" \
    "$(inside systemctl is-enabled portkit-tally.socket portkit-tally.service | sort -u)" disabled
}

runs_program() { [ "$(inside cat "/proc/$1/comm" 2>/dev/null)" = "$2" ]; }  # pid, name
# The lines of /proc/PID/status in the machine that tell a process's confinement.
confinement_of() {  # pid
  inside awk '/^(NoNewPrivs|Seccomp|Seccomp_filters):/ {printf "%s %s ", $1, $2}' "/proc/$1/status"
}

# Every server confines itself under each of its units, as by hand: its own filter on top of the
# unit's (the unit's counted on a process it runs in the server's place), and serves.
scenario_confined() {
  echo "servers confined under their units"
  local base server unit pid
  printf '[Service]\nType=simple\nExecStart=\nExecStart=/bin/sleep 60\n' |
    write_dropin /etc/systemd/system/portkit-tally.service.d/probe.conf
  inside systemctl start portkit-tally.service
  pid=$(inside systemctl show -P MainPID portkit-tally.service)
  wait_for 5 runs_program "$pid" sleep || true  # its sandbox set up, sleep run
  base=$(confinement_of "$pid" | awk '{print $6}')
  inside systemctl stop portkit-tally.service
  inside rm -r /etc/systemd/system/portkit-tally.service.d
  inside systemctl daemon-reload
  for server in tally glyphs mirror sink drain; do
    for unit in "portkit-$server.service" "portkit-$server.socket"; do
      inside systemctl start "$unit"
      if [ "$server" = sink ] || [ "$server" = drain ]; then
        expect "$unit: $server takes a client" "$(peer ask 127.0.0.1 hola 0)" "b''"
      else
        expect "$unit: $server answers" "$(ask_server "$server")" "$(answer_of "$server")"
      fi
      wait_for 5 unit_is "portkit-$server.service" active || true  # started by that client
      pid=$(inside systemctl show -P MainPID "portkit-$server.service")
      expect "$unit: its own filter on the unit's $base" "$(confinement_of "$pid")" \
        "NoNewPrivs: 1 Seccomp: 2 Seccomp_filters: $((base + 1)) "
      inside systemctl stop "portkit-$server.socket" "portkit-$server.service"
    done
  done
}

# Every server (drain is sink's program under another name), traced under its service (strace -f,
# attached once it is set up) while it serves a client, hands it to the store at a restart, and
# the next instance serves it on and stops: none of its calls refused (EPERM, which its own filter
# answers); and after every restart, stop, kill and upgrade above, no process ended by a refused
# call of the unit's filter.
scenario_no_refused_call() {
  echo "no refused call"
  local server step pid trace=/tmp/portkit-trace buffers
  buffers=$(nsenter -t "$machine" -n sysctl -n net.ipv4.tcp_wmem)
  inside rm -f "$trace".*
  for server in tally glyphs mirror sink; do
    inside systemctl start "portkit-$server.service"
    for step in restart stop; do
      pid=$(inside systemctl show -P MainPID "portkit-$server.service")
      (inside strace -f -o "$trace.$server.$step" -p "$pid" 2>/dev/null) &
      wait_for 5 inside test -s "$trace.$server.$step" || fail "$server not traced"
      # glyphs' client reads nothing, so that its answer goes to the store with it.
      if [ "$step" = restart ] && [ "$server" = glyphs ]; then
        nsenter -t "$machine" -n sysctl -qw net.ipv4.tcp_wmem="4096 16384 131072"
        inside rm -f /tmp/portkit-read  # never there: the client reads nothing till it is reset
        background_peer unread 127.0.0.1 1000 /tmp/portkit-read
        wait_for 10 answer_blocked || true
      elif [ "$step" = restart ]; then
        background_peer hold 127.0.0.1 'hola' 0 30
        wait_for 5 request_taken || true  # accepted and read: served, not queued
      fi
      inside systemctl "$step" "portkit-$server.service"
      wait_for 10 inside sh -c "! pgrep -x strace" || true
    done
    nsenter -t "$machine" -n sysctl -qw net.ipv4.tcp_wmem="$buffers"
    expect "$server traced: calls made, none refused" "$(inside sh -c "cat $trace.$server.*" |
      awk '/FDSTORE=1\\nFDNAME=connection/ {stored++} / = -1 EPERM/ {refused++}
        /FDSTORE=1\\nFDNAME=answer/ {answers++} END {print stored + 0, answers + 0, refused + 0}')" \
      "2 $([ "$server" = glyphs ] && echo 2 || echo 0) 0"
    kill "$peer_pid" 2>/dev/null || true
  done
  expect "processes ended by SIGSYS" \
    "$(inside journalctl -q -o cat | grep -cE 'status=31/SYS|signal=SYS' || true)" 0
}

# A hardened unit of the user's own, as most units copy it: systemd 252's @system-service holds no
# Landlock or seccomp call, and ends the process at one (or refuses it, with
# SystemCallErrorNumber=). The server serves and stops all the same, confined as far as that lets
# it, and says once what it left out, in its status too.
scenario_outer_filter() {
  echo "a hand-written unit under SystemCallFilter=@system-service"
  local extra said
  for extra in "" "SystemCallErrorNumber=EPERM"; do
    [ -n "$extra" ] && said="Operation not permitted" || said="a trial of it ended by SIGSYS"
    inside systemd-run -q --unit=portkit-hardened -p Type=notify \
      -p SystemCallFilter=@system-service ${extra:+-p "$extra"} /usr/bin/tally || true
    expect "${extra:-killing}: tally answers" "$(ask_server tally)" "$(answer_of tally)"
    expect "its status" "$(inside systemctl show -P StatusText portkit-hardened)" \
      "tally: confined without Landlock ($said)"
    inside systemctl stop portkit-hardened || fail "systemctl stop portkit-hardened"
    expect "stopped, not killed by a call" "$(inside journalctl -q -o cat -u portkit-hardened |
      grep -cE 'status=31/SYS|signal=SYS|code=killed' || true)" 0
  done
}

# An install from source into /usr/local, a unit of it enabled and running, then the README's lines
# that remove it, as written: no unit left enabled, no server left running, no file left, and the
# directories under /usr/local those that were there before the install.
scenario_source_install() {
  echo "an install from source, removed"
  [ -x build/release/bin/tally ] || cmake --workflow --preset release >/dev/null
  inside dpkg --purge portkit >/dev/null 2>&1
  # The tree and its release build, copied to the same path in the machine (whose /tmp is its own).
  # shellcheck disable=SC2046
  tar -C / -cf - $(git ls-files | sed "s|^|${PWD#/}/|") "${PWD#/}/build/release" |
    inside tar -C / -xf - || fail "the tree copied into the machine"
  local directories='find /usr/local -xdev -type d | sort' before
  before=$(inside sh -c "$directories")
  inside sh -c "cd '$PWD' && cmake --install build/release --strip >/dev/null" ||
    fail "cmake --install in the machine"
  inside systemctl daemon-reload
  inside systemctl enable --now portkit-tally.socket 2>/dev/null || true
  expect "tally answers from /usr/local" "$(ask_server tally)" "$(answer_of tally)"
  local lines
  lines=$(awk '/^    sudo systemctl disable --now portkit-/ {on = 1} on && /^$/ {exit} on' "$readme" |
    sed -e 's/^    //' -e 's/sudo //g')
  [ "$(echo "$lines" | grep -c .)" = 5 ] || fail "README.md gives no five lines that remove it"
  inside bash -c "cd '$PWD' && $lines" >/dev/null 2>&1 || fail "the README's removal lines"
  expect "no unit enabled" "$(inside find /etc/systemd -name 'portkit-*')" ""
  expect "no server running" "$(inside pgrep -f /usr/local/bin/tally || true)" ""
  expect "no file left" "$(inside sh -c "cat '$PWD/build/release/install_manifest.txt' |
    xargs -d '\n' ls 2>/dev/null")" ""
  expect "the directories under /usr/local as before the install (< gone, > left)" \
    "$(diff <(echo "$before") <(inside sh -c "$directories") | grep '^[<>]' || true)" ""
  expect "systemd told: its units not found" "$(inside systemctl show -P LoadState \
    portkit-tally.socket portkit-tally.service | grep . | sort -u)" not-found
}

# Every `systemctl enable --now` that a page gives starts its unit, enabled, and the server answers;
# `man` opens the page of each program by its name, drain's (sink's) included.
scenario_page_commands() {
  echo "the pages' enable commands"
  local command unit program
  for program in tally glyphs mirror sink drain client; do
    expect "man $program: a page naming it" "$(inside man -P cat "$program" 2>/dev/null |
      sed -n '/^NAME/{n;p;q}' | grep -cw "$program")" 1
  done
  while read -r command; do
    unit=${command##* }
    # shellcheck disable=SC2086
    inside $command 2>/dev/null || true
    expect "$command: active, enabled" "$(active "$unit") $(inside systemctl is-enabled "$unit")" \
      "active enabled"
    unit=${unit#portkit-}
    if [ "${unit%.*}" != sink ] && [ "${unit%.*}" != drain ]; then
      expect "${unit%.*} answers" "$(ask_server "${unit%.*}")" "$(answer_of "${unit%.*}")"
    fi
    inside systemctl disable --now "portkit-$unit" "portkit-${unit%.*}.service" 2>/dev/null || true
  done < <(sed 's/\\-/-/g' "$readme" man/*.1 | grep -o 'systemctl enable --now portkit-[a-z]*\.[a-z]*' |
    sort -u)
}

# The `asks` peer, done: none of its connections refused, reset, answered wrongly or failed.
expect_asked_cleanly() {  # what it asked through
  expect "$1: asking throughout, refused, reset, wrong or otherwise failed" \
    "$(sed -n 2p "$said" | awk '{print $4, $6, $8, $10}')" "0 0 0 0"
}

# Restarts back to back, as a script asks them, are all honoured, of the service and of the
# socket; the socket keeps listening. A client asking all the while is never refused, reset or
# answered wrongly through the service's restarts; through the socket's, whose queue the manager
# closes, what it met is printed.
scenario_back_to_back() {
  echo "ten restarts back to back"
  local unit succeeded
  for unit in portkit-tally.service portkit-tally.socket; do
    inside systemctl start portkit-tally.socket
    background_peer asks 127.0.0.1 5
    succeeded=0
    for _ in $(seq 10); do
      inside systemctl restart "$unit" 2>/dev/null && succeeded=$((succeeded + 1))
    done
    wait "$peer_pid" || true
    echo "  $unit: a client asking throughout: $(sed -n 2p "$said")"
    if [ "$unit" = portkit-tally.service ]; then
      expect_asked_cleanly "$unit"
    fi
    expect "restarts of $unit that succeeded" "$succeeded" 10
    expect "the socket listening" "$(active portkit-tally.socket)" active
    expect "a client answered" "$(ask_server tally)" "$(answer_of tally)"
    expect "no failed unit" "$(failed_units)" ""
    inside systemctl stop portkit-tally.socket portkit-tally.service
    inside systemctl reset-failed
  done
}

# Presets, as `systemctl preset-all` applies them on a new host, enable no portkit unit.
scenario_preset() {
  echo "presets"
  local units=() server
  for server in tally glyphs mirror sink drain; do
    units+=("portkit-$server.service" "portkit-$server.socket")
  done
  inside systemctl preset "${units[@]}" 2>/dev/null || true
  expect "the ten units after systemctl preset" "$(inside systemctl is-enabled "${units[@]}" |
    sort | uniq -c | xargs)" "10 disabled"
}

# The next version's package in the machine, /tmp/portkit-next.deb, once built (waited for once).
next_package_ready() {
  if [ -z "${next_built:-}" ]; then
    next_built=no
    if wait "$next_builder" && inside sh -c 'cat >/tmp/portkit-next.deb' <"$next_deb"; then
      next_built=yes
    fi
  fi
  [ "$next_built" = yes ]
}

main_pid() { inside systemctl show -P MainPID portkit-mirror.service; }
main_pid_is_not() { [ "$(main_pid)" != "$1" ]; }

# SIGTERM to the server (systemctl kill), done once it has ended: the unit does not restart it.
# To the main process only: the manager booted here cannot signal a unit's whole control group
# (Input/output error), and at times fails the command for that alone.
kill_mirror() {
  local pid
  pid=$(main_pid)
  inside systemctl kill --kill-whom=main -s TERM portkit-mirror.service &&
    wait_for 20 main_pid_is_not "$pid"
}

# Runs one fault and logs it to `faults_log`: when it began (ns), its kind, how long it took (ms),
# its exit status and the service's state once it returned.
soak_fault() {  # kind, command...
  local kind=$1 began status
  shift
  began=$(date +%s%N)
  if "$@" >/dev/null 2>&1; then status=0; else status=$?; fi
  echo "$began $kind $((($(date +%s%N) - began) / 1000000)) $status" \
    "$(active portkit-mirror.service)" >>"$faults_log"
}

# An upgrade among the faults: dpkg -i of the version not installed (the next one over this one,
# this one back over the next), which restarts the running service onto the installed program.
soak_upgrade() {
  local package=/tmp/portkit.deb before after
  if [ "$(inside dpkg-query -W -f '${Version}' portkit)" = "$version" ] && next_package_ready; then
    package=/tmp/portkit-next.deb
  fi
  before=$(main_pid)
  soak_fault upgrade inside dpkg -i "$package"
  after=$(main_pid)
  expect "${package#/tmp/} installed: a new process" \
    "$([ "$after" != "$before" ] && [ "$after" != 0 ] && echo yes)" yes
  expect "running the installed program" \
    "$(inside test "/proc/$after/exe" -ef /usr/bin/mirror && echo yes)" yes
  expect "the version installed" "$(inside mirror --version)" \
    "mirror (portkit) $(inside dpkg-query -W -f '${Version}' portkit)"
}

sleep_ms() { sleep "$(($1 / 1000)).$(printf %03d $(($1 % 1000)))"; }

# mirror under `mode`'s unit (service: the service alone; socket: under its socket unit), for
# SOAK_SECONDS, with peers of every kind (unit-peer.py's soak_peers) looping sessions while the
# service is faulted 0.2 to 3 s apart, so that some faults land inside the last restart's takeover
# grace: mostly restarts, some stops and SIGTERMs (the service alone started again after a pause;
# under the socket the next client starts it), one upgrade. Send buffers are capped so that
# answers block early. Every session is weighed byte for byte by soak_verdict, which holds what
# each outcome needs; no restart fails or takes over 3 s, no unit fails, and the unit serves at
# the end.
soak_mirror() {  # service or socket
  local mode=$1 unit=portkit-mirror.$1 seconds=${SOAK_SECONDS:-60} seed=${SOAK_SEED:-$RANDOM}
  local faults_log=$said.faults buffers started deadline upgrade_at upgraded="" kind verdict
  local counts failures_said
  echo "soak: mirror under portkit-mirror.$mode through random faults" \
    "(SOAK_SEED=$seed SOAK_SECONDS=$seconds)"
  RANDOM=$seed
  next_package_ready || fail "the next version did not build (see $next_log)"
  buffers=$(nsenter -t "$machine" -n sysctl -n net.ipv4.tcp_wmem)
  nsenter -t "$machine" -n sysctl -qw net.ipv4.tcp_wmem="4096 4096 8192"
  : >"$faults_log"
  inside systemctl start "$unit"
  started=$(date +%s)
  peer_seconds=$((seconds + 150)) background_peer soak_peers 127.0.0.1 "$seconds" "$seed"
  deadline=$((started + seconds))
  upgrade_at=$((started + seconds / 4 + RANDOM % (seconds / 2)))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    sleep_ms $((200 + RANDOM % 2801))
    [ "$(date +%s)" -lt "$deadline" ] || break
    kind=$((RANDOM % 100))
    if [ "$(active portkit-mirror.service)" != active ]; then
      kind=restart  # under the socket, no client has started it since: nothing to stop or kill
    elif [ -z "$upgraded" ] && [ "$(date +%s)" -ge "$upgrade_at" ]; then
      kind=upgrade
    elif [ "$kind" -lt 70 ]; then
      kind=restart
    elif [ "$kind" -lt 85 ]; then
      kind=stop
    else
      kind="kill"
    fi
    case $kind in
      restart) soak_fault restart inside timeout 30 systemctl restart portkit-mirror.service ;;
      stop) soak_fault stop inside timeout 30 systemctl stop portkit-mirror.service ;;
      kill) soak_fault kill kill_mirror ;;
      upgrade) soak_upgrade && upgraded=yes ;;
    esac
    if [ "$mode" = service ] && { [ "$kind" = stop ] || [ "$kind" = kill ]; }; then
      sleep_ms $((200 + RANDOM % 1301))
      soak_fault start inside timeout 30 systemctl start portkit-mirror.service
    fi
  done
  wait "$peer_pid" || true
  nsenter -t "$machine" -n sysctl -qw net.ipv4.tcp_wmem="$buffers"
  verdict=$(python3 - soak_verdict "$said" "$faults_log" "$mode" <packaging/unit-peer.py)
  echo "$verdict" | sed -e '$d' -e 's/^/  /'
  echo "  faults: $(awk '{print $2}' "$faults_log" | sort | uniq -c | xargs)"
  echo "  restarts took (ms): $(awk '$2 == "restart" {print $3}' "$faults_log" | sort -n |
    awk '{took[NR] = $1} END {print "median", took[int((NR + 1) / 2)], "max", took[NR]}');" \
    "stops and kills, the longest: $(awk '$2 == "stop" || $2 == "kill" {print $3}' \
    "$faults_log" | sort -n | tail -n 1) ms"
  counts=$(echo "$verdict" | sed -n '$s/^unexpected //p')
  [ -n "$counts" ] || fail "$unit: no verdict"
  for kind in $(echo "$counts" | awk '{for (i = 1; i < NF; i += 2) print $i}'); do
    expect "$unit: sessions $kind unexpectedly" \
      "$(echo "$counts" | awk -v k="$kind" '{for (i = 1; i < NF; i += 2) if ($i == k)
        print $(i + 1)}')" 0
  done
  expect "$unit: faults whose command failed" "$(awk '$4 != 0 {print $2, $4}' "$faults_log" |
    sort | uniq -c | xargs)" ""
  expect "$unit: restarts past 3 s" "$(awk '$2 == "restart" && $3 > 3000' "$faults_log" |
    wc -l)" 0
  expect "$unit: restarts, starts and the upgrade that left the service not active" \
    "$(awk '$2 != "stop" && $2 != "kill" && $5 != "active"' "$faults_log" | wc -l)" 0
  expect "$unit: one upgrade among the faults" "$upgraded" yes
  failures_said=$(inside journalctl -q -o cat --since "@$started" -u portkit-mirror.service \
    -u portkit-mirror.socket -g 'Failed with result|^mirror: ' || true)
  expect "$unit: units failed meanwhile" "$(echo "$failures_said" | grep -c 'Failed with result')" 0
  if [ -n "$failures_said" ]; then
    echo "  what the journal said, most often first:"
    echo "$failures_said" | sort | uniq -c | sort -rn | head -n 6 | sed 's/^ */    /'
  fi
  expect "no portkit unit failed" "$(failed_units | grep portkit || true)" ""
  expect "$unit active at the end" "$(active "$unit")" active
  expect "a client answered at the end" "$(ask_server mirror)" "$(answer_of mirror)"
  inside systemctl stop portkit-mirror.socket portkit-mirror.service
  inside systemctl reset-failed
}

scenario_soak_mirror_socket() { soak_mirror socket; }
scenario_soak_mirror_service() { soak_mirror service; }

# A client sending one byte at a time to sink under its socket, carried to the next instance
# whichever way it restarts (each byte's longest wait shows the hand-over): the service restarted;
# the socket restarted, which restarts the service with it (and a stop of the socket stops it);
# the socket stopped alone (ignoring that), then the service restarted, so that the manager passes
# the connection without a socket and the server serves it on a port it opens itself.
scenario_carried() {
  echo "a trickling client carried through restarts"
  local file=/var/log/portkit-sink.bin command result trickling
  apply_dropin "$units_page" sink
  for command in "restart portkit-sink.service" "restart portkit-sink.socket" \
    "stop --job-mode=ignore-dependencies portkit-sink.socket"; do
    inside sh -c ": >$file"
    inside systemctl start portkit-sink.socket
    background_peer trickle 127.0.0.1 2 "$file"
    trickling=$peer_pid
    said=$queued_said background_peer queue 127.0.0.1 queued
    inside systemctl $command || fail "systemctl $command"
    if [ "${command%% *}" = stop ]; then
      inside systemctl restart portkit-sink.service || true
    fi
    wait "$trickling" "$peer_pid" || true
    result=$(sed -n 2p "$said")
    echo "  $command: ${result#* }; the client queued: $(sed -n 2p "$queued_said")"
    expect "its end, its bytes exact" "$(echo "$result" | awk '{print $1, $3}')" "clean exact"
    # A restart or stop of the socket closes the socket the queue was in; the service's keeps it.
    if [[ $command == *.socket ]]; then
      expect "the queued client" "$(sed -n 2p "$queued_said")" "b'' reset"
    else
      expect "the queued client" "$(sed -n 2p "$queued_said")" "b'' clean"
      expect "its bytes after the carried ones" "$(inside tail -c 6 "$file")" queued
    fi
    expect "the service active" "$(active portkit-sink.service)" active
    if [ "$command" = "restart portkit-sink.socket" ]; then
      expect "the socket active" "$(active portkit-sink.socket)" active
      inside systemctl stop portkit-sink.socket
      expect "systemctl stop portkit-sink.socket: the service stopped" \
        "$(active portkit-sink.service)" inactive
    fi
    inside systemctl stop portkit-sink.socket portkit-sink.service
  done
}

# The tree built again with its version raised by one, for the soak's upgrade; meanwhile the
# machine boots and the first scenarios run.
next_tree=$(mktemp -d /tmp/portkit-next-XXXXXX)/portkit
next_log=${next_tree%/*}.log
next_version=${version%.*}.$((${version##*.} + 1))
mkdir "$next_tree"
git ls-files -z | xargs -0 cp --parents -t "$next_tree"
sed -i "s/^project(portkit VERSION $version/project(portkit VERSION $next_version/" \
  "$next_tree/CMakeLists.txt"
sed -i "s/\"portkit $version\"/\"portkit $next_version\"/" "$next_tree"/man/*.1
{
  printf 'portkit (%s) unstable; urgency=medium\n\n  * Upgrade check.\n\n' "$next_version"
  printf ' -- portkit maintainers <maintainers@portkit.invalid>  %s\n\n' "$(date -R)"
  cat debian/changelog
} >"$next_tree/debian/changelog"
# Niced: the scenarios beside it wait on the machine more than they compute, and go first.
(cd "$next_tree" && DEB_BUILD_OPTIONS=nocheck nice -n 19 dpkg-buildpackage -b -us -uc) \
  >"$next_log" 2>&1 &
next_builder=$!
next_deb=${next_tree%/*}/portkit_${next_version}_$(dpkg --print-architecture).deb

started=$(date +%s)
boot
# A hang anywhere ends the machine, and with it whatever waits on it; then this script.
limit=${UNITS_CHECK_SECONDS:-600}
(
  for _ in $(seq "$limit"); do sleep 1; done  # a second at a time: nothing outlives the check long
  echo "check-units: not done after $limit s"
  kill -KILL "$machine"
  kill -TERM $$
) &
watchdog=$!
echo "booted systemd $(inside systemctl --version | awk 'NR == 1 {print $2}')" \
  "in $(($(date +%s) - started)) s; package installed"
# UNITS_SCENARIOS names a few to run alone, while working on them.
for scenario in ${UNITS_SCENARIOS:-switches own_socket activation journal dropin stop \
  hand_written_unit own_socket_unit trace outer_filter \
  loopback_only cannot_bind failing_output dies_at_start ipv6 security page_commands preset \
  confined back_to_back carried unread_answers soak_mirror_socket soak_mirror_service \
  no_refused_call purge source_install}; do
  "scenario_$scenario"
  echo "  ($(($(date +%s) - started)) s)"
done
echo "units checked in $(($(date +%s) - started)) s: $failures failed"
[ "$failures" = 0 ]
