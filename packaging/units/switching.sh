# shellcheck shell=bash
# Switching between servers and units: every kind of switch, a socket beside its own service, a
# trace of an older release in /run, activation by the first client, the pages' enable commands and
# the presets.

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

# The client whose connection starts a server is served with the server's own options.
scenario_activation() {
  echo "socket activation"
  inside systemctl start portkit-mirror.socket
  expect "first client's urgent byte echoed in place" "$(peer ask 127.0.0.1 ab 5 '' '!')" "b'ab!cd'"
  expect "mirror.service started by it" "$(active portkit-mirror.service)" active
  inside systemctl stop portkit-mirror.socket portkit-mirror.service
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
