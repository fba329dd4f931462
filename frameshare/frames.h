// Frames through libframeshare's reader handle, and what the tool derives
// from them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "frameshare/reader.h"
#include "jpeg_dimensions.h"

namespace frameshare {

enum class FetchState {
    Frame,       // a whole JPEG frame
    NoFrameYet,  // a producer runs but has published nothing yet
    NoProducer,  // no segment
    Error,       // the segment cannot be read (wrong size, corrupt, no memory)
};

struct Fetched {
    FetchState state = FetchState::NoProducer;
    int error = 0;              // errno of the call when state is Error
    std::int64_t timestamp = 0;  // steady clock, microseconds
    std::uint32_t size = 0;
};

// One reader handle of libframeshare, which keeps the segment mapped and
// follows a restarted producer. Used by one thread at a time.
class FrameReader {
public:
    FrameReader();  // throws std::bad_alloc when the handle cannot be made
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The next new frame, waiting up to timeoutMs for it. Without one in
    // time, what is current: the same frame again, or the state.
    Fetched next(int timeoutMs);
    // The current frame, new or not, or the state.
    Fetched latest();
    // The bytes of the last Frame returned, valid until the next call.
    const std::uint8_t* data() const { return frame_.data; }
    std::shared_ptr<const std::vector<std::uint8_t>> copy() const;

private:
    Fetched result(int error);

    frameshare_reader* reader_ = nullptr;
    frameshare_frame frame_{};
};

std::int64_t steadyNowUs();
std::int64_t wallNowUs();
// The wall-clock time of a steady-clock instant, assuming neither clock was
// stepped in between: the public header hands out only the steady time.
std::int64_t wallTimeOfSteadyUs(std::int64_t steadyUs);
// 2026-12-07T08:40:01.123456Z
std::string formatWallTime(std::int64_t wallUs);

using ::jpegDimensions;

// The producer's rate from the capture timestamps of the frames seen within
// the last second: the gaps between them over the time they span. A frame
// missed only widens one gap, so the rate never exceeds the producer's.
class RateMeter {
public:
    void add(std::int64_t timestampUs);
    double perSecond(std::int64_t nowSteadyUs);
    std::size_t samples() const { return seen_.size(); }

private:
    std::deque<std::int64_t> seen_;
};

}  // namespace frameshare
