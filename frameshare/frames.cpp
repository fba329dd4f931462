#include "frames.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <new>
#include <vector>

namespace frameshare {

FrameReader::FrameReader() {
    if (frameshare_reader_open(&reader_) != 0) {
        throw std::bad_alloc();
    }
}

FrameReader::~FrameReader() { frameshare_reader_close(reader_); }

Fetched FrameReader::result(int error) {
    Fetched fetched;
    switch (error) {
        case 0:
            fetched.state = FetchState::Frame;
            fetched.size = frame_.size;
            fetched.timestamp = frame_.steady_us;
            break;
        case ENOENT:
            fetched.state = FetchState::NoProducer;
            break;
        case EAGAIN:
            fetched.state = FetchState::NoFrameYet;
            break;
        default:
            fetched.state = FetchState::Error;
            fetched.error = error;
            break;
    }
    return fetched;
}

Fetched FrameReader::next(int timeoutMs) {
    const int error = frameshare_reader_next(reader_, timeoutMs, &frame_);
    // No new frame: the current one, or why there is none (a producer with
    // nothing published yet looks the same as a stalled one to next).
    return error == ETIMEDOUT || error == ENOENT ? latest() : result(error);
}

Fetched FrameReader::latest() { return result(frameshare_reader_latest(reader_, &frame_)); }

std::shared_ptr<const std::vector<std::uint8_t>> FrameReader::copy() const {
    return std::make_shared<const std::vector<std::uint8_t>>(frame_.data, frame_.data + frame_.size);
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
    const double mean = static_cast<double>(seen_.size() - 1) * 1e6 / static_cast<double>(seen_.back() - seen_.front());
    // A frame encoded late and the next one on time lie closer than a
    // period, which would lift the mean above the producer's rate when it
    // falls at the window's edge. The median gap is the producer's period:
    // the rate shown never exceeds it, and frames it missed still lower it.
    std::vector<std::int64_t> gaps;
    gaps.reserve(seen_.size() - 1);
    for (std::size_t i = 1; i < seen_.size(); ++i) {
        gaps.push_back(seen_[i] - seen_[i - 1]);
    }
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    return std::min(mean, 1e6 / static_cast<double>(gaps[gaps.size() / 2]));
}

}  // namespace frameshare
