#include "camera_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <thread>
#include <utility>
#include <vector>

#include "console_line.h"
#include "jpeg_transcoder.h"
#include "producer_share_memory.h"
#include "video_devices.h"

namespace {

std::atomic<bool> g_running{false};
// Set only by the SIGINT handler and never cleared by a start, so a SIGINT
// that comes before capture starts is not lost.
std::atomic<bool> g_stop_requested{false};
std::unique_ptr<std::thread> g_capture_thread;

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler stores into the capture flags");

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

std::chrono::nanoseconds framePeriod(int fps) {
    if (fps <= 0) {
        return std::chrono::nanoseconds(0);
    }
    const std::int64_t second = 1000000000;
    return std::chrono::nanoseconds((second + fps - 1) / fps);
}

// One line on standard error, whatever line ends the text holds.
void writeErrorLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    ConsoleLine(STDERR_FILENO) << text << '\n';
}

// A process started with a standard descriptor closed would hand the
// segment, or a semaphore, the lowest free number: its console lines would
// then be written into it. Each closed one is opened on /dev/null first;
// in increasing order, the lowest free number is the one being filled.
void ensureStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            (void)open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        }
    }
}

// The closing line of a run that started: a reader of the pipe that is
// slow now and then still gets it, within a bound that never holds up the
// exit for long.
constexpr std::chrono::milliseconds kClosingLineWait{2000};

void writeClosingLine() { writeConsoleLine(STDOUT_FILENO, "exit_ctrl_c\r\n", kClosingLineWait); }

// A frame mutex that no lock can take any more stays so until the segment
// is built afresh: capture ends, and a non-zero status lets a service
// manager start the producer again.
void stopOnUnusableFrameMutex() { g_running.store(false); }

void installSigintHandler() {
    struct sigaction action {};
    action.sa_handler = signalHandler;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume, as they do under signal(): the handler
    // only records the request, and the loop polls it.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

// Ends the run itself when capture has not returned kStopGrace after a
// SIGINT: a camera or a pipe that stops delivering without closing can hold
// a read (or the release after it) for good, and the stop must not wait for
// it. The segment's mapping is left alone, since the stalled thread may
// still write into it; removing the name is what readers see.
class StopWatchdog {
public:
    explicit StopWatchdog(const ProducerSharedMemory* shm) : shm_(shm) {
        ScopedSigintBlock block;  // SIGINT stays with the main thread
        thread_ = std::thread([this] { watch(); });
    }
    // Capture has returned: from here on the main thread tears down. Blocks
    // for good if the watchdog is already ending the process.
    ~StopWatchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    StopWatchdog(const StopWatchdog&) = delete;
    StopWatchdog& operator=(const StopWatchdog&) = delete;

private:
    void watch() {
        using Clock = std::chrono::steady_clock;
        std::unique_lock<std::mutex> lock(mutex_);
        Clock::time_point stopSeen{};
        bool stopping = false;
        while (!changed_.wait_for(lock, FrameSchedule::kSleepSlice, [this] { return done_; })) {
            if (!stopping && g_stop_requested.load()) {
                stopping = true;
                stopSeen = Clock::now();
            }
            if (stopping && Clock::now() - stopSeen >= kStopGrace) {
                // mutex_ stays held: the main thread never starts its teardown.
                shm_->removeName();
                ConsoleLine(STDERR_FILENO) << "Warning: Capture did not stop within " << kStopGrace.count()
                                           << " ms of SIGINT; ending without waiting for it.\n";
                ConsoleLine(STDOUT_FILENO) << "exit_ctrl_c\r\n";
                _exit(0);
            }
        }
    }

    const ProducerSharedMemory* shm_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

ScopedSigintBlock::ScopedSigintBlock() {
    sigset_t sigint;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigint, &previous_);
}

ScopedSigintBlock::~ScopedSigintBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

FrameSchedule::FrameSchedule(int fps, Now now, Sleep sleep)
    : period_(framePeriod(fps)), now_(std::move(now)), sleep_(std::move(sleep)) {}

void FrameSchedule::defaultSleep(Clock::duration duration) { std::this_thread::sleep_for(duration); }

void FrameSchedule::start() {
    if (period_.count() > 0) {
        slot_ = now_();
    }
}

bool FrameSchedule::waitForNextSlot(const std::function<bool()>& stopRequested) {
    if (period_.count() == 0) {
        return true;
    }
    const Clock::time_point next = slot_ + period_;
    Clock::time_point now = now_();
    if (now >= next) {
        // Late: the next frame takes the latest slot that has begun and goes
        // at once; the slots before it are given up.
        slot_ = next + ((now - next) / period_) * period_;
        return true;
    }
    while (now < next) {
        if (stopRequested()) {
            return false;
        }
        sleep_(std::min<Clock::duration>(next - now, kSleepSlice));
        now = now_();
    }
    slot_ = next;
    return true;
}

bool captureRequested() { return g_running.load() && !g_stop_requested.load(); }

void clearStopRequest() { g_stop_requested.store(false); }

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

void startCapture(const std::function<void()>& threadBody) {
    if (g_running.load()) {
        ConsoleLine(STDOUT_FILENO) << "Camera is already running.\n";
        return;
    }
    if (g_stop_requested.load()) {
        return;  // SIGINT came first: capture never starts
    }
    g_running.store(true);
    std::exception_ptr failure;
    {
        ScopedSigintBlock block;
        g_capture_thread = std::make_unique<std::thread>([&threadBody, &failure] {
            try {
                threadBody();
            } catch (...) {
                failure = std::current_exception();
            }
        });
    }
    if (g_capture_thread->joinable()) {
        g_capture_thread->join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void startCameraCapture(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps) {
    startCapture([=] { cameraCaptureThread(shm, cameraIndex, frameWidth, frameHeight, fps); });
}

void startCameraCapture(ProducerSharedMemory* shm, const std::string& device, int frameWidth, int frameHeight,
                        int fps) {
    startCapture([=] { cameraCaptureThread(shm, device, frameWidth, frameHeight, fps); });
}

void stopCameraCapture() {
    if (!g_running.load()) {
        ConsoleLine(STDOUT_FILENO) << "Camera is not running.\n";
        return;
    }
    g_running.store(false);
    if (g_capture_thread && g_capture_thread->joinable()) {
        g_capture_thread->join();
    }
    ConsoleLine(STDOUT_FILENO) << "Camera capture thread joined.\n";
}

void signalHandler(int sig) {
    if (sig != SIGINT) {
        return;
    }
    // The stop is recorded first: whatever becomes of the line, the run ends.
    g_stop_requested.store(true);
    g_running.store(false);
    // Only async-signal-safe calls: one poll that does not wait, then one
    // write(2). A stdout that cannot take the line now loses it; the line is
    // far below PIPE_BUF, so a pipe with room takes it whole.
    static const char message[] = "Caught signal SIGINT, preparing to exit gracefully...\n";
    const int savedErrno = errno;  // the interrupted code may be about to read it
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0 && (out.revents & (POLLERR | POLLNVAL)) == 0) {
        (void)!write(STDOUT_FILENO, message, sizeof message - 1);
    }
    errno = savedErrno;
}

void printSystemTime() {
    const std::int64_t milliseconds = microsecondsSinceEpoch<std::chrono::system_clock>() / 1000;
    std::cout << "当前系统时间: " << milliseconds << " \n";
}

int runProducerProgram(const std::function<void(ProducerSharedMemory*)>& capture) {
    // A console whose reader is gone costs lines (EPIPE), not the process
    // and the teardown that removes the segment.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    ensureStandardDescriptors();
    clearStopRequest();
    installSigintHandler();
    int status = 0;
    std::unique_ptr<ProducerSharedMemory> shm;
    try {
        shm = std::make_unique<ProducerSharedMemory>();
        // A SIGINT meanwhile waits rather than interrupt the set-up's system
        // calls; it is taken at the end of this block and stops the run
        // before capture starts.
        ScopedSigintBlock block;
        shm->initialize();
    } catch (const std::exception& error) {
        writeErrorLine(error.what());
        status = 1;
    } catch (...) {
        writeErrorLine("Error: Failed to set up the shared memory segment.");
        status = 1;
    }
    if (status != 0) {
        return status;  // set-up failed: the run never started, no closing line
    }
    shm->setUnusableFrameMutexHandler(stopOnUnusableFrameMutex);
    try {
        StopWatchdog watchdog(shm.get());
        capture(shm.get());
    } catch (const std::exception& error) {
        writeErrorLine(std::string("Error: Capture failed: ") + error.what());
        status = 1;
    } catch (...) {
        writeErrorLine("Error: Capture failed.");
        status = 1;
    }
    if (shm->frameMutexUnusable()) {
        writeErrorLine("Error: Capture ended: a frame mutex of the segment is unusable; start the producer again.");
        status = 1;
    }
    shm.reset();
    writeClosingLine();
    return status;
}
