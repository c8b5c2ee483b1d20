#!/usr/bin/env bash
# The units check. Boots this machine's systemd as PID 1 in namespaces of its own, over a
# throwaway copy-on-write view of /, installs the package there with dpkg -i, as a user does, and
# checks what the README, systemd/README.md and the manual pages promise about the service and
# socket units: one group of scenarios a file in packaging/units/, the helpers they share in
# packaging/units/lib.sh. Needs root; leaves the host untouched and tears the machine down however
# it ends. The package is PORTKIT_DEB, by default the one packaging/build-package.sh made
# (debian/tests/units passes the installed one). UNITS_SCENARIOS names a few scenarios to run
# alone, while working on them: UNITS_SCENARIOS="soak_mirror_socket purge".
set -euo pipefail
if [ -n "${PORTKIT_DEB:-}" ]; then
  PORTKIT_DEB=$(realpath "$PORTKIT_DEB")
fi
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(portkit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=${PORTKIT_DEB:-build/debian/portkit_${version}_$(dpkg --print-architecture).deb}
if [ ! -f "$deb" ]; then
  echo "check-units: no package $deb (packaging/build-package.sh builds it)"
  exit 1
fi
# shellcheck source=packaging/units/lib.sh
source packaging/units/lib.sh
for group in packaging/units/*.sh; do
  # shellcheck disable=SC1090
  [ "$group" = packaging/units/lib.sh ] || source "$group"
done

# The packages the upgrades go to and from build while the machine boots and the first
# scenarios run.
start_builds
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
for scenario in ${UNITS_SCENARIOS:-switches own_socket activation journal dropin stop \
  hand_written_unit own_socket_unit trace outer_filter \
  loopback_only cannot_bind failing_output dies_at_start ipv6 security page_commands preset \
  confined back_to_back carried unread_answers soak_mirror_socket soak_mirror_service \
  previous_release no_refused_call purge source_install}; do
  "scenario_$scenario"
  echo "  ($(($(date +%s) - started)) s)"
done
echo "units checked in $(($(date +%s) - started)) s: $failures failed"
[ "$failures" = 0 ]
