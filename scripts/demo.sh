#!/usr/bin/env bash
# Sets up, builds and runs the producer without a camera: a generated clip
# stands in for the camera, and the run is stopped with SIGINT (Ctrl-C).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${BUILD_DIR:-$root/build}"
seconds="${DEMO_SECONDS:-5}"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

clip="$build_dir/demo_clip.avi"
[ -f "$clip" ] || "$build_dir/scripts/make_demo_clip" "$clip" 60

echo "== demo_producer publishing $clip for ${seconds}s =="
"$build_dir/producer/demo_producer" "$clip" &
producer_pid=$!
trap 'kill -INT $producer_pid 2>/dev/null || true' EXIT
sleep "$seconds"
ls -l /dev/shm/tavora_camera_sensor_ 2>/dev/null | sed 's/^/segment: /' || true
kill -INT "$producer_pid"
status=0
wait "$producer_pid" || status=$?
trap - EXIT
echo "== demo_producer exited with status $status =="
exit "$status"
