#!/bin/bash
# The service unit's exposure as systemd rates it: 4.5 or better, or the hardening has slipped.
. "$(dirname "$0")/lib.sh"
unit=$1
command -v systemd-analyze >/dev/null || skip "systemd-analyze (systemd) is not installed"
systemd-analyze security --offline=true "$unit" 2>&1 | grep 'Overall exposure'
systemd-analyze security --offline=true --threshold=45 "$unit" >/dev/null 2>&1 ||
    { echo "FAIL: exposure above 4.5"; exit 1; }
echo "ok   exposure at most 4.5"
