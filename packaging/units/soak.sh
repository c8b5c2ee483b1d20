# shellcheck shell=bash
# A soak of mirror through random restarts, stops, SIGTERMs and an upgrade, under its socket unit
# and with its service alone, every byte of every session weighed.

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
  if [ "$(inside dpkg-query -W -f '${Version}' portkit)" = "$version" ] && package_ready next; then
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
# SOAK_SECONDS, with peers of every kind (packaging/peers/soak.py's soak_peers) looping sessions while the
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
  package_ready next || fail "the next version did not build (see ${build_log[next]})"
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
  verdict=$(python3 - soak_verdict "$said" "$faults_log" "$mode" < <(peers_program))
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
