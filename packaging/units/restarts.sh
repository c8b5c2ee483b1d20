# shellcheck shell=bash
# Restarts that lose nothing: back to back, a trickling client carried whichever way the units
# restart, and a client that reads nothing, timed against the manager's own floor.

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
