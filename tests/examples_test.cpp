// The C and Python examples against a running demo producer.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iterator>

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

TEST_F(ExamplesTest, PythonExampleSeesNewFramesAndSavesTheLast) {
    if (std::string(PYTHON3_PATH).empty()) {
        GTEST_SKIP() << "no python3";
    }
    const std::string output = dir.path() + "/py_frame.jpg";
    ChildProcess reader({PYTHON3_PATH, READ_FRAMES_PY, "--library", FRAMEREADER_LIBRARY, "--seconds", "2",
                         "--output", output});
    ASSERT_TRUE(reader.waitExit(milliseconds(30000)));
    EXPECT_EQ(reader.exitCode(), 0) << reader.stderrText();
    const std::string out = reader.stdoutText();
    EXPECT_NE(out.find("frame 2: "), std::string::npos) << "more than one distinct frame in two seconds\n" << out;
    EXPECT_NE(out.find("last frame saved to " + output), std::string::npos) << out;
    EXPECT_TRUE(isJpegFile(output));
}

// Started with standard output or error closed, the example's calls keep
// the library's descriptors above 2: no console line lands in the segment,
// frames keep coming and the producer keeps publishing. A stopped holder
// of depthMutex makes every call write a warning to descriptor 2.
TEST_F(ExamplesTest, PythonExampleWithAClosedConsoleDescriptorLeavesTheSegmentWhole) {
    if (std::string(PYTHON3_PATH).empty()) {
        GTEST_SKIP() << "no python3";
    }
    StoppedHolder depth([](SharedData* data) { pthread_mutex_lock(&data->depthMutex.handle); });
    for (const std::string closing : {">&-", "2>&-"}) {
        SCOPED_TRACE(closing);
        const std::string output = dir.path() + "/closed.jpg";
        ChildProcess reader({"/bin/sh", "-c", "exec \"$0\" \"$@\" " + closing, PYTHON3_PATH, READ_FRAMES_PY,
                             "--library", FRAMEREADER_LIBRARY, "--seconds", "2", "--output", output});
        ASSERT_TRUE(reader.waitExit(milliseconds(30000)));
        EXPECT_EQ(reader.exitCode(), 0) << reader.stdoutText() << reader.stderrText();
        EXPECT_TRUE(isJpegFile(output));
        std::remove(output.c_str());
    }
    EXPECT_EQ(demo->stderrText().find("not a usable mutex"), std::string::npos) << demo->stderrText();
}

}  // namespace
