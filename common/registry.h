// Helpers for the consumer registry tables, shared by both deliverables.
#pragma once

#include <sstream>
#include <string>

#include "segment_lock.h"
#include "shared_data.h"

// Semaphore name of a consumer: the stream's prefix and the process id in
// decimal, no separator, no padding, no leading slash.
template <typename Pid>
std::string consumerSemaphoreName(const char* prefix, Pid pid) {
    std::ostringstream name;
    name << prefix << pid;
    return name.str();
}

// Holds consumerMutex. Registrations claim a slot entirely under this mutex,
// so if its previous owner died, the only slot it can have left half-claimed
// is one marked occupied before its process id was written: a registered
// slot always has a positive pid. Such a slot is freed again.
class RegistryLock {
public:
    explicit RegistryLock(SharedData* data, std::chrono::microseconds timeout = std::chrono::microseconds(0)) noexcept
        : lock_(&data->consumerMutex.handle, {}, timeout) {
        if (lock_.outcome() == LockOutcome::RecoveredFromDeadOwner) {
            freeHalfClaimedSlots(data->colorConsumers);
            freeHalfClaimedSlots(data->depthConsumers);
        }
    }
    bool held() const noexcept { return lock_.held(); }
    LockOutcome outcome() const noexcept { return lock_.outcome(); }

private:
    static void freeHalfClaimedSlots(ConsumerSlot* slots) noexcept {
        for (int i = 0; i < MAX_CONSUMERS; ++i) {
            if (slots[i].occupied != 0 && slots[i].pid <= 0) {
                slots[i].occupied = 0;
            }
        }
    }
    SegmentLock lock_;
};
