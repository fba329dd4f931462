// Costs of the single steps, each beside the baseline it is judged by.
// Absolute times drift on a shared machine; bench/report.py prints ratios
// to the baselines measured in the same run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "framereader.h"
#include "producer_share_memory.h"

// Counts every allocation in the process, so the publishing path can show
// that it makes none.
extern "C" void* __libc_malloc(std::size_t size);
static std::atomic<long> g_allocations{0};
extern "C" void* malloc(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

// Times the library's holds of segment mutexes: the benchmark's own
// definitions stand in for libc's for every caller in the process, the
// library included. Only while g_timeHolds is set does anything get noted.
static std::atomic<bool> g_timeHolds{false};
static std::chrono::steady_clock::time_point g_lockedAt;
static double g_longestHoldUs = 0;

template <typename Function>
Function realFunction(std::atomic<Function>& cache, const char* name) {
    Function function = cache.load(std::memory_order_relaxed);
    if (function == nullptr) {
        function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
        cache.store(function, std::memory_order_relaxed);
    }
    return function;
}

using ClockLock = int (*)(pthread_mutex_t*, clockid_t, const timespec*);
using Unlock = int (*)(pthread_mutex_t*);
static std::atomic<ClockLock> g_realClockLock{nullptr};
static std::atomic<Unlock> g_realUnlock{nullptr};

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock, const timespec* deadline) {
    const int result = realFunction(g_realClockLock, "pthread_mutex_clocklock")(mutex, clock, deadline);
    if (g_timeHolds.load(std::memory_order_relaxed)) {
        g_lockedAt = std::chrono::steady_clock::now();
    }
    return result;
}
extern "C" int pthread_mutex_unlock(pthread_mutex_t* mutex) {
    if (g_timeHolds.load(std::memory_order_relaxed)) {
        const double held =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - g_lockedAt).count();
        g_longestHoldUs = std::max(g_longestHoldUs, held);
    }
    return realFunction(g_realUnlock, "pthread_mutex_unlock")(mutex);
}

namespace {

std::vector<std::uint8_t> makePayload(std::size_t size) {
    std::vector<std::uint8_t> payload(size);
    for (std::size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 131u + 7u);
    }
    return payload;
}

// A private shared mapping laid out as the segment, so publishing can be
// measured without touching the machine's named segment.
struct PrivateSegment {
    PrivateSegment() {
        void* mapping =
            mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        data = static_cast<SharedData*>(mapping);
        ProducerSharedMemory::init(data);
        owner.sharedData = data;
    }
    ~PrivateSegment() {
        owner.sharedData = nullptr;
        munmap(data, sizeof(SharedData));
    }
    SharedData* data;
    ProducerSharedMemory owner;
};

// Silences the library's per-call console lines for the duration of a run.
class StdoutToDevNull {
public:
    StdoutToDevNull() : saved_(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    ~StdoutToDevNull() {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

void BM_MemcpyIntoSegment(benchmark::State& state) {
    PrivateSegment segment;
    const auto payload = makePayload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::memcpy(segment.data->rgbFrame.data, payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_MemcpyIntoSegment)->Arg(300000)->Arg(2400000);

void BM_Publish(benchmark::State& state) {
    PrivateSegment segment;
    const auto payload = makePayload(static_cast<std::size_t>(state.range(0)));
    unsigned long timestamp = 0;
    const long allocationsBefore = g_allocations.load();
    for (auto _ : state) {
        segment.owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), timestamp, timestamp);
        ++timestamp;
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(g_allocations.load() - allocationsBefore);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_Publish)->Arg(300000)->Arg(2400000);

// The real segment with a frame of the benchmark's size published, a
// caller's buffer, and the library's console lines silenced.
struct FetchSetup {
    explicit FetchSetup(std::size_t size) : payloadSize(size) {
        owner.initialize();
        const auto payload = makePayload(size);
        owner.updateRGBFrame(payload.data(), static_cast<unsigned>(size), 1, 1);
    }
    std::size_t payloadSize;
    ProducerSharedMemory owner;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(FRAMEREADER_FRAME_CAPACITY);
    StdoutToDevNull quiet;
};

// The real library call on the real segment.
void BM_GetFrameData(benchmark::State& state) {
    FetchSetup setup(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        FrameOutput frame{setup.buffer.data(), 0, 0, 0, 0, 0};
        get_frame_data(&frame, nullptr);
        if (frame.size != setup.payloadSize) {
            state.SkipWithError("no frame");
            break;
        }
    }
}
BENCHMARK(BM_GetFrameData)->Arg(300000)->Arg(600000)->Arg(2400000)->Unit(benchmark::kMillisecond);

// How long a call holds rgbMutex: the longest hold of any segment mutex in
// one call is its copy (the start-up check only locks and unlocks).
void BM_ReaderHoldOfRgbMutex(benchmark::State& state) {
    FetchSetup setup(static_cast<std::size_t>(state.range(0)));
    std::vector<double> holds;
    for (auto _ : state) {
        FrameOutput frame{setup.buffer.data(), 0, 0, 0, 0, 0};
        g_longestHoldUs = 0;
        g_timeHolds.store(true);
        get_frame_data(&frame, nullptr);
        g_timeHolds.store(false);
        holds.push_back(g_longestHoldUs);
    }
    std::sort(holds.begin(), holds.end());
    state.counters["hold_median_us"] = holds[holds.size() / 2];
    state.counters["hold_p99_us"] = holds[holds.size() * 99 / 100];
}
BENCHMARK(BM_ReaderHoldOfRgbMutex)->Arg(300000)->Arg(2400000)->Unit(benchmark::kMillisecond);

// What that hold is judged by: the payload copied once, hot.
void BM_MemcpyPayloadHot(benchmark::State& state) {
    const auto payload = makePayload(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> buffer(payload.size());
    for (auto _ : state) {
        std::memcpy(buffer.data(), payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyPayloadHot)->Arg(300000)->Arg(2400000)->Unit(benchmark::kMillisecond);

// The floor of a design that attaches on every call: map the segment, copy
// only the valid payload under the mutex into the caller's buffer, unmap.
void BM_FetchFloor(benchmark::State& state) {
    FetchSetup setup(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const int fd = shm_open(SHM_NAME, O_RDWR, 0666);
        auto* data = static_cast<SharedData*>(
            mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        pthread_mutex_lock(&data->rgbMutex.handle);
        const std::uint32_t size = data->rgbFrame.size;
        std::memcpy(setup.buffer.data(), data->rgbFrame.data, size);
        pthread_mutex_unlock(&data->rgbMutex.handle);
        benchmark::DoNotOptimize(setup.buffer.data());
        munmap(data, sizeof(SharedData));
        if (size != setup.payloadSize) {
            state.SkipWithError("no frame");
            break;
        }
    }
}
BENCHMARK(BM_FetchFloor)->Arg(300000)->Arg(600000)->Arg(2400000)->Unit(benchmark::kMillisecond);

// The previous reading path, kept here as a baseline: fault in every page
// of the shared colour record and of freshly allocated private records of
// both frames, copy the whole 6 MB record under the mutex, then the payload
// out of the private copy.
void touchForRead(const void* region, std::size_t length) {
    const auto* bytes = static_cast<const volatile unsigned char*>(region);
    for (std::size_t offset = 0; offset < length; offset += 4096) {
        (void)bytes[offset];
    }
    (void)bytes[length - 1];
}

void touchForWrite(void* region, std::size_t length) {
    auto* bytes = static_cast<volatile unsigned char*>(region);
    for (std::size_t offset = 0; offset < length; offset += 4096) {
        bytes[offset] = 0;
    }
    bytes[length - 1] = 0;
}

void BM_PreviousGetFrameData(benchmark::State& state) {
    FetchSetup setup(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const int fd = shm_open(SHM_NAME, O_RDWR, 0666);
        struct stat info;
        fstat(fd, &info);
        auto* data = static_cast<SharedData*>(
            mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        for (pthread_mutex_t* mutex : {&data->rgbMutex.handle, &data->depthMutex.handle, &data->imuFrameMutex.handle}) {
            pthread_mutex_lock(mutex);
            pthread_mutex_unlock(mutex);
        }
        std::cout << "Consumer successfully initialized and verified existing mutexes." << std::endl;
        auto* rgb = static_cast<RgbFrame*>(std::malloc(sizeof(RgbFrame)));
        auto* depth = static_cast<DepthFrame*>(std::malloc(sizeof(DepthFrame)));
        std::cout << "Consumer successfully initialized and mapped shared memory." << std::endl;
        touchForRead(&data->rgbFrame, sizeof(RgbFrame));
        touchForWrite(rgb, sizeof(RgbFrame));
        pthread_mutex_lock(&data->rgbMutex.handle);
        std::memcpy(rgb, &data->rgbFrame, sizeof(RgbFrame));
        pthread_mutex_unlock(&data->rgbMutex.handle);
        std::memcpy(setup.buffer.data(), rgb->data, rgb->size);
        benchmark::DoNotOptimize(setup.buffer.data());
        munmap(data, sizeof(SharedData));
        std::free(rgb);
        std::free(depth);
        std::cout << "Consumer successfully cleaned up resources." << std::endl;
    }
}
BENCHMARK(BM_PreviousGetFrameData)->Arg(600000)->Unit(benchmark::kMillisecond);

void BM_JpegEncode1080p(benchmark::State& state) {
    cv::Mat frame(1080, 1920, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y) {
        for (int x = 0; x < frame.cols; ++x) {
            frame.at<cv::Vec3b>(y, x) =
                cv::Vec3b(static_cast<uchar>(x), static_cast<uchar>(y), static_cast<uchar>((x + y) / 16));
        }
    }
    cv::circle(frame, cv::Point(600, 540), 180, cv::Scalar(255, 255, 255), cv::FILLED);
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::vector<uchar> encoded;
        cv::imencode(".jpg", frame, encoded, parameters);
        bytes = encoded.size();
    }
    state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_JpegEncode1080p)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
