#include "frame_source.h"

#include <algorithm>
#include <deque>
#include <vector>

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

// Every get_frame_data call maps the segment and copies the frame, so right
// after a new frame the thread sleeps most of the producer's period instead
// of polling through it (as serve's poller does).
void FrameSource::run() {
    FrameFetcher fetcher;
    std::int64_t lastTimestamp = 0;
    std::deque<std::int64_t> gaps;  // between recent capture times
    bool first = true;
    FetchState reported = FetchState::Frame;
    for (;;) {
        const Fetched fetched = fetcher.fetch();
        if (first || fetched.state != reported) {
            onState_(fetched);
            reported = fetched.state;
            first = false;
        }
        std::int64_t pauseUs = fetched.state == FetchState::NoProducer ? 50000 : 4000;
        if (fetched.state == FetchState::Frame && fetched.timestamp != lastTimestamp) {
            if (lastTimestamp != 0 && fetched.timestamp > lastTimestamp) {
                gaps.push_back(fetched.timestamp - lastTimestamp);
                if (gaps.size() > 15) {
                    gaps.pop_front();
                }
            }
            lastTimestamp = fetched.timestamp;
            if (wanted(fetched.timestamp)) {
                onFrame_(fetcher.data(), fetched.size, fetched.timestamp);
            }
            if (!gaps.empty()) {
                std::vector<std::int64_t> sorted(gaps.begin(), gaps.end());
                std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
                pauseUs = std::clamp<std::int64_t>(sorted[sorted.size() / 2] * 3 / 4, 2000, 100000);
            }
        } else if (fetched.state != FetchState::Frame) {
            lastTimestamp = 0;
            gaps.clear();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::microseconds(pauseUs), [&] { return stopping_; })) {
            return;
        }
    }
}

}  // namespace frameshare
