#!/usr/bin/env bash
# Sets up, builds and runs the system without a camera: the demo producer
# publishes a generated clip, the Python example reads every frame beside it
# through the frameshare package, frameshare reports the producer's state, then
# the producer is stopped with SIGINT.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${BUILD_DIR:-$root/build}"
seconds="${DEMO_SECONDS:-4}"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

clip="$build_dir/demo_clip.avi"
[ -f "$clip" ] || "$build_dir/scripts/make_demo_clip" "$clip" 60

echo "== demo_producer publishing $clip =="
"$build_dir/producer/demo_producer" "$clip" &
producer_pid=$!
trap 'kill -INT $producer_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -e /dev/shm/tavora_camera_sensor_ ] && break
  sleep 0.1
done

echo "== reading every frame for ${seconds}s with examples/read_frames.py =="
# The example reads through the frameshare package and libframeshare in the
# build tree; installed, python3 finds both by itself.
PYTHONPATH="$build_dir/python" python3 "$root/examples/read_frames.py" \
  --seconds "$seconds" --output "$build_dir/demo_frame.jpg" || true

echo "== frameshare status =="
"$build_dir/frameshare/frameshare" status || true

kill -INT "$producer_pid"
status=0
wait "$producer_pid" || status=$?
trap - EXIT
echo "== demo_producer exited with status $status =="
exit "$status"
