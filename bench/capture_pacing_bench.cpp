// The capture loop against a source that behaves like a camera: 1920x1080
// frames at 30 per second from a timer thread of its own, a driver queue of
// 4 buffers (one held by the reader of the queue) that drops a frame when no
// buffer is free, each frame stamped with its capture time. One reader
// process polls get_frame_data at 100 Hz meanwhile. In the same run:
//   schedule - the capture loop as built, paced by its frame schedule
//   restart  - a schedule restarted from every late frame instead
//   unpaced  - the capture loop with no pacing (fps 0)
//   pause    - the former loop: a fixed pause of 1000/fps ms after each frame
// and a table of published rate, frames the driver dropped and the extra age
// of a published frame (publish time minus capture time), with ratios to the
// fixed pause.
//
// usage: capture_pacing_bench [SECONDS_PER_LOOP [ROUNDS]]
//        capture_pacing_bench --reader HZ
// Uses the machine's real segment name: run it in a private /dev/shm.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

#include "camera_capture.h"
#include "capture_control.h"
#include "framereader.h"
#include "producer_share_memory.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFps = 30;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr std::size_t kBuffers = 4;

std::int64_t steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// A smooth scene plus sensor-like noise: about 560 KB of JPEG at quality 95,
// so encoding costs what a camera frame costs.
std::vector<cv::Mat> makeFrames(int count) {
    std::vector<cv::Mat> frames;
    for (int n = 0; n < count; ++n) {
        cv::Mat scene(kHeight, kWidth, CV_8UC3);
        for (int y = 0; y < kHeight; ++y) {
            auto* row = scene.ptr<cv::Vec3b>(y);
            for (int x = 0; x < kWidth; ++x) {
                row[x] = cv::Vec3b(static_cast<uchar>((x + 16 * n) / 8), static_cast<uchar>(y / 5),
                                   static_cast<uchar>((x + y) / 12));
            }
        }
        cv::Mat noise(scene.size(), CV_16SC3);
        cv::randn(noise, 0, 4);
        cv::Mat frame;
        scene.convertTo(frame, CV_16SC3);
        frame += noise;
        frame.convertTo(frame, CV_8UC3);
        frames.push_back(frame);
    }
    return frames;
}

struct LoopResult {
    long cameraFrames = 0;
    long dropped = 0;
    std::vector<std::int64_t> publishUs;
    std::vector<double> extraAgeMs;
};

// The camera: streaming starts at the first grab, as a V4L2 device's does;
// the timer thread fills free buffers; a grab gives the held buffer back and
// takes the oldest filled one, waiting for one if none is ready. Each grab
// also notes the frame the loop published last, which is the frame of the
// grab before (same thread, so no lock).
class PacedCamera : public cv::VideoCapture {
public:
    PacedCamera(const std::vector<cv::Mat>& frames, const SharedData* segment, double seconds, LoopResult& result)
        : frames_(frames), segment_(segment), seconds_(seconds), result_(result) {}
    ~PacedCamera() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        if (timer_.joinable()) {
            timer_.join();
        }
    }

    bool isOpened() const override { return true; }
    bool set(int, double) override { return true; }
    double get(int property) const override {
        switch (property) {
        case cv::CAP_PROP_FRAME_WIDTH: return kWidth;
        case cv::CAP_PROP_FRAME_HEIGHT: return kHeight;
        case cv::CAP_PROP_FPS: return kFps;
        default: return 0;
        }
    }
    bool grab() override {
        notePublished();
        if (!timer_.joinable()) {
            timer_ = std::thread([this] { stream(); });
        }
        std::unique_lock<std::mutex> lock(mutex_);
        held_ = false;
        filled_.wait(lock, [this] { return !queue_.empty() || ended_; });
        if (queue_.empty()) {
            return false;
        }
        current_ = queue_.front();
        queue_.pop_front();
        held_ = true;
        return true;
    }
    bool retrieve(cv::OutputArray image, int = 0) override {
        frames_[static_cast<std::size_t>(current_.index) % frames_.size()].copyTo(image);
        pendingCaptureUs_ = current_.captureUs;
        return true;
    }
    bool read(cv::OutputArray image) override {
        if (!grab()) {
            image.release();
            return false;
        }
        return retrieve(image);
    }

private:
    struct Buffer {
        long index;
        std::int64_t captureUs;
    };

    void stream() {
        const auto period = std::chrono::nanoseconds(1000000000 / kFps);
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds_));
        for (long k = 0;; ++k) {
            const auto due = start + period * (k + 1);
            if (due > end) {
                break;
            }
            std::this_thread::sleep_until(due);
            std::lock_guard<std::mutex> lock(mutex_);
            if (ended_) {
                return;
            }
            ++result_.cameraFrames;
            if (queue_.size() + (held_ ? 1 : 0) >= kBuffers) {
                ++result_.dropped;
                continue;
            }
            queue_.push_back({k, steadyMicroseconds()});
            filled_.notify_one();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        filled_.notify_one();
    }

    void notePublished() {
        const std::int64_t published = segment_->rgbFrame.steadyTimeUs;
        if (pendingCaptureUs_ != 0 && published != lastPublishedUs_) {
            result_.publishUs.push_back(published);
            result_.extraAgeMs.push_back(static_cast<double>(published - pendingCaptureUs_) / 1000.0);
            lastPublishedUs_ = published;
        }
        pendingCaptureUs_ = 0;
    }

    const std::vector<cv::Mat>& frames_;
    const SharedData* segment_;
    double seconds_;
    LoopResult& result_;
    std::thread timer_;
    std::mutex mutex_;
    std::condition_variable filled_;
    std::deque<Buffer> queue_;
    bool held_ = false;
    bool ended_ = false;
    Buffer current_{0, 0};
    std::int64_t pendingCaptureUs_ = 0;
    std::int64_t lastPublishedUs_ = 0;
};

void publish(ProducerSharedMemory* shm, const std::vector<uchar>& encoded) {
    const std::int64_t steadyUs = steadyMicroseconds();
    const std::int64_t systemUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count();
    shm->updateRGBFrame(encoded.data(), static_cast<unsigned int>(encoded.size()),
                        static_cast<unsigned long>(steadyUs), static_cast<unsigned long>(systemUs));
}

// The former loop, kept as the baseline: a fresh encode buffer per frame and
// a fixed pause of 1000/fps ms after each published frame.
void pausedLoop(cv::VideoCapture& capture, ProducerSharedMemory* shm, int fps) {
    cv::Mat frame;
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    const int pauseMs = fps > 0 ? 1000 / fps : 0;
    for (;;) {
        capture >> frame;
        if (frame.empty()) {
            break;
        }
        std::vector<uchar> encoded;
        if (!cv::imencode(".jpg", frame, encoded, parameters)) {
            continue;
        }
        publish(shm, encoded);
        if (pauseMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    }
}

// A schedule restarted from each late frame: the next slot is always a whole
// period after the later of the slot and the moment the frame was taken.
void restartingLoop(cv::VideoCapture& capture, ProducerSharedMemory* shm, int fps) {
    cv::Mat frame;
    std::vector<uchar> encoded;
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    const auto period = std::chrono::nanoseconds((1000000000 + fps - 1) / fps);
    auto slot = Clock::now();
    for (;;) {
        capture >> frame;
        if (frame.empty()) {
            break;
        }
        if (!cv::imencode(".jpg", frame, encoded, parameters)) {
            continue;
        }
        publish(shm, encoded);
        slot = std::max(slot + period, Clock::now());
        std::this_thread::sleep_until(slot);
    }
}

// Runs one loop in its own thread with the console silenced.
LoopResult runLoop(const std::string& variant, ProducerSharedMemory& owner, const std::vector<cv::Mat>& frames,
                   double seconds) {
    LoopResult result;
    PacedCamera camera(frames, owner.sharedData, seconds, result);
    std::cout.flush();
    std::fflush(stdout);
    const int savedOut = dup(STDOUT_FILENO);
    const int savedErr = dup(STDERR_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    if (variant == "schedule" || variant == "unpaced") {
        const int fps = variant == "schedule" ? kFps : 0;
        startCapture([&] { runCaptureLoop(camera, &owner, kWidth, kHeight, fps); });
        stopCameraCapture();  // the loop ended on the camera's last frame
    } else {
        std::thread([&] {
            if (variant == "pause") {
                pausedLoop(camera, &owner, kFps);
            } else {
                restartingLoop(camera, &owner, kFps);
            }
        }).join();
    }
    std::cout.flush();
    std::fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    close(devNull);
    return result;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

struct Summary {
    double fps = 0;
    long cameraFrames = 0;
    long dropped = 0;
    double ageMedianMs = 0;
    double ageMaxMs = 0;
};

Summary summarise(const std::vector<LoopResult>& runs) {
    Summary summary;
    long intervals = 0;
    double span = 0;
    std::vector<double> ages;
    for (const LoopResult& run : runs) {
        summary.cameraFrames += run.cameraFrames;
        summary.dropped += run.dropped;
        if (run.publishUs.size() > 1) {
            intervals += static_cast<long>(run.publishUs.size()) - 1;
            span += static_cast<double>(run.publishUs.back() - run.publishUs.front()) / 1e6;
        }
        ages.insert(ages.end(), run.extraAgeMs.begin(), run.extraAgeMs.end());
    }
    summary.fps = span > 0 ? static_cast<double>(intervals) / span : 0;
    summary.ageMedianMs = percentile(ages, 0.5);
    summary.ageMaxMs = percentile(ages, 1.0);
    return summary;
}

// A reader process: get_frame_data at a fixed rate until killed.
int runReader(double hz) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
    auto next = Clock::now();
    for (;;) {
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        get_frame_data(&frame, nullptr);
        next += period;
        std::this_thread::sleep_until(next);
    }
}

std::string cell(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f%s", value, unit);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--reader") == 0) {
        return runReader(std::atof(argv[2]));
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    const std::vector<cv::Mat> frames = makeFrames(8);

    ProducerSharedMemory owner;
    owner.initialize();
    char self[] = "/proc/self/exe";
    char readerFlag[] = "--reader";
    char readerHz[] = "100";
    char* readerArgv[] = {self, readerFlag, readerHz, nullptr};
    pid_t reader = -1;
    if (posix_spawn(&reader, "/proc/self/exe", nullptr, nullptr, readerArgv, environ) != 0) {
        std::perror("posix_spawn");
        return 1;
    }

    // Interleaved rounds, so a busy spell of the machine does not fall on
    // one loop only.
    const std::vector<std::string> variants{"schedule", "restart", "unpaced", "pause"};
    std::vector<std::vector<LoopResult>> results(variants.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t v = 0; v < variants.size(); ++v) {
            results[v].push_back(runLoop(variants[v], owner, frames, seconds));
        }
    }
    kill(reader, SIGTERM);
    waitpid(reader, nullptr, 0);

    std::vector<Summary> summaries;
    for (const auto& runs : results) {
        summaries.push_back(summarise(runs));
    }
    const Summary& base = summaries.back();
    std::printf("capture loop, camera 1920x1080 at %d fps with %zu buffers, 1 reader at 100 Hz, %d x %.0f s per "
                "loop\n\n",
                kFps, kBuffers, rounds, seconds);
    std::printf("| measure | frame schedule | restarted when late | no pacing | fixed pause (before) "
                "| schedule / pause | target |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    auto row = [&](const char* name, const std::function<std::string(const Summary&)>& format,
                   const std::function<double(const Summary&)>& value, const char* target) {
        std::printf("| %s |", name);
        for (const Summary& summary : summaries) {
            std::printf(" %s |", format(summary).c_str());
        }
        const double baseValue = value(base);
        if (baseValue > 0) {
            std::printf(" %.2fx | %s |\n", value(summaries.front()) / baseValue, target);
        } else {
            std::printf(" | %s |\n", target);
        }
    };
    row("published fps", [](const Summary& s) { return cell(s.fps, ""); }, [](const Summary& s) { return s.fps; },
        ">= 29.5");
    row("camera frames lost",
        [](const Summary& s) {
            const double lost =
                s.cameraFrames > 0 ? 100.0 * static_cast<double>(s.dropped) / static_cast<double>(s.cameraFrames) : 0;
            return std::to_string(s.dropped) + " of " + std::to_string(s.cameraFrames) + " (" + cell(lost, "%") + ")";
        },
        [](const Summary&) { return 0.0; }, "<= 1%");
    row("extra age, median", [](const Summary& s) { return cell(s.ageMedianMs, " ms"); },
        [](const Summary& s) { return s.ageMedianMs; }, "<= 15 ms");
    row("extra age, max", [](const Summary& s) { return cell(s.ageMaxMs, " ms"); },
        [](const Summary& s) { return s.ageMaxMs; }, "");
    return 0;
}
