#include "camera_capture.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <thread>
#include <vector>

#include "producer_share_memory.h"

namespace {

std::atomic<bool> g_running{false};
std::unique_ptr<std::thread> g_capture_thread;

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler stores into g_running");

template <typename Clock>
std::int64_t microsecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// Encodes as JPEG. An encoder that throws (an image it cannot handle) is
// treated like one that reports failure: the frame is dropped, the process
// goes on.
bool encodeJpeg(const cv::Mat& frame, std::vector<uchar>& encoded, const std::vector<int>& parameters) {
    try {
        return cv::imencode(".jpg", frame, encoded, parameters);
    } catch (const cv::Exception&) {
        return false;
    }
}

void writeAll(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, text, length);
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

}  // namespace

int capturePauseMs(int fps) {
    if (fps == 0) {
        return 0;
    }
    const int pause = 1000 / fps;
    return pause > 0 ? pause : 0;
}

bool captureRequested() { return g_running.load(); }

void runCaptureLoop(cv::VideoCapture& capture, ProducerSharedMemory* shm, int frameWidth, int frameHeight,
                    int fps) {
    capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(frameWidth));
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(frameHeight));
    capture.set(cv::CAP_PROP_FPS, static_cast<double>(fps));
    const double width = capture.get(cv::CAP_PROP_FRAME_WIDTH);
    const double height = capture.get(cv::CAP_PROP_FRAME_HEIGHT);
    const double rate = capture.get(cv::CAP_PROP_FPS);
    std::cout << "Camera started: " << width << "x" << height << " @ " << rate << " FPS" << std::endl;

    cv::Mat frame;
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    const int pauseMs = capturePauseMs(fps);
    while (g_running.load()) {
        capture >> frame;
        if (frame.empty()) {
            std::cerr << "Error: Empty frame captured." << std::endl;
            break;
        }
        if (!g_running.load()) {
            break;
        }
        std::vector<uchar> encoded;
        if (!encodeJpeg(frame, encoded, parameters)) {
            std::cerr << "Error: Failed to encode frame to MJPG." << std::endl;
            continue;
        }
        const std::int64_t steadyUs = microsecondsSinceEpoch<std::chrono::steady_clock>();
        const std::int64_t systemUs = microsecondsSinceEpoch<std::chrono::system_clock>();
        if (encoded.size() > RGB_FRAME_CAPACITY) {
            std::cerr << "Error: Encoded frame of " << encoded.size() << " bytes exceeds the " << RGB_FRAME_CAPACITY
                      << "-byte frame capacity; frame dropped." << std::endl;
        } else {
            shm->updateRGBFrame(encoded.data(), static_cast<unsigned int>(encoded.size()),
                                static_cast<unsigned long>(steadyUs), static_cast<unsigned long>(systemUs));
        }
        if (pauseMs > 0) {
            // sleep_for resumes after a signal, so SIGINT does not shorten it.
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    }
    capture.release();
    std::cout << "Camera capture stopped." << std::endl;
}

void cameraCaptureThread(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps) {
    cv::VideoCapture camera(cameraIndex, cv::CAP_ANY);
    if (!camera.isOpened()) {
        std::cerr << "Error: Could not open camera on device " << cameraIndex << std::endl;
        return;
    }
    runCaptureLoop(camera, shm, frameWidth, frameHeight, fps);
}

void startCapture(const std::function<void()>& threadBody) {
    if (g_running.load()) {
        std::cout << "Camera is already running." << std::endl;
        return;
    }
    g_running.store(true);
    g_capture_thread = std::make_unique<std::thread>(threadBody);
    if (g_capture_thread && g_capture_thread->joinable()) {
        g_capture_thread->join();
    }
}

void startCameraCapture(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps) {
    startCapture([=] { cameraCaptureThread(shm, cameraIndex, frameWidth, frameHeight, fps); });
}

void stopCameraCapture() {
    if (!g_running.load()) {
        std::cout << "Camera is not running." << std::endl;
        return;
    }
    g_running.store(false);
    if (g_capture_thread && g_capture_thread->joinable()) {
        g_capture_thread->join();
    }
    std::cout << "Camera capture thread joined." << std::endl;
}

void signalHandler(int sig) {
    if (sig != SIGINT) {
        return;
    }
    // write(2) rather than the buffered stream: only async-signal-safe calls
    // belong in a handler.
    static const char message[] = "Caught signal SIGINT, preparing to exit gracefully...\n";
    const int savedErrno = errno;  // the interrupted code may be about to read it
    writeAll(STDOUT_FILENO, message, sizeof message - 1);
    errno = savedErrno;
    g_running.store(false);
}

void printSystemTime() {
    const std::int64_t milliseconds = microsecondsSinceEpoch<std::chrono::system_clock>() / 1000;
    std::cout << "当前系统时间: " << milliseconds << " \n";
}

int runProducerProgram(const std::function<void(ProducerSharedMemory*)>& capture) {
    signal(SIGINT, signalHandler);
    auto* shm = new ProducerSharedMemory();
    shm->initialize();
    capture(shm);
    delete shm;
    puts("exit_ctrl_c\r");
    return 0;
}
