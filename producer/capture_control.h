// Starting and stopping the capture thread, and SIGINT: the flags the
// capture loop polls and the handler that sets them.
#pragma once

#include <signal.h>

#include <functional>

// Runs a capture thread body and waits until it has ended. Starts nothing
// once SIGINT has requested a stop. An exception that leaves the body is
// rethrown here after the join.
void startCapture(const std::function<void()>& threadBody);
// Requests a stop and joins the capture thread.
void stopCameraCapture();
// Asks the capture loop to end after its current frame, without waiting.
void requestCaptureEnd();
// Whether capture is wanted: started, not stopped, and no SIGINT so far.
bool captureRequested();
// Whether SIGINT has been received in this run.
bool sigintReceived();
// Forgets an earlier SIGINT. Only for the start of a run, before the handler
// can see a new one.
void clearStopRequest();
// SIGINT: writes its line, then requests a stop that stays requested for the
// rest of the run.
void signalHandler(int sig);
void printSystemTime();

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
