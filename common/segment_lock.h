// The one way every process takes a segment mutex. The mutexes are robust,
// so a process killed while holding one does not freeze every other process:
// the next locker gets EOWNERDEAD, marks the mutex consistent and carries on.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <cstdint>

enum class LockOutcome {
    Acquired,
    RecoveredFromDeadOwner,  // acquired; the previous owner died holding it
    Failed,                  // not held (e.g. an uninitialised or destroyed mutex)
};

inline LockOutcome lockSegmentMutex(pthread_mutex_t* mutex) noexcept {
    const int rc = pthread_mutex_lock(mutex);
    if (rc == 0) {
        return LockOutcome::Acquired;
    }
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        return LockOutcome::RecoveredFromDeadOwner;
    }
    return LockOutcome::Failed;
}

// Scoped hold of one segment mutex. When it guards a frame record, pass the
// record's size: if the previous owner died, it may have been the producer
// half-way through a frame, so the frame is emptied before anyone reads it.
// An empty frame is safe, a torn one is not; the next publish replaces it.
class SegmentLock {
public:
    explicit SegmentLock(pthread_mutex_t* mutex, std::uint32_t* frameSizeToEmptyOnRecovery = nullptr) noexcept
        : mutex_(mutex), outcome_(lockSegmentMutex(mutex)) {
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

    bool held() const noexcept { return outcome_ != LockOutcome::Failed; }
    LockOutcome outcome() const noexcept { return outcome_; }

private:
    pthread_mutex_t* mutex_;
    LockOutcome outcome_;
};
