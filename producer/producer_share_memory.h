// The producer's owner of the shared camera segment: creates and initialises
// it, publishes frames into it, posts registered consumers and removes it.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "scoped_fd.h"
#include "segment_lock.h"
#include "shared_data.h"

class ConsoleLines;

// Lets a repeated warning through at most once per interval.
class RateLimitedWarning {
public:
    bool due(std::chrono::steady_clock::duration interval) {
        const auto now = std::chrono::steady_clock::now();
        if (warned_ && now - last_ < interval) {
            return false;
        }
        warned_ = true;
        last_ = now;
        return true;
    }
    // The next warning goes through at once.
    void reset() { warned_ = false; }

private:
    bool warned_ = false;
    std::chrono::steady_clock::time_point last_{};
};

// What a consumer has shown since the producer opened its semaphore: posted
// yet, and seen to take a post. Kept under consumerMutex.
enum class PostHistory : std::uint8_t { None, Posted, Taken };

class ProducerSharedMemory {
public:
    ProducerSharedMemory();
    ~ProducerSharedMemory();
    // Lives at one address for its whole life; the capture thread holds a
    // plain pointer to it.
    ProducerSharedMemory(const ProducerSharedMemory&) = delete;
    ProducerSharedMemory& operator=(const ProducerSharedMemory&) = delete;

    // Creates a fresh segment, reserves its memory, maps it and runs init on
    // it, then publishes it under the segment's name. A stale segment of
    // this user is replaced, never reused in place; a live producer's
    // segment, another user's object or anything that is not a regular file
    // is refused. On failure it releases everything it made and throws
    // std::runtime_error whose text is the one line to show the user.
    void initialize();
    // Makes the four mutexes process-shared and robust and zeroes every
    // record behind them.
    static void init(SharedData* data);
    // Unmaps the segment and removes its name if the name is still this
    // producer's segment, then lists semaphore handles that are still open.
    // Safe to call repeatedly.
    void cleanup();
    // Removes the segment's name if it is still this producer's segment, and
    // nothing else: the mapping stays valid for a thread that still uses it,
    // while no new reader can find the segment.
    void removeName() const;

    void updateRGBFrame(const void* payload, unsigned int length, unsigned long steadyTimeUs,
                        unsigned long systemTimeUs);
    void updateRGBFrame(const RgbFrame& frame);
    void updateDepthFrame(const void* payload, unsigned int length, unsigned long steadyTimeUs,
                          unsigned long systemTimeUs);
    void updateDepthFrame(const DepthFrame& frame);
    void updateIMU(const IMUData& imu);
    void setRgbIntrinsic(const CameraIntrinsic& intrinsic);
    void setDepthIntrinsic(const CameraIntrinsic& intrinsic);
    void printCameraIntrinsics() const;

    // One pass of the registry health monitor over both consumer tables.
    void checkConsumerHealth();

    // The capture rate's period. A publish waits for a frame mutex at most
    // about two periods, then drops that frame instead of stalling capture.
    void setFramePeriod(std::chrono::microseconds period);

    // Called once, from the publishing thread, when a frame mutex turns out
    // unusable (garbage, or a robust mutex left unrecoverable): nothing can
    // be published on that stream again in this segment.
    void setUnusableFrameMutexHandler(void (*handler)()) { unusableHandler_.store(handler); }
    bool frameMutexUnusable() const { return frameMutexUnusable_.load(); }

    // Points into the mapping this object owns; never unmapped through it.
    SharedData* sharedData;
    sem_t* semDepth[MAX_CONSUMERS];
    sem_t* semColor[MAX_CONSUMERS];

private:
    // Which segment mutex, taken on which thread: the publishing and the
    // monitoring thread never share a report.
    enum LockUse { RgbUse, DepthUse, ImuUse, RegistryInPublish, RegistryInMonitor, LockUseCount };
    // What has been said about a mutex this producer could not take, so a
    // stuck or broken mutex costs a line now and then, not one per frame.
    struct LockReport {
        bool unusableReported = false;
        RateLimitedWarning timeout;
        unsigned long timeoutsSinceWarning = 0;
    };

    // Reports a lock not taken; into `later` when given, else at once.
    bool takeLock(LockOutcome outcome, LockUse use, ConsoleLines* later = nullptr);
    void publish(bool colour, const void* payload, unsigned int length, unsigned long steadyTimeUs,
                 unsigned long systemTimeUs);
    void postConsumers(bool colour, ConsoleLines& lines);
    template <typename Record>
    void copyRecordIn(LockUse use, pthread_mutex_t* mutex, Record& destination, const Record& source,
                      FrameHeaderRef frame = {});
    std::chrono::microseconds framePeriod() const;

    // Set from the capture thread while the monitor thread may read it.
    std::atomic<std::int64_t> framePeriodUs_{33333};
    std::atomic<void (*)()> unusableHandler_{nullptr};
    std::atomic<bool> frameMutexUnusable_{false};
    // The segment's descriptor, held for the producer's life: its exclusive
    // flock tells other producers that this one is publishing.
    ScopedFd segmentFd_;
    // The segment, mapped once initialize has named it; sharedData points
    // into it.
    ScopedMapping segmentMapping_;
    LockReport lockReports_[LockUseCount];
    PostHistory colorPosts_[MAX_CONSUMERS] = {};
    PostHistory depthPosts_[MAX_CONSUMERS] = {};
    RateLimitedWarning colorSlotWarnings_[MAX_CONSUMERS];
    RateLimitedWarning depthSlotWarnings_[MAX_CONSUMERS];
};
