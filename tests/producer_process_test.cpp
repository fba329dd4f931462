// The producer and demo programs as whole processes: console lines, exit
// status and what they leave in /dev/shm.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

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

// The source is a FIFO the test writes part of a clip into and then holds
// open without writing more, as a camera that stops delivering without
// closing: the capture thread waits in a read that never returns. SIGINT
// still ends the run, without that thread, and the segment goes.
TEST_F(ProducerProcessTest, StalledSourceNeverHoldsTheStop) {
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 12, 320, 240);
    std::ifstream file(clip, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string fifo = dir.path() + "/camera";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess demo({DEMO_PRODUCER_PATH, fifo, "30"});
    int writer = -1;
    ASSERT_TRUE(waitUntil([&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, kStartTimeout));
    fcntl(writer, F_SETFL, 0);
    const std::string half = bytes.substr(0, bytes.size() / 2);
    ASSERT_EQ(write(writer, half.data(), half.size()), static_cast<ssize_t>(half.size()));
    ASSERT_TRUE(waitUntil(segmentHasFrame, kStartTimeout));
    std::this_thread::sleep_for(milliseconds(1000));  // the frames written are long published

    demo.signal(SIGINT);
    const bool ended = demo.waitExit(kExitTimeout);
    close(writer);
    ASSERT_TRUE(ended) << "the stop waited for the stalled read";
    EXPECT_EQ(demo.exitCode(), 0) << demo.stderrText();
    EXPECT_EQ(demo.stdoutText(),
              "Camera started: 320x240 @ 30 FPS\n"
              "Caught signal SIGINT, preparing to exit gracefully...\n"
              "exit_ctrl_c\r\n");
    EXPECT_NE(demo.stderrText().find("Warning: Capture did not stop within 1500 ms of SIGINT; ending without "
                                     "waiting for it.\n"),
              std::string::npos)
        << demo.stderrText();
    EXPECT_FALSE(segmentExists());
}

TEST_F(ProducerProcessTest, CommandLineHelpVersionAndRefusals) {
    ChildProcess help({PRODUCER_PATH, "--help"});
    ASSERT_TRUE(help.waitExit(kExitTimeout));
    EXPECT_EQ(help.exitCode(), 0);
    for (const char* option : {"--device", "--size", "--fps", "--version"}) {
        EXPECT_NE(help.stdoutText().find(option), std::string::npos) << help.stdoutText();
    }
    ChildProcess version({PRODUCER_PATH, "--version"});
    ASSERT_TRUE(version.waitExit(kExitTimeout));
    EXPECT_EQ(version.exitCode(), 0);
    EXPECT_THAT(version.stdoutText(), ::testing::MatchesRegex("producer [0-9]+\\.[0-9]+\\.[0-9]+\n"));

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--size", "1920"},
                                               {"--size", "0x1080"},
                                               {"--size", "1920x1080x3"},
                                               {"--fps", "0"},
                                               {"--fps", "thirty"},
                                               {"--device", ""},
                                               {"--camera", "0"},
                                               {"extra"}}) {
        std::vector<std::string> argv{PRODUCER_PATH};
        argv.insert(argv.end(), bad.begin(), bad.end());
        ChildProcess producer(argv);
        ASSERT_TRUE(producer.waitExit(kExitTimeout));
        EXPECT_EQ(producer.exitCode(), 2) << bad[0] << ' ' << (bad.size() > 1 ? bad[1] : "");
        EXPECT_EQ(producer.stdoutText(), "") << "no run, no closing line";
        EXPECT_FALSE(producer.stderrText().empty());
        EXPECT_FALSE(segmentExists());
    }
}

TEST_F(ProducerProcessTest, DeviceThatCannotBeOpenedIsNamedWithTheWayToPickOne) {
    const std::string missing = dir.path() + "/video0";
    ChildProcess producer({PRODUCER_PATH, "--device", missing, "--size", "640x480", "--fps", "15"});
    ASSERT_TRUE(producer.waitExit(kExitTimeout));
    EXPECT_EQ(producer.exitCode(), 0);
    EXPECT_EQ(producer.stdoutText(), "exit_ctrl_c\r\n");
    const std::string err = producer.stderrText();
    const std::string line = "Error: Could not open camera on device " + missing + "\n";
    const std::size_t at = err.find(line);
    ASSERT_NE(at, std::string::npos) << err;
    const std::string next = err.substr(at + line.size(), err.find('\n', at + line.size()) - at - line.size());
    EXPECT_THAT(next, ::testing::HasSubstr("with --device INDEX|PATH.")) << err;
    EXPECT_FALSE(segmentExists());
}

// True once the process catches SIGINT (its SigCgt mask in /proc).
bool catchesSigint(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGINT - 1))) != 0;
        }
    }
    return false;
}

// A SIGINT at any moment of start-up after the handler is installed ends the
// run in order: during the set-up of the segment, before capture starts or
// while the source opens.
TEST_F(ProducerProcessTest, SigintDuringStartUpIsNeverLost) {
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 4, 320, 240);
    std::chrono::steady_clock::duration startUp{};
    {
        ChildProcess demo({DEMO_PRODUCER_PATH, clip, "30"});
        ASSERT_TRUE(waitUntil([&] { return catchesSigint(demo.pid()); }, kStartTimeout));
        const auto installed = std::chrono::steady_clock::now();
        ASSERT_TRUE(demo.waitForStdout("Camera started: ", kStartTimeout));
        startUp = std::chrono::steady_clock::now() - installed;  // on this machine, in this build
    }

    const std::string handled = "Caught signal SIGINT, preparing to exit gracefully...\n";
    const std::string started = "Camera started: 320x240 @ 30 FPS\n";
    const std::string closing = "Camera capture stopped.\nexit_ctrl_c\r\n";
    constexpr int kTries = 20;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        removeSegmentLeftovers();
        ChildProcess demo({DEMO_PRODUCER_PATH, clip, "30"});
        while (!catchesSigint(demo.pid())) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        std::this_thread::sleep_for(startUp * attempt / kTries);
        demo.signal(SIGINT);
        ASSERT_TRUE(demo.waitExit(kExitTimeout)) << "attempt " << attempt << ": the SIGINT was lost";
        ASSERT_TRUE(demo.exitedNormally()) << "attempt " << attempt;
        EXPECT_EQ(demo.exitCode(), 0) << demo.stderrText();
        const std::string out = demo.stdoutText();
        EXPECT_TRUE(out == handled + "exit_ctrl_c\r\n" || out == handled + started + closing ||
                    out == started + handled + closing)
            << "attempt " << attempt << ":\n" << out;
        EXPECT_FALSE(segmentExists()) << "attempt " << attempt;
    }
}

TEST_F(ProducerProcessTest, FailedSegmentSetUpEndsWithItsLineAndNonZeroStatus) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a private /dev/shm needs root";
    }
    // A directory at the segment's name, in a private /dev/shm.
    const std::string script = std::string("mount -t tmpfs -o size=16m tmpfs /dev/shm && mkdir /dev/shm/") +
                               SHM_NAME + " && exec \"$0\"";
    ChildProcess producer({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, PRODUCER_PATH});
    ASSERT_TRUE(producer.waitExit(kExitTimeout));
    ASSERT_TRUE(producer.exitedNormally()) << "not aborted: signal " << producer.termSignal();
    EXPECT_EQ(producer.exitCode(), 1) << producer.stderrText();
    EXPECT_EQ(producer.stdoutText(), "exit_ctrl_c\r\n");
    const std::vector<std::string> lines = splitLines(producer.stderrText());
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(lines.back().empty());
    EXPECT_EQ(producer.stderrText().find("terminate"), std::string::npos) << producer.stderrText();
    EXPECT_NE(lines.back().find(SHM_NAME), std::string::npos) << "the line names the segment";
    EXPECT_EQ(producer.stderrText().find("Could not open camera"), std::string::npos) << "capture never starts";
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

// The demo with its standard output on `out` (the test keeps no other end
// of it but the one it passes), its standard error on /dev/null; SIGINT
// once it publishes. Returns the wait status, or -1 if it did not end in time.
int sigintWithConsoleOn(int out, const std::string& clip) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string path = DEMO_PRODUCER_PATH;
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(clip.c_str()), const_cast<char*>("30"),
                    const_cast<char*>("20"), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start the demo";
        return -1;
    }
    int status = -1;
    EXPECT_TRUE(waitUntil(segmentHasFrame, kStartTimeout)) << "the demo publishes";
    kill(pid, SIGINT);
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, kExitTimeout)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return status;
}

// A console that takes no output costs lines, never the run: with the
// reader gone (SIGPIPE would kill it) or a pipe full and never drained (a
// write would block the handler or the capture thread), SIGINT still ends
// it in order.
TEST_F(ProducerProcessTest, SigintEndsTheRunWhateverBecomesOfStdout) {
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 4, 320, 240);

    int closed[2];
    ASSERT_EQ(pipe2(closed, O_CLOEXEC), 0);
    close(closed[0]);
    EXPECT_EQ(sigintWithConsoleOn(closed[1], clip), 0) << "closed pipe: exits 0, not killed by SIGPIPE";
    EXPECT_FALSE(segmentExists()) << "closed pipe";

    removeSegmentLeftovers();
    int full[2];
    ASSERT_EQ(pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    while (write(full[1], block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_EQ(fcntl(full[1], F_SETFL, 0), 0);  // the demo's writes block, as on any console
    EXPECT_EQ(sigintWithConsoleOn(full[1], clip), 0) << "full pipe: the stop is not held up by a write";
    EXPECT_FALSE(segmentExists()) << "full pipe";
    close(full[0]);
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
