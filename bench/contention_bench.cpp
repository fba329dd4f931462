// What readers cost the producer, with real reader processes (how long
// one call holds rgbMutex is measured in micro_bench):
//   one    - 1 reader at 30 Hz: the producer's wait for rgbMutex
//   four   - 4 readers at 30 Hz each: calls served, the producer's wait
//   capture - the capture loop's sustained rate on a generated clip
// Prints "key value" lines for bench/report.py.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/mman.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "camera_capture.h"
#include "capture_control.h"
#include "framereader.h"
#include "producer_share_memory.h"
#include "segment_lock.h"


namespace {

using Clock = std::chrono::steady_clock;

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// A reader process: get_frame_data at a fixed rate (0: as fast as it can)
// for some seconds; prints its number of calls on standard error.
int runReader(double hz, double seconds) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto next = Clock::now();
    long calls = 0;
    while (Clock::now() < end) {
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        get_frame_data(&frame, nullptr);
        ++calls;
        if (hz > 0) {
            next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
            std::this_thread::sleep_until(next);
        }
    }
    std::fprintf(stderr, "%ld\n", calls);
    return 0;
}

struct ReaderProcess {
    pid_t pid;
    int errFd;
};

ReaderProcess spawnReader(const char* self, double hz, double seconds) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    const std::string hzText = std::to_string(hz);
    const std::string secondsText = std::to_string(seconds);
    const char* argv[] = {self, "--reader", hzText.c_str(), secondsText.c_str(), nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, self, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

long finishReader(const ReaderProcess& reader) {
    char text[64] = {};
    const ssize_t n = read(reader.errFd, text, sizeof text - 1);
    close(reader.errFd);
    waitpid(reader.pid, nullptr, 0);
    return n > 0 ? std::atol(text) : 0;
}

// Publishes a 300 KB frame at 30 Hz and records how long each publish
// waited to get rgbMutex.
std::vector<double> publishAndMeasureWait(ProducerSharedMemory& owner, double seconds) {
    std::vector<std::uint8_t> payload(300000, 0x5A);
    std::vector<double> waits;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto next = Clock::now();
    unsigned long timestamp = 0;
    while (Clock::now() < end) {
        const auto start = Clock::now();
        {
            SegmentLock lock(&owner.sharedData->rgbMutex.handle);
            waits.push_back(microsecondsSince(start));
        }
        owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), timestamp, timestamp);
        ++timestamp;
        next += std::chrono::milliseconds(33);
        std::this_thread::sleep_until(next);
    }
    return waits;
}

void scenarioReaders(const char* self, ProducerSharedMemory& owner, const char* name, int readers, double seconds) {
    std::vector<ReaderProcess> processes;
    for (int i = 0; i < readers; ++i) {
        processes.push_back(spawnReader(self, 30, seconds));
    }
    const std::vector<double> waits = publishAndMeasureWait(owner, seconds);
    long calls = 0;
    for (const ReaderProcess& process : processes) {
        calls += finishReader(process);
    }
    std::printf("%s.readers %d\n", name, readers);
    std::printf("%s.calls_per_second %.1f\n", name, static_cast<double>(calls) / seconds);
    std::printf("%s.wait_median_ms %.3f\n", name, percentile(waits, 0.5) / 1000);
    std::printf("%s.wait_p99_ms %.3f\n", name, percentile(waits, 0.99) / 1000);
    std::printf("%s.wait_max_ms %.3f\n", name, percentile(waits, 1.0) / 1000);
}

void scenarioCapture(const std::string& directory) {
    const std::string clip = directory + "/bench_clip.avi";
    {
        cv::VideoWriter writer(clip, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(1920, 1080));
        cv::Mat image(1080, 1920, CV_8UC3);
        for (int n = 0; n < 60; ++n) {
            cv::randu(image, 0, 64);
            cv::circle(image, cv::Point(100 + 25 * n, 540), 200, cv::Scalar(255, 255, 255), cv::FILLED);
            writer << image;
        }
    }
    ProducerSharedMemory owner;
    owner.initialize();
    cv::VideoCapture capture(clip, cv::CAP_ANY);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    const auto start = Clock::now();
    // fps 0 means no pacing: the rate is read, encode and publish alone.
    startCapture([&] { runCaptureLoop(capture, &owner, 1920, 1080, 0); });
    const double seconds = microsecondsSince(start) / 1e6;
    std::cout.flush();
    dup2(saved, STDOUT_FILENO);
    std::printf("capture.frames_per_second_unpaced %.1f\n", 60.0 / seconds);
    std::remove(clip.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--reader") == 0) {
        return runReader(std::atof(argv[2]), std::atof(argv[3]));
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    shm_unlink(SHM_NAME);
    {
        ProducerSharedMemory owner;
        owner.initialize();
        scenarioReaders(argv[0], owner, "one", 1, seconds);
        scenarioReaders(argv[0], owner, "four", 4, seconds);
    }
    scenarioCapture(argc > 2 ? argv[2] : "/tmp");
    return 0;
}
