#!/usr/bin/env bash
# Installs the Debian package's build into a staging directory and checks that it holds just what
# the package holds, and that every program and manual page is there and works; then installs the
# package, verifies the service and socket units and their exposure, removes it and checks that
# nothing is left. Needs root, after packaging/build-package.sh. check-units.sh runs the units.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(portkit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build/debian/portkit_${version}_$(dpkg --print-architecture).deb
build=$(echo build/debian/portkit/obj-*)
stage=$(mktemp -d)
trap 'rm -rf "$stage" "$stage.manifest"' EXIT
programs=(tally glyphs mirror sink drain client)

DESTDIR=$stage cmake --install "$build" --strip >/dev/null
# One list of what ships: the install's rules, which the package build runs as they are.
installed=$(cd "$stage" && find . ! -type d | sort)
packaged=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$installed" = "$packaged" ] ||
  { echo "the package and the install differ:"; diff <(echo "$packaged") <(echo "$installed"); exit 1; }
echo "the package holds what the install does: $(echo "$packaged" | wc -l) files and links"
for program in "${programs[@]}"; do
  test -x "$stage/usr/bin/$program"
  page="$stage/usr/share/man/man1/$program.1.gz"
  test -f "$page"
  warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
done
echo "installed: ${programs[*]}, with manual pages, lint-free"

# Each installed server answers through the installed client, in a namespace of its own.
expect_session() {  # server, client input, expected client output (trailing line feeds dropped)
  local got
  got=$(unshare -n bash -c '
    ip link set lo up
    "$1/usr/bin/$2" >/dev/null 2>&1 &
    for _ in $(seq 500); do grep -q ":3039 00000000:0000 0A" /proc/net/tcp && break; sleep 0.01; done
    printf "%s" "$3" | timeout 5 "$1/usr/bin/client"
    kill %1' _ "$stage" "$1" "$2")
  [ "$got" = "$3" ] || { echo "$1: got '$got', not '$3'"; exit 1; }
}
expect_session tally $'2 + 3\n1+1\n' "Resultado: 5"
expect_session glyphs $'a\n' ' !"#$%&'"'"
expect_session mirror $'hola\n' 'hola'
# The README's lines for other clients, as written, each with the installed mirror.
while read -r line; do
  got=$(unshare -n bash -c '
    ip link set lo up
    "$1/usr/bin/mirror" >/dev/null 2>&1 &
    for _ in $(seq 500); do grep -q ":3039 00000000:0000 0A" /proc/net/tcp && break; sleep 0.01; done
    timeout 5 bash -c "$2"
    kill %1' _ "$stage" "$line")
  [ "$got" = hola ] || { echo "README's '$line': got '$got'"; exit 1; }
  clients=$((${clients:-0} + 1))
done < <(grep '^    .*127\.0\.0\.1.12345' README.md | grep hola | sed 's/^    //')
[ "${clients:-0}" = 3 ] || { echo "README: ${clients:-0} client lines found, not 3"; exit 1; }
for printer in sink drain; do
  got=$(unshare -n bash -c '
    ip link set lo up
    out=$(mktemp); "$1/usr/bin/$2" >"$out" 2>&1 &
    for _ in $(seq 500); do grep -q ":3039 00000000:0000 0A" /proc/net/tcp && break; sleep 0.01; done
    exec 3<>/dev/tcp/127.0.0.1/12345; printf "abc" >&3; exec 3>&-
    for _ in $(seq 500); do [ -s "$out" ] && break; sleep 0.01; done
    kill %1; cat "$out"; rm -f "$out"' _ "$stage" "$printer")
  [ "$got" = "abc" ] || { echo "$printer: got '$got'"; exit 1; }
done
set +e
output=$(unshare -n "$stage/usr/bin/client" </dev/null)
status=$?
set -e
[ "$status" = 1 ] && [ "$output" = $'\n Error : Connect Failed ' ] || { echo "client: $status"; exit 1; }
echo "every installed program ran"

# The README's line that removes an install from source, read from the page, on the staged one:
# its list of files, which names them as installed without the staging directory, made to name
# them in it.
sed "s|^|$stage|" "$build/install_manifest.txt" >"$stage.manifest"
remove=$(sed -n 's/^    \(xargs .*install_manifest\.txt\).*/\1/p' README.md |
  sed -e 's/sudo //' -e "s|build/release/install_manifest.txt|$stage.manifest|")
[ -n "$remove" ] || { echo "README.md gives no line that removes an install"; exit 1; }
eval "$remove"
left=$(find "$stage" -type f)
[ -z "$left" ] || { echo "left by the README's removal line: $left"; exit 1; }
echo "the README's removal line removed every installed file"

dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
if dpkg -s portkit >/dev/null 2>&1; then
  echo "portkit is already installed here; not touching it"; exit 1
fi
dpkg -i "$deb" >/dev/null
files=$(dpkg -L portkit)
units=/lib/systemd/system
# verify ends with status 0 after a key it ignores; what it says is the verdict.
verify_quietly() {
  local said
  if ! said=$(systemd-analyze verify "$@" 2>&1) || [ -n "$said" ]; then
    echo "systemd-analyze verify $*: ${said:-failed}"; exit 1
  fi
}
verify_quietly "$units"/portkit-*.service "$units"/portkit-*.socket
# Exposure at most 1.4 (the threshold is in tenths).
for unit in "$units"/portkit-*.service; do
  systemd-analyze security --offline=true --threshold=14 "$unit" | tail -n 1
done
echo "service units verified"
# Removal and purge say nothing: no directory the package shares with systemd is left to warn of.
said=$(dpkg -r portkit 2>&1 >/dev/null; dpkg --purge portkit 2>&1 >/dev/null)
[ -z "$said" ] || { echo "dpkg -r and --purge said: $said"; exit 1; }
for file in $files; do
  if [ -e "$file" ] && [ ! -d "$file" ]; then
    echo "left behind: $file"; exit 1
  fi
done
echo "package installed and removed cleanly"
