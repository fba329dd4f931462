// A reading process's view of the shared camera segment: maps the segment
// the producer created and copies records out under their mutexes.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>

#include "shared_data.h"

// Absolute CLOCK_REALTIME deadline the given number of seconds from now, as
// sem_timedwait takes it. Returned by value: each waiter has its own.
timespec getTimeout(int seconds);

class ConsumerSharedMemory {
public:
    ConsumerSharedMemory();
    ~ConsumerSharedMemory();
    ConsumerSharedMemory(const ConsumerSharedMemory&) = delete;
    ConsumerSharedMemory& operator=(const ConsumerSharedMemory&) = delete;

    // Opens and maps the existing segment, checks its mutexes and allocates
    // the private copies. Throws std::runtime_error when the segment cannot be
    // opened; stays unmapped (with a warning) when it cannot be mapped.
    void initialize();
    static void init(SharedData* data);

    const RgbFrame* getRGBFrame() const;
    const DepthFrame* getDepthFrame() const;
    IMUData getIMUData() const;
    CameraIntrinsic getRgbIntrinsic() const;
    CameraIntrinsic getDepthIntrinsic() const;
    void printCameraIntrinsics() const;

    std::uint8_t registerConsumerRGB();
    std::uint8_t registerConsumerDepth();

    void cleanup();

    SharedData* sharedData;
    pid_t pid;
    sem_t* semDepth;
    sem_t* semColor;
    RgbFrame* rgbBuffer;
    DepthFrame* depthBuffer;
};
