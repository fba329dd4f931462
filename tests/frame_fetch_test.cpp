// get_frame_data through the real shared library, against a producer in
// this process or in others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <sstream>
#include <opencv2/imgcodecs.hpp>
#include <thread>
#include <vector>

#include "frame_pattern.h"
#include "framereader.h"
#include "producer_share_memory.h"
#include "test_clip.h"
#include "test_support.h"

using namespace test_support;

extern char** environ;

namespace {

// A buffer of exactly the frame capacity that ends where an inaccessible
// page begins: one byte written past it crashes the test.
class GuardedBuffer {
public:
    GuardedBuffer() {
        const std::size_t page = 4096;
        const std::size_t usable = (FRAMEREADER_FRAME_CAPACITY + page - 1) / page * page;
        mapping_.reset(mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
                       usable + page);
        auto* const base = mapping_.as<std::uint8_t>();
        mprotect(base + usable, page, PROT_NONE);
        data_ = base + usable - FRAMEREADER_FRAME_CAPACITY;
        std::memset(data_, 0xEE, FRAMEREADER_FRAME_CAPACITY);
    }
    std::uint8_t* data() const { return data_; }

private:
    ScopedMapping mapping_;
    std::uint8_t* data_;
};

class FrameFetchTest : public ::testing::Test {
protected:
    void SetUp() override { removeSegmentLeftovers(); }
    void TearDown() override {
        owner.cleanup();
        EXPECT_FALSE(segmentExists());
    }
    // One call with captured console output; returns errno.
    int fetch(FrameOutput& frame, void* second = nullptr) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        errno = 12345;
        get_frame_data(&frame, second);
        const int error = errno;
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return error;
    }
    ProducerSharedMemory owner;
    GuardedBuffer buffer;
    std::string out;
    std::string err;
};

constexpr const char* kSuccessLines =
    "Consumer successfully initialized and verified existing mutexes.\n"
    "Consumer successfully initialized and mapped shared memory.\n"
    "Consumer successfully cleaned up resources.\n";


// A frame of any size whose bytes follow from its timestamp.
std::vector<std::uint8_t> patternFrame(std::size_t size, std::int64_t timestamp) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = frame_pattern::byteAt(timestamp, i);
    }
    return bytes;
}

bool matchesPattern(const std::uint8_t* data, std::size_t size, std::int64_t timestamp) {
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != frame_pattern::byteAt(timestamp, i)) {
            return false;
        }
    }
    return true;
}

// Runs reader_child with both standard output and error on `fd`, SIGPIPE at
// its default action; returns its wait status, or -1 if it had to be killed
// after a minute.
int runReaderOn(int fd, const std::string& calls, const std::string& expectedErrno) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &pipeOnly);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const char* argv[] = {READER_CHILD_PATH, calls.c_str(), expectedErrno.c_str(), "quiet", nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, READER_CHILD_PATH, &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start reader_child";
        return -1;
    }
    int status = 0;
    const bool exited = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, milliseconds(60000));
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return status;
}

// A segment that cannot be opened or mapped writes nothing to the caller:
// its record and buffer keep what they held, errno alone tells.
TEST_F(FrameFetchTest, NoProducerGivesEnoentAndLeavesRecordAndBufferAlone) {
    FrameOutput frame{buffer.data(), 7, 7, 7, 0xCAFEu, 7};
    EXPECT_EQ(fetch(frame), ENOENT);
    EXPECT_EQ(err, "Warning: Failed to open shared memory. Error: No such file or directory\n");
    EXPECT_EQ(out, "Consumer successfully cleaned up resources.\n");
    EXPECT_EQ(frame.width, 7);
    EXPECT_EQ(frame.height, 7);
    EXPECT_EQ(frame.size, 7u);
    EXPECT_EQ(frame.timestamp, 7);
    EXPECT_EQ(frame.reserved, 0xCAFEu);
    EXPECT_EQ(buffer.data()[0], 0xEE);
    EXPECT_EQ(frame.data, buffer.data());
}

TEST_F(FrameFetchTest, UnpublishedSegmentGivesSizeZeroAndErrnoZero) {
    owner.initialize();
    FrameOutput frame{buffer.data(), 0, 0, 99, 0, 99};
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(out, kSuccessLines);
    EXPECT_EQ(err, "");
    EXPECT_EQ(frame.size, 0u);
    EXPECT_EQ(frame.timestamp, 0);
    EXPECT_EQ(frame.width, 1920);
    EXPECT_EQ(buffer.data()[0], 0xEE) << "nothing written for an empty frame";
}

TEST_F(FrameFetchTest, ReturnsTheCurrentFrameTheSameUntilTheNextPublish) {
    owner.initialize();
    std::vector<std::uint8_t> payload(frame_pattern::sizeFor(424242));
    frame_pattern::fill(payload.data(), 424242);
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 424242, 5);

    FrameOutput first{buffer.data(), 0, 0, 0, 0xA5A5A5A5u, 0};
    EXPECT_EQ(fetch(first), 0);
    EXPECT_EQ(out, kSuccessLines);
    EXPECT_EQ(err, "");
    EXPECT_EQ(first.size, payload.size());
    EXPECT_EQ(first.timestamp, 424242);
    EXPECT_EQ(first.reserved, 0xA5A5A5A5u) << "the reserved bytes keep the caller's value";
    EXPECT_TRUE(frame_pattern::matches(buffer.data(), first.size, first.timestamp));

    // The second argument is never read, whatever it holds.
    FrameOutput second{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(second, reinterpret_cast<void*>(0xDEADBEEF)), 0);
    EXPECT_EQ(second.size, first.size);
    EXPECT_EQ(second.timestamp, first.timestamp);
}

TEST_F(FrameFetchTest, FullCapacityPayloadFillsAnExactBufferAndNoMore) {
    owner.initialize();
    std::vector<std::uint8_t> payload(FRAMEREADER_FRAME_CAPACITY, 0x3C);
    payload.back() = 0x7E;
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 1, 1);
    FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(frame.size, FRAMEREADER_FRAME_CAPACITY);
    EXPECT_EQ(buffer.data()[FRAMEREADER_FRAME_CAPACITY - 1], 0x7E);
    EXPECT_EQ(std::memcmp(buffer.data(), payload.data(), payload.size()), 0);
}

TEST_F(FrameFetchTest, CorruptSizeIsRefusedWithoutTouchingTheBuffer) {
    owner.initialize();
    for (std::uint32_t corrupt : {FRAMEREADER_FRAME_CAPACITY + 1, 0xFFFFFFF0u}) {
        owner.sharedData->rgbFrame.size = corrupt;
        owner.sharedData->rgbFrame.steadyTimeUs = 77;
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        EXPECT_EQ(fetch(frame), EOVERFLOW);
        EXPECT_NE(err.find("Error: Frame size " + std::to_string(corrupt) + " exceeds the 6220800-byte capacity"),
                  std::string::npos)
            << err;
        EXPECT_EQ(out, kSuccessLines) << "a failed call still writes the set-up and clean-up lines";
        EXPECT_EQ(frame.size, 0u);
        EXPECT_EQ(frame.timestamp, 0);
        EXPECT_EQ(buffer.data()[0], 0xEE);
    }
}

TEST_F(FrameFetchTest, SegmentOfTheWrongSizeIsRefusedNotMapped) {
    const int fd = shm_open(SHM_NAME, O_CREAT | O_RDWR, 0660);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0660), 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);  // another program truncated it
    close(fd);
    FrameOutput frame{buffer.data(), 5, 5, 5, 0, 5};
    EXPECT_EQ(fetch(frame), EINVAL);
    EXPECT_EQ(err, "Warning: Failed to map shared memory. Error: Invalid argument\n");
    EXPECT_EQ(out, "Consumer successfully cleaned up resources.\n");
    EXPECT_EQ(frame.size, 5u) << "the record is left as it was";
    EXPECT_EQ(frame.width, 5);
    shm_unlink(SHM_NAME);
}

// While no producer runs, any user can create the segment's name. Who can
// write the object decides: one that every user may write, or that belongs
// to another ordinary user, is refused before it is mapped (no fake frame,
// no SIGBUS when its maker truncates it), whatever group the caller shares
// with its owner. Reading by others is no risk: a 0644 object is read. Nor
// is a symbolic link at the name followed.
TEST_F(FrameFetchTest, ObjectsOtherUsersCouldWriteAreRefusedBeforeMapping) {
    const std::string path = std::string("/dev/shm/") + SHM_NAME;
    auto runAs = [&](uid_t user, gid_t group, std::vector<std::string> command) {
        const std::vector<std::string> prefix{"/usr/bin/setpriv", "--reuid=" + std::to_string(user),
                                              "--regid=" + std::to_string(user),
                                              "--groups=" + std::to_string(group)};
        command.insert(command.begin(), prefix.begin(), prefix.end());
        ChildProcess child(command);
        EXPECT_TRUE(child.waitExit(milliseconds(60000)));
        return child.exitedNormally() ? child.exitCode() : -1;
    };
    const std::string make = "umask 0 && truncate -s " + std::to_string(sizeof(SharedData)) + " " + path;
    ASSERT_EQ(runAs(65534, 65534, {"/bin/sh", "-c", make}), 0);
    {
        SegmentView fake;  // its maker's frame, pattern and all
        ASSERT_TRUE(fake);
        frame_pattern::fill(fake->rgbFrame.data, 7);
        fake->rgbFrame.size = frame_pattern::sizeFor(7);
        fake->rgbFrame.steadyTimeUs = 7;
    }
    const std::string ok = "0";
    const std::string eperm = std::to_string(EPERM);
    struct Case {
        mode_t mode;
        uid_t owner;
        uid_t caller;  // 0: this test, as root; else a reader_child of that user
        std::string expected;
    };
    // 4242 is another ordinary user who shares the object's group (100)
    // with the caller 65534.
    for (const Case& c : {Case{0666, 65534, 0, eperm}, Case{0660, 65534, 0, eperm}, Case{0662, 0, 0, eperm},
                          Case{0644, 0, 0, ok}, Case{0660, 0, 0, ok}, Case{0644, 65534, 65534, ok},
                          Case{0660, 65534, 65534, ok}, Case{0666, 65534, 65534, eperm},
                          Case{0660, 4242, 65534, eperm}}) {
        std::ostringstream trace;
        trace << c.caller << " reading " << c.owner << "'s object, mode 0" << std::oct << c.mode;
        SCOPED_TRACE(trace.str());
        ASSERT_EQ(chown(path.c_str(), c.owner, 100), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        if (c.caller != 0) {
            EXPECT_EQ(runAs(c.caller, 100, {READER_CHILD_PATH, "2", c.expected}), 0);
            continue;
        }
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        EXPECT_EQ(std::to_string(fetch(frame)), c.expected);
        EXPECT_EQ(frame.size, c.expected == ok ? frame_pattern::sizeFor(7) : 0u);
        if (c.expected != ok) {
            EXPECT_EQ(err, "Warning: Failed to map shared memory. Error: Operation not permitted\n");
            EXPECT_EQ(buffer.data()[0], 0xEE);
        }
    }

    const std::string hidden = path + "_target";
    ASSERT_EQ(chown(path.c_str(), 0, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    ASSERT_EQ(rename(path.c_str(), hidden.c_str()), 0);
    ASSERT_EQ(symlink(hidden.c_str(), path.c_str()), 0);
    FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(frame), ELOOP);
    EXPECT_EQ(err, "Warning: Failed to open shared memory. Error: Too many levels of symbolic links\n");
    unlink(path.c_str());
    unlink(hidden.c_str());
}

TEST_F(FrameFetchTest, NullRecordOrBufferIsRefused) {
    errno = 0;
    get_frame_data(nullptr, nullptr);
    EXPECT_EQ(errno, EINVAL);
    FrameOutput frame{nullptr, 0, 0, 5, 0, 5};
    get_frame_data(&frame, nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(frame.size, 0u);
}

// Several reader processes against a publisher that never stops: every
// frame any of them gets must be whole.
TEST_F(FrameFetchTest, ConcurrentReaderProcessesNeverSeeATornFrame) {
    owner.initialize();
    std::atomic<bool> publishing{true};
    std::atomic<long> published{0};
    std::thread publisher([&] {
        std::vector<std::uint8_t> payload(RGB_FRAME_CAPACITY);
        for (std::int64_t timestamp = 1; publishing.load(); ++timestamp) {
            frame_pattern::fill(payload.data(), timestamp);
            owner.updateRGBFrame(payload.data(), frame_pattern::sizeFor(timestamp),
                                 static_cast<unsigned long>(timestamp), 0);
            published.fetch_add(1);
            // Pacing, not synchronisation: leaves the readers room to lock.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // Calls cost about what the frame costs: the readers start once frames
    // flow and make enough calls to overlap many publishes.
    EXPECT_TRUE(waitUntil([&] { return published.load() > 0; }, milliseconds(20000)));
    {
        std::vector<std::unique_ptr<ChildProcess>> readers;
        for (int i = 0; i < 3; ++i) {
            readers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{READER_CHILD_PATH, "400"}));
        }
        for (auto& reader : readers) {
            ASSERT_TRUE(reader->waitExit(milliseconds(120000)));
            EXPECT_EQ(reader->exitCode(), 0) << reader->stderrText();
            EXPECT_NE(reader->stderrText().find(" torn 0 failed 0"), std::string::npos) << reader->stderrText();
        }
    }
    publishing.store(false);
    publisher.join();
    EXPECT_GT(published.load(), 1);
}

// A reader killed while it holds rgbMutex: the next reader and the
// producer carry on.
TEST_F(FrameFetchTest, ReaderKilledHoldingTheFrameMutexBlocksNobody) {
    owner.initialize();
    std::vector<std::uint8_t> payload(frame_pattern::sizeFor(9));
    frame_pattern::fill(payload.data(), 9);
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 9, 9);

    killWhileHolding([](SharedData* data) { pthread_mutex_lock(&data->rgbMutex.handle); });

    FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(frame.size, 0u) << "a frame whose mutex holder died is given out empty, never torn";
    EXPECT_EQ(frame.timestamp, 0) << "with its timestamp: an empty frame is no new frame";

    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 10, 10);
    EXPECT_EQ(fetch(frame), 0);
    EXPECT_EQ(frame.timestamp, 10);
}

// The real demo producer in another process, real JPEG payloads.
TEST_F(FrameFetchTest, DemoProducerFramesArriveAsJpegsOfTheClipSize) {
    TempDir dir;
    const std::string clip = dir.path() + "/clip.avi";
    writeClip(clip, 4, 320, 240);
    ChildProcess demo({DEMO_PRODUCER_PATH, clip});
    ASSERT_TRUE(waitUntil(segmentHasFrame, milliseconds(20000)));
    for (int i = 0; i < 3; ++i) {
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        ASSERT_EQ(fetch(frame), 0) << err;
        ASSERT_GT(frame.size, 0u);
        const cv::Mat image =
            cv::imdecode(std::vector<std::uint8_t>(buffer.data(), buffer.data() + frame.size), cv::IMREAD_COLOR);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.cols, 320);
        EXPECT_EQ(image.rows, 240);
        EXPECT_GT(frame.timestamp, 0);
    }
    demo.signal(SIGINT);
    ASSERT_TRUE(demo.waitExit(milliseconds(20000)));
    EXPECT_EQ(demo.exitCode(), 0);
    FrameOutput after{buffer.data(), 0, 0, 0, 0, 0};
    EXPECT_EQ(fetch(after), ENOENT) << "no producer after its clean stop";
}


// The copy takes the size it finds under the mutex: a frame that shrinks
// leaves the caller's bytes behind its end alone, one that grows is whole.
TEST_F(FrameFetchTest, FrameThatShrinksOrGrowsBetweenCallsIsCopiedByteForByte) {
    owner.initialize();
    const std::size_t sizes[] = {600000, 3, 2400000, FRAMEREADER_FRAME_CAPACITY, 1};
    std::vector<std::uint8_t> expected(FRAMEREADER_FRAME_CAPACITY, 0xEE);
    std::int64_t timestamp = 100;
    for (std::size_t size : sizes) {
        const auto payload = patternFrame(size, ++timestamp);
        owner.updateRGBFrame(payload.data(), static_cast<unsigned>(size), static_cast<unsigned long>(timestamp), 0);
        std::memcpy(expected.data(), payload.data(), size);
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        ASSERT_EQ(fetch(frame), 0) << err;
        EXPECT_EQ(frame.size, size);
        EXPECT_EQ(frame.timestamp, timestamp);
        EXPECT_EQ(std::memcmp(buffer.data(), expected.data(), expected.size()), 0) << "after a frame of " << size;
    }
}

// A mutex that can never be locked again is an error, not "nothing yet".
TEST_F(FrameFetchTest, UnusableFrameMutexGivesEnotrecoverableAndLeavesBufferAlone) {
    owner.initialize();
    const auto payload = patternFrame(5000, 3);
    owner.updateRGBFrame(payload.data(), 5000, 3, 3);
    pthread_mutex_t* mutex = &owner.sharedData->rgbMutex.handle;
    // Scribbled over; then the state a robust mutex enters when its dead
    // owner's successor unlocks it without marking it consistent.
    std::memset(owner.sharedData->rgbMutex.slot, 0xFF, MUTEX_SLOT_SIZE);
    for (int round = 0; round < 2; ++round) {
        FrameOutput frame{buffer.data(), 7, 7, 7, 0, 7};
        EXPECT_EQ(fetch(frame), ENOTRECOVERABLE) << "round " << round;
        EXPECT_EQ(err, "Warning: Failed to lock rgb mutex during initialization.\n");
        EXPECT_EQ(out, kSuccessLines);
        EXPECT_EQ(frame.width, 1920);
        EXPECT_EQ(frame.height, 1080);
        EXPECT_EQ(frame.size, 0u);
        EXPECT_EQ(frame.timestamp, 0);
        EXPECT_EQ(buffer.data()[0], 0xEE);

        ProducerSharedMemory::init(owner.sharedData);
        owner.updateRGBFrame(payload.data(), 5000, 3, 3);
        killWhileHolding([](SharedData* data) { pthread_mutex_lock(&data->rgbMutex.handle); });
        ASSERT_EQ(pthread_mutex_lock(mutex), EOWNERDEAD);
        pthread_mutex_unlock(mutex);
    }
}

// A frozen holder of a record colour readers do not use costs them a
// warning; a frozen holder of rgbMutex costs a bounded wait and ETIMEDOUT.
TEST_F(FrameFetchTest, FrozenMutexHoldersNeverHangAColourRead) {
    owner.initialize();
    const auto payload = patternFrame(70000, 5);
    owner.updateRGBFrame(payload.data(), 70000, 5, 5);
    auto fetchWithWatchdog = [&](FrameOutput& frame) {
        auto call = std::async(std::launch::async, [&] { return fetch(frame); });
        if (call.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "get_frame_data hangs on a frozen mutex holder";
        }
        return call;
    };
    {
        StoppedHolder depth([](SharedData* data) { pthread_mutex_lock(&data->depthMutex.handle); });
        StoppedHolder imu([](SharedData* data) { pthread_mutex_lock(&data->imuFrameMutex.handle); });
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        auto call = fetchWithWatchdog(frame);
        if (call.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            depth.release();
            imu.release();
        }
        EXPECT_EQ(call.get(), 0);
        EXPECT_EQ(err,
                  "Warning: Failed to lock depth mutex during initialization.\n"
                  "Warning: Failed to lock imu frame mutex during initialization.\n");
        EXPECT_EQ(frame.size, 70000u);
        EXPECT_TRUE(matchesPattern(buffer.data(), 70000, 5));
    }
    {
        std::memset(buffer.data(), 0xEE, 70000);
        StoppedHolder colour([](SharedData* data) { pthread_mutex_lock(&data->rgbMutex.handle); });
        FrameOutput frame{buffer.data(), 0, 0, 0, 0, 0};
        auto call = fetchWithWatchdog(frame);
        if (call.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            colour.release();
        }
        EXPECT_EQ(call.get(), ETIMEDOUT);
        EXPECT_EQ(err, "Warning: Failed to lock rgb mutex during initialization.\n");
        EXPECT_EQ(frame.size, 0u);
        EXPECT_EQ(frame.width, 1920);
        EXPECT_EQ(buffer.data()[0], 0xEE);
    }
}

// The caller's standard output and error are pipes that nobody reads any
// more, or nobody drains: the calls neither kill it nor block, and the
// lines are dropped.
TEST_F(FrameFetchTest, CallerSurvivesAClosedOrFullConsolePipe) {
    owner.initialize();
    std::vector<std::uint8_t> payload(frame_pattern::sizeFor(8));
    frame_pattern::fill(payload.data(), 8);
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 8, 8);
    // A good frame writes standard output only; a corrupt size also writes
    // an error line.
    for (const std::uint32_t announced : {static_cast<std::uint32_t>(payload.size()), FRAMEREADER_FRAME_CAPACITY + 1}) {
        owner.sharedData->rgbFrame.size = announced;
        const std::string expectedErrno = std::to_string(announced > FRAMEREADER_FRAME_CAPACITY ? EOVERFLOW : 0);

        int closed[2];
        ASSERT_EQ(pipe(closed), 0);
        close(closed[0]);
        const int closedStatus = runReaderOn(closed[1], "5", expectedErrno);
        close(closed[1]);
        ASSERT_NE(closedStatus, -1) << "calls blocked on a closed pipe";
        EXPECT_FALSE(WIFSIGNALED(closedStatus)) << "killed by signal " << WTERMSIG(closedStatus);
        EXPECT_TRUE(WIFEXITED(closedStatus) && WEXITSTATUS(closedStatus) == 0) << "errno " << expectedErrno;

        int full[2];
        ASSERT_EQ(pipe(full), 0);
        // Filled through a non-blocking description of our own, then handed
        // over blocking, as a caller's stdout would be.
        ASSERT_EQ(fcntl(full[1], F_SETFL, O_NONBLOCK), 0);
        const std::vector<char> filler(4096, 'x');
        std::size_t filled = 0;
        for (ssize_t n = 0; (n = write(full[1], filler.data(), filler.size())) > 0;) {
            filled += static_cast<std::size_t>(n);
        }
        ASSERT_EQ(fcntl(full[1], F_SETFL, 0), 0);
        const int fullStatus = runReaderOn(full[1], "5", expectedErrno);
        close(full[1]);
        ASSERT_NE(fullStatus, -1) << "calls blocked on a full pipe";
        EXPECT_TRUE(WIFEXITED(fullStatus) && WEXITSTATUS(fullStatus) == 0) << "errno " << expectedErrno;
        std::string drained;
        std::vector<char> chunk(65536);
        for (ssize_t n = 0; (n = read(full[0], chunk.data(), chunk.size())) > 0;) {
            drained.append(chunk.data(), static_cast<std::size_t>(n));
        }
        close(full[0]);
        EXPECT_EQ(drained, std::string(filled, 'x')) << "lines the pipe could not take are dropped whole";
    }
}

// A caller started with standard output or error closed: the library's
// descriptors stay above 2, so its lines never land in the segment (the
// first would overwrite rgbMutex and break every reader and the producer).
// A stopped holder of depthMutex makes each call write a warning to 2.
TEST_F(FrameFetchTest, CallerWithAClosedConsoleDescriptorNeverWritesIntoTheSegment) {
    owner.initialize();
    const auto payload = patternFrame(frame_pattern::sizeFor(6), 6);
    owner.updateRGBFrame(payload.data(), static_cast<unsigned>(payload.size()), 6, 6);
    StoppedHolder depth([](SharedData* data) { pthread_mutex_lock(&data->depthMutex.handle); });
    for (const int closed : {STDOUT_FILENO, STDERR_FILENO}) {
        SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, closed);
        const char* argv[] = {READER_CHILD_PATH, "3", "0", "quiet", nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, READER_CHILD_PATH, &actions, nullptr, const_cast<char**>(argv), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "every call got the whole frame";
        ASSERT_EQ(pthread_mutex_trylock(&owner.sharedData->rgbMutex.handle), 0) << "rgbMutex is intact";
        pthread_mutex_unlock(&owner.sharedData->rgbMutex.handle);
        EXPECT_EQ(owner.sharedData->rgbFrame.size, payload.size());
    }
}

}  // namespace
