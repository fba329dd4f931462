#include "producer_share_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "registry.h"
#include "scoped_fd.h"
#include "intrinsics_print.h"
#include "segment_lock.h"

namespace {

struct StreamTarget {
    pthread_mutex_t* mutex;
    std::uint8_t* data;
    std::uint32_t* size;
    std::int64_t* steadyTimeUs;
    std::int64_t* systemTimeUs;
    std::size_t capacity;
    ConsumerSlot* slots;
    sem_t* const* handles;
    const char* streamName;
    const char* postFailure;
};

StreamTarget colorTarget(SharedData* data, sem_t* const* handles) {
    RgbFrame& f = data->rgbFrame;
    return {&data->rgbMutex.handle, f.data,     &f.size, &f.steadyTimeUs, &f.systemTimeUs, sizeof f.data,
            data->colorConsumers,   handles,    "colour", "Failed to post color semaphore. Error: "};
}

StreamTarget depthTarget(SharedData* data, sem_t* const* handles) {
    DepthFrame& f = data->depthFrame;
    return {&data->depthMutex.handle, f.data,  &f.size, &f.steadyTimeUs, &f.systemTimeUs, sizeof f.data,
            data->depthConsumers,     handles, "depth", "Failed to post depth semaphore. Error: "};
}

// Posts every known consumer of the stream whose previous post was taken.
// Runs under the frame mutex and, inside it, the registry mutex, so the
// health monitor can never close a handle while it is being posted.
void postConsumers(SharedData* data, const StreamTarget& target) {
    RegistryLock registryLock(data);
    if (!registryLock.held()) {
        return;
    }
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        sem_t* handle = target.handles[i];
        if (target.slots[i].occupied == 0 || handle == nullptr) {
            continue;
        }
        int value = 0;
        // An unreadable value counts as "not 0": no post.
        if (sem_getvalue(handle, &value) != 0 || value != 0) {
            continue;
        }
        target.slots[i].missedChecks = 0;
        if (sem_post(handle) == -1) {
            std::cerr << target.postFailure << std::strerror(errno) << std::endl;
        }
    }
}

void publish(SharedData* data, const StreamTarget& target, const void* payload, unsigned int length,
             unsigned long steadyTimeUs, unsigned long systemTimeUs) {
    if (length > target.capacity) {
        std::cerr << "Error: " << target.streamName << " frame of " << length << " bytes exceeds the "
                  << target.capacity << "-byte capacity; frame not published." << std::endl;
        return;
    }
    SegmentLock frameLock(target.mutex, target.size);
    if (!frameLock.held()) {
        return;
    }
    std::memcpy(target.data, payload, length);
    *target.size = length;
    // Both clocks travel bit for bit between the unsigned arguments and the
    // signed fields.
    std::memcpy(target.steadyTimeUs, &steadyTimeUs, sizeof *target.steadyTimeUs);
    std::memcpy(target.systemTimeUs, &systemTimeUs, sizeof *target.systemTimeUs);
    postConsumers(data, target);
}

template <typename Record>
void copyRecordIn(pthread_mutex_t* mutex, Record& destination, const Record& source,
                  std::uint32_t* frameSize = nullptr) {
    SegmentLock lock(mutex, frameSize);
    if (lock.held()) {
        std::memcpy(&destination, &source, sizeof destination);
    }
}

CameraIntrinsic copyIntrinsicOut(pthread_mutex_t* mutex, const CameraIntrinsic& source, std::uint32_t* frameSize) {
    CameraIntrinsic copy{};
    SegmentLock lock(mutex, frameSize);
    if (lock.held()) {
        copy = source;
    }
    return copy;
}

}  // namespace

ProducerSharedMemory::ProducerSharedMemory() : sharedData(nullptr), semDepth{}, semColor{} {}

ProducerSharedMemory::~ProducerSharedMemory() { cleanup(); }

void ProducerSharedMemory::setFramePeriod(std::chrono::microseconds period) { framePeriod_ = period; }

void ProducerSharedMemory::initialize() {
    ScopedFd fd(shm_open(SHM_NAME, O_CREAT | O_RDWR, 0666));
    if (!fd.valid()) {
        perror("shm_open");
        shm_unlink(SHM_NAME);
        throw std::runtime_error("Failed to open shared memory.");
    }
    if (ftruncate(fd.get(), sizeof(SharedData)) == -1) {
        perror("ftruncate");
        throw std::runtime_error("Failed to set shared memory size.");
    }
    void* mapping = mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapping == MAP_FAILED) {
        perror("mmap");
        throw std::runtime_error("Failed to map shared memory.");
    }
    sharedData = static_cast<SharedData*>(mapping);
    init(sharedData);
}

void ProducerSharedMemory::init(SharedData* data) {
    if (data == nullptr) {
        throw std::invalid_argument("Invalid shared data pointer");
    }
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        throw std::runtime_error("Failed to initialize mutex attributes");
    }
    // Robust as well as process-shared: a reader killed mid-copy must not
    // leave a mutex locked forever.
    if (pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) != 0 ||
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) != 0) {
        pthread_mutexattr_destroy(&attributes);
        throw std::runtime_error("Failed to set mutex attributes to process-shared");
    }
    pthread_mutex_t* const mutexes[] = {&data->rgbMutex.handle, &data->depthMutex.handle,
                                        &data->consumerMutex.handle, &data->imuFrameMutex.handle};
    for (pthread_mutex_t* mutex : mutexes) {
        if (pthread_mutex_init(mutex, &attributes) != 0) {
            pthread_mutexattr_destroy(&attributes);
            throw std::runtime_error("Failed to initialize one or more mutexes");
        }
    }
    if (pthread_mutexattr_destroy(&attributes) != 0) {
        throw std::runtime_error("Failed to destroy mutex attributes");
    }
    std::memset(&data->rgbFrame, 0, sizeof data->rgbFrame);
    std::memset(&data->depthFrame, 0, sizeof data->depthFrame);
    std::memset(&data->imuData, 0, sizeof data->imuData);
    std::memset(&data->rgbIntrinsic, 0, sizeof data->rgbIntrinsic);
    std::memset(&data->depthIntrinsic, 0, sizeof data->depthIntrinsic);
    std::memset(data->depthConsumers, 0, sizeof data->depthConsumers);
    std::memset(data->colorConsumers, 0, sizeof data->colorConsumers);
}

void ProducerSharedMemory::cleanup() {
    if (sharedData != nullptr) {
        // The mutexes are left intact, not destroyed: readers that mapped the
        // segment before its name goes may still be copying under them, and
        // destroying a mutex another process holds leaves that holder unable
        // to unlock it and every later locker waiting forever. The memory
        // goes away with the last mapping.
        munmap(sharedData, sizeof(SharedData));
        shm_unlink(SHM_NAME);
        sharedData = nullptr;
    }
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        if (semDepth[i] != nullptr) {
            printf("semdepth:%d\r\n", i);
        }
        if (semColor[i] != nullptr) {
            printf("semColorBuff:%d\r\n", i);
        }
    }
}

void ProducerSharedMemory::updateRGBFrame(const void* payload, unsigned int length, unsigned long steadyTimeUs,
                                          unsigned long systemTimeUs) {
    if (sharedData == nullptr) {
        return;
    }
    publish(sharedData, colorTarget(sharedData, semColor), payload, length, steadyTimeUs, systemTimeUs);
}

void ProducerSharedMemory::updateDepthFrame(const void* payload, unsigned int length, unsigned long steadyTimeUs,
                                            unsigned long systemTimeUs) {
    if (sharedData == nullptr) {
        return;
    }
    publish(sharedData, depthTarget(sharedData, semDepth), payload, length, steadyTimeUs, systemTimeUs);
}

void ProducerSharedMemory::updateRGBFrame(const RgbFrame& frame) {
    if (sharedData != nullptr) {
        copyRecordIn(&sharedData->rgbMutex.handle, sharedData->rgbFrame, frame, &sharedData->rgbFrame.size);
    }
}

void ProducerSharedMemory::updateDepthFrame(const DepthFrame& frame) {
    if (sharedData != nullptr) {
        copyRecordIn(&sharedData->depthMutex.handle, sharedData->depthFrame, frame,
                     &sharedData->depthFrame.size);
    }
}

void ProducerSharedMemory::updateIMU(const IMUData& imu) {
    if (sharedData != nullptr) {
        copyRecordIn(&sharedData->imuFrameMutex.handle, sharedData->imuData, imu);
    }
}

void ProducerSharedMemory::setRgbIntrinsic(const CameraIntrinsic& intrinsic) {
    if (sharedData != nullptr) {
        copyRecordIn(&sharedData->rgbMutex.handle, sharedData->rgbIntrinsic, intrinsic,
                     &sharedData->rgbFrame.size);
    }
}

void ProducerSharedMemory::setDepthIntrinsic(const CameraIntrinsic& intrinsic) {
    if (sharedData != nullptr) {
        copyRecordIn(&sharedData->depthMutex.handle, sharedData->depthIntrinsic, intrinsic,
                     &sharedData->depthFrame.size);
    }
}

void ProducerSharedMemory::printCameraIntrinsics() const {
    if (sharedData == nullptr) {
        std::cerr << "Shared memory not initialized." << std::endl;
        return;
    }
    const CameraIntrinsic rgb = copyIntrinsicOut(&sharedData->rgbMutex.handle, sharedData->rgbIntrinsic,
                                                 &sharedData->rgbFrame.size);
    std::cout << "RGB Camera Intrinsics:" << std::endl;
    printIntrinsicValues(rgb);
    const CameraIntrinsic depth = copyIntrinsicOut(&sharedData->depthMutex.handle, sharedData->depthIntrinsic,
                                                   &sharedData->depthFrame.size);
    std::cout << "\nDepth Camera Intrinsics:" << std::endl;
    printIntrinsicValues(depth);
}
