#!/usr/bin/env python3
"""One Python reader looping on frameshare's next() with frame.jpeg for
SECONDS against a running producer; prints "key value" lines: frames seen,
the delay from each frame's steady_us to its return, the process's CPU."""
import statistics
import sys
import time

import frameshare


def main(seconds):
    with frameshare.Reader() as reader:
        reader.next(timeout=30)
        for _ in range(30):  # settle
            reader.next(timeout=1)
        delays = []
        seen = skipped = 0
        first = last = None
        cpu = time.process_time()
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            try:
                frame = reader.next(timeout=1)
            except TimeoutError:
                continue
            jpeg = frame.jpeg
            delays.append(time.monotonic_ns() // 1000 - frame.steady_us)
            seen += 1
            skipped += frame.skipped
            first = first or frame.steady_us
            last = frame.steady_us
            del jpeg
        cpu = time.process_time() - cpu
        wall = time.monotonic() - start
    delays.sort()
    print(f"python.first_us {first}")
    print(f"python.last_us {last}")
    print(f"python.seen {seen}")
    print(f"python.skipped {skipped}")
    print(f"python.delay_median_ms {statistics.median(delays) / 1000:.6f}")
    print(f"python.delay_p99_ms {delays[int(0.99 * (len(delays) - 1))] / 1000:.6f}")
    print(f"python.cpu_percent {cpu / wall * 100:.6f}", flush=True)


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 10.0)
