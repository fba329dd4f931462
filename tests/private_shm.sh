#!/bin/sh
# Runs a test with its own empty /dev/shm: a private mount namespace with a
# fresh tmpfs there, so the test never sees or touches the machine's
# segment and semaphores (a live producer on this machine keeps its feed).
# Without the right to make one (root) the test is skipped, never run
# against the machine's /dev/shm. Listing a test binary's cases needs none.
# Usage: private_shm.sh COMMAND [ARGS...]
for argument in "$@"; do
    if [ "$argument" = "--gtest_list_tests" ]; then
        exec "$@"
    fi
done
if ! unshare -m true 2>/dev/null; then
    echo "SKIPPED: a private /dev/shm needs root (unshare -m); not touching the machine's own"
    exit 77
fi
exec unshare -m sh -c 'mount -t tmpfs -o size=256m,mode=1777 tmpfs /dev/shm || exit 77; exec "$@"' private_shm "$@"
