// The producer without a camera: the same capture thread, SIGINT handling
// and shutdown, fed from a video file or an image sequence that loops.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "camera_capture.h"
#include "capture_control.h"
#include "console_line.h"
#include "producer_run.h"
#include "producer_share_memory.h"

namespace {

// Starts again from the first frame at the end of the file, so the demo
// runs until it is interrupted, like a camera.
class LoopingVideoCapture : public cv::VideoCapture {
public:
    explicit LoopingVideoCapture(const std::string& source) : cv::VideoCapture(source, cv::CAP_ANY) {}

    bool read(cv::OutputArray image) override {
        if (cv::VideoCapture::read(image) && !image.empty()) {
            return true;
        }
        if (!isOpened() || !set(cv::CAP_PROP_POS_FRAMES, 0)) {
            return false;
        }
        return cv::VideoCapture::read(image);
    }
};

void fileCaptureThread(ProducerSharedMemory* shm, const std::string& source, int fps) {
    LoopingVideoCapture capture(source);
    if (!capture.isOpened()) {
        ConsoleLine(STDERR_FILENO) << "Error: Could not open video source " << source << '\n';
        return;
    }
    runCaptureLoop(capture, shm, 1920, 1080, fps);
}

}  // namespace

// Runs the registry health monitor at a fixed rate until stopped, so that
// registered consumers are posted after each frame and retired when they
// stop taking posts.
class HealthMonitorThread {
public:
    HealthMonitorThread(ProducerSharedMemory* shm, int passesPerSecond) {
        if (passesPerSecond <= 0) {
            return;
        }
        // At least a millisecond: above 1000 passes a second the period would
        // be 0 and the monitor would spin on the registry mutex.
        const auto period = std::chrono::milliseconds(std::max(1, 1000 / passesPerSecond));
        ScopedSigintBlock block;  // SIGINT stays with the waiting main thread
        thread_ = std::thread([this, shm, period] {
            try {
                std::unique_lock<std::mutex> lock(mutex_);
                while (!stop_) {
                    shm->checkConsumerHealth();
                    stopped_.wait_for(lock, period, [this] { return stop_; });
                }
            } catch (const std::exception& error) {
                ConsoleLine(STDERR_FILENO) << "Error: Health monitor stopped: " << error.what() << '\n';
            }
        });
    }
    ~HealthMonitorThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    HealthMonitorThread(const HealthMonitorThread&) = delete;
    HealthMonitorThread& operator=(const HealthMonitorThread&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::cerr << "usage: " << argv[0] << " VIDEO_FILE_OR_IMAGE_PATTERN [FPS [MONITOR_PASSES_PER_SECOND]]"
                  << std::endl;
        return 2;
    }
    const std::string source = argv[1];
    const int fps = argc >= 3 ? std::atoi(argv[2]) : 30;
    const int monitorRate = argc >= 4 ? std::atoi(argv[3]) : 0;
    return runProducerProgram([&](ProducerSharedMemory* shm) {
        HealthMonitorThread monitor(shm, monitorRate);
        startCapture([shm, source, fps] { fileCaptureThread(shm, source, fps); });
    });
}
