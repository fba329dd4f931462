// New frames of the producer, delivered on a thread of their own. It reads
// through a libframeshare reader (FrameReader); the rest of `frameshare rtsp`
// knows only this interface.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "frames.h"

namespace frameshare {

class FrameSource {
public:
    // Called on the source's thread with each new frame (bytes valid during
    // the call only), and whenever the producer's state changes.
    using FrameHandler = std::function<void(const std::uint8_t* jpeg, std::size_t size, std::int64_t steadyUs)>;
    using StateHandler = std::function<void(const Fetched& state)>;

    // maxFps 0 passes every new frame; otherwise at most that many a second,
    // taken on a fixed grid so the rate holds whatever the producer's.
    FrameSource(double maxFps, FrameHandler onFrame, StateHandler onState);
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    void start();
    void stop();  // waits for the thread; no handler runs after it returns

private:
    void run();
    bool wanted(std::int64_t steadyUs);

    const std::int64_t periodUs_;  // 0: no cap
    FrameHandler onFrame_;
    StateHandler onState_;
    std::int64_t nextDueUs_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace frameshare
