// Costs of the single steps, each beside the baseline it is judged by.
// Absolute times drift on a shared machine; bench/report.py prints ratios
// to the baselines measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "framereader.h"
#include "producer_share_memory.h"
#include "segment_lock.h"

// Counts every allocation in the process, so the publishing path can show
// that it makes none.
extern "C" void* __libc_malloc(std::size_t size);
static std::atomic<long> g_allocations{0};
extern "C" void* malloc(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

namespace {

constexpr std::size_t kFetchPayload = 300000;

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

// The real segment with a 300 KB frame published, a caller's buffer, and
// the library's console lines silenced.
struct FetchSetup {
    FetchSetup() {
        owner.initialize();
        const auto payload = makePayload(kFetchPayload);
        owner.updateRGBFrame(payload.data(), kFetchPayload, 1, 1);
    }
    ProducerSharedMemory owner;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(FRAMEREADER_FRAME_CAPACITY);
    StdoutToDevNull quiet;
};

// The real library call on the real segment with a 300 KB frame.
void BM_GetFrameData(benchmark::State& state) {
    FetchSetup setup;
    std::vector<std::uint8_t>& buffer = setup.buffer;
    for (auto _ : state) {
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        get_frame_data(&frame, nullptr);
        if (frame.size != kFetchPayload) {
            state.SkipWithError("no frame");
            break;
        }
    }
}
BENCHMARK(BM_GetFrameData)->Unit(benchmark::kMillisecond);

// The same steps done plainly: map, check three mutexes, allocate both
// private records, copy the whole record under the mutex straight from the
// fresh mapping, copy the payload out, release everything.
void BM_NaiveFetch(benchmark::State& state) {
    FetchSetup setup;
    std::vector<std::uint8_t>& buffer = setup.buffer;
    for (auto _ : state) {
        const int fd = shm_open(SHM_NAME, O_RDWR, 0666);
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
        pthread_mutex_lock(&data->rgbMutex.handle);
        std::memcpy(rgb, &data->rgbFrame, sizeof(RgbFrame));
        pthread_mutex_unlock(&data->rgbMutex.handle);
        std::memcpy(buffer.data(), rgb->data, rgb->size);
        benchmark::DoNotOptimize(buffer.data());
        munmap(data, sizeof(SharedData));
        std::free(rgb);
        std::free(depth);
        std::cout << "Consumer successfully cleaned up resources." << std::endl;
    }
}
BENCHMARK(BM_NaiveFetch)->Unit(benchmark::kMillisecond);

// The floor of any copy-out interface: the payload copied once, hot.
void BM_MemcpyPayloadOut(benchmark::State& state) {
    const auto payload = makePayload(kFetchPayload);
    std::vector<std::uint8_t> buffer(kFetchPayload);
    for (auto _ : state) {
        std::memcpy(buffer.data(), payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyPayloadOut)->Unit(benchmark::kMillisecond);

// What a reader's hold of rgbMutex is judged by: one hot copy of the record.
void BM_MemcpyRecordHot(benchmark::State& state) {
    std::vector<std::uint8_t> source(sizeof(RgbFrame), 1);
    std::vector<std::uint8_t> destination(sizeof(RgbFrame));
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyRecordHot)->Unit(benchmark::kMillisecond);

// Where a fetch's time goes: faulting in a fresh mapping of the segment and
// a fresh private record, page by page.
void BM_MapAndFaultSegment(benchmark::State& state) {
    ProducerSharedMemory owner;
    owner.initialize();
    for (auto _ : state) {
        const int fd = shm_open(SHM_NAME, O_RDWR, 0666);
        auto* data = static_cast<volatile std::uint8_t*>(
            mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        for (std::size_t offset = 0; offset < sizeof(RgbFrame); offset += 4096) {
            (void)data[offsetof(SharedData, rgbFrame) + offset];
        }
        munmap(const_cast<std::uint8_t*>(data), sizeof(SharedData));
    }
}
BENCHMARK(BM_MapAndFaultSegment)->Unit(benchmark::kMillisecond);

void BM_AllocateAndFaultRecord(benchmark::State& state) {
    for (auto _ : state) {
        auto* record = static_cast<volatile std::uint8_t*>(std::malloc(sizeof(RgbFrame)));
        for (std::size_t offset = 0; offset < sizeof(RgbFrame); offset += 4096) {
            record[offset] = 0;
        }
        std::free(const_cast<std::uint8_t*>(record));
    }
}
BENCHMARK(BM_AllocateAndFaultRecord)->Unit(benchmark::kMillisecond);

void BM_JpegEncode1080p(benchmark::State& state) {
    cv::Mat frame(1080, 1920, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y) {
        for (int x = 0; x < frame.cols; ++x) {
            frame.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x), static_cast<uchar>(y), static_cast<uchar>((x + y) / 16));
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
