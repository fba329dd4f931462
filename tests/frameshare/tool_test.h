// The fixture of the frameshare tool's tests: a private /dev/shm, so the
// producer and the tool started from a test see only each other; a clip; the
// demo producer on it; and one server process, stopped with SIGTERM after the
// test and expected to end cleanly.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_clip.h"
#include "test_support.h"

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=256m"), 0) << std::strerror(errno);
        clip = dir.path() + "/clip.avi";
        test_support::writeClip(clip, 8, 1920, 1080);
    }
    void TearDown() override {
        using std::chrono::milliseconds;
        if (server) {
            server->signal(SIGTERM);
            EXPECT_TRUE(server->waitExit(milliseconds(30000)));
            EXPECT_EQ(server->exitCode(), 0) << server->stderrText();
            EXPECT_NE(server->stdoutText().find("Stopped."), std::string::npos);
        }
        if (producer) {
            stopProducer();
        }
    }
    void startProducer(const std::string& fps) {
        using std::chrono::milliseconds;
        producer =
            std::make_unique<test_support::ChildProcess>(std::vector<std::string>{DEMO_PRODUCER_PATH, clip, fps});
        // The segment has its full size once the capture starts; mapping it
        // earlier could fault.
        ASSERT_TRUE(producer->waitForStdout("Camera started:", milliseconds(30000)));
        ASSERT_TRUE(test_support::waitUntil(test_support::segmentHasFrame, milliseconds(30000)));
    }
    void stopProducer() {
        producer->signal(SIGINT);
        EXPECT_TRUE(producer->waitExit(std::chrono::milliseconds(30000)));
        producer.reset();
    }

    test_support::TempDir dir;
    std::string clip;
    std::unique_ptr<test_support::ChildProcess> producer;
    std::unique_ptr<test_support::ChildProcess> server;
};
