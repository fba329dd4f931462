// Faults from outside: producers killed or stopped under running readers,
// and a hostile or broken writer's values in the registry tables.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <climits>
#include <vector>

#include "consumer_share_memory.h"
#include "framereader.h"
#include "payload_hash.h"
#include "producer_share_memory.h"
#include "test_clip.h"
#include "test_support.h"

using namespace test_support;

namespace {

class FaultInjectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeSegmentLeftovers();
        clip = dir.path() + "/clip.avi";
        hashes = dir.path() + "/hashes.txt";
        writeClip(clip, 6, 320, 240);
        ASSERT_EQ(stress::writeKnownHashes(clip, hashes), 6);
        known = stress::loadHashes(hashes);
    }
    void TearDown() override { removeSegmentLeftovers(); }

    std::unique_ptr<ChildProcess> startProducer() {
        auto producer = std::make_unique<ChildProcess>(std::vector<std::string>{DEMO_PRODUCER_PATH, clip});
        EXPECT_TRUE(producer->waitForStdout("Camera started:", milliseconds(20000)));
        return producer;
    }
    // One quiet call; returns errno.
    int fetch(FrameOutput& frame) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        get_frame_data(&frame, nullptr);
        const int error = errno;
        ::testing::internal::GetCapturedStdout();
        ::testing::internal::GetCapturedStderr();
        return error;
    }
    bool isKnownFrame(const FrameOutput& frame) const {
        return known.count(stress::payloadHash(frame.data, frame.size)) != 0;
    }

    TempDir dir;
    std::string clip;
    std::string hashes;
    std::set<std::uint64_t> known;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(FRAMEREADER_FRAME_CAPACITY);
};

// Readers run across the kill and the restart: every frame any of them gets
// is whole (a reader ends with status 3 at the first torn or zeroed one).
TEST_F(FaultInjectionTest, ProducerKilledMidCaptureThenReplacedWhileReadersRun) {
    auto first = startProducer();
    ASSERT_TRUE(waitUntil(segmentHasFrame, milliseconds(20000)));
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (int i = 0; i < 4; ++i) {
        readers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{STRESS_READER_PATH, hashes}));
    }
    for (auto& reader : readers) {
        ASSERT_TRUE(reader->waitForStdout("progress calls", milliseconds(20000)));
    }
    first->signal(SIGKILL);
    ASSERT_TRUE(first->waitExit(milliseconds(10000)));
    ASSERT_TRUE(segmentExists()) << "a killed producer leaves its segment";
    struct stat stale {};
    ASSERT_EQ(stat(("/dev/shm/" + std::string(SHM_NAME)).c_str(), &stale), 0);

    // Readers keep getting the last frame, whole, or an empty record.
    FrameOutput last{buffer.data(), 0, 0, 0, 0, 0};
    ASSERT_EQ(fetch(last), 0);
    if (last.size > 0) {
        EXPECT_TRUE(isKnownFrame(last));
    }

    auto second = startProducer();
    ASSERT_TRUE(waitUntil(
        [&] {
            FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
            return fetch(frame) == 0 && frame.size > 0 && frame.timestamp > last.timestamp;
        },
        milliseconds(20000)))
        << "the new producer's frames reach readers";
    struct stat fresh {};
    ASSERT_EQ(stat(("/dev/shm/" + std::string(SHM_NAME)).c_str(), &fresh), 0);
    EXPECT_NE(fresh.st_ino, stale.st_ino) << "a fresh segment, not the stale one reinitialised under readers";
    for (auto& reader : readers) {
        reader->signal(SIGTERM);
        ASSERT_TRUE(reader->waitExit(milliseconds(20000)));
        EXPECT_EQ(reader->exitCode(), 0) << "a reader got a torn or zeroed frame: " << reader->stdoutText();
    }
    second->signal(SIGINT);
    ASSERT_TRUE(second->waitExit(milliseconds(20000)));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_FALSE(segmentExists());
}

TEST_F(FaultInjectionTest, ProducerStoppedWhileReadersAreMidCall) {
    auto producer = startProducer();
    ASSERT_TRUE(waitUntil(segmentHasFrame, milliseconds(20000)));
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(
            std::make_unique<ChildProcess>(std::vector<std::string>{STRESS_READER_PATH, hashes, "--until-gone"}));
    }
    for (auto& reader : readers) {
        ASSERT_TRUE(reader->waitForStdout("progress calls", milliseconds(20000)));
    }
    producer->signal(SIGINT);
    ASSERT_TRUE(producer->waitExit(milliseconds(20000)));
    EXPECT_EQ(producer->exitCode(), 0);
    for (auto& reader : readers) {
        ASSERT_TRUE(reader->waitExit(milliseconds(20000))) << "a reader hung after the producer left";
        EXPECT_EQ(reader->exitCode(), 0) << reader->stdoutText();
        EXPECT_NE(reader->stdoutText().rfind(" failures 0\n"), std::string::npos) << reader->stdoutText();
    }
    FrameOutput after{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(after), ENOENT);
}

// Registry values no registration writes: flags other than 0 and 1,
// process ids that are zero, negative or no process's, huge counts.
TEST_F(FaultInjectionTest, HostileRegistryValuesAreBoundedNotTrusted) {
    ProducerSharedMemory owner;
    owner.initialize();
    SharedData* data = owner.sharedData;
    const std::int32_t pids[] = {0, -5, INT_MAX, INT_MIN, 1, 2000000000, -1, 0, getpid(), 1};
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        data->colorConsumers[i] = {static_cast<std::uint8_t>(0x7F + i), {0xFF, 0xFF, 0xFF}, pids[i], UINT64_MAX - 1};
        data->depthConsumers[i] = {static_cast<std::uint8_t>(i % 2 == 0 ? 0 : 0xFF), {}, pids[i], 28};
    }
    // Any non-zero flag counts as taken: a full table refuses politely.
    {
        ConsumerSharedMemory view;
        ::testing::internal::CaptureStdout();
        view.initialize();
        EXPECT_THROW(view.registerConsumerRGB(), std::runtime_error);
        view.cleanup();
        ::testing::internal::GetCapturedStdout();
    }

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    for (int pass = 0; pass < 3; ++pass) {
        owner.checkConsumerHealth();
        const unsigned char byte = 0;
        owner.updateRGBFrame(&byte, 1, 1, 1);
        owner.updateDepthFrame(&byte, 1, 1, 1);
    }
    const std::string retired = ::testing::internal::GetCapturedStdout();
    const std::string warnings = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(retired.find("Consumer 1 with PID 4294967291 is considered offline"), std::string::npos)
        << "a negative pid is no process: retired at once, named as the unsigned number";
    EXPECT_NE(retired.find("Consumer 4 with PID 1 is considered offline"), std::string::npos)
        << "a live process whose semaphore never opens misses its checks; a count past the limit retires it";
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        EXPECT_EQ(data->colorConsumers[i].occupied, 0) << "colour slot " << i;
        EXPECT_EQ(data->depthConsumers[i].occupied, 0) << "depth slot " << i << " (28 + 2 missed checks)";
        if (owner.semColor[i] != nullptr || owner.semDepth[i] != nullptr) {
            ADD_FAILURE() << "slot " << i << " opened a semaphore no consumer made";
        }
    }
    EXPECT_EQ(splitLines(warnings).size(), 4u) << "one per live slot (colour 4, 8, 9, depth 9), not per pass\n"
                                                 << warnings;
    ::testing::internal::CaptureStdout();
    owner.cleanup();
    ::testing::internal::GetCapturedStdout();
}

}  // namespace
