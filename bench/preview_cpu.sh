#!/bin/bash
# The CPU the desktop program spends on the 8-MP preview, beside a bare host
# that only receives the same frames: both on the virtual camera under Xvfb,
# one after the other, each measured over the same window of its run.
# Usage: bench/preview_cpu.sh [SECONDS]   (after a build; prints both and the ratio)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELCAP_BUILD_DIR:-$root/build}
seconds=${1:-10}
launcher="$build/vcam/velcap-vcam"

# CPU seconds (user and system) of the process named by a pid file, over
# the measuring window that starts once the camera streams.
measure() {
    local pidfile=$1 start end ticks
    for _ in $(seq 100); do [ -s "$pidfile" ] && break; sleep 0.1; done
    local pid
    pid=$(cat "$pidfile")
    sleep 4 # open the camera, render the scene, reach a steady rate
    start=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    sleep "$seconds"
    end=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    ticks=$(getconf CLK_TCK)
    awk -v d=$((end - start)) -v t="$ticks" -v s="$seconds" 'BEGIN { printf "%.3f", d / t / s }' 
}

run() { # run NAME COMMAND...: prints the share of one core the command used
    local pidfile runtime
    pidfile=$(mktemp)
    # A runtime folder of the run's own (0700), removed with it: Qt would make /tmp/runtime-root.
    runtime=$(mktemp -d)
    XDG_RUNTIME_DIR=$runtime xvfb-run -a -s "-screen 0 1000x660x24" "$launcher" -- \
        sh -c 'echo $$ > "$0"; exec "$@"' "$pidfile" "$@" > /dev/null 2>&1 &
    local job=$!
    local share
    share=$(measure "$pidfile")
    kill -TERM "$(cat "$pidfile")" 2>/dev/null || true
    wait "$job" 2>/dev/null || true
    rm -f "$pidfile"
    rm -rf "$runtime"
    echo "$share"
}

bare=$(run "$build/bench/bare_host" $((seconds + 8)))
desk=$(run "$build/desktop/velcapdesk")
camera=$(run "$build/bench/bare_host" --undecoded $((seconds + 8)))
echo "bare host:  $bare cores"
echo "velcapdesk: $desk cores"
echo "the camera and its stream alone (frames not decoded): $camera cores"
awk -v a="$desk" -v b="$bare" 'BEGIN { printf "ratio:      %.2f\n", a / b }'
# What each program spends on top of the virtual camera's own rendering, which is no part of either.
awk -v a="$desk" -v b="$bare" -v c="$camera" 'BEGIN { if (b > c) printf "ratio of what each adds to the camera: %.2f\n", (a - c) / (b - c) }' 
