// The producer and demo programs as whole processes: console lines, exit
// status and what they leave in /dev/shm.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "test_support.h"

using namespace test_support;

namespace {

constexpr auto kStartTimeout = milliseconds(20000);
constexpr auto kExitTimeout = milliseconds(20000);

class ProducerProcessTest : public ::testing::Test {
protected:
    void SetUp() override { removeSegmentLeftovers(); }
    void TearDown() override { removeSegmentLeftovers(); }

    // Starts the demo on a small looping clip and waits until it publishes.
    std::unique_ptr<ChildProcess> startDemo(int fps) {
        const std::string clip = dir.path() + "/clip.avi";
        writeClip(clip, 4, 320, 240);
        auto demo = std::make_unique<ChildProcess>(
            std::vector<std::string>{DEMO_PRODUCER_PATH, clip, std::to_string(fps)});
        EXPECT_TRUE(demo->waitForStdout("Camera started: 320x240 @ 30 FPS\n", kStartTimeout))
            << demo->stderrText();
        EXPECT_TRUE(waitUntil(segmentHasFrame, kStartTimeout))
            << "the demo publishes frames";
        return demo;
    }
    TempDir dir;
};

TEST_F(ProducerProcessTest, WithoutCameraReportsDeviceClosesAndRemovesSegment) {
    struct stat info;
    if (stat("/dev/video1", &info) == 0) {
        GTEST_SKIP() << "this machine has a camera at index 1";
    }
    ChildProcess producer({PRODUCER_PATH});
    ASSERT_TRUE(producer.waitExit(kExitTimeout));
    EXPECT_TRUE(producer.exitedNormally());
    EXPECT_EQ(producer.exitCode(), 0) << producer.stderrText();
    EXPECT_NE(producer.stderrText().find("Error: Could not open camera on device 1\n"), std::string::npos)
        << producer.stderrText();
    EXPECT_EQ(producer.stdoutText(), "exit_ctrl_c\r\n");
    EXPECT_FALSE(segmentExists());
}

TEST_F(ProducerProcessTest, OneSigintStopsInOrderAndRemovesSegment) {
    auto demo = startDemo(30);
    demo->signal(SIGINT);
    ASSERT_TRUE(demo->waitExit(kExitTimeout));
    EXPECT_EQ(demo->exitCode(), 0) << demo->stderrText();
    EXPECT_EQ(demo->stdoutText(),
              "Camera started: 320x240 @ 30 FPS\n"
              "Caught signal SIGINT, preparing to exit gracefully...\n"
              "Camera capture stopped.\n"
              "exit_ctrl_c\r\n");
    EXPECT_FALSE(segmentExists());
}

TEST_F(ProducerProcessTest, SecondSigintWritesAnotherLineButStopsOnce) {
    // One frame a second: the pause after a frame outlasts both signals.
    auto demo = startDemo(1);
    demo->signal(SIGINT);
    ASSERT_TRUE(demo->waitForStdout("preparing to exit gracefully...\n", kStartTimeout));
    demo->signal(SIGINT);
    ASSERT_TRUE(demo->waitExit(kExitTimeout));
    EXPECT_EQ(demo->exitCode(), 0) << demo->stderrText();
    EXPECT_EQ(demo->stdoutText(),
              "Camera started: 320x240 @ 30 FPS\n"
              "Caught signal SIGINT, preparing to exit gracefully...\n"
              "Caught signal SIGINT, preparing to exit gracefully...\n"
              "Camera capture stopped.\n"
              "exit_ctrl_c\r\n");
    EXPECT_FALSE(segmentExists());
}

TEST_F(ProducerProcessTest, SigtermTakesDefaultActionAndLeavesSegment) {
    auto demo = startDemo(30);
    demo->signal(SIGTERM);
    ASSERT_TRUE(demo->waitExit(kExitTimeout));
    EXPECT_FALSE(demo->exitedNormally());
    EXPECT_EQ(demo->termSignal(), SIGTERM);
    EXPECT_EQ(demo->stdoutText(), "Camera started: 320x240 @ 30 FPS\n");
    EXPECT_TRUE(segmentExists()) << "no teardown runs on SIGTERM";
}

TEST_F(ProducerProcessTest, DemoWithUnreadableSourceStillClosesCleanly) {
    ChildProcess demo({DEMO_PRODUCER_PATH, dir.path() + "/missing.avi"});
    ASSERT_TRUE(demo.waitExit(kExitTimeout));
    EXPECT_EQ(demo.exitCode(), 0) << demo.stderrText();
    EXPECT_NE(demo.stderrText().find("Error: Could not open video source "), std::string::npos);
    EXPECT_EQ(demo.stdoutText(), "exit_ctrl_c\r\n");
    EXPECT_FALSE(segmentExists());
}

}  // namespace
