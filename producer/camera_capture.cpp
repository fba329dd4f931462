#include "camera_capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "capture_control.h"
#include "console_line.h"
#include "frame_schedule.h"
#include "jpeg_transcoder.h"
#include "producer_share_memory.h"
#include "video_devices.h"

namespace {

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

}  // namespace

void runCaptureLoop(cv::VideoCapture& capture, ProducerSharedMemory* shm, int frameWidth, int frameHeight,
                    int fps, std::uint32_t pixelFormat) {
    // The format first: setting it starts the device afresh, and the rate
    // set after it is the one that stays.
    if (pixelFormat != 0) {
        capture.set(cv::CAP_PROP_FOURCC, static_cast<double>(pixelFormat));
    }
    capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(frameWidth));
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(frameHeight));
    capture.set(cv::CAP_PROP_FPS, static_cast<double>(fps));
    // The camera's own JPEG, as bytes, when it sends MJPG: transcoding it
    // costs a fraction of decoding it to colour and encoding that.
    bool cameraJpeg = false;
    if (pixelFormat == kFourccMjpg &&
        static_cast<std::uint32_t>(capture.get(cv::CAP_PROP_FOURCC)) == kFourccMjpg) {
        cameraJpeg = capture.set(cv::CAP_PROP_CONVERT_RGB, 0) && capture.get(cv::CAP_PROP_CONVERT_RGB) == 0;
    }
    const double width = capture.get(cv::CAP_PROP_FRAME_WIDTH);
    const double height = capture.get(cv::CAP_PROP_FRAME_HEIGHT);
    const double rate = capture.get(cv::CAP_PROP_FPS);
    ConsoleLine(STDOUT_FILENO) << "Camera started: " << width << "x" << height << " @ " << rate << " FPS\n";

    FrameSchedule schedule(fps);
    if (schedule.period().count() > 0) {
        shm->setFramePeriod(std::chrono::microseconds(std::max(1000000 / fps, 1)));
    }
    cv::Mat frame;
    // Kept across frames: the encoder clears it and keeps its capacity, so a
    // warm loop does not allocate it again.
    std::vector<uchar> encoded;
    std::unique_ptr<JpegTranscoder> transcoder;
    if (cameraJpeg) {
        transcoder = std::make_unique<JpegTranscoder>();
        transcoder->expectSize(static_cast<int>(width), static_cast<int>(height));
    }
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    const std::function<bool()> stopRequested = [] { return !captureRequested(); };
    schedule.start();
    while (captureRequested()) {
        capture >> frame;
        if (frame.empty()) {
            ConsoleLine(STDERR_FILENO) << "Error: Empty frame captured.\n";
            break;
        }
        if (!captureRequested()) {
            break;
        }
        const unsigned char* payload = nullptr;
        std::size_t length = 0;
        if (transcoder && frame.type() == CV_8UC1 && frame.rows == 1 && frame.isContinuous()) {
            if (transcoder->transcode(frame.ptr(), frame.total())) {
                payload = transcoder->data();
                length = transcoder->size();
            }
        } else if (encodeJpeg(frame, encoded, parameters)) {
            payload = encoded.data();
            length = encoded.size();
        }
        if (payload == nullptr) {
            ConsoleLine(STDERR_FILENO) << "Error: Failed to encode frame to MJPG.\n";
            continue;
        }
        const std::int64_t steadyUs = microsecondsSinceEpoch<std::chrono::steady_clock>();
        const std::int64_t systemUs = microsecondsSinceEpoch<std::chrono::system_clock>();
        if (length > RGB_FRAME_CAPACITY) {
            ConsoleLine(STDERR_FILENO) << "Error: Encoded frame of " << length << " bytes exceeds the "
                                       << RGB_FRAME_CAPACITY << "-byte frame capacity; frame dropped.\n";
        } else {
            shm->updateRGBFrame(payload, static_cast<unsigned int>(length), static_cast<unsigned long>(steadyUs),
                                static_cast<unsigned long>(systemUs));
        }
        if (!schedule.waitForNextSlot(stopRequested)) {
            break;
        }
    }
    capture.release();
    ConsoleLine(STDOUT_FILENO) << "Camera capture stopped.\n";
}

void cameraCaptureThread(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps) {
    cameraCaptureThread(shm, std::to_string(cameraIndex), frameWidth, frameHeight, fps);
}

void cameraCaptureThread(ProducerSharedMemory* shm, const std::string& device, int frameWidth, int frameHeight,
                         int fps) {
    const bool byIndex = !device.empty() && device.size() < 10 &&
                         device.find_first_not_of("0123456789") == std::string::npos;
    const int index = byIndex ? std::stoi(device) : -1;
    const std::string path = byIndex ? "/dev/video" + std::to_string(index) : device;
    const auto open = [&](cv::VideoCaptureAPIs backend) {
        return byIndex ? std::make_unique<cv::VideoCapture>(index, backend)
                       : std::make_unique<cv::VideoCapture>(device, backend);
    };
    // V4L2 first: the other backends (a media pipeline) may open the device
    // and then deliver nothing at a size and rate it has only in MJPG.
    // Asked before the backend sets the device up, so the format it is set
    // to is still the device's own.
    std::uint32_t pixelFormat = choosePixelFormat(path, frameWidth, frameHeight, fps).value_or(0);
    // A path must name a device node: any other text would reach the other
    // backends as a file, a URL or a media pipeline of its own.
    struct stat node {};
    const bool deviceNode = byIndex || (stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode));
    std::unique_ptr<cv::VideoCapture> camera =
        deviceNode ? open(cv::CAP_V4L2) : std::make_unique<cv::VideoCapture>();
    if (byIndex && !camera->isOpened()) {
        pixelFormat = 0;
        camera = open(cv::CAP_ANY);
    }
    if (!camera->isOpened()) {
        ConsoleLine(STDERR_FILENO) << "Error: Could not open camera on device " << device << '\n';
        ConsoleLine(STDERR_FILENO) << describeVideoDevices(path, listVideoDevices()) << '\n';
        return;
    }
    runCaptureLoop(*camera, shm, frameWidth, frameHeight, fps, pixelFormat);
}

void startCameraCapture(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps) {
    startCapture([=] { cameraCaptureThread(shm, cameraIndex, frameWidth, frameHeight, fps); });
}

void startCameraCapture(ProducerSharedMemory* shm, const std::string& device, int frameWidth, int frameHeight,
                        int fps) {
    startCapture([=] { cameraCaptureThread(shm, device, frameWidth, frameHeight, fps); });
}
