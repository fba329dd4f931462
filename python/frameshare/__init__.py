"""Camera frames from the frameshare producer, one after another.

    import frameshare
    with frameshare.Reader() as reader:
        frame = reader.next(timeout=1.0)
        frame.jpeg            # bytes of one JPEG image
        for frame in reader:  # every new frame until interrupted
            ...

A thin layer over libframeshare (standard library only). numpy and OpenCV
are needed only by Frame.array().
"""
import ctypes
import ctypes.util
import errno
import os
import time

__all__ = ["Reader", "Frame", "NoProducer"]

# The library checks for a signal (Ctrl-C) between slices of a long wait.
_SLICE_S = 0.1


class NoProducer(FileNotFoundError):
    """No producer runs (none at the end of the wait)."""

    def __init__(self, message="no frameshare producer is running"):
        super().__init__(errno.ENOENT, message)


class _CFrame(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_uint8)),
        ("size", ctypes.c_uint32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("steady_us", ctypes.c_int64),
        ("system_us", ctypes.c_int64),
        ("skipped", ctypes.c_uint32),
    ]


def _library_path():
    """The library installed beside this package, else the system's."""
    override = os.environ.get("FRAMESHARE_LIBRARY")
    if override:
        return override
    try:
        from . import _location
        candidate = os.path.join(os.path.dirname(os.path.abspath(__file__)), _location.LIBRARY)
        if os.path.exists(candidate):
            return candidate
    except ImportError:
        pass
    return ctypes.util.find_library("frameshare") or "libframeshare.so.1"


_lib = None


def _load():
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(_library_path())
        handle = ctypes.c_void_p
        lib.frameshare_reader_open.argtypes = [ctypes.POINTER(handle)]
        lib.frameshare_reader_open.restype = ctypes.c_int
        lib.frameshare_reader_next.argtypes = [handle, ctypes.c_int, ctypes.POINTER(_CFrame)]
        lib.frameshare_reader_next.restype = ctypes.c_int
        lib.frameshare_reader_latest.argtypes = [handle, ctypes.POINTER(_CFrame)]
        lib.frameshare_reader_latest.restype = ctypes.c_int
        lib.frameshare_reader_close.argtypes = [handle]
        lib.frameshare_reader_close.restype = None
        _lib = lib
    return _lib


def _raise(error):
    if error == errno.ENOENT:
        raise NoProducer()
    if error == errno.ETIMEDOUT:
        raise TimeoutError(error, "no new frame within the timeout")
    # EPERM and EACCES become PermissionError, the rest OSError.
    raise OSError(error, os.strerror(error))


class Frame:
    """One JPEG frame with its published timestamps (microseconds)."""

    __slots__ = ("jpeg", "width", "height", "steady_us", "system_us", "skipped")

    def __init__(self, raw):
        self.jpeg = ctypes.string_at(raw.data, raw.size)
        self.width = raw.width
        self.height = raw.height
        self.steady_us = raw.steady_us  # CLOCK_MONOTONIC, as time.monotonic_ns() // 1000
        self.system_us = raw.system_us  # wall clock, as time.time_ns() // 1000
        self.skipped = raw.skipped      # frames published before this one that this reader missed

    def array(self):
        """The image as a numpy array (height, width, 3), BGR, decoded by OpenCV."""
        try:
            import cv2
            import numpy
        except ImportError as error:
            raise ImportError("Frame.array() needs numpy and OpenCV: "
                              "apt install python3-numpy python3-opencv") from error
        image = cv2.imdecode(numpy.frombuffer(self.jpeg, dtype=numpy.uint8), cv2.IMREAD_COLOR)
        if image is None:
            raise ValueError("the frame is not a JPEG image OpenCV can decode")
        return image

    def __repr__(self):
        return (f"<frameshare.Frame {len(self.jpeg)} bytes {self.width}x{self.height} "
                f"steady_us={self.steady_us} skipped={self.skipped}>")


class Reader:
    """A lasting reader of the producer's frames; follows a restarted producer.

    Use one Reader from one thread at a time. It needs no running producer to
    be made: next() waits for one.
    """

    def __init__(self):
        self._handle = ctypes.c_void_p()
        self._lib = _load()
        self._frame = _CFrame()
        error = self._lib.frameshare_reader_open(ctypes.byref(self._handle))
        if error != 0:
            _raise(error)

    def next(self, timeout=None):
        """The first frame newer than the last one returned.

        Waits up to `timeout` seconds (None: without bound). Raises
        TimeoutError when no new frame came, NoProducer when at the end no
        producer runs.
        """
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while True:
            left = _SLICE_S if deadline is None else min(_SLICE_S, max(deadline - time.monotonic(), 0.0))
            error = self._lib.frameshare_reader_next(self._live(), int(left * 1000), ctypes.byref(self._frame))
            if error == 0:
                return Frame(self._frame)
            if error not in (errno.ETIMEDOUT, errno.ENOENT) or (
                    deadline is not None and time.monotonic() >= deadline):
                _raise(error)

    def latest(self):
        """The frame current now, new or not; None while none is published yet."""
        error = self._lib.frameshare_reader_latest(self._live(), ctypes.byref(self._frame))
        if error == errno.EAGAIN:
            return None
        if error != 0:
            _raise(error)
        return Frame(self._frame)

    def __iter__(self):
        while True:
            yield self.next()

    def close(self):
        if self._handle:
            self._lib.frameshare_reader_close(self._handle)
            self._handle = ctypes.c_void_p()

    def _live(self):
        if not self._handle:
            raise ValueError("the reader is closed")
        return self._handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()
