#!/usr/bin/env bash
# Builds the segment fuzzer with clang and runs it for FUZZ_SECONDS (default
# 60) from the seed corpus. Any crash, leak or sanitizer report fails.
# Arguments go to CMake (for example -DFRAMESHARE_WERROR=ON).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
bash "$root/scripts/setup.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFRAMESHARE_FUZZ=ON -DFRAMESHARE_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target segment_fuzzer
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# New inputs go to the scratch directory; the committed seeds stay as they are.
LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp" \
  "$build_dir/tests/fuzz/segment_fuzzer" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
  "$work" "$root/tests/fuzz/corpus"
echo "fuzzing: ${seconds}s without a crash"
