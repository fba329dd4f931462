// The reading side's view of the segment, driven directly.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

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

}  // namespace
