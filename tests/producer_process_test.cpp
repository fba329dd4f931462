// The producer and demo programs as whole processes: console lines, exit
// status and what they leave in /dev/shm.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <algorithm>
#include <string>
#include <thread>

#include "frame_number.h"
#include "framereader.h"
#include "test_clip.h"
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

// A missing node, a FIFO (whose open would wait for a writer) and text that
// another backend would take as a media pipeline that writes files: each is
// refused at once, never opened as something else.
TEST_F(ProducerProcessTest, DeviceThatCannotBeOpenedIsNamedWithTheWayToPickOne) {
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string written = dir.path() + "/written.jpg";
    const std::string pipeline =
        "videotestsrc num-buffers=5 ! tee name=t ! queue ! jpegenc ! multifilesink location=" + written +
        " t. ! queue ! videoconvert ! appsink";
    for (const std::string& device : {dir.path() + "/video0", fifo, pipeline}) {
        SCOPED_TRACE(device);
        ChildProcess producer({PRODUCER_PATH, "--device", device, "--size", "640x480", "--fps", "15"});
        ASSERT_TRUE(producer.waitExit(kExitTimeout));
        EXPECT_EQ(producer.exitCode(), 0);
        EXPECT_EQ(producer.stdoutText(), "exit_ctrl_c\r\n");
        const std::string err = producer.stderrText();
        const std::string line = "Error: Could not open camera on device " + device + "\n";
        const std::size_t at = err.find(line);
        ASSERT_NE(at, std::string::npos) << err;
        const std::string next = err.substr(at + line.size(), err.find('\n', at + line.size()) - at - line.size());
        EXPECT_THAT(next, ::testing::HasSubstr("with --device INDEX|PATH.")) << err;
        EXPECT_FALSE(segmentExists());
    }
    EXPECT_NE(access(written.c_str(), F_OK), 0) << "the device text ran as a pipeline";
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
    EXPECT_EQ(producer.stdoutText(), "") << "the closing line belongs to runs that started";
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
int sigintWithConsoleOn(int out, const std::string& clip, const std::function<void()>& afterSigint = {}) {
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
    if (afterSigint) {
        afterSigint();
    }
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

// The closing line of a run that started reaches a reader of the pipe that
// is slow to drain it: the pipe is full when the teardown ends, and read
// only a while later.
TEST_F(ProducerProcessTest, ClosingLineReachesASlowReaderOfAFullPipe) {
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 4, 320, 240);
    int full[2];
    ASSERT_EQ(pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    while (write(full[1], block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(fcntl(full[1], F_SETFL, 0), 0);
    ASSERT_EQ(fcntl(full[0], F_SETFL, 0), 0);
    std::string drained;
    // Reads only once the segment is gone, that is after the teardown.
    const int status = sigintWithConsoleOn(full[1], clip, [&] {
        EXPECT_TRUE(waitUntil([] { return !segmentExists(); }, kExitTimeout));
        std::this_thread::sleep_for(milliseconds(300));
        char chunk[65536];
        for (ssize_t n = 0; (n = read(full[0], chunk, sizeof chunk)) > 0;) {
            drained.append(chunk, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(status, 0);
    close(full[0]);
    ASSERT_GE(drained.size(), 13u);
    EXPECT_EQ(drained.substr(drained.size() - 13), "exit_ctrl_c\r\n");
}

std::int64_t publishedTimestamp() {
    SegmentView view;
    return view ? view->rgbFrame.steadyTimeUs : -1;
}

// A producer started with standard output or error closed: the segment is
// never given descriptor 1 or 2, so no console line lands in it, not even
// the warnings of a stopped holder of consumerMutex.
TEST_F(ProducerProcessTest, ConsoleDescriptorClosedAtStartNeverReachesTheSegment) {
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 4, 320, 240);
    for (const std::string closing : {">&-", "2>&-"}) {
        SCOPED_TRACE(closing);
        removeSegmentLeftovers();
        ChildProcess demo({"/bin/sh", "-c", "exec \"$0\" \"$@\" " + closing, DEMO_PRODUCER_PATH, clip, "30", "20"});
        ASSERT_TRUE(waitUntil(segmentHasFrame, kStartTimeout)) << demo.stderrText();
        StoppedHolder registry([](SharedData* data) { pthread_mutex_lock(&data->consumerMutex.handle); });
        const std::int64_t seen = publishedTimestamp();
        EXPECT_TRUE(waitUntil([&] { return publishedTimestamp() > seen; }, milliseconds(10000)))
            << "frames go on with the warnings written elsewhere";
        registry.release();
        demo.signal(SIGINT);
        ASSERT_TRUE(demo.waitExit(kExitTimeout));
        EXPECT_EQ(demo.exitCode(), 0) << demo.stderrText();
        EXPECT_FALSE(segmentExists());
    }
}

// ---- The producer against an emulated USB 2.0 webcam ----

// True when the JPEG defines Huffman tables before its scan.
bool hasHuffmanTables(const std::vector<std::uint8_t>& jpeg) {
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xff;) {
        if (jpeg[at + 1] == 0xc4) {
            return true;
        }
        if (jpeg[at + 1] == 0xda) {
            return false;
        }
        at += 2 + (static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]);
    }
    return false;
}

// Reads frames through get_frame_data until `count` new ones arrived;
// returns the camera's number of each, or stops early on the deadline.
std::vector<long> readFrameNumbers(std::size_t count, bool* allCarryTables) {
    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    std::vector<long> numbers;
    std::int64_t last = 0;
    *allCarryTables = true;
    if (!waitUntil(segmentHasFrame, kStartTimeout)) {
        return numbers;
    }
    SegmentView view;
    waitUntil(
        [&] {
            // The reader logs every call: call it only once a new frame is in.
            if (__atomic_load_n(&view->rgbFrame.steadyTimeUs, __ATOMIC_RELAXED) == last) {
                return false;
            }
            FrameOutput frame{};
            frame.data = buffer.data();
            errno = 0;
            get_frame_data(&frame, nullptr);
            if (errno == 0 && frame.size > 0 && frame.timestamp != last) {
                last = frame.timestamp;
                const std::vector<std::uint8_t> jpeg(buffer.begin(), buffer.begin() + frame.size);
                *allCarryTables = *allCarryTables && hasHuffmanTables(jpeg);
                numbers.push_back(emulatedFrameNumber(jpeg));
            }
            return numbers.size() >= count;
        },
        kStartTimeout);
    return numbers;
}

bool strictlyIncreasing(const std::vector<long>& numbers) {
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (numbers[i] < 0 || (i > 0 && numbers[i] <= numbers[i - 1])) {
            return false;
        }
    }
    return true;
}

std::string printed(const std::vector<long>& numbers) {
    std::string text;
    for (long number : numbers) {
        text += std::to_string(number) + " ";
    }
    return text;
}

// The emulated camera: which formats it offers, where its nodes are, and
// which GStreamer plugins OpenCV finds (links in a directory of our own, so
// an empty one means none).
struct Camera {
    std::string formats = "yuyv,mjpg";
    std::string capture = "1";
    std::string meta;
    bool gstreamerPlugins = false;
    std::string stallAfter;
    std::string badJpegEvery;
};

class EmulatedCameraTest : public ProducerProcessTest {
protected:
    // The producer's command line, run under the emulator. With a fake
    // device list, in a private mount namespace whose
    // /sys/class/video4linux names each emulated node, as the driver's do.
    std::vector<std::string> command(const Camera& camera, const std::vector<std::string>& arguments,
                                     bool fakeDeviceList = false) {
        const std::string plugins = dir.path() + "/gst-plugins";
        mkdir(plugins.c_str(), 0700);
        if (camera.gstreamerPlugins) {
            // videoconvertscale is videoconvert and videoscale before GStreamer 1.22.
            for (const char* name : {"video4linux2", "videoconvertscale", "videoconvert", "videoscale", "app",
                                     "coreelements", "jpeg", "videorate"}) {
                const std::string file = std::string(GSTREAMER_PLUGIN_DIR) + "/libgst" + name + ".so";
                if (access(file.c_str(), R_OK) == 0) {
                    EXPECT_EQ(symlink(file.c_str(), (plugins + "/libgst" + name + ".so").c_str()), 0) << file;
                }
            }
        }
        std::vector<std::string> argv{"/usr/bin/env",
                                      "LD_PRELOAD=" V4L2_EMULATOR_PATH,
                                      "V4L2EMU_FORMATS=" + camera.formats,
                                      "V4L2EMU_CAPTURE=" + camera.capture,
                                      "V4L2EMU_META=" + camera.meta,
                                      "V4L2EMU_STALL_AFTER=" + camera.stallAfter,
                                      "V4L2EMU_BAD_JPEG_EVERY=" + camera.badJpegEvery,
                                      "GST_PLUGIN_SYSTEM_PATH_1_0=" + plugins,
                                      "GST_PLUGIN_PATH_1_0=",
                                      "GST_REGISTRY_1_0=" + dir.path() + "/gst-registry.bin",
                                      // The emulator is loaded before a sanitizer's runtime.
                                      "ASAN_OPTIONS=verify_asan_link_order=0",
                                      PRODUCER_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        if (!fakeDeviceList) {
            return argv;
        }
        // Machines without a camera have no /sys/class/video4linux to mount on.
        std::string script =
            "mount -t tmpfs tmpfs /sys/class && mkdir /sys/class/video4linux && cd /sys/class/video4linux";
        for (std::string list : {camera.capture, camera.meta}) {
            std::replace(list.begin(), list.end(), ',', '\n');
            for (const std::string& index : splitLines(list)) {
                if (index.empty()) {
                    continue;
                }
                script += " && mkdir video" + index + " && echo 'Emulated 1080p Webcam' > video" + index + "/name";
            }
        }
        argv.insert(argv.begin(), {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                                   script + " && cd / && exec \"$0\" \"$@\""});
        return argv;
    }

    // Runs the producer on the camera until it has published `frames`
    // frames, checks each is a JPEG with Huffman tables whose number
    // advances, and stops it with SIGINT.
    void expectFramesAndCleanStop(ChildProcess& producer, const std::string& started, std::size_t frames) {
        ASSERT_TRUE(producer.waitForStdout(started, kStartTimeout))
            << producer.stdoutText() << producer.stderrText();
        bool tables = false;
        const std::vector<long> numbers = readFrameNumbers(frames, &tables);
        EXPECT_EQ(numbers.size(), frames) << producer.stderrText();
        EXPECT_TRUE(strictlyIncreasing(numbers)) << "camera frame numbers, published in order: " << printed(numbers);
        EXPECT_TRUE(tables) << "every published frame carries its Huffman tables";
        producer.signal(SIGINT);
        ASSERT_TRUE(producer.waitExit(kExitTimeout));
        EXPECT_EQ(producer.exitCode(), 0) << producer.stderrText();
        EXPECT_EQ(producer.stdoutText(), started +
                                             "Caught signal SIGINT, preparing to exit gracefully...\n"
                                             "Camera capture stopped.\n"
                                             "exit_ctrl_c\r\n");
        EXPECT_FALSE(segmentExists());
    }
};

struct CameraCase {
    const char* name;
    const char* formats;
    bool gstreamerPlugins;
    const char* started;
};

void PrintTo(const CameraCase& run, std::ostream* out) { *out << run.name; }

class EmulatedCameraFormatTest : public EmulatedCameraTest, public ::testing::WithParamInterface<CameraCase> {};

// A USB 2.0 webcam gives 1920x1080 at 30 fps only as MJPG: the producer
// picks it whichever backend OpenCV could use, and a camera with raw frames
// only is published at the rate it really has.
TEST_P(EmulatedCameraFormatTest, PublishesNumberedFramesAtTheFormatThatGivesTheRate) {
    const CameraCase& run = GetParam();
    if (run.gstreamerPlugins && std::string(GSTREAMER_PLUGIN_DIR).empty()) {
        GTEST_SKIP() << "GStreamer's video4linux2 plugin is not installed";
    }
    Camera camera;
    camera.formats = run.formats;
    camera.gstreamerPlugins = run.gstreamerPlugins;
    ChildProcess producer(command(camera, {}));
    expectFramesAndCleanStop(producer, run.started, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, EmulatedCameraFormatTest,
    ::testing::Values(
        CameraCase{"YuyvAndMjpgWithoutGStreamer", "yuyv,mjpg", false, "Camera started: 1920x1080 @ 30 FPS\n"},
        CameraCase{"YuyvAndMjpgWithGStreamer", "yuyv,mjpg", true, "Camera started: 1920x1080 @ 30 FPS\n"},
        CameraCase{"MjpgOnlyWithGStreamer", "mjpg", true, "Camera started: 1920x1080 @ 30 FPS\n"},
        CameraCase{"YuyvOnlyWithoutGStreamer", "yuyv", false, "Camera started: 1920x1080 @ 5 FPS\n"},
        CameraCase{"YuyvOnlyWithGStreamer", "yuyv", true, "Camera started: 1920x1080 @ 5 FPS\n"}),
    [](const ::testing::TestParamInfo<CameraCase>& info) { return std::string(info.param.name); });

// One webcam as the driver presents it: capture at /dev/video0, metadata at
// /dev/video1. The default index 1 fails with a line that lists the camera
// and the option that picks it, and that option works.
TEST_F(EmulatedCameraTest, CameraAtIndexZeroIsListedWhenIndexOneIsItsMetadataNode) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a private /sys/class/video4linux needs root";
    }
    Camera camera;
    camera.capture = "0";
    camera.meta = "1";
    ChildProcess failed(command(camera, {}, true));
    ASSERT_TRUE(failed.waitExit(kExitTimeout));
    EXPECT_EQ(failed.exitCode(), 0) << failed.stderrText();
    EXPECT_EQ(failed.stdoutText(), "exit_ctrl_c\r\n");
    const std::string errors = failed.stderrText();
    const std::string error = "Error: Could not open camera on device 1\n";
    const std::size_t at = errors.find(error);
    ASSERT_NE(at, std::string::npos) << errors;
    const std::string listing =
        errors.substr(at + error.size(), errors.find('\n', at + error.size()) - at - error.size());
    EXPECT_NE(listing.find("/dev/video0"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Emulated 1080p Webcam"), std::string::npos) << listing;
    EXPECT_NE(listing.find("--device"), std::string::npos) << listing;
    EXPECT_FALSE(segmentExists());

    ChildProcess producer(command(camera, {"--device", "0"}, true));
    expectFramesAndCleanStop(producer, "Camera started: 1920x1080 @ 30 FPS\n", 4);
}

// A camera frame that no decoder takes (here: every fourth declares a
// height of 0) is dropped with the encode-failure line; the frames around it
// are published.
TEST_F(EmulatedCameraTest, CameraFramesThatDoNotDecodeAreDroppedAndTheOthersPublished) {
    Camera camera;
    camera.formats = "mjpg";
    camera.badJpegEvery = "4";
    ChildProcess producer(command(camera, {}));
    ASSERT_TRUE(producer.waitForStdout("Camera started: 1920x1080 @ 30 FPS\n", kStartTimeout)) << producer.stderrText();
    bool tables = false;
    const std::vector<long> numbers = readFrameNumbers(9, &tables);
    EXPECT_EQ(numbers.size(), 9u);
    EXPECT_TRUE(strictlyIncreasing(numbers)) << printed(numbers);
    for (long number : numbers) {
        EXPECT_NE(number % 4, 0) << "frame " << number << " does not decode, yet was published";
    }
    EXPECT_NE(producer.stderrText().find("Error: Failed to encode frame to MJPG.\n"), std::string::npos)
        << producer.stderrText();
    producer.signal(SIGINT);
    ASSERT_TRUE(producer.waitExit(kExitTimeout));
    EXPECT_EQ(producer.exitCode(), 0) << producer.stderrText();
}

// A camera that stops delivering without closing, as a hung USB device
// does: SIGINT still ends the run in order. OpenCV is told to wait a minute
// for a frame, so only a stop that does not wait for the camera passes the
// bound, which is far above the 2 s the stop takes.
TEST_F(EmulatedCameraTest, StalledCameraDoesNotHoldUpTheStop) {
    Camera camera;
    camera.stallAfter = "20";
    std::vector<std::string> argv = command(camera, {});
    argv.insert(argv.begin() + 1, "OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT=60");
    ChildProcess producer(argv);
    ASSERT_TRUE(producer.waitForStdout("Camera started: ", kStartTimeout)) << producer.stderrText();
    bool tables = false;
    EXPECT_EQ(readFrameNumbers(2, &tables).size(), 2u);
    SegmentView view;
    std::int64_t last = -1;
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::int64_t now = __atomic_load_n(&view->rgbFrame.steadyTimeUs, __ATOMIC_RELAXED);
            const bool unchanged = now == last;
            last = now;
            std::this_thread::sleep_for(milliseconds(500));
            return unchanged;
        },
        kStartTimeout))
        << "the camera stalls";
    producer.signal(SIGINT);
    ASSERT_TRUE(producer.waitExit(milliseconds(10000))) << "the stop waited for the stalled camera";
    EXPECT_EQ(producer.exitCode(), 0) << producer.stderrText();
    EXPECT_FALSE(segmentExists());
}

}  // namespace
