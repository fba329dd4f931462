#!/usr/bin/env python3
"""Reads every new frame from the producer with the frameshare package.

Prints each frame's size and age, then the rate it saw, and saves the last
frame as a JPEG file. Waits for a producer, follows one that restarts, and
stops after --seconds or at Ctrl-C.
"""
import argparse
import os
import sys
import time

try:
    import frameshare
except ImportError:
    sys.exit("the frameshare package is not installed: run cmake --install, "
             "or set PYTHONPATH to the build tree's python directory")


def say(text, stream="stdout"):
    # A closed or vanished standard output must not end the reading.
    try:
        print(text, file=getattr(sys, stream) or open(os.devnull, "w"), flush=True)
    except OSError:
        setattr(sys, stream, open(os.devnull, "w"))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--output", default="frame.jpg")
    args = parser.parse_args()

    seen = skipped = 0
    first = last = None
    end = time.monotonic() + args.seconds
    with frameshare.Reader() as reader:
        try:
            while time.monotonic() < end:
                try:
                    frame = reader.next(timeout=min(1.0, max(end - time.monotonic(), 0.0)))
                except frameshare.NoProducer:
                    say("waiting for a producer")
                    continue
                except TimeoutError:
                    continue
                seen += 1
                skipped += frame.skipped
                first = first or frame
                last = frame
                # time.monotonic_ns reads the producer's steady clock.
                age_ms = (time.monotonic_ns() // 1000 - frame.steady_us) / 1000
                say(f"frame {seen}: {len(frame.jpeg)} bytes, {frame.width}x{frame.height}, age {age_ms:.1f} ms")
        except KeyboardInterrupt:
            pass

    if last is None:
        say("no frame was published", "stderr")
        return 1
    with open(args.output, "wb") as file:
        file.write(last.jpeg)
    span = (last.steady_us - first.steady_us) / 1e6
    rate = (seen - 1) / span if span > 0 else 0.0
    say(f"{seen} frames, {skipped} missed, {rate:.1f} frames per second; "
        f"last frame saved to {os.path.abspath(args.output)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
