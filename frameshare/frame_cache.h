// The newest frame a producer published, kept by one poller thread for
// everyone in this process who wants frames (serve's viewers, record).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "frames.h"
#include "status.h"

namespace frameshare {

using FrameBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct SharedFrame {
    FrameBytes jpeg;             // empty: no frame
    std::uint64_t sequence = 0;  // 1 for the first frame kept, then one more per frame
    std::int64_t timestampUs = 0;
    std::uint32_t sourceSize = 0;  // the producer's bytes, before any re-encoding
};

class LatestFrame {
public:
    void publish(const Fetched& fetched, FrameBytes jpeg);
    // A poll that found no new frame: the state it found.
    void setState(const Fetched& fetched);
    // Counts a new frame for the rate, kept or not.
    void countFrame(std::int64_t timestampUs);
    // The newest frame when it is newer than `after`; an empty one when not
    // within the timeout or once stopping.
    SharedFrame waitNewer(std::uint64_t after, std::chrono::milliseconds timeout);
    SharedFrame current();
    // What the last poll found; waits up to the timeout for the first one.
    Fetched lastPoll(std::chrono::milliseconds timeout);
    StatusReport report();

    // Someone wants fresh frames: a viewer, the page, a /frame.jpg client.
    // True when nobody did for a while, so the poller was polling slowly.
    bool noteInterest();
    bool interested(int viewers) const;
    // Waits up to the timeout for two closely polled frames, so a rate
    // measured after a slow spell is the producer's, not the poller's.
    void waitForRate(std::chrono::milliseconds timeout);
    // Drops the rate's frames that were polled slowly.
    void restartRate();

    // Called after every publish, outside the lock.
    void onPublish(std::function<void()> listener) { listener_ = std::move(listener); }

    bool stopping();
    void stop();
    // Sleeps up to the timeout; true once stopping.
    bool sleepUnlessStopping(std::chrono::microseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    SharedFrame frame_;
    Fetched last_;
    bool polled_ = false;
    RateMeter meter_;
    bool stopping_ = false;
    std::atomic<std::int64_t> lastInterestUs_{-1000000000};
    std::function<void()> listener_;
};

// Turns the producer's JPEG into the one handed out (say, smaller); an empty
// result drops the frame.
using FrameTransform = std::function<FrameBytes(const std::uint8_t* data, std::size_t size)>;

struct PollerOptions {
    bool logChanges = false;     // log the producer coming and going
    bool alwaysInterested = false;  // poll at the producer's rate even with nobody watching
    double maxFps = 0;           // 0: every new frame
    FrameTransform transform;    // empty: the producer's bytes as they are
    std::function<int()> viewers;  // someone watching keeps the poller fast
};

// Reads frames with a libframeshare reader on its own thread into a
// LatestFrame until that is stopped; the destructor stops it and joins the thread.
class FramePoller {
public:
    FramePoller(LatestFrame* latest, PollerOptions options);
    ~FramePoller();
    FramePoller(const FramePoller&) = delete;
    FramePoller& operator=(const FramePoller&) = delete;

private:
    void run();

    LatestFrame* latest_;
    PollerOptions options_;
    std::thread thread_;
};

void logLine(const std::string& text);

}  // namespace frameshare
