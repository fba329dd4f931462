// The producer without a camera: the same capture thread, SIGINT handling
// and shutdown, fed from a video file or an image sequence that loops.
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "camera_capture.h"

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
        std::cerr << "Error: Could not open video source " << source << std::endl;
        return;
    }
    runCaptureLoop(capture, shm, 1920, 1080, fps);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: " << argv[0] << " VIDEO_FILE_OR_IMAGE_PATTERN [FPS]" << std::endl;
        return 2;
    }
    const std::string source = argv[1];
    const int fps = argc == 3 ? std::stoi(argv[2]) : 30;
    return runProducerProgram([&](ProducerSharedMemory* shm) {
        startCapture([shm, source, fps] { fileCaptureThread(shm, source, fps); });
    });
}
