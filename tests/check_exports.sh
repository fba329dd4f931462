#!/usr/bin/env bash
# Fails when the library's dynamic symbol table defines anything but
# get_frame_data.
set -euo pipefail
library="$1"
defined=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort -u)
if [ "$defined" != "get_frame_data" ]; then
  echo "unexpected exported symbols in $library:" >&2
  echo "$defined" | grep -vx get_frame_data >&2 || true
  exit 1
fi
echo "only get_frame_data is exported"
