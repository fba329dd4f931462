#include "frames.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "framereader.h"

namespace frameshare {

FrameFetcher::FrameFetcher() : buffer_(FRAMEREADER_FRAME_CAPACITY) {}

Fetched FrameFetcher::fetch() {
    FrameOutput output{};
    output.data = buffer_.data();
    errno = 0;
    get_frame_data(&output, nullptr);
    const int error = errno;
    Fetched fetched;
    if (error == ENOENT) {
        fetched.state = FetchState::NoProducer;
    } else if (error != 0) {
        fetched.state = FetchState::Error;
        fetched.error = error;
    } else if (output.size == 0 || output.size > FRAMEREADER_FRAME_CAPACITY) {
        fetched.state = FetchState::NoFrameYet;
    } else {
        fetched.state = FetchState::Frame;
        fetched.size = output.size;
        fetched.timestamp = output.timestamp;
    }
    return fetched;
}

std::shared_ptr<const std::vector<std::uint8_t>> FrameFetcher::copy(const Fetched& fetched) const {
    return std::make_shared<const std::vector<std::uint8_t>>(buffer_.begin(), buffer_.begin() + fetched.size);
}

std::int64_t steadyNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t wallNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t wallTimeOfSteadyUs(std::int64_t steadyUs) { return wallNowUs() - (steadyNowUs() - steadyUs); }

std::string formatWallTime(std::int64_t wallUs) {
    std::int64_t seconds = wallUs / 1000000;
    std::int64_t micros = wallUs % 1000000;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long long>(micros));
    return text;
}

void RateMeter::add(std::int64_t timestampUs) {
    if (!seen_.empty() && timestampUs <= seen_.back()) {
        seen_.clear();  // another producer, or its clock began anew
    }
    seen_.push_back(timestampUs);
}

double RateMeter::perSecond(std::int64_t nowSteadyUs) {
    const std::int64_t windowStart = nowSteadyUs - 1000000;
    // The last frame before the window stays: the first gap inside it
    // begins there.
    while (seen_.size() > 1 && seen_[1] <= windowStart) {
        seen_.pop_front();
    }
    if (seen_.size() < 2 || seen_.back() <= windowStart) {
        return 0.0;
    }
    return static_cast<double>(seen_.size() - 1) * 1e6 / static_cast<double>(seen_.back() - seen_.front());
}

}  // namespace frameshare
