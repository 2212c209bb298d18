#!/bin/bash
# An A4 scan at 300 dpi in colour through SANE, as a user makes it: scanimage
# (sane-airscan) from velcapd --escl on the 8-MP virtual camera. Prints each
# scan's wall time from the command, and velcapd's memory before and after.
# Usage: bench/scan_time.sh [SCANS]   (after a build; 20 scans by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELCAP_BUILD_DIR:-$root/build}
scans=${1:-20}
work=$(mktemp -d)
trap 'kill "$(cat "$work/pid" 2>/dev/null)" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$work/token"
"$build/vcam/velcap-vcam" -- sh -c 'echo $$ > "$0"; exec "$@"' "$work/pid" \
    "$build/service/velcapd" --port 0 --token-file "$work/token" --escl > "$work/log" 2>&1 &
port=
for _ in $(seq 100); do
    port=$(sed -n 's|^velcapd: listening on http://127.0.0.1:\([0-9]*\)/$|\1|p' "$work/log")
    [ -n "$port" ] && break
    sleep 0.1
done
mkdir "$work/sane"
echo airscan > "$work/sane/dll.conf"
printf '[devices]\nvelcap = http://127.0.0.1:%s/eSCL, eSCL\n[options]\ndiscovery = disable\n' "$port" > "$work/sane/airscan.conf"
rss() { awk '/VmRSS/ { print int($2 / 1024) }' "/proc/$(cat "$work/pid")/status"; }
scan() {
    SANE_CONFIG_DIR="$work/sane" scanimage -d airscan:e0:velcap --resolution 300 --mode Color --format=png \
        -o "$work/scan.png"
}
scan # the first scan opens the camera: counted in the figures below
before=$(rss)
times=()
for i in $(seq "$scans"); do
    start=$(date +%s%N)
    scan
    times+=("$((($(date +%s%N) - start) / 1000000))")
done
after=$(rss)
printf '%s\n' "${times[@]}" | sort -n | awk -v n="$scans" '
    { t[NR] = $1 / 1000 } END { printf "A4 at 300 dpi, colour PNG through scanimage: median %.2f s, worst %.2f s over %d scans (goal 3 s)\n", t[int((n + 1) / 2)], t[n], n }'
echo "velcapd's memory: $before MB after the first scan, $after MB after $scans more (goal: within +50 MB)"
identify "$work/scan.png"
