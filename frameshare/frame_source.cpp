#include "frame_source.h"

namespace frameshare {

FrameSource::FrameSource(double maxFps, FrameHandler onFrame, StateHandler onState)
    : periodUs_(maxFps > 0 ? static_cast<std::int64_t>(1e6 / maxFps) : 0),
      onFrame_(std::move(onFrame)),
      onState_(std::move(onState)) {}

FrameSource::~FrameSource() { stop(); }

void FrameSource::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        stopping_ = false;
        thread_ = std::thread([this] { run(); });
    }
}

void FrameSource::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

// A frame is taken when it is due on the grid, give or take a quarter
// period of jitter; after a gap the grid starts again from the frame.
bool FrameSource::wanted(std::int64_t steadyUs) {
    if (periodUs_ == 0) {
        return true;
    }
    if (steadyUs < nextDueUs_ - periodUs_ / 4) {
        return false;
    }
    nextDueUs_ = steadyUs > nextDueUs_ + periodUs_ ? steadyUs + periodUs_ : nextDueUs_ + periodUs_;
    return true;
}

// The reader waits for each new frame; between two waits the thread checks
// whether it is to stop, so stop() takes at most one wait.
void FrameSource::run() {
    FrameReader reader;
    std::int64_t lastTimestamp = 0;
    bool first = true;
    FetchState reported = FetchState::Frame;
    for (;;) {
        const Fetched fetched = first ? reader.latest() : reader.next(50);
        if (first || fetched.state != reported) {
            onState_(fetched);
            reported = fetched.state;
            first = false;
        }
        std::int64_t pauseUs = 0;
        if (fetched.state == FetchState::Frame && fetched.timestamp != lastTimestamp) {
            lastTimestamp = fetched.timestamp;
            if (wanted(fetched.timestamp)) {
                onFrame_(reader.data(), fetched.size, fetched.timestamp);
            }
        } else if (fetched.state != FetchState::Frame) {
            lastTimestamp = 0;
            pauseUs = fetched.state == FetchState::Error ? 50000 : 0;  // the reader answers an error at once
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::microseconds(pauseUs), [&] { return stopping_; })) {
            return;
        }
    }
}

}  // namespace frameshare
