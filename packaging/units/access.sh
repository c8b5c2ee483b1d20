# shellcheck shell=bash
# Who reaches a server: loopback only until the pages' commands open a unit, IPv6 through the socket
# unit, and each service's exposure.

# The units page's indented block that begins with the line "    HEADER", without its indent.
units_page_block() {
  awk -v first="    $1" '$0 == first {on = 1} on && /^$/ {exit} on {sub(/^    /, ""); print}' \
    "$units_page"
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
