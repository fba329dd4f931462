#include "frame_cache.h"

#include <cstring>

#include "output.h"

namespace frameshare {

namespace {
constexpr std::int64_t kInterestUs = 5000000;  // a request keeps the poller fast this long
}

void logLine(const std::string& text) { writeOut(formatWallTime(wallNowUs()) + " " + text + "\n"); }

void LatestFrame::publish(const Fetched& fetched, FrameBytes jpeg) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frame_.jpeg = std::move(jpeg);
        frame_.timestampUs = fetched.timestamp;
        frame_.sourceSize = fetched.size;
        ++frame_.sequence;
        last_ = fetched;
        polled_ = true;
    }
    changed_.notify_all();
    if (listener_) {
        listener_();
    }
}

void LatestFrame::setState(const Fetched& fetched) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = fetched;
        polled_ = true;
        if (fetched.state != FetchState::Frame) {
            frame_.jpeg.reset();  // /frame.jpg answers with what is current, not with a frame of a gone producer
        }
    }
    changed_.notify_all();
}

void LatestFrame::countFrame(std::int64_t timestampUs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        meter_.add(timestampUs);
    }
    changed_.notify_all();
}

SharedFrame LatestFrame::waitNewer(std::uint64_t after, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stopping_ || (frame_.jpeg && frame_.sequence > after); });
    if (stopping_ || !frame_.jpeg || frame_.sequence <= after) {
        return {};
    }
    return frame_;
}

SharedFrame LatestFrame::current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_;
}

Fetched LatestFrame::lastPoll(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stopping_ || polled_; });
    return last_;
}

StatusReport LatestFrame::report() {
    std::lock_guard<std::mutex> lock(mutex_);
    StatusReport report;
    report.ratePerSecond = meter_.perSecond(steadyNowUs());
    Fetched shown = last_;
    if (shown.state == FetchState::Frame && !frame_.jpeg) {
        shown.state = FetchState::NoFrameYet;
    }
    if (frame_.jpeg) {
        // The frame kept, not the segment's newest header: a record may
        // change its size and keep its timestamp.
        shown.size = static_cast<std::uint32_t>(frame_.jpeg->size());
        shown.timestamp = frame_.timestampUs;
    }
    describeFrame(shown, frame_.jpeg ? frame_.jpeg->data() : nullptr, &report);
    return report;
}

bool LatestFrame::noteInterest() {
    const std::int64_t now = steadyNowUs();
    return now - lastInterestUs_.exchange(now) >= kInterestUs;
}

bool LatestFrame::interested(int viewers) const {
    return viewers > 0 || steadyNowUs() - lastInterestUs_.load() < kInterestUs;
}

void LatestFrame::waitForRate(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout,
                      [&] { return stopping_ || meter_.samples() >= 3 || last_.state != FetchState::Frame; });
}

void LatestFrame::restartRate() {
    std::lock_guard<std::mutex> lock(mutex_);
    meter_ = RateMeter();
}

bool LatestFrame::stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void LatestFrame::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

bool LatestFrame::sleepUnlessStopping(std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return stopping_; });
}

FramePoller::FramePoller(LatestFrame* latest, PollerOptions options)
    : latest_(latest), options_(std::move(options)), thread_([this] { run(); }) {}

FramePoller::~FramePoller() {
    latest_->stop();
    thread_.join();
}

// The reader waits for each new frame itself (sleeping until shortly before
// it is due) and follows a restarted producer. With nobody watching, the
// poller looks ten times a second instead, so frames nobody wants are not
// copied or re-encoded.
void FramePoller::run() {
    FrameReader reader;
    std::int64_t lastTimestamp = 0;
    std::int64_t lastKeptUs = 0;
    FetchState reported = FetchState::Frame;
    bool first = true;
    bool wasInterested = true;
    bool transformFailed = false;
    const std::int64_t minGapUs = options_.maxFps > 0 ? static_cast<std::int64_t>(1e6 / options_.maxFps) : 0;
    std::chrono::microseconds pause(0);
    do {
        const bool interested =
            options_.alwaysInterested || latest_->interested(options_.viewers ? options_.viewers() : 0);
        if (interested && !wasInterested) {
            latest_->restartRate();  // frames taken slowly would show the poller's rate
        }
        wasInterested = interested;
        // The first look answers at once, so the state is known right away.
        const Fetched fetched = first || !interested ? reader.latest() : reader.next(100);
        if (options_.logChanges && (first || fetched.state != reported)) {
            switch (fetched.state) {
                case FetchState::NoProducer:
                    logLine("no producer: waiting for one to start");
                    break;
                case FetchState::NoFrameYet:
                    logLine("producer running, no frame yet");
                    break;
                case FetchState::Error:
                    logLine(std::string("segment unreadable: ") + std::strerror(fetched.error));
                    break;
                case FetchState::Frame:
                    logLine("producer publishing");
                    break;
            }
        }
        reported = fetched.state;
        first = false;
        pause = std::chrono::microseconds(0);
        if (fetched.state == FetchState::Frame && fetched.timestamp != lastTimestamp) {
            lastTimestamp = fetched.timestamp;
            latest_->countFrame(fetched.timestamp);
            // A capped rate keeps frames at least the cap's period apart by
            // their capture times, less a tenth for jitter.
            if (minGapUs == 0 || lastKeptUs == 0 || fetched.timestamp - lastKeptUs >= minGapUs * 9 / 10 ||
                fetched.timestamp < lastKeptUs) {
                FrameBytes bytes = options_.transform ? options_.transform(reader.data(), fetched.size)
                                                      : reader.copy();
                if (bytes) {
                    lastKeptUs = fetched.timestamp;
                    latest_->publish(fetched, std::move(bytes));
                    transformFailed = false;
                } else if (!transformFailed) {
                    transformFailed = true;
                    logLine("a frame could not be re-encoded; skipping such frames");
                }
            }
        } else {
            if (fetched.state != FetchState::Frame) {
                lastTimestamp = 0;
                lastKeptUs = 0;
                // The reader answers these at once: no busy loop.
                if (fetched.state == FetchState::Error) {
                    pause = std::chrono::microseconds(50000);
                }
            }
            latest_->setState(fetched);
        }
        if (!interested) {
            pause = std::chrono::microseconds(100000);
        }
    } while (!latest_->sleepUnlessStopping(pause));
}

}  // namespace frameshare
