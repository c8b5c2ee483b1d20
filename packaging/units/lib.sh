# shellcheck shell=bash
# The units check's shared helpers, sourced by packaging/check-units.sh: the machine (booted,
# entered, torn down), its peers (packaging/peers inside it), waits with deadlines, the verdicts, and
# what several groups of scenarios ask of the units and the pages.
readme=README.md
units_page=systemd/README.md  # the units' drop-ins and commands
base=$(mktemp -d /tmp/portkit-units-XXXXXX)
said=$(mktemp /tmp/portkit-units-peer-XXXXXX)  # what a peer in the background says
queued_said=$said.queued                       # and a second one, queued behind it
boot_log=$(mktemp /tmp/portkit-units-boot-XXXXXX)
machine=  # the booted systemd's pid, as the host sees it
failures=0
# The packages an upgrade goes to or from, by kind: next (this tree, its version raised by one)
# and previous (the release before this one). Each is built in the background (see start_builds).
declare -gA builder=() package_file=() build_log=() versions=() built=()
builds=$(mktemp -d /tmp/portkit-builds-XXXXXX)

teardown() {
  local build
  if [ -n "${watchdog:-}" ]; then
    kill "$watchdog" 2>/dev/null || true
  fi
  if [ -n "$machine" ]; then
    kill -KILL "$machine" 2>/dev/null || true
  fi
  for build in "${builder[@]}"; do
    kill -- "-$build" 2>/dev/null || true  # the build's process group
  done
  wait 2>/dev/null || true
  rmdir "$base" 2>/dev/null || true
  rm -rf "$said" "$queued_said" "$said.faults" "$boot_log" "$builds"
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

# Runs in the new namespaces: the overlay whose lower layer is / holds every change in memory;
# only the project's units are enabled there, and no policy-rc.d of a container image forbids
# the maintainer scripts to stop them, as on a user's machine.
boot_script='
  set -e
  mount -t tmpfs tmpfs "$1"
  mkdir "$1/upper" "$1/work" "$1/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$1/upper,workdir=$1/work" "$1/root"
  root=$1/root
  mount -t proc proc "$root/proc"
  mount --bind "$root/proc/sys" "$root/proc/sys"
  mount -o remount,bind,ro "$root/proc/sys"
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  rm -f "$root"/etc/systemd/system/*.wants/* "$root/usr/sbin/policy-rc.d"
  exec chroot "$root" /usr/bin/env -i container=other /lib/systemd/systemd --system \
    --unit=multi-user.target --log-target=journal'

inside() {
  nsenter -t "$machine" -m -p -n -u -i -C -r -w "$@"
}

# The peers' program, fed to python3 on its standard input (the machine need not see this
# tree): the shared library, each group's clients, then the call its arguments name.
peers_program() {
  cat packaging/peers/lib.py packaging/peers/clients.py packaging/peers/streams.py \
    packaging/peers/soak.py
  echo 'COMMANDS[sys.argv[1]](*sys.argv[2:])'
}

# A client of packaging/peers inside the machine; its one line of result on standard output.
peer() {
  inside timeout "${peer_seconds:-60}" python3 - "$@" < <(peers_program)
}

# Runs a command every 0.05 s until it succeeds, for at most `seconds`; false if it never does.
wait_for() {  # seconds, command...
  local tries=$(($1 * 20))
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# Starts a peer in the background and waits for its first line (not the last peer's: the file is
# emptied first).
background_peer() {
  : >"$said"
  (peer "$@" >>"$said") 2>/dev/null &
  peer_pid=$!
  wait_for 5 test -s "$said" || true
}

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

expect() {  # what, got, wanted
  if [ "$2" = "$3" ]; then echo "  ok: $1"; else fail "$1: got '$2', wanted '$3'"; fi
}

boot() {
  unshare --pid --fork --mount --net --uts --ipc --cgroup --propagation private \
    bash -c "$boot_script" _ "$base" 2>"$boot_log" &
  local launcher=$!
  for _ in $(seq 100); do
    machine=$(pgrep -P "$launcher" || true)
    [ -n "$machine" ] && [ "$(cat "/proc/$machine/comm" 2>/dev/null)" = systemd ] && break
    sleep 0.1
  done
  if [ -z "$machine" ] || [ "$(cat "/proc/$machine/comm" 2>/dev/null)" != systemd ]; then
    echo "check-units: systemd did not start as PID 1 in new namespaces: $(tail -n 1 "$boot_log")"
    exit 1
  fi
  local state
  for _ in $(seq 100); do  # until the manager's bus is up
    state=$(inside timeout 60 systemctl is-system-running --wait 2>&1 || true)
    [[ $state == "Failed to connect"* ]] || break
    sleep 0.1
  done
  if [ "$state" != running ]; then
    echo "check-units: the booted manager is '$state', not running"; exit 1
  fi
  inside ip link set lo up
  inside sh -c 'cat >/tmp/portkit.deb && dpkg -i /tmp/portkit.deb >/dev/null' <"$deb"
}

active() { inside systemctl is-active "$@" 2>/dev/null || true; }

unit_is() { [ "$(active "$1")" = "$2" ]; }

failed_units() { inside systemctl list-units --failed --plain --no-legend | awk '{print $1}'; }

# The README's and manual pages' request and answer for each server.
ask_server() {
  case $1 in
    tally) peer ask 127.0.0.1 '2 + 3' 13 ;;
    glyphs) peer ask 127.0.0.1 'a' 8 ;;
    *) peer ask 127.0.0.1 'hola' 4 ;;
  esac
}

answer_of() {
  case $1 in
    tally) echo "b'Resultado: 5\\x00'" ;;
    glyphs) echo "b' !\"#\$%&\\''" ;;
    mirror) echo "b'hola'" ;;
    *) echo "b''" ;;
  esac
}

# The [Service] drop-in that a page gives, and the file it says to write it to, as the page has
# them (a manual page's escapes undone), for `server` in place of sink.
# (Each reads all of its input: a reader that stops early would end a writer with SIGPIPE.)
page_dropin() {  # page, server
  sed -e 's/^    //' -e 's/\\-/-/g' "$1" |
    awk '$0 == "[Service]" && !done {on = 1} on && ($0 == ".RE" || $0 == "") {on = 0; done = 1}
      on {print}' | sed "s/sink/$2/g"
}

page_dropin_path() {  # page, server
  sed 's/\\-/-/g' "$1" |
    awk 'match($0, /\/etc\/systemd\/system\/portkit-sink\.service\.d\/[a-z]*\.conf/) && !found {
      print substr($0, RSTART, RLENGTH); found = 1}' | sed "s/sink/$2/g"
}

# Writes standard input to the drop-in file `path` in the machine and reloads the manager.
write_dropin() {  # path
  inside sh -c "mkdir -p ${1%/*} && cat >$1 && systemctl daemon-reload"
}

apply_dropin() {  # page, server
  page_dropin "$1" "$2" | write_dropin "$(page_dropin_path "$1" "$2")"
}

# A connection of the server's has bytes of its client's unread (`unread`), or none (`read`).
server_has() {
  inside ss -Htn state established '( sport = :12345 )' |
    awk -v want="$1" '($1 > 0) == (want == "unread") {found = 1} END {exit !found}'
}

# glyphs asleep with prompts of its client unread: blocked writing an answer its client does not
# take.
answer_blocked() {
  local pid
  pid=$(inside systemctl show -P MainPID portkit-glyphs.service)
  [ "$(inside awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = S ] && server_has unread
}

# The tree's files: those git tracks, or, in an unpacked source package, all but its build trees.
tree_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files
  else
    find . \( -name .git -o -name 'build*' -o -name 'obj-*' -o -path ./debian/portkit \
      -o -path ./debian/.debhelper \) -prune -o -type f -print | sed 's|^\./||'
  fi
}

# Builds the `kind` package from `tree` in the background, in a process group of its own, niced
# (the scenarios beside it wait on the machine more than they compute): with dpkg-buildpackage and
# no tests where the tree has debian/ (the package lands beside the tree), or, for a release made
# before it had, with its own package command.
build_package() {  # kind, tree
  local kind=$1 tree=$2 arch
  arch=$(dpkg --print-architecture)
  versions[$kind]=$(sed -n 's/^project(portkit VERSION \([0-9.]*\).*/\1/p' "$tree/CMakeLists.txt")
  build_log[$kind]=$builds/$kind.log
  if [ -d "$tree/debian" ]; then
    package_file[$kind]=${tree%/*}/portkit_${versions[$kind]}_$arch.deb
    setsid sh -c 'cd "$1" && DEB_BUILD_OPTIONS=nocheck exec nice -n 19 dpkg-buildpackage -b -us -uc' \
      _ "$tree" >"${build_log[$kind]}" 2>&1 &
  else
    package_file[$kind]=$tree/build/package/portkit_${versions[$kind]}_$arch.deb
    setsid sh -c 'cd "$1" && exec nice -n 19 cmake --workflow --preset package' \
      _ "$tree" >"${build_log[$kind]}" 2>&1 &
  fi
  builder[$kind]=$!
}

# The next version: this tree with its version raised by one, for the soak's upgrade. The previous
# release, for the upgrade from it and back: PORTKIT_PREVIOUS_DEB; or built from the history, the
# tree as it was before its version became this one, where there is a history; or, in an unpacked
# source package, the latest version below this one that the package archive holds, if any.
start_builds() {
  local next=$builds/next/portkit previous=$builds/previous/portkit raised candidate
  local next_version=${version%.*}.$((${version##*.} + 1))
  mkdir -p "$next" "$previous"
  tree_files | xargs -d '\n' cp --parents -t "$next"
  sed -i "s/^project(portkit VERSION $version/project(portkit VERSION $next_version/" \
    "$next/CMakeLists.txt"
  sed -i "s/\"portkit $version\"/\"portkit $next_version\"/" "$next"/man/*.1
  {
    printf 'portkit (%s) unstable; urgency=medium\n\n  * Upgrade check.\n\n' "$next_version"
    printf ' -- portkit maintainers <maintainers@portkit.invalid>  %s\n\n' "$(date -R)"
    cat debian/changelog
  } >"$next/debian/changelog"
  build_package next "$next"
  if [ -n "${PORTKIT_PREVIOUS_DEB:-}" ]; then
    package_file[previous]=$PORTKIT_PREVIOUS_DEB
    versions[previous]=$(dpkg-deb -f "$PORTKIT_PREVIOUS_DEB" Version)
  elif raised=$(git log --format=%H -S "project(portkit VERSION $version " -- CMakeLists.txt \
    2>/dev/null | tail -n 1) && [ -n "$raised" ]; then
    git archive "$raised^" | tar -x -C "$previous"
    build_package previous "$previous"
  else
    for candidate in $(apt-cache madison portkit 2>/dev/null | awk '{print $3}'); do
      if dpkg --compare-versions "$candidate" lt "$version" &&
        { [ -z "${versions[previous]:-}" ] ||
          dpkg --compare-versions "$candidate" gt "${versions[previous]}"; }; then
        versions[previous]=$candidate
      fi
    done
    if [ -n "${versions[previous]:-}" ]; then
      package_file[previous]=$(cd "$previous" && apt-get download -q "portkit=${versions[previous]}" \
        >/dev/null 2>&1 && echo "$previous"/portkit_*.deb)
    fi
  fi
}

# The `kind` package in the machine, /tmp/portkit-KIND.deb, once built (waited for once).
package_ready() {  # kind
  if [ -z "${built[$1]:-}" ]; then
    built[$1]=no
    if [ -n "${package_file[$1]:-}" ] && { [ -z "${builder[$1]:-}" ] || wait "${builder[$1]}"; } &&
      inside sh -c "cat >/tmp/portkit-$1.deb" <"${package_file[$1]}"; then
      built[$1]=yes
    fi
  fi
  [ "${built[$1]}" = yes ]
}
