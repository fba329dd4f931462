// A reading process's view of the shared camera segment: maps the segment
// the producer created and copies records out under their mutexes.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>

#include "scoped_fd.h"
#include "segment_copy.h"
#include "shared_data.h"

// Absolute CLOCK_REALTIME deadline the given number of seconds from now, as
// sem_timedwait takes it. Returned by value: each waiter has its own.
timespec getTimeout(int seconds);

// The one-off check of the mutexes at start: about two frame periods.
constexpr std::chrono::microseconds kVerifyLockBound{66000};

class ConsumerSharedMemory {
public:
    ConsumerSharedMemory();
    ~ConsumerSharedMemory();
    ConsumerSharedMemory(const ConsumerSharedMemory&) = delete;
    ConsumerSharedMemory& operator=(const ConsumerSharedMemory&) = delete;

    // Opens and maps the existing segment, checks its mutexes and allocates
    // the private copies. Throws std::runtime_error when the segment cannot be
    // opened; stays unmapped (with a warning) when it cannot be mapped, errno
    // at the cause: EPERM for an object that is not to be trusted (see
    // segment_trust.h), EINVAL for one of the wrong size.
    void initialize();
    // As initialize, with the same lines, but without the private copies
    // and without throwing: for a caller that copies straight out of the
    // mapping. Returns 0 once mapped, else the errno of the failure (ENOENT
    // when no segment could be opened).
    int attach();
    static void init(SharedData* data);

    // The frame getters return the private record. Its header fields and the
    // first `size` bytes of data are the frame; the bytes behind `size` were
    // never part of it and are left from earlier copies (or never written).
    // A mutex that cannot be had within kRecordLockBound gives an empty
    // record (size and times 0), as a frame whose writer died does.
    const RgbFrame* getRGBFrame() const;
    const DepthFrame* getDepthFrame() const;
    // All zero when the mutex cannot be had within kRecordLockBound.
    IMUData getIMUData() const;
    CameraIntrinsic getRgbIntrinsic() const;
    CameraIntrinsic getDepthIntrinsic() const;
    void printCameraIntrinsics() const;

    // Throw std::runtime_error when the table is full or consumerMutex
    // cannot be had within kRecordLockBound ("Registry is busy; try again.").
    std::uint8_t registerConsumerRGB();
    std::uint8_t registerConsumerDepth();

    void cleanup();

    // Points into the mapping this object owns; never unmapped through it.
    SharedData* sharedData;
    pid_t pid;
    sem_t* semDepth;
    sem_t* semColor;
    RgbFrame* rgbBuffer;
    DepthFrame* depthBuffer;
    // The segment's group, read when it is mapped: semaphores this consumer
    // creates get it, so a producer of that group can post them.
    gid_t segmentGroup;

private:
    // Returns 0 or the errno of the failure; openFailed tells a failed open
    // from a refused or failed mapping.
    int mapSegment(bool& openFailed);

    // The segment mapped by initialize or attach; sharedData points into it.
    ScopedMapping segmentMapping_;
};
