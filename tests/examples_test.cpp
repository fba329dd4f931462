// The C example against a running demo producer (the Python one is run by
// tests/python/frameshare_test.py).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "test_clip.h"
#include "test_support.h"

using namespace test_support;

namespace {

bool isJpegFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 &&
           static_cast<unsigned char>(bytes[bytes.size() - 2]) == 0xFF &&
           static_cast<unsigned char>(bytes[bytes.size() - 1]) == 0xD9;
}

class ExamplesTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeSegmentLeftovers();
        const std::string clip = dir.path() + "/clip.avi";
        writeClip(clip, 4, 320, 240);
        demo = std::make_unique<ChildProcess>(std::vector<std::string>{DEMO_PRODUCER_PATH, clip});
        ASSERT_TRUE(demo->waitForStdout("Camera started:", milliseconds(20000)));
        ASSERT_TRUE(waitUntil(segmentHasFrame, milliseconds(20000)));
    }
    void TearDown() override {
        demo->signal(SIGINT);
        EXPECT_TRUE(demo->waitExit(milliseconds(20000)));
        EXPECT_EQ(demo->exitCode(), 0);
        EXPECT_FALSE(segmentExists());
    }
    TempDir dir;
    std::unique_ptr<ChildProcess> demo;
};

TEST_F(ExamplesTest, CExampleSavesTheCurrentFrame) {
    const std::string output = dir.path() + "/c_frame.jpg";
    ChildProcess reader({READ_FRAME_PATH, output});
    ASSERT_TRUE(reader.waitExit(milliseconds(20000)));
    EXPECT_EQ(reader.exitCode(), 0) << reader.stderrText();
    EXPECT_NE(reader.stdoutText().find("(1920x1080 JPEG) to " + output + ", age "), std::string::npos)
        << reader.stdoutText();
    EXPECT_TRUE(isJpegFile(output));
}

}  // namespace
