// The one way every process takes a segment mutex. The mutexes are robust,
// so a process killed while holding one does not freeze every other process:
// the next locker gets EOWNERDEAD, marks the mutex consistent and carries on.
// Any process that may map the segment can also stop while holding a mutex
// (SIGSTOP) or scribble over one, so a lock may be bounded in time.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>

enum class LockOutcome {
    Acquired,
    RecoveredFromDeadOwner,  // acquired; the previous owner died holding it
    TimedOut,                // not held: someone else held it past the deadline
    Failed,                  // not held: the mutex is unusable (uninitialised, garbage, not recoverable)
};

#if defined(__SANITIZE_THREAD__)
#define SEGMENT_LOCK_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SEGMENT_LOCK_UNDER_TSAN 1
#endif
#endif
#ifdef SEGMENT_LOCK_UNDER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

inline int clockLockSegmentMutex(pthread_mutex_t* mutex, const timespec& deadline) noexcept {
#ifdef SEGMENT_LOCK_UNDER_TSAN
    // ThreadSanitizer (GCC 12's, clang 14's) does not intercept
    // pthread_mutex_clocklock: untold, it misses the lock and reports the
    // unlock. Told as a try-lock, it sees both.
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    const int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    const bool held = rc == 0 || rc == EOWNERDEAD;
    __tsan_mutex_post_lock(mutex, held ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
                           0);
    return rc;
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

// Waits at most `timeout`; a zero or negative timeout waits without bound.
inline LockOutcome lockSegmentMutex(pthread_mutex_t* mutex,
                                    std::chrono::microseconds timeout = std::chrono::microseconds(0)) noexcept {
    int rc = 0;
    if (timeout.count() > 0) {
        // The monotonic clock: a wall-clock step must not stretch or cut the wait.
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        const std::int64_t total = static_cast<std::int64_t>(deadline.tv_nsec) + timeout.count() * 1000;
        deadline.tv_sec += static_cast<time_t>(total / 1000000000);
        deadline.tv_nsec = static_cast<long>(total % 1000000000);
        rc = clockLockSegmentMutex(mutex, deadline);
    } else {
        rc = pthread_mutex_lock(mutex);
    }
    if (rc == 0) {
        return LockOutcome::Acquired;
    }
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        return LockOutcome::RecoveredFromDeadOwner;
    }
    if (rc == ETIMEDOUT) {
        return LockOutcome::TimedOut;
    }
    return LockOutcome::Failed;
}

// The header fields of a frame record that a recovery empties: a frame
// whose writer may have died half-way is given out as no frame at all, its
// timestamps included, so a caller keyed on the timestamp sees nothing new.
struct FrameHeaderRef {
    std::uint32_t* size = nullptr;
    std::int64_t* steadyTimeUs = nullptr;
    std::int64_t* systemTimeUs = nullptr;

    void empty() const noexcept {
        if (size != nullptr) {
            *size = 0;
            *steadyTimeUs = 0;
            *systemTimeUs = 0;
        }
    }
};

template <typename Frame>
FrameHeaderRef headerOf(Frame& frame) noexcept {
    return {&frame.size, &frame.steadyTimeUs, &frame.systemTimeUs};
}

// Scoped hold of one segment mutex. When it guards a frame record, pass the
// record's header: if the previous owner died, it may have been the producer
// half-way through a frame, so the frame is emptied before anyone reads it.
// An empty frame is safe, a torn one is not; the next publish replaces it.
class SegmentLock {
public:
    explicit SegmentLock(pthread_mutex_t* mutex, FrameHeaderRef frameToEmptyOnRecovery = {},
                         std::chrono::microseconds timeout = std::chrono::microseconds(0)) noexcept
        : mutex_(mutex), outcome_(lockSegmentMutex(mutex, timeout)) {
        if (outcome_ == LockOutcome::RecoveredFromDeadOwner) {
            frameToEmptyOnRecovery.empty();
        }
    }
    ~SegmentLock() {
        if (held()) {
            pthread_mutex_unlock(mutex_);
        }
    }
    SegmentLock(const SegmentLock&) = delete;
    SegmentLock& operator=(const SegmentLock&) = delete;

    bool held() const noexcept {
        return outcome_ == LockOutcome::Acquired || outcome_ == LockOutcome::RecoveredFromDeadOwner;
    }
    LockOutcome outcome() const noexcept { return outcome_; }

private:
    pthread_mutex_t* mutex_;
    LockOutcome outcome_;
};
