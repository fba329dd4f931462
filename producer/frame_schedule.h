// The capture rate's schedule: when the next frame may be taken.
#pragma once

#include <chrono>
#include <functional>

// Frame slots lie on a fixed grid, one period apart from the first frame;
// each frame takes one slot and is never taken before it, so frame i never
// comes before start + i periods. After a frame the loop waits only for what
// is left until the next slot. A late frame goes at once; a slot missed
// entirely is given up, never made up by a burst. Staying on the grid rather
// than restarting it from a late frame keeps a camera of the same rate in
// step: the slot stays at or before the camera's next frame, so a stall
// shorter than two periods leaves no frame waiting in the camera's queue.
class FrameSchedule {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    using Sleep = std::function<void(Clock::duration)>;
    // The longest single sleep: a stop request ends a wait within one slice.
    static constexpr std::chrono::milliseconds kSleepSlice{50};

    // fps 0 or below: no pacing. The clock and the sleep are seams for tests.
    explicit FrameSchedule(int fps, Now now = Clock::now, Sleep sleep = defaultSleep);
    // One period, rounded up to whole nanoseconds so the rate never exceeds
    // fps; zero without pacing.
    std::chrono::nanoseconds period() const { return period_; }
    // Puts the first frame's slot at now.
    void start();
    // After a frame: waits until the next frame's slot. Returns false, early,
    // once stopRequested() holds.
    bool waitForNextSlot(const std::function<bool()>& stopRequested);

    static void defaultSleep(Clock::duration duration);

private:
    std::chrono::nanoseconds period_;
    Now now_;
    Sleep sleep_;
    Clock::time_point slot_;  // slot of the frame last taken
};
