// The producer's capture: opening the camera, and the loop that reads,
// encodes and publishes its frames.
#pragma once

#include <cstdint>
#include <string>

namespace cv {
class VideoCapture;
}
class ProducerSharedMemory;

// Body of the capture thread for a camera opened by index.
void cameraCaptureThread(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps);
// The same for a device given as an index ("1") or a path ("/dev/video1").
// The device is opened with the V4L2 backend, with the pixel format that
// gives the size at the rate; with any backend only if V4L2 cannot open it.
void cameraCaptureThread(ProducerSharedMemory* shm, const std::string& device, int frameWidth, int frameHeight,
                         int fps);
// Starts the capture thread and waits until it has ended.
void startCameraCapture(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps);
void startCameraCapture(ProducerSharedMemory* shm, const std::string& device, int frameWidth, int frameHeight,
                        int fps);

// Requests a size and rate from an opened source, then reads, encodes and
// publishes its frames on the rate's schedule until a stop request or an
// empty frame. Works on any opened capture: a camera, a video file or an
// image sequence. A pixel format other than 0 is requested first; when it is
// MJPG and the source then hands out its frames undecoded, they are
// transcoded rather than decoded and encoded again.
void runCaptureLoop(cv::VideoCapture& capture, ProducerSharedMemory* shm, int frameWidth, int frameHeight, int fps,
                    std::uint32_t pixelFormat = 0);
