# shellcheck shell=bash
# Servers that cannot run: the port held by another program, sink's output failing, a server killed
# at every start.

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
