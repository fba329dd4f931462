// The producer's capture thread, its start/stop control, the SIGINT handler
// and the run sequence shared by the camera program and the demo.
#pragma once

#include <functional>

namespace cv {
class VideoCapture;
}
class ProducerSharedMemory;

// Body of the capture thread for a camera opened by index.
void cameraCaptureThread(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps);
// Starts the capture thread and waits until it has ended.
void startCameraCapture(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps);
// Requests a stop and joins the capture thread.
void stopCameraCapture();
void signalHandler(int sig);
void printSystemTime();

// Requests a size and rate from an opened source, then reads, encodes and
// publishes its frames until a stop request or an empty frame. Works on any
// opened capture: a camera, a video file or an image sequence.
void runCaptureLoop(cv::VideoCapture& capture, ProducerSharedMemory* shm, int frameWidth, int frameHeight, int fps);
// startCameraCapture with any thread body (the demo opens a file instead).
void startCapture(const std::function<void()>& threadBody);
// Pause after each published frame, in milliseconds.
int capturePauseMs(int fps);
// Whether capture is wanted (the stop flag, read sequentially consistent).
bool captureRequested();
// The whole program run: SIGINT handler, segment owner, capture, teardown
// and the closing line. Returns the exit status.
int runProducerProgram(const std::function<void(ProducerSharedMemory*)>& capture);
