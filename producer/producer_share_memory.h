// The producer's owner of the shared camera segment: creates and initialises
// it, publishes frames into it, posts registered consumers and removes it.
#pragma once

#include <semaphore.h>

#include <chrono>

#include "shared_data.h"

class ProducerSharedMemory {
public:
    ProducerSharedMemory();
    ~ProducerSharedMemory();
    // Lives at one address for its whole life; the capture thread holds a
    // plain pointer to it.
    ProducerSharedMemory(const ProducerSharedMemory&) = delete;
    ProducerSharedMemory& operator=(const ProducerSharedMemory&) = delete;

    // Creates (or reuses) the segment, sizes and maps it and runs init on it.
    // Throws std::runtime_error on failure.
    void initialize();
    // Makes the four mutexes process-shared and robust and zeroes every
    // record behind them.
    static void init(SharedData* data);
    // Unmaps the segment and removes its name, then lists semaphore handles
    // that are still open. Safe to call repeatedly.
    void cleanup();

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

    SharedData* sharedData;
    sem_t* semDepth[MAX_CONSUMERS];
    sem_t* semColor[MAX_CONSUMERS];

private:
    std::chrono::microseconds framePeriod_{33333};
};
