#!/usr/bin/env bash
# Checks the source and binary packages as a distribution does, and the programs for the
# hardening a careful distribution ships: lintian --pedantic on the .changes with nothing to say,
# hardening-check on every program, and the flags every shipped source was compiled with (a
# stripped binary shows no trace of stack-clash and control-flow protection or of the fortify
# level). Run after packaging/build-package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(portkit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=build/debian/portkit_${version}_$arch.deb
changes=build/debian/portkit_${version}_$arch.changes
build=$(echo build/debian/portkit/obj-*)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
status=0
fail() { echo "$*"; status=1; }

echo "-- lintian --pedantic -I -E on ${changes##*/} (the source and binary packages)"
# Every tag counts, informational and experimental ones included, but one (packaging/README.md
# says why; an override would ship a file of its own); overridden ones are shown with the comment
# that says why.
lintian_report=$(lintian --pedantic -I -E --show-overrides "$changes" 2>&1 |
  grep -v '^running with root' || true)
echo "$lintian_report"
if grep -E '^[EWIPX]: ' <<<"$lintian_report" |
  grep -qv '^I: portkit: package-supports-alternative-init-but-no-init.d-script '; then
  fail "lintian has something to say"
fi

echo "-- hardening-check"
for program in tally glyphs mirror sink drain client; do
  # The start files that every program links carry no CET marking, so the control-flow check
  # cannot pass for any program here; the flag's presence is checked with the compile flags.
  report=$(hardening-check --verbose --nocfprotection "$unpacked/usr/bin/$program" 2>&1 || true)
  grep -E '^ (Position|Stack protected|Fortify|Read-only|Immediate)' <<<"$report" |
    sed "s|^|$program:|"
  for check in "Position Independent Executable" "Stack protected" "Read-only relocations" \
               "Immediate binding"; do
    grep -q "^ $check: yes" <<<"$report" || fail "$program: $check is not yes"
  done
  # Fortified calls show only where a check is left for run time. The servers' fortifiable
  # calls, a recv of at most 10 bytes into the 10-byte chunk and a poll of one descriptor (in
  # write_all), the compiler proves in bounds, so these two alone may show unprotected when no
  # protected call is found.
  if ! grep -q "^ Fortify Source functions: yes" <<<"$report"; then
    unprotected=$(grep -oP '^\tunprotected: \K\S+' <<<"$report" | sort -u | tr '\n' ' ')
    case "$unprotected" in
      "recv " | "poll recv ") ;;
      *) fail "$program: unprotected fortifiable calls: $unprotected" ;;
    esac
  fi
done

echo "-- compile flags of every shipped source"
# dpkg-buildflags' own, as debian/rules asks for them (the file prefix map names the build's
# directory, so only its presence is checked), and the project's on top.
dpkg_flags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
python3 - "$build/compile_commands.json" $dpkg_flags <<'PYTHON' || status=1
import json, sys
required = ["-fstack-protector-strong", "-fstack-clash-protection", "-fcf-protection", "-fPIE"]
required += [flag for flag in sys.argv[2:] if not flag.startswith(("-ffile-prefix-map=",
                                                                   "-D_FORTIFY_SOURCE="))]
shipped = [entry for entry in json.load(open(sys.argv[1]))
           if any(f"/{part}/" in entry["file"] for part in ("common", "servers", "client"))]
missing = []
for entry in shipped:
    flags = entry["command"].split()
    missing += [(entry["file"], flag) for flag in required if flag not in flags]
    if not any(flag.startswith("-ffile-prefix-map=") for flag in flags):
        missing.append((entry["file"], "-ffile-prefix-map"))
    # The last definition is the one in force.
    fortify = [flag for flag in flags if flag.startswith("-D_FORTIFY_SOURCE=")]
    if fortify[-1:] != ["-D_FORTIFY_SOURCE=3"]:
        missing.append((entry["file"], "-D_FORTIFY_SOURCE=3 last"))
for file, flag in missing:
    print(f"{file}: compiled without {flag}")
print(f"{len(shipped)} sources, each with {' '.join(required)}, the file prefix map and"
      " -D_FORTIFY_SOURCE=3 last" if shipped and not missing
      else "no shipped sources found" if not shipped else "")
sys.exit(1 if missing or not shipped else 0)
PYTHON

[ "$status" = 0 ] && echo "hardening and lintian checks passed"
exit "$status"
