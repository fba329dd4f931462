#!/usr/bin/env bash
# Builds and runs the benchmarks, then prints one table. The benchmarks use
# the segment's real name: as root they run in a private /dev/shm of their
# own, beside any producer or test suite; otherwise do not run them beside one.
set -euo pipefail
if [[ $EUID -eq 0 && -z "${FRAMESHARE_BENCH_PRIVATE:-}" ]] && command -v unshare >/dev/null; then
  exec env FRAMESHARE_BENCH_PRIVATE=1 unshare -m --propagation private \
    bash -c 'mount -t tmpfs -o size=1g tmpfs /dev/shm && exec bash "$0" "$@"' "$0" "$@"
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${BUILD_DIR:-$root/build}"
seconds="${BENCH_SECONDS:-10}"
bash "$root/scripts/setup.sh"
BUILD_TYPE=Release bash "$root/scripts/build.sh" -DFRAMESHARE_BUILD_BENCHMARKS=ON
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
"$build_dir/bench/micro_bench" --benchmark_format=json --benchmark_out="$work/micro.json" \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true --benchmark_min_time=0.3 >/dev/null
python3 - "$work/micro.json" <<'PY'
import json, sys
path = sys.argv[1]
data = json.load(open(path))
data["benchmarks"] = [b for b in data["benchmarks"] if b.get("aggregate_name") == "median"]
for b in data["benchmarks"]:
    b["name"] = b["run_name"]
json.dump(data, open(path, "w"))
PY
"$build_dir/bench/contention_bench" "$seconds" "$work" > "$work/contention.txt"
"$build_dir/bench/serve_bench" "$(( seconds < 5 ? seconds : 5 ))" "$work" > "$work/serve.txt"
"$build_dir/bench/reader_bench" "$seconds" "$work" > "$work/reader.txt"
python3 "$root/bench/report.py" "$work/micro.json" "$work/contention.txt" "$work/serve.txt" "$work/reader.txt"
echo
"$build_dir/bench/capture_pacing_bench" "$seconds" 1
echo
# The camera's MJPG frames to published JPEG, on the emulated USB webcam
# (built with the tests) when there is one.
emulator="$build_dir/tests/v4l2_emulator/libv4l2_emulator.so"
if [[ -f "$emulator" ]]; then
  LD_PRELOAD="$emulator" V4L2EMU_CAPTURE=0 "$build_dir/bench/transcode_bench" --camera 0 "$build_dir/producer/producer" "$seconds" 2>/dev/null
else
  "$build_dir/bench/transcode_bench"
fi
# The rate the producer publishes from the emulated webcam (built with the tests).
if [[ -x "$build_dir/bench/camera_rate_bench" ]]; then
  echo
  "$build_dir/bench/camera_rate_bench" "$seconds"
fi
if [[ -x "$build_dir/bench/rtsp_bench" ]]; then
  echo
  "$build_dir/bench/rtsp_bench" 20 "$work"
fi
