#include "camera_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <thread>
#include <utility>
#include <vector>

#include "console_line.h"
#include "producer_share_memory.h"

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
                    int fps) {
    capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(frameWidth));
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(frameHeight));
    capture.set(cv::CAP_PROP_FPS, static_cast<double>(fps));
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
        if (!encodeJpeg(frame, encoded, parameters)) {
            ConsoleLine(STDERR_FILENO) << "Error: Failed to encode frame to MJPG.\n";
            continue;
        }
        const std::int64_t steadyUs = microsecondsSinceEpoch<std::chrono::steady_clock>();
        const std::int64_t systemUs = microsecondsSinceEpoch<std::chrono::system_clock>();
        if (encoded.size() > RGB_FRAME_CAPACITY) {
            ConsoleLine(STDERR_FILENO) << "Error: Encoded frame of " << encoded.size() << " bytes exceeds the "
                                       << RGB_FRAME_CAPACITY << "-byte frame capacity; frame dropped.\n";
        } else {
            shm->updateRGBFrame(encoded.data(), static_cast<unsigned int>(encoded.size()),
                                static_cast<unsigned long>(steadyUs), static_cast<unsigned long>(systemUs));
        }
        if (!schedule.waitForNextSlot(stopRequested)) {
            break;
        }
    }
    capture.release();
    ConsoleLine(STDOUT_FILENO) << "Camera capture stopped.\n";
}

void cameraCaptureThread(ProducerSharedMemory* shm, int cameraIndex, int frameWidth, int frameHeight, int fps) {
    cv::VideoCapture camera(cameraIndex, cv::CAP_ANY);
    if (!camera.isOpened()) {
        ConsoleLine(STDERR_FILENO) << "Error: Could not open camera on device " << cameraIndex << '\n';
        return;
    }
    runCaptureLoop(camera, shm, frameWidth, frameHeight, fps);
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
