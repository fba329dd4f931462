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
        rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
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
