"""The frameshare package and examples/read_frames.py against real demo
producer processes. Run by CTest in a private /dev/shm with the build tree's
package on PYTHONPATH."""
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import frameshare

DEMO_PRODUCER = os.environ["DEMO_PRODUCER"]
MAKE_DEMO_CLIP = os.environ["MAKE_DEMO_CLIP"]
READ_FRAMES_PY = os.environ["READ_FRAMES_PY"]


def jpeg_dimensions(data):
    """(width, height) from the first start-of-frame marker."""
    i = 2
    while i + 9 <= len(data):
        marker, length = data[i + 1], int.from_bytes(data[i + 2:i + 4], "big")
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            return int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big")
        i += 2 + length
    return None


class Producer:
    def __init__(self, clip):
        self.process = subprocess.Popen([DEMO_PRODUCER, clip, "30"], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        line = b""
        while b"Camera started:" not in line and time.monotonic() < deadline:
            if select.select([self.process.stdout], [], [], 1.0)[0]:
                line = self.process.stdout.readline()
        assert b"Camera started:" in line, "the demo producer did not start"

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            self.process.wait(timeout=30)
        self.process.stdout.close()


class FrameshareTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.clips = {}
        for width, height in ((320, 240), (160, 120)):
            path = os.path.join(cls.dir.name, f"clip{width}.avi")
            subprocess.run([MAKE_DEMO_CLIP, path, "8", str(width), str(height)], check=True,
                           stdout=subprocess.DEVNULL)
            cls.clips[width] = path

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def start(self, width=320):
        producer = Producer(self.clips[width])
        self.addCleanup(producer.stop)
        return producer

    def test_next_hands_out_each_new_frame_whole(self):
        self.start()
        with frameshare.Reader() as reader:
            frames = [reader.next(timeout=20) for _ in range(8)]
            frames += [frame for frame, _ in zip(reader, range(3))]
            latest = reader.latest()
        for earlier, later in zip(frames, frames[1:]):
            self.assertGreater(later.steady_us, earlier.steady_us)
        for frame in frames:
            self.assertEqual((frame.width, frame.height), (320, 240))
            self.assertTrue(frame.jpeg.startswith(b"\xff\xd8") and frame.jpeg.endswith(b"\xff\xd9"))
            self.assertLess(abs(frame.system_us - time.time_ns() // 1000), 60_000_000)
            self.assertGreaterEqual(frame.skipped, 0)
        self.assertGreaterEqual(latest.steady_us, frames[-1].steady_us)

        try:
            import cv2  # noqa: F401
            import numpy  # noqa: F401
            self.assertEqual(frames[-1].array().shape, (240, 320, 3))
        except ImportError:
            pass
        saved = {name: sys.modules.get(name) for name in ("cv2", "numpy")}
        sys.modules.update(cv2=None, numpy=None)  # as if neither were installed
        try:
            with self.assertRaisesRegex(ImportError, "python3-numpy python3-opencv"):
                frames[-1].array()
        finally:
            for name, module in saved.items():
                if module is None:
                    del sys.modules[name]
                else:
                    sys.modules[name] = module

    def test_timeout_and_no_producer(self):
        with frameshare.Reader() as reader:
            with self.assertRaises(frameshare.NoProducer):
                reader.next(timeout=0.2)
            with self.assertRaises(frameshare.NoProducer):
                reader.latest()
            producer = self.start()
            reader.next(timeout=20)
            producer.process.send_signal(signal.SIGSTOP)
            try:
                with self.assertRaises(TimeoutError):
                    reader.next(timeout=0.3)
            finally:
                producer.process.send_signal(signal.SIGCONT)
            reader.next(timeout=20)
        with self.assertRaises(ValueError):
            reader.next(timeout=0)

    def test_example_survives_a_restart_with_stdout_and_stderr_closed(self):
        output = os.path.join(self.dir.name, "last.jpg")
        first = self.start(320)

        def close_console():
            os.close(1)
            os.close(2)
        example = subprocess.Popen([sys.executable, READ_FRAMES_PY, "--seconds", "8", "--output", output],
                                   preexec_fn=close_console)
        time.sleep(2)
        first.stop()
        time.sleep(1)
        self.start(160)
        self.assertEqual(example.wait(timeout=120), 0)
        with open(output, "rb") as file:
            self.assertEqual(jpeg_dimensions(file.read()), (160, 120), "the last frame is the new producer's")

        shown = subprocess.run([sys.executable, READ_FRAMES_PY, "--seconds", "1", "--output", output],
                               capture_output=True, text=True, timeout=120)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn("frame 2: ", shown.stdout)
        self.assertRegex(shown.stdout, r"frames, \d+ missed, [\d.]+ frames per second; last frame saved to ")


if __name__ == "__main__":
    unittest.main(verbosity=2)
