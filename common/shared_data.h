// Records and names of the shared camera segment. Both the producer and the
// frame reader library compile this header, so the two sides agree byte for
// byte; the segment carries no version field, only this layout.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Name of the shared-memory object, passed to shm_open/shm_unlink as written.
constexpr const char* SHM_NAME = "tavora_camera_sensor_";
// Semaphore name prefixes; the consumer's decimal process id follows.
constexpr const char* SEM_COLOR = "color_sem_";
constexpr const char* SEM_DEPTH = "depth_sem_";
// Slots in each consumer registry table.
constexpr int MAX_CONSUMERS = 10;

constexpr std::size_t RGB_FRAME_CAPACITY = 1920u * 1080u * 3u;    // 6220800
constexpr std::size_t DEPTH_FRAME_CAPACITY = 1920u * 1080u * 2u;  // 4147200

// The layout reserves 48 bytes per mutex, the size of a process-shared
// mutex on the platform the layout was first defined on. Platforms with a
// smaller pthread_mutex_t (40 bytes on x86-64) pad up to it, so every later
// offset is the same everywhere.
constexpr std::size_t MUTEX_SLOT_SIZE = 48;
union SegmentMutex {
    pthread_mutex_t handle;
    unsigned char slot[MUTEX_SLOT_SIZE];
};

struct RgbFrame {
    std::uint8_t data[RGB_FRAME_CAPACITY];  // JPEG bytes, not raw pixels
    std::uint32_t size;                      // valid bytes of data
    std::uint32_t reserved;
    std::int64_t steadyTimeUs;  // monotonic clock, microseconds
    std::int64_t systemTimeUs;  // wall clock, microseconds since 1970
};

struct DepthFrame {
    std::uint8_t data[DEPTH_FRAME_CAPACITY];
    std::uint32_t size;
    std::uint32_t reserved;
    std::int64_t steadyTimeUs;
    std::int64_t systemTimeUs;
};

// Only ever copied as a whole block; nothing in the system reads its fields.
struct IMUData {
    double accel[3];  // m/s^2
    double gyro[3];   // rad/s
    std::int64_t timestampUs;
};

struct CameraIntrinsic {
    float fx;
    float fy;
    float cx;
    float cy;
    std::int16_t width;
    std::int16_t height;
};

struct ConsumerSlot {
    // A byte rather than bool: a broken writer may leave any value here, and
    // reading a bool that is neither 0 nor 1 is undefined. Non-zero = taken.
    std::uint8_t occupied;
    std::uint8_t reserved[3];
    std::int32_t pid;
    std::uint64_t missedChecks;
};

struct SharedData {
    SegmentMutex rgbMutex;       // guards rgbFrame and rgbIntrinsic
    SegmentMutex depthMutex;     // guards depthFrame and depthIntrinsic
    SegmentMutex consumerMutex;  // guards both registry tables
    SegmentMutex imuFrameMutex;  // guards imuData
    RgbFrame rgbFrame;
    DepthFrame depthFrame;
    IMUData imuData;
    CameraIntrinsic rgbIntrinsic;
    CameraIntrinsic depthIntrinsic;
    ConsumerSlot depthConsumers[MAX_CONSUMERS];
    ConsumerSlot colorConsumers[MAX_CONSUMERS];
};

// The two deliverables are built separately and meet only in this memory, so
// any drift in these numbers would silently corrupt frames: pin all of them.
static_assert(sizeof(pthread_mutex_t) <= MUTEX_SLOT_SIZE, "a pthread mutex must fit its 48-byte slot");
static_assert(sizeof(SegmentMutex) == MUTEX_SLOT_SIZE, "mutex slots are 48 bytes on every platform");

static_assert(sizeof(RgbFrame) == 6220824, "colour frame record size is part of the segment contract");
static_assert(offsetof(RgbFrame, size) == 6220800, "size lies directly behind the last payload byte");
static_assert(offsetof(RgbFrame, steadyTimeUs) == 6220808, "colour steady timestamp offset");
static_assert(offsetof(RgbFrame, systemTimeUs) == 6220816, "colour system timestamp offset");

static_assert(sizeof(DepthFrame) == 4147224, "depth frame record size is part of the segment contract");
static_assert(offsetof(DepthFrame, size) == 4147200, "size lies directly behind the last payload byte");
static_assert(offsetof(DepthFrame, steadyTimeUs) == 4147208, "depth steady timestamp offset");
static_assert(offsetof(DepthFrame, systemTimeUs) == 4147216, "depth system timestamp offset");

static_assert(sizeof(IMUData) == 56, "inertial record is copied as one 56-byte block");

static_assert(sizeof(CameraIntrinsic) == 20, "intrinsics record size is part of the segment contract");
static_assert(offsetof(CameraIntrinsic, fy) == 4 && offsetof(CameraIntrinsic, cx) == 8 &&
                  offsetof(CameraIntrinsic, cy) == 12 && offsetof(CameraIntrinsic, width) == 16 &&
                  offsetof(CameraIntrinsic, height) == 18,
              "intrinsics field offsets");

static_assert(sizeof(ConsumerSlot) == 16, "registry slot size is part of the segment contract");
static_assert(offsetof(ConsumerSlot, pid) == 4 && offsetof(ConsumerSlot, missedChecks) == 8,
              "registry slot field offsets");

static_assert(offsetof(SharedData, rgbMutex) == 0, "mutex order: colour first");
static_assert(offsetof(SharedData, depthMutex) == 48, "mutex order: depth second");
static_assert(offsetof(SharedData, consumerMutex) == 96, "mutex order: registry third");
static_assert(offsetof(SharedData, imuFrameMutex) == 144, "mutex order: inertial fourth");
static_assert(offsetof(SharedData, rgbFrame) == 192, "records start right after the mutexes");
static_assert(offsetof(SharedData, depthFrame) == 6221016, "depth frame offset");
static_assert(offsetof(SharedData, imuData) == 10368240, "inertial record offset");
static_assert(offsetof(SharedData, rgbIntrinsic) == 10368296, "colour intrinsics offset");
static_assert(offsetof(SharedData, depthIntrinsic) == 10368316, "depth intrinsics offset");
static_assert(offsetof(SharedData, depthConsumers) == 10368336, "depth registry offset");
static_assert(offsetof(SharedData, colorConsumers) == 10368496, "colour registry offset");
static_assert(sizeof(SharedData) == 10368656, "both sides map and unmap exactly this many bytes");

// Mapped at different addresses in different processes and copied with
// memcpy: the records must hold no pointers and need no constructors.
static_assert(std::is_standard_layout<SharedData>::value, "segment records must be standard-layout");
static_assert(std::is_trivially_copyable<RgbFrame>::value && std::is_trivially_copyable<DepthFrame>::value &&
                  std::is_trivially_copyable<IMUData>::value &&
                  std::is_trivially_copyable<CameraIntrinsic>::value &&
                  std::is_trivially_copyable<ConsumerSlot>::value,
              "segment records are copied with memcpy");
