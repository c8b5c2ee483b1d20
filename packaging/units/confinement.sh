# shellcheck shell=bash
# The servers' own confinement under the units: a filter on top of the unit's, no call refused
# through a restart and a stop, and a hand-written unit whose filter leaves some of it out.

# The server has read all its client sent.
request_taken() {
  server_has read
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
