#include "producer_run.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture_control.h"
#include "console_line.h"
#include "frame_schedule.h"
#include "producer_share_memory.h"
#include "standard_descriptors.h"

namespace {

// One line on standard error, whatever line ends the text holds.
void writeErrorLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    ConsoleLine(STDERR_FILENO) << text << '\n';
}

// The closing line of a run that started: a reader of the pipe that is
// slow now and then still gets it, within a bound that never holds up the
// exit for long.
constexpr std::chrono::milliseconds kClosingLineWait{2000};

void writeClosingLine() { writeConsoleLine(STDOUT_FILENO, "exit_ctrl_c\r\n", kClosingLineWait); }

// A frame mutex that no lock can take any more stays so until the segment
// is built afresh: capture ends, and a non-zero status lets a service
// manager start the producer again.
void stopOnUnusableFrameMutex() { requestCaptureEnd(); }

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
            if (!stopping && sigintReceived()) {
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

int runProducerProgram(const std::function<void(ProducerSharedMemory*)>& capture) {
    // A console whose reader is gone costs lines (EPIPE), not the process
    // and the teardown that removes the segment.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    openClosedStandardDescriptors();
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
