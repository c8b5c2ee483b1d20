# shellcheck shell=bash
# The package's life cycle after its upgrades: removal, reinstall and purge, and an install from
# source removed as the README says.

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

# An install from source into /usr/local, a unit of it enabled and running, then the README's lines
# that remove it, as written: no unit left enabled, no server left running, no file left, and the
# directories under /usr/local those that were there before the install.
scenario_source_install() {
  echo "an install from source, removed"
  [ -x build/release/bin/tally ] || cmake --workflow --preset release >/dev/null
  inside dpkg --purge portkit >/dev/null 2>&1
  # The tree and its release build, copied to the same path in the machine (whose /tmp is its own).
  # shellcheck disable=SC2046
  tar -C / -cf - $(tree_files | sed "s|^|${PWD#/}/|") "${PWD#/}/build/release" |
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
