// Stale, hostile or shared local state around the producer: rival
// producers, other users' objects and odd files at the segment's name,
// permissions, a full /dev/shm, fake semaphores, stuck and broken mutexes.
// Each test runs in a private mount namespace with its own tmpfs on
// /dev/shm (tests/private_shm.sh), so what it plants there touches no other
// process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "consumer_share_memory.h"
#include "producer_share_memory.h"
#include "test_clip.h"
#include "test_support.h"

using namespace test_support;

namespace {

const std::string kSegmentPath = std::string("/dev/shm/") + SHM_NAME;
const char* kNobody[] = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

std::vector<std::string> asNobody(std::vector<std::string> command) {
    command.insert(command.begin(), std::begin(kNobody), std::end(kNobody));
    return command;
}

// Runs a command to its end; returns its exit status, or -1 if it did not
// exit normally.
int run(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    if (!child.waitExit(milliseconds(20000)) || !child.exitedNormally()) {
        return -1;
    }
    return child.exitCode();
}

// The text initialize() throws, or "" when it succeeds.
std::string initializeError(ProducerSharedMemory& owner) {
    try {
        owner.initialize();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

struct stat lstatOf(const std::string& path) {
    struct stat info {};
    lstat(path.c_str(), &info);
    return info;
}

int countOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

std::int64_t publishedTimestamp() {
    SegmentView view;
    return view ? view->rgbFrame.steadyTimeUs : -1;
}

class HostileStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeSegmentLeftovers();
        clip = dir.path() + "/clip.avi";
        writeClip(clip, 4, 160, 120);
    }
    void TearDown() override { removeSegmentLeftovers(); }

    std::unique_ptr<ChildProcess> startDemo(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{DEMO_PRODUCER_PATH, clip};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto demo = std::make_unique<ChildProcess>(argv);
        EXPECT_TRUE(waitUntil(segmentHasFrame, milliseconds(20000))) << demo->stderrText();
        return demo;
    }
    // A demo producer that must refuse to start: it ends with a non-zero
    // status of its own (no abort, no signal) and says why.
    void expectDemoRefuses(const std::string& reason) {
        ChildProcess demo({DEMO_PRODUCER_PATH, clip});
        ASSERT_TRUE(demo.waitExit(milliseconds(20000)));
        EXPECT_EQ(demo.termSignal(), 0) << "killed by a signal: " << demo.stderrText();
        EXPECT_TRUE(demo.exitedNormally());
        EXPECT_NE(demo.exitCode(), 0);
        EXPECT_EQ(countOf(demo.stderrText(), reason), 1) << demo.stderrText();
    }

    TempDir dir;
    std::string clip;
};

// One producer at a time, and a stale segment is replaced, not reused.

TEST_F(HostileStateTest, RivalProducerIsRefusedWhileTheFirstKeepsPublishingUnderItsName) {
    auto first = startDemo();
    const struct stat before = lstatOf(kSegmentPath);

    ProducerSharedMemory rival;
    EXPECT_EQ(initializeError(rival),
              "Error: another producer is publishing on " + kSegmentPath + "; not starting a second one.");
    expectDemoRefuses("another producer is publishing");

    const struct stat after = lstatOf(kSegmentPath);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the rivals left the first producer's name alone";
    const std::int64_t seen = publishedTimestamp();
    EXPECT_TRUE(waitUntil([&] { return publishedTimestamp() > seen; }, milliseconds(10000)))
        << "the first producer keeps publishing";
    first->signal(SIGINT);
    ASSERT_TRUE(first->waitExit(milliseconds(20000)));
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_FALSE(segmentExists());
}

// Someone removed a running producer's name by hand and a second one
// started: the first, when it stops, leaves the second's name alone.
TEST_F(HostileStateTest, ProducerRemovesTheNameOnlyWhileItIsItsOwn) {
    ProducerSharedMemory first;
    ASSERT_EQ(initializeError(first), "");
    ASSERT_EQ(unlink(kSegmentPath.c_str()), 0);
    ProducerSharedMemory second;
    ASSERT_EQ(initializeError(second), "");
    const ino_t secondInode = lstatOf(kSegmentPath).st_ino;
    first.cleanup();
    EXPECT_EQ(lstatOf(kSegmentPath).st_ino, secondInode);
    second.cleanup();
    EXPECT_FALSE(segmentExists());
}

// Objects at the name that are not this user's segment.

TEST_F(HostileStateTest, ForeignOrOddObjectsAtTheNameAreRefusedAndLeftAlone) {
    const std::string target = dir.path() + "/target";
    ASSERT_EQ(run({"/bin/sh", "-c", "echo keep > " + target}), 0);
    struct Case {
        std::vector<std::string> make;
        std::string reason;
        mode_t kind;
    };
    const std::vector<Case> cases = {
        {asNobody({"/bin/sh", "-c", "umask 0; echo fake > " + kSegmentPath}),
         "belongs to user 65534, not to this producer's user 0; not using or removing it.", S_IFREG},
        {{"/bin/mkdir", kSegmentPath}, "is a directory, not a shared-memory segment", S_IFDIR},
        {{"/usr/bin/mkfifo", kSegmentPath}, "is a FIFO, not a shared-memory segment", S_IFIFO},
        {{"/bin/ln", "-s", target, kSegmentPath}, "is a symbolic link, not a shared-memory segment", S_IFLNK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ASSERT_EQ(run(c.make), 0);
        const struct stat planted = lstatOf(kSegmentPath);
        ProducerSharedMemory owner;
        const std::string error = initializeError(owner);
        EXPECT_EQ(error.rfind("Error: " + kSegmentPath + " ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        if (c.kind == S_IFIFO) {
            expectDemoRefuses(c.reason);
        }
        const struct stat left = lstatOf(kSegmentPath);
        EXPECT_EQ(left.st_mode & S_IFMT, c.kind);
        EXPECT_EQ(left.st_ino, planted.st_ino) << "nothing at the name was removed or replaced";
        ASSERT_EQ(run({"/bin/rm", "-rf", kSegmentPath}), 0);
    }
    ASSERT_EQ(run({"/bin/grep", "-qx", "keep", target}), 0) << "the link's target is untouched";
}

// Who can read frames: owner and group, whatever the umask.

TEST_F(HostileStateTest, SegmentIsOwnerAndGroupOnlyWhateverTheUmask) {
    const mode_t saved = umask(0);
    ProducerSharedMemory owner;
    const std::string error = initializeError(owner);
    umask(saved);
    ASSERT_EQ(error, "");
    const struct stat segment = lstatOf(kSegmentPath);
    EXPECT_EQ(segment.st_mode & 07777, 0660u);
    EXPECT_EQ(segment.st_gid, getegid());
    const std::vector<std::string> readOne{"/usr/bin/head", "-c", "1", kSegmentPath};
    EXPECT_NE(run(asNobody(readOne)), 0) << "another user outside the group cannot open it";
    std::vector<std::string> groupMember{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                         "--groups=" + std::to_string(getegid())};
    groupMember.insert(groupMember.end(), readOne.begin(), readOne.end());
    EXPECT_EQ(run(groupMember), 0) << "a member of the producer's group can";
}

// A /dev/shm too small for the segment.

TEST_F(HostileStateTest, TooSmallShmIsAClearErrorNotSigbus) {
    ASSERT_EQ(mount("tmpfs", "/dev/shm", "tmpfs", MS_REMOUNT, "size=8m"), 0) << std::strerror(errno);
    ProducerSharedMemory owner;
    EXPECT_EQ(initializeError(owner), "Error: cannot reserve " + std::to_string(sizeof(SharedData)) +
                                          " bytes in /dev/shm for the segment: No space left on device.");
    EXPECT_FALSE(segmentExists());
    expectDemoRefuses("cannot reserve");
    EXPECT_FALSE(segmentExists());
    ASSERT_EQ(mount("tmpfs", "/dev/shm", "tmpfs", MS_REMOUNT, "size=256m"), 0);
}

// The health monitor against fake semaphores and fake process ids.

TEST_F(HostileStateTest, MonitorMapsNothingButTheConsumersOwnSemaphore) {
    ProducerSharedMemory owner;
    ASSERT_EQ(initializeError(owner), "");
    const std::string self = std::to_string(getpid());
    const std::string realName = uniqueName("real");
    sem_t* real = sem_open(realName.c_str(), O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(real, SEM_FAILED);
    sem_close(real);
    // A live process whose semaphore file exists but is another user's.
    const pid_t holder = fork();
    if (holder == 0) {
        pause();
        _exit(0);
    }
    const std::string holderSem = "/dev/shm/sem." + std::string(SEM_COLOR) + std::to_string(holder);
    ASSERT_EQ(run({"/bin/cp", "/dev/shm/sem." + realName, holderSem}), 0);
    ASSERT_EQ(chown(holderSem.c_str(), 65534, 65534), 0);
    ASSERT_EQ(run({"/bin/sh", "-c", ": > /dev/shm/sem." + std::string(SEM_COLOR) + self}), 0);
    ASSERT_EQ(symlink(("/dev/shm/sem." + realName).c_str(), ("/dev/shm/sem." + std::string(SEM_DEPTH) + self).c_str()),
              0);
    owner.sharedData->colorConsumers[0] = {1, {}, getpid(), 0};
    owner.sharedData->depthConsumers[0] = {1, {}, getpid(), 0};
    owner.sharedData->colorConsumers[1] = {1, {}, holder, 0};

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    for (int pass = 0; pass < 50; ++pass) {
        owner.checkConsumerHealth();
    }
    // Never opened, so counted as missing their posts: retired on the 30th
    // pass, and what stands at their names is left alone.
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[SEM_COLOR] Info: Consumer 0 with PID " + self +
                  " is considered offline due to excessive unresponsiveness.\n"
                  "[SEM_DEPTH] Consumer 0 is considered offline due to excessive unresponsiveness.\n"
                  "[SEM_COLOR] Info: Consumer 1 with PID " + std::to_string(holder) +
                  " is considered offline due to excessive unresponsiveness.\n");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[SEM_COLOR] Warning: /dev/shm/sem.color_sem_" + self +
                       " is not the semaphore of consumer with PID " + self +
                       ": its size is 0 bytes, not 32; not opening it.\n"
                       "[SEM_DEPTH] Warning: /dev/shm/sem.depth_sem_" + self +
                       " is not the semaphore of consumer with PID " + self +
                       ": it is a symbolic link; not opening it.\n"
                       "[SEM_COLOR] Warning: " + holderSem + " is not the semaphore of consumer with PID " +
                       std::to_string(holder) + ": it belongs to user 65534, the process to user 0; not opening it.\n")
        << "one line per slot, not one per pass";
    EXPECT_EQ(owner.semColor[0], nullptr);
    EXPECT_EQ(owner.semDepth[0], nullptr);
    EXPECT_EQ(owner.semColor[1], nullptr);
    EXPECT_EQ(owner.sharedData->colorConsumers[1].occupied, 0);
    struct stat left {};
    EXPECT_EQ(stat(holderSem.c_str(), &left), 0) << "another user's file is not the producer's to remove";
    EXPECT_EQ(lstat(("/dev/shm/sem." + std::string(SEM_DEPTH) + self).c_str(), &left), 0);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    for (ConsumerSlot* slot : {&owner.sharedData->colorConsumers[0], &owner.sharedData->depthConsumers[0],
                               &owner.sharedData->colorConsumers[1]}) {
        slot->occupied = 0;
    }
    unlink(holderSem.c_str());
    unlink(("/dev/shm/sem." + std::string(SEM_COLOR) + self).c_str());
    unlink(("/dev/shm/sem." + std::string(SEM_DEPTH) + self).c_str());
    sem_unlink(realName.c_str());
}

// Stuck and broken mutexes.

TEST_F(HostileStateTest, StoppedMutexHolderCostsFramesNotTheProducer) {
    auto producer = startDemo({"30", "10"});
    StoppedHolder holder([](SharedData* data) {
        pthread_mutex_lock(&data->rgbMutex.handle);
        pthread_mutex_lock(&data->consumerMutex.handle);
    });

    EXPECT_TRUE(waitUntil([&] { return countOf(producer->stderrText(), "rgbMutex held") >= 2; }, milliseconds(10000)))
        << "frames are dropped with a warning, and capture goes on: " << producer->stderrText();
    const std::string warnings = producer->stderrText();
    const std::string held = "rgbMutex held by another process for too long; ";
    const std::size_t second = warnings.find(held, warnings.find(held) + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_GT(std::atoi(warnings.c_str() + second + held.size()), 1)
        << "one warning stands for several dropped frames, not one per frame: " << warnings;
    EXPECT_NE(warnings.find("consumerMutex held by another process for too long; "), std::string::npos)
        << "the monitor's wait is bounded too: " << warnings;

    producer->signal(SIGINT);
    EXPECT_TRUE(producer->waitExit(milliseconds(10000))) << "SIGINT ends the producer";
    EXPECT_EQ(producer->exitCode(), 0) << producer->stderrText();
}

TEST_F(HostileStateTest, UnusableFrameMutexIsReportedOnce) {
    ProducerSharedMemory owner;
    ASSERT_EQ(initializeError(owner), "");
    std::memset(&owner.sharedData->rgbMutex, 0xA5, sizeof owner.sharedData->rgbMutex);
    const unsigned char byte = 7;
    ::testing::internal::CaptureStderr();
    for (int frame = 0; frame < 20; ++frame) {
        owner.updateRGBFrame(&byte, 1, 1, 1);
        owner.updateDepthFrame(&byte, 1, 2, 2);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: rgbMutex in the segment is not a usable mutex; colour frames are not published while it "
              "stays so.\n");
    EXPECT_EQ(owner.sharedData->depthFrame.steadyTimeUs, 2) << "the depth stream is not affected";
}

// Garbage over rgbMutex in a running producer: it says so once and ends
// the capture with a non-zero status, so that a service manager starts it
// again with a fresh segment, instead of living on publishing nothing.
TEST_F(HostileStateTest, UnusableFrameMutexEndsTheCaptureWithNonZeroStatus) {
    auto producer = startDemo({"30"});
    {
        SegmentView view;
        ASSERT_TRUE(view);
        std::memset(view->rgbMutex.slot, 0xA5, MUTEX_SLOT_SIZE);
    }
    ASSERT_TRUE(producer->waitExit(milliseconds(20000))) << "the capture ends by itself";
    EXPECT_EQ(producer->exitCode(), 1) << producer->stderrText();
    EXPECT_EQ(countOf(producer->stderrText(), "rgbMutex in the segment is not a usable mutex"), 1)
        << producer->stderrText();
    EXPECT_NE(producer->stdoutText().find("Camera capture stopped.\nexit_ctrl_c\r\n"), std::string::npos);
    EXPECT_FALSE(segmentExists());
}

// A producer that sees no /proc (hidden, or not mounted) still starts, with
// the same guarantees, and opens the semaphore of a consumer of another
// user whose process it cannot examine: that consumer takes its posts and
// is never retired.
TEST_F(HostileStateTest, WithoutProcTheProducerStartsAndPostsAnotherUsersConsumer) {
#ifdef HOSTILE_UNDER_SANITIZER
    GTEST_SKIP() << "a sanitizer's runtime reads its options and the process's threads from /proc";
#endif
    // An empty tmpfs over /proc.
    ChildProcess producer({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                           "mount -t tmpfs none /proc && exec \"$0\" \"$@\"", DEMO_PRODUCER_PATH, clip, "30",
                           "20"});
    ASSERT_TRUE(waitUntil(segmentHasFrame, milliseconds(20000))) << producer.stderrText();
    EXPECT_EQ(lstatOf(kSegmentPath).st_mode & 07777, 0660u);
    const std::vector<std::string> otherNames{"/bin/sh", "-c",
                                              "ls -A /dev/shm | grep -v '^" + std::string(SHM_NAME) + "$' | grep -q ."};
    EXPECT_EQ(run(otherNames), 1) << "no temporary name left behind";

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t consumer = fork();
    ASSERT_GE(consumer, 0);
    if (consumer == 0) {
        // Another user, in the segment's group.
        const gid_t segmentGroup = 0;
        if (setgroups(1, &segmentGroup) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        ConsumerSharedMemory view;
        view.initialize();
        view.registerConsumerRGB();
        // Woken by posts, a frame comes at the frame rate; without them
        // every wait runs to its one-second deadline. Takes its posts until
        // killed.
        std::set<std::int64_t> frames;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
        while (std::chrono::steady_clock::now() < until) {
            frames.insert(view.getRGBFrame()->steadyTimeUs);
        }
        const int distinct = static_cast<int>(frames.size());
        (void)!write(report[1], &distinct, sizeof distinct);
        for (;;) {
            view.getRGBFrame();
        }
    }
    close(report[1]);
    int distinct = 0;
    ASSERT_EQ(read(report[0], &distinct, sizeof distinct), static_cast<ssize_t>(sizeof distinct));
    close(report[0]);
    EXPECT_GT(distinct, 10) << "the consumer was posted";
    {
        SegmentView view;
        ASSERT_TRUE(view);
        EXPECT_EQ(view->colorConsumers[0].occupied, 1) << "not retired after 80 monitor passes";
        EXPECT_EQ(view->colorConsumers[0].pid, consumer);
    }
    producer.signal(SIGINT);
    const bool exited = producer.waitExit(milliseconds(20000));
    kill(consumer, SIGKILL);
    waitpid(consumer, nullptr, 0);
    ASSERT_TRUE(exited);
    EXPECT_EQ(producer.exitCode(), 0) << producer.stderrText();
    EXPECT_NE(producer.stdoutText().find("[SEM_COLOR] Info: New consumer with PID " + std::to_string(consumer)),
              std::string::npos)
        << producer.stdoutText();
    EXPECT_EQ(producer.stdoutText().find("offline"), std::string::npos) << producer.stdoutText();
    EXPECT_FALSE(segmentExists());
    unlink(("/dev/shm/sem." + std::string(SEM_COLOR) + std::to_string(consumer)).c_str());
}

}  // namespace
