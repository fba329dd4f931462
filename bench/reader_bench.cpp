// What libframeshare's lasting reader costs, beside baselines from the same run:
//   copy    - one frameshare_reader_next() that finds a new 600 KB frame,
//             a hot memcpy of the same payload, and one get_frame_data call
//             (thread CPU time, medians)
//   live    - a demo producer at 30 fps and one reader looping on next():
//             share of the published frames it returned (an observer thread
//             polling the timestamp every 0.2 ms counts what was published),
//             delay from the frame's steady_us to the return, reader CPU
//   python  - the same from Python with frame.jpeg (bench/reader_bench.py)
//   publish - the producer's publish of 300 KB at 30 Hz with no reader, with
//             four get_frame_data readers at 30 Hz, with four next() readers
// Prints "key value" lines for bench/report.py.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "framereader.h"
#include "frameshare/reader.h"
#include "producer_share_memory.h"


namespace {

using Clock = std::chrono::steady_clock;

double threadCpuUs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

std::int64_t steadyNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

void result(const char* key, double value) { std::printf("%s %.6f\n", key, value); }

// get_frame_data writes its console lines to descriptor 1: away from the results.
struct QuietStdout {
    QuietStdout() : saved(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    ~QuietStdout() {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    int saved;
};

void benchCopy() {
    constexpr std::size_t kSize = 600000;
    ProducerSharedMemory owner;
    owner.initialize();
    std::vector<std::uint8_t> payload(kSize);
    for (std::size_t i = 0; i < kSize; ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 131);
    }
    std::vector<std::uint8_t> destination(kSize);
    std::vector<std::uint8_t> capacity(FRAMEREADER_FRAME_CAPACITY);
    frameshare_reader* reader = nullptr;
    frameshare_reader_open(&reader);
    std::vector<double> next;
    std::vector<double> hot;
    std::vector<double> fetch;
    unsigned long stamp = 1;
    {
        QuietStdout quiet;
        for (int i = 0; i < 3000; ++i) {
            // Each measure right after a publish, so the payload is as warm for all three.
            owner.updateRGBFrame(payload.data(), kSize, stamp, stamp);
            ++stamp;
            double start = threadCpuUs();
            frameshare_frame frame{};
            if (frameshare_reader_next(reader, 0, &frame) != 0 || frame.size != kSize) {
                std::fprintf(stderr, "next() found no frame\n");
                std::exit(1);
            }
            next.push_back(threadCpuUs() - start);

            owner.updateRGBFrame(payload.data(), kSize, stamp, stamp);
            ++stamp;
            start = threadCpuUs();
            std::memcpy(destination.data(), owner.sharedData->rgbFrame.data, kSize);
            hot.push_back(threadCpuUs() - start);
            asm volatile("" : : "r"(destination.data()) : "memory");

            if (i % 10 == 0) {  // it maps 10 MB a call: fewer of them
                owner.updateRGBFrame(payload.data(), kSize, stamp, stamp);
                ++stamp;
                FrameOutput output{capacity.data(), 0, 0, 0, 0, 0};
                start = threadCpuUs();
                get_frame_data(&output, nullptr);
                fetch.push_back(threadCpuUs() - start);
            }
        }
    }
    frameshare_reader_close(reader);
    result("copy.next_600k_us", percentile(next, 0.5));
    result("copy.memcpy_600k_us", percentile(hot, 0.5));
    result("copy.get_frame_data_600k_us", percentile(fetch, 0.5));
}

// Notes every timestamp the producer publishes, polling far more often than
// frames come.
class PublishObserver {
public:
    PublishObserver() {
        thread_ = std::thread([this] {
            const SharedData* segment = nullptr;
            std::int64_t last = 0;
            while (!stop_) {
                if (segment == nullptr) {
                    const int fd = shm_open(SHM_NAME, O_RDONLY, 0);
                    if (fd >= 0) {
                        void* mapping = mmap(nullptr, sizeof(SharedData), PROT_READ, MAP_SHARED, fd, 0);
                        close(fd);
                        segment = mapping == MAP_FAILED ? nullptr : static_cast<const SharedData*>(mapping);
                    }
                } else {
                    const std::int64_t stamp = __atomic_load_n(&segment->rgbFrame.steadyTimeUs, __ATOMIC_RELAXED);
                    if (stamp != last) {
                        last = stamp;
                        std::lock_guard<std::mutex> lock(mutex_);
                        stamps_.push_back(stamp);
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (segment != nullptr) {
                munmap(const_cast<SharedData*>(segment), sizeof(SharedData));
            }
        });
    }
    ~PublishObserver() {
        stop_ = true;
        thread_.join();
    }
    // Frames published with a timestamp in [first, last].
    long published(std::int64_t first, std::int64_t last) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::count_if(stamps_.begin(), stamps_.end(),
                             [&](std::int64_t stamp) { return stamp >= first && stamp <= last; });
    }

private:
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::int64_t> stamps_;
    std::thread thread_;
};

void benchLive(double seconds, const std::string& directory) {
    const std::string clip = directory + "/reader_bench_clip.avi";
    const int devNull = open("/dev/null", O_WRONLY);
    waitpid(spawn({MAKE_DEMO_CLIP_PATH, clip, "60"}, devNull), nullptr, 0);
    const pid_t producer = spawn({DEMO_PRODUCER_PATH, clip, "30"}, devNull);
    PublishObserver observer;
    frameshare_reader* reader = nullptr;
    frameshare_reader_open(&reader);
    frameshare_frame frame{};
    if (frameshare_reader_next(reader, 30000, &frame) != 0) {
        std::fprintf(stderr, "the demo producer published nothing\n");
        std::exit(1);
    }
    // Settle, so the start of the producer is not measured.
    for (int i = 0; i < 30; ++i) {
        frameshare_reader_next(reader, 1000, &frame);
    }
    std::vector<double> delays;
    std::int64_t first = 0;
    long seen = 0;
    long skipped = 0;
    rusage before{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (frameshare_reader_next(reader, 1000, &frame) == 0) {
            delays.push_back(static_cast<double>(steadyNowUs() - frame.steady_us));
            first = first == 0 ? frame.steady_us : first;
            ++seen;
            skipped += frame.skipped;
        }
    }
    rusage after{};
    getrusage(RUSAGE_THREAD, &after);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const auto cpuUs = [](const rusage& r) {
        return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 +
               static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
    };
    frameshare_reader_close(reader);
    // The observer can be starved on a loaded machine too: what the reader
    // returned and counted as skipped was published all the same.
    result("live.published", static_cast<double>(std::max(observer.published(first, frame.steady_us), seen + skipped)));
    result("live.seen", static_cast<double>(seen));
    result("live.skipped", static_cast<double>(skipped));
    result("live.delay_median_ms", percentile(delays, 0.5) / 1000);
    result("live.delay_p99_ms", percentile(delays, 0.99) / 1000);
    result("live.cpu_percent", (cpuUs(after) - cpuUs(before)) / (wall * 1e6) * 100);
    std::fflush(stdout);

    // The same from Python; its lines go to a pipe, then to the results.
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        std::exit(1);
    }
    const std::string secondsText = std::to_string(seconds);
    const pid_t python =
        spawn({"/usr/bin/env", "PYTHONPATH=" PYTHON_PACKAGE_DIR, "python3", READER_BENCH_PY, secondsText}, pipeFds[1]);
    close(pipeFds[1]);
    std::string lines;
    char chunk[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0) {
        lines.append(chunk, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    waitpid(python, nullptr, 0);
    std::int64_t pyFirst = 0;
    std::int64_t pyLast = 0;
    long pySeen = 0;
    long pySkipped = 0;
    for (std::size_t at = 0; at < lines.size();) {
        const std::size_t end = lines.find('\n', at);
        const std::string line = lines.substr(at, end - at);
        at = end == std::string::npos ? lines.size() : end + 1;
        long long value = 0;
        double number = 0;
        if (std::sscanf(line.c_str(), "python.seen %lf", &number) == 1) {
            pySeen = static_cast<long>(number);
        } else if (std::sscanf(line.c_str(), "python.skipped %lf", &number) == 1) {
            pySkipped = static_cast<long>(number);
        }
        if (std::sscanf(line.c_str(), "python.first_us %lld", &value) == 1) {
            pyFirst = value;
        } else if (std::sscanf(line.c_str(), "python.last_us %lld", &value) == 1) {
            pyLast = value;
        } else if (!line.empty()) {
            std::printf("%s\n", line.c_str());
        }
    }
    result("python.published", static_cast<double>(std::max(observer.published(pyFirst, pyLast), pySeen + pySkipped)));
    kill(producer, SIGINT);
    waitpid(producer, nullptr, 0);
    close(devNull);
    std::remove(clip.c_str());
}

// A reader process for the publish scenario: get_frame_data at 30 Hz, or
// next() in a loop.
int runReader(bool lasting, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    if (lasting) {
        frameshare_reader* reader = nullptr;
        frameshare_reader_open(&reader);
        frameshare_frame frame{};
        while (Clock::now() < end) {
            frameshare_reader_next(reader, 100, &frame);
        }
        frameshare_reader_close(reader);
        return 0;
    }
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    auto next = Clock::now();
    while (Clock::now() < end) {
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        get_frame_data(&frame, nullptr);
        next += std::chrono::microseconds(33333);
        std::this_thread::sleep_until(next);
    }
    return 0;
}

void benchPublish(const char* self, double seconds) {
    ProducerSharedMemory owner;
    owner.initialize();
    const std::vector<std::uint8_t> payload(300000, 0x5A);
    for (const char* mode : {"none", "get_frame_data", "next"}) {
        std::vector<pid_t> readers;
        if (std::strcmp(mode, "none") != 0) {
            for (int i = 0; i < 4; ++i) {
                readers.push_back(spawn({self, "--reader", mode, std::to_string(seconds + 1)}, -1));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<double> publish;
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        auto next = Clock::now();
        while (Clock::now() < end) {
            const std::int64_t now = steadyNowUs();
            const auto start = Clock::now();
            owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()),
                                 static_cast<unsigned long>(now), static_cast<unsigned long>(now));
            publish.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            next += std::chrono::microseconds(33333);
            std::this_thread::sleep_until(next);
        }
        for (const pid_t pid : readers) {
            waitpid(pid, nullptr, 0);
        }
        const std::string key = std::string("publish.") + mode;
        result((key + ".median_ms").c_str(), percentile(publish, 0.5) / 1000);
        result((key + ".p99_ms").c_str(), percentile(publish, 0.99) / 1000);
        result((key + ".max_ms").c_str(), percentile(publish, 1.0) / 1000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--reader") == 0) {
        return runReader(std::strcmp(argv[2], "next") == 0, std::atof(argv[3]));
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::string directory = argc > 2 ? argv[2] : "/tmp";
    shm_unlink(SHM_NAME);
    benchCopy();
    benchLive(seconds, directory);
    benchPublish(argv[0], seconds);
    return 0;
}
