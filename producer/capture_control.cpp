#include "capture_control.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>

#include "console_line.h"

namespace {

std::atomic<bool> g_running{false};
// Set only by the SIGINT handler and never cleared by a start, so a SIGINT
// that comes before capture starts is not lost.
std::atomic<bool> g_stop_requested{false};
std::unique_ptr<std::thread> g_capture_thread;

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler stores into the capture flags");

}  // namespace

ScopedSigintBlock::ScopedSigintBlock() {
    sigset_t sigint;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigint, &previous_);
}

ScopedSigintBlock::~ScopedSigintBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool captureRequested() { return g_running.load() && !g_stop_requested.load(); }

bool sigintReceived() { return g_stop_requested.load(); }

void requestCaptureEnd() { g_running.store(false); }

void clearStopRequest() { g_stop_requested.store(false); }

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
    const std::int64_t milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::cout << "当前系统时间: " << milliseconds << " \n";
}
