# shellcheck shell=bash
# Upgrades from the release before this one to this one and back, with a client streaming to
# mirror under each of its units: each package's maintainer scripts restart the running service
# onto the program they installed, and the client gets every byte back, in order, and a clean end
# once it ends its side.

mirror_pid() { inside systemctl show -P MainPID portkit-mirror.service; }
peer_done() { [ "$(wc -l <"$said")" -ge 2 ]; }

# A client streaming through `dpkg -i` of `package`: a new mirror, the one installed, takes it on.
stream_through() {  # unit, package
  local before after installed
  inside rm -f /tmp/portkit-stop-streaming
  peer_seconds=150 background_peer stream_whole 127.0.0.1 /tmp/portkit-stop-streaming
  before=$(mirror_pid)
  inside dpkg -i "$2" >/dev/null 2>&1 || fail "dpkg -i ${2#/tmp/}"
  after=$(mirror_pid)
  installed=$(inside dpkg-query -W -f '${Version}' portkit)
  expect "$1: ${2#/tmp/} ($installed) installed: a new mirror, the installed one" \
    "$([ "$after" != "$before" ] && [ "$after" != 0 ] && echo new) $(inside test \
    "/proc/$after/exe" -ef /usr/bin/mirror && inside mirror --version)" \
    "new mirror (portkit) $installed"
  sleep 1  # the client streams on to the new instance
  inside touch /tmp/portkit-stop-streaming
}

scenario_previous_release() {
  local previous=${versions[previous]:-} unit
  echo "an upgrade from the previous release (${previous:-none}) and back"
  if [ -z "${versions[previous]:-}" ]; then
    echo "  not run: no previous release here (no history to build it from, none in the package" \
      "archive; PORTKIT_PREVIOUS_DEB names its package)"
    return
  fi
  if ! package_ready previous; then
    fail "the previous release's package is not there (${build_log[previous]:-apt-get download})"
    return
  fi
  inside dpkg --purge portkit >/dev/null 2>&1
  inside dpkg -i /tmp/portkit-previous.deb >/dev/null
  for unit in portkit-mirror.service portkit-mirror.socket; do
    inside systemctl start "$unit"
    stream_through "$unit" /tmp/portkit.deb
    wait_for 2 peer_done || true
    expect "$unit: upgraded, the client streaming throughout, at once" "$(sed -n 2p "$said")" \
      "clean whole"
    stream_through "$unit" /tmp/portkit-previous.deb
    # Where the stop handed the next instance the connection with the rest of an answer, the
    # store names them after the process, which the previous release's program does not take out
    # of the store: the manager keeps a copy of the connection, and the client's end comes only
    # when the service next stops. Every byte is there all the same.
    if wait_for 2 peer_done; then
      echo "  the client's end came at once"
    else
      echo "  the client's end came only at the service's stop: the manager kept a copy of it" \
        "($(inside systemctl show -P NFileDescriptorStore portkit-mirror.service) descriptors" \
        "in the store)"
    fi
    inside systemctl stop portkit-mirror.socket portkit-mirror.service
    wait "$peer_pid" || true
    expect "$unit: back to $previous, the client streaming throughout" "$(sed -n 2p "$said")" \
      "clean whole"
  done
  local failed
  failed=$(failed_units | grep portkit || true)
  expect "no portkit unit failed" "$failed" ""
  if [ -n "$failed" ]; then
    inside journalctl -q -o cat -u portkit-mirror.service -u portkit-mirror.socket \
      -g 'Failed|failed|^mirror: ' | tail -n 20 | sed 's/^/    /'
  fi
  inside dpkg -i /tmp/portkit.deb >/dev/null 2>&1  # this release again, for the scenarios after
}
