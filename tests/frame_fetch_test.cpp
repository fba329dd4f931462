// get_frame_data through the real shared library, against a producer in
// this process or in others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <thread>
#include <vector>

#include "frame_pattern.h"
#include "framereader.h"
#include "producer_share_memory.h"
#include "test_support.h"

using namespace test_support;

namespace {

// A buffer of exactly the frame capacity that ends where an inaccessible
// page begins: one byte written past it crashes the test.
class GuardedBuffer {
public:
    GuardedBuffer() {
        const std::size_t page = 4096;
        const std::size_t usable = (FRAMEREADER_FRAME_CAPACITY + page - 1) / page * page;
        length_ = usable + page;
        base_ = static_cast<std::uint8_t*>(
            mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + usable, page, PROT_NONE);
        data_ = base_ + usable - FRAMEREADER_FRAME_CAPACITY;
        std::memset(data_, 0xEE, FRAMEREADER_FRAME_CAPACITY);
    }
    ~GuardedBuffer() { munmap(base_, length_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    std::uint8_t* data() const { return data_; }

private:
    std::uint8_t* base_;
    std::uint8_t* data_;
    std::size_t length_;
};

class FrameFetchTest : public ::testing::Test {
protected:
    void SetUp() override { removeSegmentLeftovers(); }
    void TearDown() override {
        owner.cleanup();
        EXPECT_FALSE(segmentExists());
    }
    // One call with captured console output; returns errno.
    int fetch(FrameOutput& frame, void* second = nullptr) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        errno = 12345;
        get_frame_data(&frame, second);
        const int error = errno;
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return error;
    }
    ProducerSharedMemory owner;
    GuardedBuffer buffer;
    std::string out;
    std::string err;
};

constexpr const char* kSuccessLines =
    "Consumer successfully initialized and verified existing mutexes.\n"
    "Consumer successfully initialized and mapped shared memory.\n"
    "Consumer successfully cleaned up resources.\n";

TEST_F(FrameFetchTest, NoProducerGivesEmptyRecordEnoentAndLeavesBufferAlone) {
    FrameOutput frame{buffer.data(), 7, 7, 7, 0xCAFEu, 7};
    EXPECT_EQ(fetch(frame), ENOENT);
    EXPECT_EQ(err, "Warning: Failed to open shared memory. Error: No such file or directory\n");
    EXPECT_EQ(frame.width, 1920);
    EXPECT_EQ(frame.height, 1080);
    EXPECT_EQ(frame.size, 0u);
    EXPECT_EQ(frame.timestamp, 0);
    EXPECT_EQ(frame.reserved, 0xCAFEu);
    EXPECT_EQ(buffer.data()[0], 0xEE);
    EXPECT_EQ(frame.data, buffer.data());
}

TEST_F(FrameFetchTest, UnpublishedSegmentGivesSizeZeroAndErrnoZero) {
    owner.initialize();
    FrameOutput frame{buffer.data(), 0, 0, 99, 0, 99};
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(out, kSuccessLines);
    EXPECT_EQ(err, "");
    EXPECT_EQ(frame.size, 0u);
    EXPECT_EQ(frame.timestamp, 0);
    EXPECT_EQ(frame.width, 1920);
    EXPECT_EQ(buffer.data()[0], 0xEE) << "nothing written for an empty frame";
}

TEST_F(FrameFetchTest, ReturnsTheCurrentFrameTheSameUntilTheNextPublish) {
    owner.initialize();
    std::vector<std::uint8_t> payload(frame_pattern::sizeFor(424242));
    frame_pattern::fill(payload.data(), 424242);
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 424242, 5);

    FrameOutput first{buffer.data(), 0, 0, 0, 0xA5A5A5A5u, 0};
    EXPECT_EQ(fetch(first), 0);
    EXPECT_EQ(out, kSuccessLines);
    EXPECT_EQ(err, "");
    EXPECT_EQ(first.size, payload.size());
    EXPECT_EQ(first.timestamp, 424242);
    EXPECT_EQ(first.reserved, 0xA5A5A5A5u) << "the reserved bytes keep the caller's value";
    EXPECT_TRUE(frame_pattern::matches(buffer.data(), first.size, first.timestamp));

    // The second argument is never read, whatever it holds.
    FrameOutput second{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(second, reinterpret_cast<void*>(0xDEADBEEF)), 0);
    EXPECT_EQ(second.size, first.size);
    EXPECT_EQ(second.timestamp, first.timestamp);
}

TEST_F(FrameFetchTest, FullCapacityPayloadFillsAnExactBufferAndNoMore) {
    owner.initialize();
    std::vector<std::uint8_t> payload(FRAMEREADER_FRAME_CAPACITY, 0x3C);
    payload.back() = 0x7E;
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 1, 1);
    FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(frame.size, FRAMEREADER_FRAME_CAPACITY);
    EXPECT_EQ(buffer.data()[FRAMEREADER_FRAME_CAPACITY - 1], 0x7E);
    EXPECT_EQ(std::memcmp(buffer.data(), payload.data(), payload.size()), 0);
}

TEST_F(FrameFetchTest, CorruptSizeIsRefusedWithoutTouchingTheBuffer) {
    owner.initialize();
    for (std::uint32_t corrupt : {FRAMEREADER_FRAME_CAPACITY + 1, 0xFFFFFFF0u}) {
        owner.sharedData->rgbFrame.size = corrupt;
        owner.sharedData->rgbFrame.steadyTimeUs = 77;
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        EXPECT_EQ(fetch(frame), EOVERFLOW);
        EXPECT_NE(err.find("Error: Frame size " + std::to_string(corrupt) + " exceeds the 6220800-byte capacity"),
                  std::string::npos)
            << err;
        EXPECT_EQ(frame.size, 0u);
        EXPECT_EQ(frame.timestamp, 0);
        EXPECT_EQ(buffer.data()[0], 0xEE);
    }
}

TEST_F(FrameFetchTest, SegmentOfTheWrongSizeIsRefusedNotMapped) {
    const int fd = shm_open(SHM_NAME, O_CREAT | O_RDWR, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);  // another program truncated it
    close(fd);
    FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(frame), EINVAL);
    EXPECT_EQ(err, "Warning: Failed to map shared memory. Error: Invalid argument\n");
    EXPECT_EQ(frame.size, 0u);
    shm_unlink(SHM_NAME);
}

TEST_F(FrameFetchTest, NullRecordOrBufferIsRefused) {
    errno = 0;
    get_frame_data(nullptr, nullptr);
    EXPECT_EQ(errno, EINVAL);
    FrameOutput frame{nullptr, 0, 0, 5, 0, 5};
    get_frame_data(&frame, nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(frame.size, 0u);
}

// Several reader processes against a publisher that never stops: every
// frame any of them gets must be whole.
TEST_F(FrameFetchTest, ConcurrentReaderProcessesNeverSeeATornFrame) {
    owner.initialize();
    std::atomic<bool> publishing{true};
    std::atomic<long> published{0};
    std::thread publisher([&] {
        std::vector<std::uint8_t> payload(RGB_FRAME_CAPACITY);
        for (std::int64_t timestamp = 1; publishing.load(); ++timestamp) {
            frame_pattern::fill(payload.data(), timestamp);
            owner.updateRGBFrame(payload.data(), frame_pattern::sizeFor(timestamp),
                                 static_cast<unsigned long>(timestamp), 0);
            published.fetch_add(1);
            // Pacing, not synchronisation: leaves the readers room to lock.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    {
        std::vector<std::unique_ptr<ChildProcess>> readers;
        for (int i = 0; i < 3; ++i) {
            readers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{READER_CHILD_PATH, "60"}));
        }
        for (auto& reader : readers) {
            ASSERT_TRUE(reader->waitExit(milliseconds(120000)));
            EXPECT_EQ(reader->exitCode(), 0) << reader->stderrText();
            EXPECT_NE(reader->stderrText().find(" torn 0 failed 0"), std::string::npos) << reader->stderrText();
        }
    }
    publishing.store(false);
    publisher.join();
    EXPECT_GT(published.load(), 1);
}

// A reader killed while it holds rgbMutex: the next reader and the
// producer carry on.
TEST_F(FrameFetchTest, ReaderKilledHoldingTheFrameMutexBlocksNobody) {
    owner.initialize();
    std::vector<std::uint8_t> payload(frame_pattern::sizeFor(9));
    frame_pattern::fill(payload.data(), 9);
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 9, 9);

    killWhileHolding([](SharedData* data) { pthread_mutex_lock(&data->rgbMutex.handle); });

    FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(frame.size, 0u) << "a frame whose mutex holder died is given out empty, never torn";

    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 10, 10);
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(frame.timestamp, 10);
}

// The real demo producer in another process, real JPEG payloads.
TEST_F(FrameFetchTest, DemoProducerFramesArriveAsJpegsOfTheClipSize) {
    TempDir dir;
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 4, 320, 240);
    ChildProcess demo({DEMO_PRODUCER_PATH, clip});
    ASSERT_TRUE(waitUntil(segmentHasFrame, milliseconds(20000)));
    for (int i = 0; i < 3; ++i) {
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        ASSERT_EQ(fetch(frame), 0) << err;
        ASSERT_GT(frame.size, 0u);
        const cv::Mat image =
            cv::imdecode(std::vector<std::uint8_t>(buffer.data(), buffer.data() + frame.size), cv::IMREAD_COLOR);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.cols, 320);
        EXPECT_EQ(image.rows, 240);
        EXPECT_GT(frame.timestamp, 0);
    }
    demo.signal(SIGINT);
    ASSERT_TRUE(demo.waitExit(milliseconds(20000)));
    EXPECT_EQ(demo.exitCode(), 0);
    FrameOutput after{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(after), ENOENT) << "no producer after its clean stop";
}

}  // namespace
