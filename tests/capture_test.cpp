// The capture loop and its controls, on real OpenCV sources and the real
// segment.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <vector>

#include "camera_capture.h"
#include "producer_share_memory.h"
#include "test_support.h"

using namespace test_support;

namespace {

std::int64_t wallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct PublishedFrame {
    std::vector<unsigned char> payload;
    std::int64_t steadyTimeUs;
    std::int64_t systemTimeUs;
    std::int64_t wallClockAtReadUs;
};

// Opens a real clip and, before each read, records the frame the loop
// published last (the read of frame n+1 follows the publish of frame n) and
// when the read came.
class ObservingCapture : public cv::VideoCapture {
public:
    ObservingCapture(const std::string& path, ProducerSharedMemory* owner)
        : cv::VideoCapture(path, cv::CAP_ANY), owner_(owner) {}
    bool read(cv::OutputArray image) override {
        readTimes.push_back(std::chrono::steady_clock::now());
        const RgbFrame& frame = owner_->sharedData->rgbFrame;
        if (frame.size > 0 && (seen.empty() || seen.back().steadyTimeUs != frame.steadyTimeUs)) {
            seen.push_back({std::vector<unsigned char>(frame.data, frame.data + frame.size), frame.steadyTimeUs,
                            frame.systemTimeUs, wallClockUs()});
        }
        return cv::VideoCapture::read(image);
    }
    std::vector<PublishedFrame> seen;
    std::vector<std::chrono::steady_clock::time_point> readTimes;

private:
    ProducerSharedMemory* owner_;
};

// A source for frames no real file yields: one frame per entry, then end.
class ScriptedCapture : public cv::VideoCapture {
public:
    explicit ScriptedCapture(std::vector<cv::Mat> frames) : frames_(std::move(frames)) {}
    bool isOpened() const override { return true; }
    bool read(cv::OutputArray image) override {
        if (next_ >= frames_.size()) {
            image.release();
            return false;
        }
        frames_[next_++].copyTo(image);
        return true;
    }

private:
    std::vector<cv::Mat> frames_;
    std::size_t next_ = 0;
};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        clearStopRequest();
        removeSegmentLeftovers();
        owner.initialize();
    }
    void TearDown() override {
        // A loop that ended on its own leaves the flag set, as the program does.
        if (captureRequested()) {
            ::testing::internal::CaptureStdout();
            stopCameraCapture();
            EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Camera capture thread joined.\n");
        }
        owner.cleanup();
        EXPECT_FALSE(segmentExists());
    }
    ProducerSharedMemory owner;
    TempDir dir;
};

TEST_F(CaptureTest, PublishesEveryClipFrameAsJpegOnTheRatesSchedule) {
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 8, 320, 240);
    ObservingCapture capture(clip, &owner);
    ASSERT_TRUE(capture.isOpened());

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    startCapture([&] { runCaptureLoop(capture, &owner, 1920, 1080, 30); });
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();

    // A file reports its own size, not the requested one.
    EXPECT_NE(out.find("Camera started: 320x240 @ 30 FPS\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Camera capture stopped.\n"), std::string::npos);
    EXPECT_NE(err.find("Error: Empty frame captured.\n"), std::string::npos) << "end of clip";

    ASSERT_EQ(capture.seen.size(), 8u) << "each frame is seen by the read after it, the end-of-clip read included";
    std::int64_t previous = 0;
    for (const PublishedFrame& frame : capture.seen) {
        const cv::Mat decoded = cv::imdecode(frame.payload, cv::IMREAD_COLOR);
        ASSERT_FALSE(decoded.empty()) << "payload is a complete JPEG";
        EXPECT_EQ(decoded.cols, 320);
        EXPECT_EQ(decoded.rows, 240);
        EXPECT_GE(frame.steadyTimeUs, previous);
        previous = frame.steadyTimeUs;
        EXPECT_LE(frame.systemTimeUs, frame.wallClockAtReadUs);
        EXPECT_GT(frame.systemTimeUs, frame.wallClockAtReadUs - 1000000) << "wall clock within a second";
    }
    EXPECT_GT(owner.sharedData->rgbFrame.size, 0u) << "the last frame stays published";

    // A file never blocks a read, so only the schedule holds frame i back
    // until start + i periods: never faster than 30 per second. (A slow
    // machine can only make the reads later.)
    ASSERT_EQ(capture.readTimes.size(), 9u);
    for (std::size_t i = 1; i < capture.readTimes.size(); ++i) {
        EXPECT_GE(capture.readTimes[i] - capture.readTimes[0],
                  std::chrono::nanoseconds(1000000000 / 30) * i - std::chrono::milliseconds(1))
            << "read " << i;
    }
}

TEST_F(CaptureTest, ImageSequenceIsASourceToo) {
    for (int i = 0; i < 3; ++i) {
        cv::Mat image(120, 160, CV_8UC3, cv::Scalar(80 * i, 20, 30));
        ASSERT_TRUE(cv::imwrite(dir.path() + "/img_" + std::to_string(i) + ".png", image));
    }
    cv::VideoCapture sequence(dir.path() + "/img_%d.png", cv::CAP_IMAGES);
    ASSERT_TRUE(sequence.isOpened());
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    startCapture([&] { runCaptureLoop(sequence, &owner, 1920, 1080, 1001); });
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    const RgbFrame& frame = owner.sharedData->rgbFrame;
    const cv::Mat decoded = cv::imdecode(std::vector<unsigned char>(frame.data, frame.data + frame.size),
                                         cv::IMREAD_COLOR);
    ASSERT_FALSE(decoded.empty());
    EXPECT_EQ(decoded.cols, 160);
    EXPECT_NEAR(decoded.at<cv::Vec3b>(60, 80)[0], 160, 8) << "the last image is the one published";
}

TEST_F(CaptureTest, UnencodableAndOversizeFramesAreDroppedWithOneLineEach) {
    cv::Mat twoChannel(64, 64, CV_8UC2, cv::Scalar(1, 2));  // JPEG has no 2-channel form
    cv::Mat noise(2400, 3200, CV_8UC3);
    cv::randu(noise, 0, 256);  // JPEG of noise this large exceeds the frame capacity
    ScriptedCapture capture({twoChannel, twoChannel, noise});

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    startCapture([&] { runCaptureLoop(capture, &owner, 1920, 1080, 0); });
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();

    const std::vector<std::string> lines = splitLines(err);
    ASSERT_EQ(lines.size(), 4u) << err;
    EXPECT_EQ(lines[0], "Error: Failed to encode frame to MJPG.");
    EXPECT_EQ(lines[1], "Error: Failed to encode frame to MJPG.");
    EXPECT_THAT(lines[2], ::testing::StartsWith("Error: Encoded frame of "));
    EXPECT_THAT(lines[2], ::testing::EndsWith(" bytes exceeds the 6220800-byte frame capacity; frame dropped."));
    EXPECT_EQ(lines[3], "Error: Empty frame captured.");
    EXPECT_EQ(owner.sharedData->rgbFrame.size, 0u) << "nothing was published";
    EXPECT_NE(out.find("Camera capture stopped.\n"), std::string::npos);
}

// A clock that moves only when the schedule sleeps or a frame's work is
// simulated.
struct FakeTime {
    FrameSchedule::Clock::time_point now{std::chrono::seconds(1000)};
    std::vector<FrameSchedule::Clock::duration> sleeps;

    FrameSchedule schedule(int fps) {
        return FrameSchedule(
            fps, [this] { return now; },
            [this](FrameSchedule::Clock::duration duration) {
                sleeps.push_back(duration);
                now += duration;
            });
    }
};

const std::function<bool()> kNeverStop = [] { return false; };

TEST(FrameSchedule, OnTimeFramesWaitForTheirSlotsInSlicesAndNeverExceedTheRate) {
    FakeTime time;
    FrameSchedule schedule = time.schedule(30);
    EXPECT_EQ(schedule.period(), std::chrono::nanoseconds(33333334)) << "rounded up, not down to 33 ms";
    const auto start = time.now;
    schedule.start();
    time.now += milliseconds(10);  // the frame's own work
    ASSERT_TRUE(schedule.waitForNextSlot(kNeverStop));
    EXPECT_EQ(time.now, start + schedule.period()) << "only what is left of the period is slept";
    for (int frame = 2; frame <= 30; ++frame) {
        ASSERT_TRUE(schedule.waitForNextSlot(kNeverStop));
    }
    EXPECT_GE(time.now - start, std::chrono::seconds(1)) << "30 frames take at least a second";

    FakeTime slow;
    FrameSchedule once = slow.schedule(1);
    once.start();
    ASSERT_TRUE(once.waitForNextSlot(kNeverStop));
    EXPECT_EQ(slow.sleeps.size(), 20u);
    for (const auto& sleep : slow.sleeps) {
        EXPECT_LE(sleep, FrameSchedule::kSleepSlice);
    }
}

TEST(FrameSchedule, LateFrameGoesAtOnceAndMissedSlotsAreNotMadeUp) {
    FakeTime time;
    FrameSchedule schedule = time.schedule(10);  // slots every 100 ms
    const auto start = time.now;
    schedule.start();

    time.now += milliseconds(150);  // late for the slot at 100 ms
    ASSERT_TRUE(schedule.waitForNextSlot(kNeverStop));
    EXPECT_TRUE(time.sleeps.empty()) << "a late frame goes at once";
    ASSERT_TRUE(schedule.waitForNextSlot(kNeverStop));
    EXPECT_EQ(time.now, start + milliseconds(200)) << "the next keeps its slot on the grid";

    time.now += milliseconds(350);  // a stall past the slots at 300, 400 and 500 ms
    time.sleeps.clear();
    ASSERT_TRUE(schedule.waitForNextSlot(kNeverStop));
    EXPECT_TRUE(time.sleeps.empty());
    ASSERT_TRUE(schedule.waitForNextSlot(kNeverStop));
    EXPECT_EQ(time.now, start + milliseconds(600)) << "no burst: the frame after the late one waits";
}

TEST(FrameSchedule, RateZeroNeverWaitsAndAStopEndsAWaitWithinOneSlice) {
    for (int fps : {0, -30}) {
        FakeTime time;
        FrameSchedule schedule = time.schedule(fps);
        schedule.start();
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(schedule.waitForNextSlot(kNeverStop));
        }
        EXPECT_TRUE(time.sleeps.empty()) << fps;
    }

    FakeTime time;
    FrameSchedule schedule = time.schedule(1);
    schedule.start();
    EXPECT_FALSE(schedule.waitForNextSlot([&] { return !time.sleeps.empty(); }));
    EXPECT_EQ(time.sleeps.size(), 1u) << "the request is seen after the slice it came in";
}

// A whole program run in this process: SIGINT handler, segment, capture,
// teardown.
class ProducerProgramTest : public ::testing::Test {
protected:
    void SetUp() override { removeSegmentLeftovers(); }
    void TearDown() override {
        EXPECT_FALSE(segmentExists());
        clearStopRequest();
    }
    int run(const std::function<void(ProducerSharedMemory*)>& capture) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = runProducerProgram(capture);
        std::fflush(stdout);
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return status;
    }
    std::string out;
    std::string err;
};

TEST_F(ProducerProgramTest, SigintBeforeCaptureStartsEndsTheRunInOrder) {
    bool captured = false;
    const int status = run([&](ProducerSharedMemory*) {
        std::raise(SIGINT);  // through the installed handler, as during set-up
        startCapture([&] { captured = true; });
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(captured) << "the start of capture must not forget the request";
    EXPECT_FALSE(captureRequested());
    EXPECT_EQ(out, "Caught signal SIGINT, preparing to exit gracefully...\nexit_ctrl_c\r\n");
}

TEST_F(ProducerProgramTest, ExceptionInCaptureEndsWithItsLineAndStatusOne) {
    const int status = run([](ProducerSharedMemory*) {
        startCapture([] { throw std::runtime_error("device lost\nmid-frame"); });
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "Error: Capture failed: device lost mid-frame\n");
    EXPECT_EQ(out, "exit_ctrl_c\r\n");
    ::testing::internal::CaptureStdout();
    stopCameraCapture();  // the thread ended by itself: the flag is still set
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Camera capture thread joined.\n");
}

TEST_F(CaptureTest, CameraThatDoesNotOpenEndsTheThreadAndLeavesTheFlagSet) {
    struct stat info;
    if (stat("/dev/video7", &info) == 0) {
        GTEST_SKIP() << "this machine has a device at index 7";
    }
    ::testing::internal::CaptureStdout();
    stopCameraCapture();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Camera is not running.\n");

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    startCameraCapture(&owner, 7, 1920, 1080, 30);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("Error: Could not open camera on device 7\n"), std::string::npos) << err;
    EXPECT_TRUE(captureRequested());

    ::testing::internal::CaptureStdout();
    startCameraCapture(&owner, 7, 1920, 1080, 30);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Camera is already running.\n");
}

TEST(SystemTime, PrintsWholeMillisecondsThenSpaceAndLineFeed) {
    const std::int64_t before = wallClockUs() / 1000;
    ::testing::internal::CaptureStdout();
    printSystemTime();
    std::fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::int64_t after = wallClockUs() / 1000;
    const std::string prefix = "当前系统时间: ";
    ASSERT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
    ASSERT_EQ(out.substr(out.size() - 2), " \n");
    const std::int64_t printed = std::stoll(out.substr(prefix.size()));
    EXPECT_GE(printed, before);
    EXPECT_LE(printed, after);
}

}  // namespace
