# shellcheck shell=bash
# Stops and what sink writes: a stop with clients connected, units written by hand with and without
# a store, the journal, and the pages' drop-in that keeps sink's bytes in a file.

size_is() { [ "$(inside stat -c %s "$1" 2>/dev/null)" = "$2" ]; }

sink_journal() { inside journalctl -q -o cat -u portkit-sink.service -g "$1" || true; }

sink_journal_has() { [ -n "$(sink_journal "$1")" ]; }

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
