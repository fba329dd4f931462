// The segment owner on the real shared-memory object and real semaphores.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "producer_share_memory.h"
#include "segment_lock.h"
#include "test_support.h"

using namespace test_support;

namespace {

template <typename T>
bool allZero(const T& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// A named semaphore owned by the test; unlinked at once so nothing is left.
class TestSemaphore {
public:
    explicit TestSemaphore(unsigned int value) {
        const std::string name = "/" + uniqueName("sem");
        handle_ = sem_open(name.c_str(), O_CREAT | O_EXCL, 0644, value);
        sem_unlink(name.c_str());
    }
    ~TestSemaphore() {
        if (handle_ != SEM_FAILED) {
            sem_close(handle_);
        }
    }
    sem_t* get() const { return handle_; }
    int value() const {
        int v = -1;
        sem_getvalue(handle_, &v);
        return v;
    }

private:
    sem_t* handle_;
};

class ProducerOwnerTest : public ::testing::Test {
protected:
    void SetUp() override { removeSegmentLeftovers(); }
    void TearDown() override {
        // Handles belong to the tests; drop them so cleanup lists nothing.
        for (int i = 0; i < MAX_CONSUMERS; ++i) {
            owner.semColor[i] = nullptr;
            owner.semDepth[i] = nullptr;
        }
        owner.cleanup();
        EXPECT_FALSE(segmentExists()) << "cleanup must remove the segment name";
    }
    ProducerSharedMemory owner;
};

// A stale object of this user at the name is replaced by a fresh one.
TEST_F(ProducerOwnerTest, StaleDirtySegmentIsReplacedByAZeroedOne) {
    {
        const ScopedFd fd(shm_open(SHM_NAME, O_CREAT | O_RDWR, 0666));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(ftruncate(fd.get(), sizeof(SharedData)), 0);
        const ScopedMapping mapping(
            mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0), sizeof(SharedData));
        ASSERT_TRUE(mapping.valid());
        auto* dirty = mapping.as<SharedData>();
        std::memset(&dirty->rgbFrame, 0xAB, sizeof(SharedData) - offsetof(SharedData, rgbFrame));
        dirty->colorConsumers[3].occupied = 1;
        dirty->colorConsumers[3].pid = 4242;
    }
    owner.initialize();
    SharedData* data = owner.sharedData;
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(allZero(data->rgbFrame));
    EXPECT_TRUE(allZero(data->depthFrame));
    EXPECT_TRUE(allZero(data->imuData));
    EXPECT_TRUE(allZero(data->rgbIntrinsic));
    EXPECT_TRUE(allZero(data->depthIntrinsic));
    EXPECT_TRUE(allZero(data->colorConsumers));
    EXPECT_TRUE(allZero(data->depthConsumers));
}

TEST_F(ProducerOwnerTest, PayloadPublishStoresBytesSizeAndBothClocks) {
    owner.initialize();
    SegmentView view;
    ASSERT_TRUE(view);
    std::vector<unsigned char> first(5000, 0x11);
    owner.updateRGBFrame(first.data(), 5000, 123456789ul, static_cast<unsigned long>(-5));
    EXPECT_EQ(view->rgbFrame.size, 5000u);
    EXPECT_EQ(view->rgbFrame.steadyTimeUs, 123456789);
    EXPECT_EQ(view->rgbFrame.systemTimeUs, -5) << "clocks travel bit for bit";

    // A shorter payload leaves the previous tail in place; size tells.
    std::vector<unsigned char> second(100, 0x22);
    owner.updateRGBFrame(second.data(), 100, 2, 3);
    EXPECT_EQ(view->rgbFrame.size, 100u);
    EXPECT_EQ(view->rgbFrame.data[99], 0x22);
    EXPECT_EQ(view->rgbFrame.data[100], 0x11);

    // A full-capacity payload: size lies right behind the last byte.
    std::vector<unsigned char> full(RGB_FRAME_CAPACITY, 0x33);
    owner.updateRGBFrame(full.data(), static_cast<unsigned int>(full.size()), 4, 5);
    EXPECT_EQ(view->rgbFrame.size, RGB_FRAME_CAPACITY);
    EXPECT_EQ(view->rgbFrame.data[RGB_FRAME_CAPACITY - 1], 0x33);

    std::vector<unsigned char> depth(777, 0x44);
    owner.updateDepthFrame(depth.data(), 777, 6, 7);
    EXPECT_EQ(view->depthFrame.size, 777u);
    EXPECT_EQ(view->depthFrame.steadyTimeUs, 6);
    EXPECT_EQ(view->depthFrame.systemTimeUs, 7);
    EXPECT_EQ(view->depthFrame.data[776], 0x44);
}

TEST_F(ProducerOwnerTest, OversizePayloadIsRefusedAndPreviousFrameStays) {
    owner.initialize();
    std::vector<unsigned char> good(10, 0x5A);
    owner.updateRGBFrame(good.data(), 10, 100, 200);
    std::vector<unsigned char> huge(RGB_FRAME_CAPACITY + 1, 0x77);
    ::testing::internal::CaptureStderr();
    owner.updateRGBFrame(huge.data(), static_cast<unsigned int>(huge.size()), 300, 400);
    owner.updateDepthFrame(huge.data(), static_cast<unsigned int>(DEPTH_FRAME_CAPACITY + 1), 300, 400);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("colour frame of 6220801 bytes exceeds the 6220800-byte capacity"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("depth frame of 4147201 bytes exceeds the 4147200-byte capacity"), std::string::npos)
        << errors;
    const SharedData* data = owner.sharedData;
    EXPECT_EQ(data->rgbFrame.size, 10u);
    EXPECT_EQ(data->rgbFrame.steadyTimeUs, 100);
    EXPECT_EQ(data->rgbFrame.data[10], 0) << "nothing of the refused payload was copied";
    EXPECT_EQ(data->depthFrame.size, 0u);
}

TEST_F(ProducerOwnerTest, WholeRecordFormsAndSettersCopyWholeBlocks) {
    owner.initialize();
    auto rgb = std::make_unique<RgbFrame>();
    std::memset(rgb.get(), 0, sizeof(RgbFrame));
    rgb->data[0] = 9;
    rgb->size = 1;
    rgb->steadyTimeUs = 11;
    rgb->systemTimeUs = 12;
    owner.updateRGBFrame(*rgb);
    auto depth = std::make_unique<DepthFrame>();
    std::memset(depth.get(), 0, sizeof(DepthFrame));
    depth->size = 2;
    depth->steadyTimeUs = 21;
    owner.updateDepthFrame(*depth);
    const IMUData imu{{1, 2, 3}, {4, 5, 6}, 7};
    owner.updateIMU(imu);
    owner.setRgbIntrinsic({615.25f, 600, 320, 240, 640, 480});
    owner.setDepthIntrinsic({1, 2, 3, 4, 5, -6});

    const SharedData* data = owner.sharedData;
    EXPECT_EQ(std::memcmp(&data->rgbFrame, rgb.get(), sizeof(RgbFrame)), 0);
    EXPECT_EQ(std::memcmp(&data->depthFrame, depth.get(), sizeof(DepthFrame)), 0);
    EXPECT_EQ(std::memcmp(&data->imuData, &imu, sizeof imu), 0);
    EXPECT_EQ(data->rgbIntrinsic.fx, 615.25f);
    EXPECT_EQ(data->depthIntrinsic.height, -6);
}

// Posting rules for one stream, with real named semaphores in real slots.
void checkPostingRules(ProducerSharedMemory& owner, bool colour) {
    SharedData* data = owner.sharedData;
    ConsumerSlot* slots = colour ? data->colorConsumers : data->depthConsumers;
    sem_t** handles = colour ? owner.semColor : owner.semDepth;
    auto publish = [&] {
        const unsigned char byte = 1;
        if (colour) {
            owner.updateRGBFrame(&byte, 1, 1, 1);
        } else {
            owner.updateDepthFrame(&byte, 1, 1, 1);
        }
    };
    TestSemaphore waiting(0), pending(1), unregistered(0), free(0);
    slots[1] = {1, {}, 101, 7};  // taken its post: posted, count reset
    handles[1] = waiting.get();
    slots[4] = {1, {}, 104, 5};  // post pending: left alone
    handles[4] = pending.get();
    slots[6] = {1, {}, 106, 3};  // registered, not yet opened by the monitor
    handles[6] = nullptr;
    slots[8] = {0, {}, 0, 0};    // handle on a free slot: never posted
    handles[8] = free.get();

    publish();
    EXPECT_EQ(waiting.value(), 1);
    EXPECT_EQ(slots[1].missedChecks, 0u);
    EXPECT_EQ(pending.value(), 1);
    EXPECT_EQ(slots[4].missedChecks, 5u);
    EXPECT_EQ(slots[6].missedChecks, 3u);
    EXPECT_EQ(free.value(), 0);

    // Not taken yet: the next publish does not raise it above 1.
    publish();
    EXPECT_EQ(waiting.value(), 1);
    for (int i : {1, 4, 6, 8}) {
        handles[i] = nullptr;
    }
}

TEST_F(ProducerOwnerTest, PublishPostsOnlyKnownConsumersThatTookTheirPost) {
    owner.initialize();
    checkPostingRules(owner, true);
    checkPostingRules(owner, false);
}

TEST_F(ProducerOwnerTest, UnmappedObjectDoesNothingAndSaysSoOnlyWhenPrinting) {
    ProducerSharedMemory unmapped;
    const unsigned char byte = 0;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    unmapped.updateRGBFrame(&byte, 1, 1, 1);
    unmapped.updateDepthFrame(&byte, 1, 1, 1);
    unmapped.updateIMU(IMUData{});
    unmapped.setRgbIntrinsic(CameraIntrinsic{});
    unmapped.setDepthIntrinsic(CameraIntrinsic{});
    unmapped.printCameraIntrinsics();
    unmapped.cleanup();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Shared memory not initialized.\n");
    EXPECT_THROW(ProducerSharedMemory::init(nullptr), std::invalid_argument);
    try {
        ProducerSharedMemory::init(nullptr);
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Invalid shared data pointer");
    }
}

TEST_F(ProducerOwnerTest, CleanupListsOpenHandlesInOrderEveryTime) {
    owner.initialize();
    ASSERT_TRUE(segmentExists());
    ProducerSharedMemory other;
    TestSemaphore a(0), b(0), c(0);
    other.semDepth[2] = a.get();
    other.semColor[2] = b.get();
    other.semColor[7] = c.get();
    ::testing::internal::CaptureStdout();
    other.cleanup();
    other.cleanup();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "semdepth:2\r\nsemColorBuff:2\r\nsemColorBuff:7\r\n"
              "semdepth:2\r\nsemColorBuff:2\r\nsemColorBuff:7\r\n");
    EXPECT_EQ(a.value(), 0) << "cleanup neither closes nor posts the handles";
    other.semDepth[2] = other.semColor[2] = other.semColor[7] = nullptr;
}

TEST_F(ProducerOwnerTest, IntrinsicsPrintWithDefaultStreamFormatting) {
    owner.initialize();
    owner.setRgbIntrinsic({615.25f, 600.5f, 320.0f, 240.0f, 640, -480});
    ::testing::internal::CaptureStdout();
    owner.printCameraIntrinsics();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "RGB Camera Intrinsics:\n  fx: 615.25\n  fy: 600.5\n  cx: 320\n  cy: 240\n  width: 640\n"
              "  height: -480\n\nDepth Camera Intrinsics:\n  fx: 0\n  fy: 0\n  cx: 0\n  cy: 0\n  width: 0\n"
              "  height: 0\n");
}

// A process that takes rgbMutex and starts a frame it never finishes.
void killWhileHoldingRgbMutex() {
    killWhileHolding([](SharedData* data) {
        pthread_mutex_lock(&data->rgbMutex.handle);
        data->rgbFrame.size = 123456;
    });
}

// A process killed while it holds rgbMutex must neither freeze the producer
// nor leave a torn frame readable.
TEST_F(ProducerOwnerTest, MutexOfKilledHolderIsRecoveredAndItsFrameEmptied) {
    owner.initialize();
    SharedData* data = owner.sharedData;

    killWhileHoldingRgbMutex();
    {
        SegmentLock lock(&data->rgbMutex.handle, headerOf(data->rgbFrame));
        EXPECT_EQ(lock.outcome(), LockOutcome::RecoveredFromDeadOwner);
        EXPECT_EQ(data->rgbFrame.size, 0u) << "the dead holder's frame is emptied";
        EXPECT_EQ(data->rgbFrame.steadyTimeUs, 0);
        EXPECT_EQ(data->rgbFrame.systemTimeUs, 0);
    }

    killWhileHoldingRgbMutex();
    const unsigned char payload[3] = {1, 2, 3};
    owner.updateRGBFrame(payload, 3, 77, 78);
    EXPECT_EQ(data->rgbFrame.size, 3u);
    EXPECT_EQ(data->rgbFrame.steadyTimeUs, 77);
    SegmentLock again(&data->rgbMutex.handle);
    EXPECT_EQ(again.outcome(), LockOutcome::Acquired) << "the publish left the mutex consistent and free";
}

// Ownership moves with the owner; reset and assignment give the old
// descriptor or mapping back at once, release hands it on untouched.
TEST(ResourceOwners, MoveResetAndReleaseCloseAndUnmapExactlyOnce) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ScopedFd reader(ends[0]);
    ScopedFd moved(std::move(reader));
    EXPECT_FALSE(reader.valid());
    moved = ScopedFd(ends[1]);  // closes the read end
    EXPECT_EQ(fcntl(ends[0], F_GETFD), -1);
    const int kept = moved.release();
    moved.reset();
    EXPECT_EQ(fcntl(kept, F_GETFD), 0) << "a released descriptor stays open";
    close(kept);

    const std::size_t length = 2 * 4096;
    ScopedMapping first(mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), length);
    ASSERT_TRUE(first.valid());
    void* const address = first.get();
    ScopedMapping second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(msync(address, length, MS_ASYNC), 0);
    second = ScopedMapping(MAP_FAILED, length);  // a failed mmap leaves it empty
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(msync(address, length, MS_ASYNC), -1) << "assignment unmapped the region";
}

}  // namespace
