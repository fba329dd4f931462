// The producer's capture thread, its start/stop control, the SIGINT handler
// and the run sequence shared by the camera program and the demo.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <functional>
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
// Requests a stop and joins the capture thread.
void stopCameraCapture();
// SIGINT: writes its line, then requests a stop that stays requested for the
// rest of the run.
void signalHandler(int sig);
void printSystemTime();

// Requests a size and rate from an opened source, then reads, encodes and
// publishes its frames on the rate's schedule until a stop request or an
// empty frame. Works on any opened capture: a camera, a video file or an
// image sequence. A pixel format other than 0 is requested first; when it is
// MJPG and the source then hands out its frames undecoded, they are
// transcoded rather than decoded and encoded again.
void runCaptureLoop(cv::VideoCapture& capture, ProducerSharedMemory* shm, int frameWidth, int frameHeight, int fps,
                    std::uint32_t pixelFormat = 0);
// startCameraCapture with any thread body (the demo opens a file instead).
// Starts nothing once SIGINT has requested a stop. An exception that leaves
// the body is rethrown here after the join.
void startCapture(const std::function<void()>& threadBody);
// Whether capture is wanted: started, not stopped, and no SIGINT so far.
bool captureRequested();
// Forgets an earlier SIGINT. Only for the start of a run, before the handler
// can see a new one.
void clearStopRequest();
// The whole program run: SIGINT handler, segment owner, capture, teardown
// and the closing line. Returns the exit status: 0, or 1 when the segment
// could not be set up or capture failed with an exception (one error line).
// A capture still running kStopGrace after a stop request (a source that
// stalls in a read or a release) does not hold the run: the segment's name
// is removed, the closing line written and the process ends with status 0
// from another thread.
int runProducerProgram(const std::function<void(ProducerSharedMemory*)>& capture);
constexpr std::chrono::milliseconds kStopGrace{1500};

// Blocks SIGINT in the calling thread while it lives. Threads started
// meanwhile keep the block, so the handler runs only on the thread that waits
// for them, and their system calls never see EINTR from it.
class ScopedSigintBlock {
public:
    ScopedSigintBlock();
    ~ScopedSigintBlock();
    ScopedSigintBlock(const ScopedSigintBlock&) = delete;
    ScopedSigintBlock& operator=(const ScopedSigintBlock&) = delete;

private:
    sigset_t previous_;
};

// The capture rate's schedule. Frame slots lie on a fixed grid, one period
// apart from the first frame; each frame takes one slot and is never taken
// before it, so frame i never comes before start + i periods. After a frame
// the loop waits only for what is left until the next slot. A late frame goes
// at once; a slot missed entirely is given up, never made up by a burst.
// Staying on the grid rather than restarting it from a late frame keeps a
// camera of the same rate in step: the slot stays at or before the camera's
// next frame, so a stall shorter than two periods leaves no frame waiting in
// the camera's queue.
class FrameSchedule {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    using Sleep = std::function<void(Clock::duration)>;
    // The longest single sleep: a stop request ends a wait within one slice.
    static constexpr std::chrono::milliseconds kSleepSlice{50};

    // fps 0 or below: no pacing. The clock and the sleep are seams for tests.
    explicit FrameSchedule(int fps, Now now = Clock::now, Sleep sleep = defaultSleep);
    // One period, rounded up to whole nanoseconds so the rate never exceeds
    // fps; zero without pacing.
    std::chrono::nanoseconds period() const { return period_; }
    // Puts the first frame's slot at now.
    void start();
    // After a frame: waits until the next frame's slot. Returns false, early,
    // once stopRequested() holds.
    bool waitForNextSlot(const std::function<bool()>& stopRequested);

    static void defaultSleep(Clock::duration duration);

private:
    std::chrono::nanoseconds period_;
    Now now_;
    Sleep sleep_;
    Clock::time_point slot_;  // slot of the frame last taken
};
