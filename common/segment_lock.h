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

#if defined(__SANITIZE_THREAD__)
#define FRAMESHARE_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FRAMESHARE_UNDER_TSAN 1
#endif
#endif
#ifndef FRAMESHARE_UNDER_TSAN
#define FRAMESHARE_UNDER_TSAN 0
#endif
#if FRAMESHARE_UNDER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

enum class LockOutcome {
    Acquired,
    RecoveredFromDeadOwner,  // acquired; the previous owner died holding it
    TimedOut,                // not held: someone else held it past the deadline
    Failed,                  // not held: the mutex is unusable (uninitialised, garbage, not recoverable)
};

// Waits at most `timeout`; a zero or negative timeout waits without bound.
inline LockOutcome lockSegmentMutex(pthread_mutex_t* mutex,
                                    std::chrono::microseconds timeout = std::chrono::microseconds(0)) noexcept {
    int rc = 0;
    if (timeout.count() > 0) {
#if FRAMESHARE_UNDER_TSAN
        // ThreadSanitizer's runtime does not see pthread_mutex_clocklock and
        // would report every later unlock; it does see timedlock, whose
        // wall-clock deadline is good enough in a sanitizer build.
        const clockid_t clock = CLOCK_REALTIME;
#else
        // The monotonic clock: a wall-clock step must not stretch or cut the wait.
        const clockid_t clock = CLOCK_MONOTONIC;
#endif
        timespec deadline{};
        clock_gettime(clock, &deadline);
        const std::int64_t total = static_cast<std::int64_t>(deadline.tv_nsec) + timeout.count() * 1000;
        deadline.tv_sec += static_cast<time_t>(total / 1000000000);
        deadline.tv_nsec = static_cast<long>(total % 1000000000);
#if FRAMESHARE_UNDER_TSAN
        rc = pthread_mutex_timedlock(mutex, &deadline);
#else
        rc = pthread_mutex_clocklock(mutex, clock, &deadline);
#endif
    } else {
        rc = pthread_mutex_lock(mutex);
    }
    if (rc == 0) {
        return LockOutcome::Acquired;
    }
    if (rc == EOWNERDEAD) {
#if FRAMESHARE_UNDER_TSAN
        if (timeout.count() > 0) {
            // Its timedlock hook counts only a plain success as a lock.
            __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
            __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock, 0);
        }
#endif
        pthread_mutex_consistent(mutex);
        return LockOutcome::RecoveredFromDeadOwner;
    }
    if (rc == ETIMEDOUT) {
        return LockOutcome::TimedOut;
    }
    return LockOutcome::Failed;
}

// Scoped hold of one segment mutex. When it guards a frame record, pass the
// record's size: if the previous owner died, it may have been the producer
// half-way through a frame, so the frame is emptied before anyone reads it.
// An empty frame is safe, a torn one is not; the next publish replaces it.
class SegmentLock {
public:
    explicit SegmentLock(pthread_mutex_t* mutex, std::uint32_t* frameSizeToEmptyOnRecovery = nullptr,
                         std::chrono::microseconds timeout = std::chrono::microseconds(0)) noexcept
        : mutex_(mutex), outcome_(lockSegmentMutex(mutex, timeout)) {
        if (outcome_ == LockOutcome::RecoveredFromDeadOwner && frameSizeToEmptyOnRecovery != nullptr) {
            *frameSizeToEmptyOnRecovery = 0;
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
