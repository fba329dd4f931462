// The capture loop and its controls, on real OpenCV sources and the real
// segment.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <turbojpeg.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <vector>

#include "camera_capture.h"
#include "camera_jpeg.h"
#include "capture_control.h"
#include "frame_schedule.h"
#include "jpeg_transcoder.h"
#include "producer_run.h"
#include "producer_share_memory.h"
#include "test_clip.h"
#include "test_support.h"
#include "video_devices.h"

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

// A camera's MJPG frame: 4:2:2 at quality 80 without Huffman tables.
std::vector<unsigned char> cameraJpeg(const cv::Mat& bgr) {
    std::vector<unsigned char> frame = ::cameraJpeg(bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, 80);
    EXPECT_FALSE(frame.empty());
    return frame;
}

// The bodies of every `marker` segment before the image data, end to end.
std::vector<unsigned char> segments(const std::vector<unsigned char>& jpeg, unsigned char marker) {
    std::vector<unsigned char> bodies;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const std::size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        if (jpeg[at + 1] == marker && at + length <= jpeg.size()) {
            bodies.insert(bodies.end(), jpeg.begin() + at + 4, jpeg.begin() + at + length);
        }
        at += length;
    }
    return bodies;
}
constexpr unsigned char kDht = 0xC4;
constexpr unsigned char kDqt = 0xDB;

// The quantisation tables every published frame carries: OpenCV's at 95.
std::vector<unsigned char> quality95Tables() {
    std::vector<unsigned char> reference;
    cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(1, 2, 3)), reference, {cv::IMWRITE_JPEG_QUALITY, 95});
    return segments(reference, kDqt);
}

// Colours that change everywhere, so a chroma plane out of place shows, but
// smoothly, so halving the chroma rows costs little; edges in brightness.
cv::Mat colourfulImage(int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int edge = ((x / 40 + y / 40) % 2) * 50;
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(30 + x * 150 / width + edge),
                                                  static_cast<uchar>(30 + y * 150 / height + edge),
                                                  static_cast<uchar>(180 - x * 150 / width + edge));
        }
    }
    return image;
}

// A V4L2 camera that sends MJPG: hands out each frame's bytes as a 1xN
// image while colour conversion is off, and records what was set in order.
class ScriptedMjpgCamera : public cv::VideoCapture {
public:
    explicit ScriptedMjpgCamera(std::vector<std::vector<unsigned char>> frames) : frames_(std::move(frames)) {}
    bool isOpened() const override { return true; }
    bool set(int property, double value) override {
        sets.push_back(property);
        if (property == cv::CAP_PROP_FOURCC) {
            fourcc_ = value;
        } else if (property == cv::CAP_PROP_CONVERT_RGB) {
            convert_ = value;
        }
        return true;
    }
    double get(int property) const override {
        if (property == cv::CAP_PROP_FOURCC) {
            return fourcc_;
        }
        return property == cv::CAP_PROP_CONVERT_RGB ? convert_ : 0;
    }
    bool read(cv::OutputArray image) override {
        if (next_ >= frames_.size()) {
            image.release();
            return false;
        }
        const std::vector<unsigned char>& bytes = frames_[next_++];
        EXPECT_EQ(convert_, 0) << "the loop asked for the camera's own bytes";
        cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<unsigned char*>(bytes.data())).copyTo(image);
        return true;
    }
    std::vector<int> sets;

private:
    std::vector<std::vector<unsigned char>> frames_;
    std::size_t next_ = 0;
    double fourcc_ = 0;
    double convert_ = 1;
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

TEST_F(CaptureTest, CameraJpegIsTranscodedAfterTheFormatIsSetAndAFrameThatDoesNotDecodeIsDropped) {
    const cv::Mat image = colourfulImage(320, 240);
    const std::vector<unsigned char> good = cameraJpeg(image);
    std::vector<unsigned char> corrupt = good;
    corrupt.resize(40);  // cut inside its headers
    ScriptedMjpgCamera camera({corrupt, good});

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    startCapture([&] { runCaptureLoop(camera, &owner, 320, 240, 0, kFourccMjpg); });
    ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(err, "Error: Failed to encode frame to MJPG.\nError: Empty frame captured.\n");
    const auto fourccSet = std::find(camera.sets.begin(), camera.sets.end(), cv::CAP_PROP_FOURCC);
    const auto rateSet = std::find(camera.sets.begin(), camera.sets.end(), cv::CAP_PROP_FPS);
    ASSERT_NE(rateSet, camera.sets.end());
    EXPECT_LT(fourccSet, rateSet) << "a format set after the rate would restart the device at its old rate";

    const RgbFrame& frame = owner.sharedData->rgbFrame;
    const std::vector<unsigned char> published(frame.data, frame.data + frame.size);
    EXPECT_EQ(segments(published, kDqt), quality95Tables());
    const cv::Mat decoded = cv::imdecode(published, cv::IMREAD_COLOR);
    ASSERT_EQ(decoded.size(), image.size());
    EXPECT_LT(cv::norm(decoded, image, cv::NORM_L1) / image.total() / 3, 4.0);
}

TEST(JpegTranscoder, FrameWithoutHuffmanTablesComesOutAsQuality95WithTables) {
    // Odd sizes: a last chroma row and column of their own.
    const cv::Mat image = colourfulImage(643, 361);
    const std::vector<unsigned char> camera = cameraJpeg(image);
    ASSERT_TRUE(segments(camera, kDht).empty());
    const cv::Mat cameraImage = cv::imdecode(camera, cv::IMREAD_COLOR);

    JpegTranscoder transcoder;
    ASSERT_TRUE(transcoder.transcode(camera.data(), camera.size()));
    EXPECT_EQ(transcoder.width(), 643);
    EXPECT_EQ(transcoder.height(), 361);
    const std::vector<unsigned char> out(transcoder.data(), transcoder.data() + transcoder.size());
    EXPECT_EQ(segments(out, kDqt), quality95Tables());
    EXPECT_FALSE(segments(out, kDht).empty()) << "strict decoders need the tables in the frame";

    // What a reader decodes is the camera's picture: no plane swapped,
    // shifted or cut short.
    tjhandle decoder = tjInitDecompress();
    cv::Mat decoded(361, 643, CV_8UC3);
    EXPECT_EQ(tjDecompress2(decoder, out.data(), out.size(), decoded.data, 643, static_cast<int>(decoded.step), 361,
                            TJPF_BGR, 0),
              0)
        << tjGetErrorStr2(decoder);
    tjDestroy(decoder);
    EXPECT_LT(cv::norm(decoded, cameraImage, cv::NORM_L1) / image.total() / 3, 2.0);
    EXPECT_LT(cv::norm(decoded.row(360), cameraImage.row(360), cv::NORM_L1) / 643 / 3, 4.0);
    EXPECT_LT(cv::norm(decoded.col(642), cameraImage.col(642), cv::NORM_L1) / 361 / 3, 4.0);
}

TEST(JpegTranscoder, FramesThatDoNotDecodeAreRefusedAndTheNextOneGoesThrough) {
    const std::vector<unsigned char> good = cameraJpeg(colourfulImage(64, 48));
    std::vector<unsigned char> noise(5000);
    cv::randu(noise, 0, 256);
    noise[0] = 0xFF;
    noise[1] = 0xD8;
    std::vector<unsigned char> huge = good;
    // The frame header (SOF0) claims 65000x65000: refused before any
    // allocation of that size.
    for (std::size_t at = 2; at + 9 < huge.size(); at += 2 + (huge[at + 2] << 8 | huge[at + 3])) {
        if (huge[at + 1] == 0xC0) {
            huge[at + 5] = huge[at + 7] = 0xFD;
            huge[at + 6] = huge[at + 8] = 0xE8;
            break;
        }
    }
    std::vector<unsigned char> headerOnly(good.begin(), good.begin() + 100);
    // Cut in its image data: the decoder only warns and fills in grey, which
    // would publish a torn frame.
    std::vector<unsigned char> cutShort(good.begin(), good.begin() + good.size() * 3 / 4);

    JpegTranscoder transcoder;
    for (const std::vector<unsigned char>* bad : {&noise, &huge, &headerOnly, &cutShort}) {
        EXPECT_FALSE(transcoder.transcode(bad->data(), bad->size()));
        EXPECT_EQ(transcoder.size(), 0u);
    }
    EXPECT_FALSE(transcoder.transcode(nullptr, 0));
    // Padding behind the end-of-image marker, as drivers leave it, is fine.
    std::vector<unsigned char> padded = good;
    padded.resize(good.size() + 300, 0);
    EXPECT_TRUE(transcoder.transcode(padded.data(), padded.size()));
    EXPECT_GT(transcoder.size(), 0u);
    // A frame of another size than the camera was set to is refused.
    transcoder.expectSize(64, 48);
    EXPECT_TRUE(transcoder.transcode(good.data(), good.size()));
    transcoder.expectSize(1920, 1080);
    EXPECT_FALSE(transcoder.transcode(good.data(), good.size()));
}

constexpr std::uint32_t kYuyv = fourcc('Y', 'U', 'Y', 'V');
constexpr std::uint32_t kNv12 = fourcc('N', 'V', '1', '2');
constexpr std::uint32_t kH264 = fourcc('H', '2', '6', '4');

TEST(PixelFormatChoice, RawWhenItGivesTheSizeAtTheRateElseMjpgElseTheFastest) {
    // A USB 2.0 webcam: raw 1080p only at 5 per second.
    const std::vector<PixelFormatOffer> usb2{{kYuyv, 1920, 1080, 5}, {kFourccMjpg, 1920, 1080, 30}};
    EXPECT_EQ(choosePixelFormat(usb2, kYuyv, 1920, 1080, 30), kFourccMjpg);
    EXPECT_EQ(choosePixelFormat(usb2, kYuyv, 1920, 1080, 5), kYuyv) << "raw is kept when it is enough";
    // 30000/1001 counts as 30.
    EXPECT_EQ(choosePixelFormat({{kYuyv, 1920, 1080, 30000.0 / 1001}, {kFourccMjpg, 1920, 1080, 30}}, kYuyv, 1920,
                                1080, 30),
              kYuyv);
    // The raw format the device is set to comes before the first one.
    EXPECT_EQ(choosePixelFormat({{kYuyv, 1920, 1080, 30}, {kNv12, 1920, 1080, 30}}, kNv12, 1920, 1080, 30), kNv12);
    // Only raw: the honest 5 per second, not nothing.
    EXPECT_EQ(choosePixelFormat({{kYuyv, 1920, 1080, 5}}, kYuyv, 1920, 1080, 30), kYuyv);
    // A 720p camera asked for 1080p: judged at the size it gives.
    EXPECT_EQ(choosePixelFormat({{kYuyv, 1280, 720, 10}, {kFourccMjpg, 1280, 720, 30}}, kYuyv, 1920, 1080, 30),
              kFourccMjpg);
    // A format that gives the very size wins over a faster one that does not.
    EXPECT_EQ(choosePixelFormat({{kFourccMjpg, 1280, 720, 60}, {kYuyv, 1920, 1080, 5}}, kYuyv, 1920, 1080, 30),
              kYuyv);
    // Never a format the capture library cannot read.
    EXPECT_EQ(choosePixelFormat({{kH264, 1920, 1080, 30}, {kYuyv, 1920, 1080, 5}}, kYuyv, 1920, 1080, 30), kYuyv);
    EXPECT_EQ(choosePixelFormat({{kH264, 1920, 1080, 30}}, kH264, 1920, 1080, 30), std::nullopt);
    EXPECT_EQ(choosePixelFormat(std::vector<PixelFormatOffer>{}, 0, 1920, 1080, 30), std::nullopt);
}

TEST(VideoDeviceList, NamesTheCaptureDevicesAndWhatIsWrongWithTheOneAskedFor) {
    const std::vector<VideoDevice> webcam{{"/dev/video0", "HD Webcam", true, 0}, {"/dev/video1", "HD Webcam", false, 0},
                                          {"/dev/video2", "", false, EACCES}};
    EXPECT_EQ(describeVideoDevices("/dev/video1", webcam),
              "/dev/video1 (HD Webcam) is not a video capture device (a metadata or output node). "
              "Video capture devices: /dev/video0 (HD Webcam); pick one with --device INDEX|PATH.");
    EXPECT_EQ(describeVideoDevices("/dev/video2", webcam),
              "/dev/video2 cannot be opened: Permission denied. "
              "Video capture devices: /dev/video0 (HD Webcam); pick one with --device INDEX|PATH.");
    EXPECT_EQ(describeVideoDevices("/dev/video7", {}),
              "No video capture device found; once there is one, pick it with --device INDEX|PATH.");

    // From the kernel's list: names from there, numeric order, and a node
    // that is no device (a plain file here) is not taken for a camera.
    TempDir sys;
    TempDir dev;
    for (const char* node : {"video10", "video2"}) {
        ASSERT_EQ(mkdir((sys.path() + "/" + node).c_str(), 0755), 0);
        std::FILE* name = std::fopen((sys.path() + "/" + node + "/name").c_str(), "w");
        ASSERT_NE(name, nullptr);
        std::fprintf(name, "Camera %s\n", node);
        std::fclose(name);
        std::fclose(std::fopen((dev.path() + "/" + node).c_str(), "w"));
    }
    const std::vector<VideoDevice> listed = listVideoDevices(sys.path(), dev.path());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].path, dev.path() + "/video2");
    EXPECT_EQ(listed[0].name, "Camera video2");
    EXPECT_EQ(listed[1].path, dev.path() + "/video10");
    EXPECT_FALSE(listed[0].capture);
    EXPECT_NE(listed[0].openError, 0);
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
        std::raise(SIGINT);  // each one is answered
        startCapture([&] { captured = true; });
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(captured) << "the start of capture must not forget the request";
    EXPECT_FALSE(captureRequested());
    EXPECT_EQ(out, "Caught signal SIGINT, preparing to exit gracefully...\n"
                   "Caught signal SIGINT, preparing to exit gracefully...\nexit_ctrl_c\r\n");
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
