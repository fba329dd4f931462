#include "frame_schedule.h"

#include <algorithm>
#include <cstdint>
#include <thread>
#include <utility>

namespace {

std::chrono::nanoseconds framePeriod(int fps) {
    if (fps <= 0) {
        return std::chrono::nanoseconds(0);
    }
    const std::int64_t second = 1000000000;
    return std::chrono::nanoseconds((second + fps - 1) / fps);
}

}  // namespace

FrameSchedule::FrameSchedule(int fps, Now now, Sleep sleep)
    : period_(framePeriod(fps)), now_(std::move(now)), sleep_(std::move(sleep)) {}

void FrameSchedule::defaultSleep(Clock::duration duration) { std::this_thread::sleep_for(duration); }

void FrameSchedule::start() {
    if (period_.count() > 0) {
        slot_ = now_();
    }
}

bool FrameSchedule::waitForNextSlot(const std::function<bool()>& stopRequested) {
    if (period_.count() == 0) {
        return true;
    }
    const Clock::time_point next = slot_ + period_;
    Clock::time_point now = now_();
    if (now >= next) {
        // Late: the next frame takes the latest slot that has begun and goes
        // at once; the slots before it are given up.
        slot_ = next + ((now - next) / period_) * period_;
        return true;
    }
    while (now < next) {
        if (stopRequested()) {
            return false;
        }
        sleep_(std::min<Clock::duration>(next - now, kSleepSlice));
        now = now_();
    }
    slot_ = next;
    return true;
}
