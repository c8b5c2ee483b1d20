#!/usr/bin/env bash
# Checks the package's programs for the hardening a careful distribution ships: lintian with no
# error or warning, hardening-check on every program, and the flags every shipped source was
# compiled with (a stripped binary shows no trace of stack-clash and control-flow protection or of
# the fortify level). Run after `cmake --workflow --preset package`.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/package
deb=$(ls "$build"/portkit_*.deb)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
status=0
fail() { echo "$*"; status=1; }

echo "-- lintian --pedantic -I"
lintian_report=$(lintian --pedantic -I "$deb" 2>&1 | grep -v '^running with root' || true)
echo "$lintian_report"
if grep -qE '^[EW]: ' <<<"$lintian_report"; then
  fail "lintian reports errors or warnings"
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
python3 - "$build/compile_commands.json" <<'PYTHON' || status=1
import json, sys
required = ["-D_FORTIFY_SOURCE=3", "-fstack-protector-strong", "-fstack-clash-protection",
            "-fcf-protection", "-fPIE"]
shipped = [entry for entry in json.load(open(sys.argv[1]))
           if any(f"/{part}/" in entry["file"] for part in ("common", "servers", "client"))]
missing = [(entry["file"], flag) for entry in shipped for flag in required
           if flag not in entry["command"].split()]
for file, flag in missing:
    print(f"{file}: compiled without {flag}")
print(f"{len(shipped)} sources, each with {' '.join(required)}" if shipped and not missing
      else "no shipped sources found" if not shipped else "")
sys.exit(1 if missing or not shipped else 0)
PYTHON

[ "$status" = 0 ] && echo "hardening and lintian checks passed"
exit "$status"
