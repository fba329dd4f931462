// The reading side's view of the segment, driven directly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <stdexcept>
#include <vector>

#include "consumer_share_memory.h"
#include "producer_share_memory.h"
#include "test_support.h"

using namespace test_support;

namespace {

class ConsumerViewTest : public ::testing::Test {
protected:
    void SetUp() override { removeSegmentLeftovers(); }
    void TearDown() override {
        removeSegmentLeftovers();  // this process's own semaphore names
        owner.cleanup();
        EXPECT_FALSE(segmentExists());
    }
    ProducerSharedMemory owner;
};

TEST_F(ConsumerViewTest, NeverInitialisedViewCopiesNothingAndCleansUpRepeatedly) {
    ConsumerSharedMemory view;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(view.getRGBFrame(), nullptr);
    EXPECT_EQ(view.getDepthFrame(), nullptr);
    EXPECT_EQ(view.getIMUData().timestampUs, 0);
    EXPECT_EQ(view.getRgbIntrinsic().fx, 0.0f);
    EXPECT_EQ(view.getDepthIntrinsic().height, 0);
    view.printCameraIntrinsics();
    view.cleanup();
    view.cleanup();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Shared memory not initialized.\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Consumer successfully cleaned up resources.\nConsumer successfully cleaned up resources.\n");
}

TEST_F(ConsumerViewTest, InitializeWithoutSegmentWarnsAndThrows) {
    ConsumerSharedMemory view;
    ::testing::internal::CaptureStderr();
    try {
        view.initialize();
        ADD_FAILURE() << "initialize must throw without a segment";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Quit initialize");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Warning: Failed to open shared memory. Error: No such file or directory\n");
    EXPECT_EQ(view.sharedData, nullptr);
}

TEST_F(ConsumerViewTest, FreshSegmentReadsZeroAndEveryRecordCopiesOut) {
    owner.initialize();
    ConsumerSharedMemory view;
    ::testing::internal::CaptureStdout();
    view.initialize();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Consumer successfully initialized and verified existing mutexes.\n"
              "Consumer successfully initialized and mapped shared memory.\n");
    const RgbFrame* empty = view.getRGBFrame();
    EXPECT_EQ(empty->size, 0u);
    EXPECT_EQ(empty->steadyTimeUs, 0);
    EXPECT_EQ(empty->systemTimeUs, 0);

    const unsigned char depth[4] = {1, 2, 3, 4};
    owner.updateDepthFrame(depth, 4, 40, 41);
    owner.updateIMU(IMUData{{1, 2, 3}, {4, 5, 6}, 99});
    owner.setRgbIntrinsic({615.25f, 1, 320, 2, 640, -480});
    owner.setDepthIntrinsic({5, 6, 7, 8, 9, 10});
    const DepthFrame* copy = view.getDepthFrame();
    EXPECT_EQ(copy->size, 4u);
    EXPECT_EQ(copy->data[3], 4);
    EXPECT_EQ(copy->systemTimeUs, 41);
    EXPECT_EQ(view.getIMUData().timestampUs, 99);
    EXPECT_EQ(view.getRgbIntrinsic().height, -480);
    EXPECT_EQ(view.getDepthIntrinsic().fx, 5.0f);

    ::testing::internal::CaptureStdout();
    view.printCameraIntrinsics();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(splitLines(printed).size(), 15u);
    EXPECT_NE(printed.find("  fx: 615.25\n"), std::string::npos);
}

TEST(GetTimeout, IsAnAbsoluteRealtimeDeadline) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec inOne = getTimeout(1);
    const timespec inZero = getTimeout(0);
    EXPECT_GE(inOne.tv_sec, now.tv_sec + 1);
    EXPECT_LE(inOne.tv_sec, now.tv_sec + 2);
    EXPECT_GE(inZero.tv_sec, now.tv_sec);
    EXPECT_LT(inZero.tv_nsec, 1000000000L);
    EXPECT_LT(inZero.tv_sec, inOne.tv_sec + 1) << "each call has its own deadline";
}

TEST_F(ConsumerViewTest, RegisteredColourViewWithoutPostsGivesUpAfterAboutOneSecond) {
    owner.initialize();
    ConsumerSharedMemory view;
    ::testing::internal::CaptureStdout();
    view.initialize();
    view.registerConsumerRGB();
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    const RgbFrame* frame = view.getRGBFrame();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[SEM_COLOR] Waiting for semColor timed out.Error: Connection timed out\n");
    EXPECT_NE(frame, nullptr);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
}


// The private record holds the header and the announced payload; what lies
// behind `size` is not part of the frame, so only the bytes up to it count.
TEST_F(ConsumerViewTest, FrameRecordsCopyHeaderAndAnnouncedPayloadAsSizesChange) {
    owner.initialize();
    ConsumerSharedMemory view;
    ::testing::internal::CaptureStdout();
    view.initialize();
    ::testing::internal::GetCapturedStdout();
    for (const std::size_t size : {std::size_t{300000}, std::size_t{7}, RGB_FRAME_CAPACITY}) {
        std::vector<std::uint8_t> payload(size);
        for (std::size_t i = 0; i < size; ++i) {
            payload[i] = static_cast<std::uint8_t>(i * 13 + size);
        }
        owner.updateRGBFrame(payload.data(), static_cast<unsigned>(size), size, size + 1);
        const RgbFrame* frame = view.getRGBFrame();
        ASSERT_EQ(frame->size, size);
        EXPECT_EQ(frame->steadyTimeUs, static_cast<std::int64_t>(size));
        EXPECT_EQ(frame->systemTimeUs, static_cast<std::int64_t>(size + 1));
        EXPECT_EQ(std::memcmp(frame->data, payload.data(), size), 0) << "frame of " << size;

        const std::size_t depthSize = std::min(size, DEPTH_FRAME_CAPACITY);
        owner.updateDepthFrame(payload.data(), static_cast<unsigned>(depthSize), size, size + 2);
        const DepthFrame* depth = view.getDepthFrame();
        ASSERT_EQ(depth->size, depthSize);
        EXPECT_EQ(depth->systemTimeUs, static_cast<std::int64_t>(size + 2));
        EXPECT_EQ(std::memcmp(depth->data, payload.data(), depthSize), 0) << "depth frame of " << depthSize;
    }
    // A corrupt size is handed on as found, with the capacity's bytes.
    owner.sharedData->rgbFrame.size = 0xFFFFFFF0u;
    EXPECT_EQ(view.getRGBFrame()->size, 0xFFFFFFF0u);
}

// Semaphores are owner-and-group whatever the umask, in the segment's group,
// so a producer running as another user of that group can post them.
TEST_F(ConsumerViewTest, SemaphoresAreOwnerAndGroupInTheSegmentsGroup) {
    owner.initialize();
    const gid_t segmentGroup = 4321;
    {
        const int fd = shm_open(SHM_NAME, O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchown(fd, static_cast<uid_t>(-1), segmentGroup), 0);
        close(fd);
    }
    const mode_t previous = umask(0);
    for (const mode_t mask : {mode_t{0}, mode_t{022}}) {
        umask(mask);
        ConsumerSharedMemory view;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        view.initialize();
        view.registerConsumerRGB();
        view.registerConsumerDepth();
        view.cleanup();
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        for (const char* prefix : {SEM_COLOR, SEM_DEPTH}) {
            const std::string name = std::string(prefix) + std::to_string(getpid());
            struct stat info;
            ASSERT_EQ(stat(("/dev/shm/sem." + name).c_str(), &info), 0) << name;
            EXPECT_EQ(info.st_mode & 07777, 0660u) << name << " under umask " << mask;
            EXPECT_EQ(info.st_gid, segmentGroup) << name;
            EXPECT_EQ(info.st_uid, getuid()) << "the owner stays";
            sem_unlink(name.c_str());
        }
        std::memset(owner.sharedData->colorConsumers, 0, sizeof owner.sharedData->colorConsumers);
        std::memset(owner.sharedData->depthConsumers, 0, sizeof owner.sharedData->depthConsumers);
    }
    umask(previous);

    // A consumer outside the segment's group (here its owner) cannot give its
    // semaphore that group: it says so and is registered all the same,
    // owner-and-group.
    {
        const int fd = shm_open(SHM_NAME, O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchown(fd, 65534, static_cast<gid_t>(-1)), 0);
        close(fd);
    }
    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(errPipe[1], STDERR_FILENO);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        ConsumerSharedMemory outsider;
        outsider.initialize();
        _exit(outsider.registerConsumerRGB() == 0 && outsider.semColor != nullptr ? 0 : 1);
    }
    close(errPipe[1]);
    std::string err;
    char chunk[512];
    for (ssize_t n = 0; (n = read(errPipe[0], chunk, sizeof chunk)) > 0;) {
        err.append(chunk, static_cast<std::size_t>(n));
    }
    close(errPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
    const std::string name = std::string(SEM_COLOR) + std::to_string(child);
    EXPECT_EQ(err, "Warning: Failed to share semaphore " + name +
                       " with the segment's group. Error: Operation not permitted\n");
    struct stat info;
    ASSERT_EQ(stat(("/dev/shm/sem." + name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    EXPECT_EQ(info.st_uid, 65534u);
    sem_unlink(name.c_str());
}

// A process stopped while it holds consumerMutex costs a registration about
// a second and an exception, never a hang.
TEST_F(ConsumerViewTest, RegistrationGivesUpOnAStoppedRegistryHolder) {
    owner.initialize();
    StoppedHolder holder([](SharedData* data) { pthread_mutex_lock(&data->consumerMutex.handle); });
    ConsumerSharedMemory view;
    ::testing::internal::CaptureStdout();
    view.initialize();
    auto registration = std::async(std::launch::async, [&]() -> std::string {
        try {
            view.registerConsumerRGB();
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "registered";
    });
    const bool ended = registration.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    holder.release();  // lets a hung registration end, too
    EXPECT_TRUE(ended) << "registration hangs on a stopped holder";
    EXPECT_EQ(registration.get(), "Registry is busy; try again.");
    EXPECT_EQ(view.semColor, nullptr);
    EXPECT_EQ(owner.sharedData->colorConsumers[0].occupied, 0);
    view.cleanup();
    ::testing::internal::GetCapturedStdout();
}

}  // namespace
