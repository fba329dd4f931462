#!/usr/bin/env python3
"""Reads frames from the producer through libframereader.so with ctypes.

Polls get_frame_data for a few seconds, counts the distinct frames seen,
prints the age of each and saves the last one as a JPEG file.
Standard library only.
"""
import argparse
import ctypes
import ctypes.util
import os
import sys
import time

FRAME_CAPACITY = 1920 * 1080 * 3


class FrameOutput(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_uint8)),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("size", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
        ("timestamp", ctypes.c_int64),
    ]


assert ctypes.sizeof(FrameOutput) == 32


def load_library(path):
    library = ctypes.CDLL(path or ctypes.util.find_library("framereader") or "libframereader.so",
                          use_errno=True)
    library.get_frame_data.argtypes = [ctypes.POINTER(FrameOutput), ctypes.c_void_p]
    library.get_frame_data.restype = None
    return library


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--library", help="path of libframereader.so")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rate", type=float, default=30.0, help="calls per second")
    parser.add_argument("--output", default="frame.jpg")
    args = parser.parse_args()

    library = load_library(args.library)
    buffer = (ctypes.c_uint8 * FRAME_CAPACITY)()
    frame = FrameOutput(data=ctypes.cast(buffer, ctypes.POINTER(ctypes.c_uint8)))

    seen = 0
    last_timestamp = None
    last_payload = None
    start = time.monotonic()
    while time.monotonic() - start < args.seconds:
        library.get_frame_data(ctypes.byref(frame), None)
        error = ctypes.get_errno()
        if error != 0:
            print(f"no frame: {os.strerror(error)}", file=sys.stderr, flush=True)
            return 1
        if frame.size > 0 and frame.timestamp != last_timestamp:
            seen += 1
            last_timestamp = frame.timestamp
            last_payload = bytes(buffer[: frame.size])
            # time.monotonic_ns reads the same steady clock as the producer.
            age_ms = (time.monotonic_ns() // 1000 - frame.timestamp) / 1000.0
            print(f"frame {seen}: {frame.size} bytes, {frame.width}x{frame.height}, age {age_ms:.1f} ms",
                  flush=True)
        time.sleep(1.0 / args.rate)

    elapsed = time.monotonic() - start
    if last_payload is None:
        print("no frame was published", file=sys.stderr, flush=True)
        return 1
    with open(args.output, "wb") as file:
        file.write(last_payload)
    print(f"{seen} frames in {elapsed:.1f} s ({seen / elapsed:.1f} frames per second); "
          f"last frame saved to {os.path.abspath(args.output)}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
