#!/usr/bin/env bash
# The exporter's shipped files checked by the tools that read them:
#   - halyard-exporter.service: `systemd-analyze verify` is clean (run against
#     a scratch root holding the program and systemd's own units), and the
#     exposure `systemd-analyze security` gives it is 3.0 or lower;
#   - the alert rules: `promtool check rules`, and `promtool test rules` shows
#     each alert firing when it should and not before.
# Usage: check_exporter_files.sh SOURCE-DIR HALYARDCTL
# Exits 77 (skipped) when systemd-analyze or promtool is missing.
set -euo pipefail
src=$1
halyardctl=$2
unit=$src/packaging/systemd/halyard-exporter.service
rules=$src/packaging/monitoring
for tool in systemd-analyze promtool; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

mkdir -p "$root/usr/bin" "$root/etc/systemd/system" "$root/usr/lib/systemd"
cp "$halyardctl" "$root/usr/bin/halyardctl"
cp -r /lib/systemd/system "$root/usr/lib/systemd/"
cp "$unit" "$root/etc/systemd/system/"
out=$(systemd-analyze verify --man=no --root="$root" /etc/systemd/system/halyard-exporter.service 2>&1) ||
  { echo "$out"; echo "FAIL: systemd-analyze verify"; exit 1; }
[ -z "$out" ] || { echo "$out"; echo "FAIL: systemd-analyze verify said something"; exit 1; }

security=$(systemd-analyze security --offline=true "$unit" 2>&1)
exposure=$(sed -n 's/.*Overall exposure level for halyard-exporter.service: \([0-9.]*\).*/\1/p' <<<"$security")
[ -n "$exposure" ] || { echo "$security"; echo "FAIL: no exposure figure"; exit 1; }
echo "exposure: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' || { echo "$security"; echo "FAIL: exposure $exposure > 3.0"; exit 1; }

promtool check rules "$rules/halyard-alerts.yml"
(cd "$rules" && promtool test rules halyard-alerts.test.yml)
echo "PASS"
