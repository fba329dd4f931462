// The registry protocol: consumer registration and the producer's health
// monitor, with real named semaphores and real child processes.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "consumer_share_memory.h"
#include "producer_share_memory.h"
#include "test_support.h"

using namespace test_support;

namespace {

std::string colourName(pid_t pid) { return std::string(SEM_COLOR) + std::to_string(pid); }
std::string depthName(pid_t pid) { return std::string(SEM_DEPTH) + std::to_string(pid); }
bool semaphoreExists(const std::string& name) { return shmEntryExists("sem." + name); }

int valueOf(sem_t* handle) {
    int value = -1;
    sem_getvalue(handle, &value);
    return value;
}

// Keeps a child's console lines out of the test report.
void silenceConsole() {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    close(devNull);
}

// Forks a process that runs body and then waits until it is killed; the
// parent goes on once body has finished.
pid_t forkAndHold(const std::function<void()>& body) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        silenceConsole();
        body();
        (void)!write(ready[1], "R", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    return child;
}

// In a forked child: becomes another user who is a member of the segment's
// group (root's, as the tests run as root).
bool becomeUserOfTheSegmentsGroup(uid_t user) {
    const gid_t segmentGroup = 0;
    return setgroups(1, &segmentGroup) == 0 && setresgid(user, user, user) == 0 && setresuid(user, user, user) == 0;
}

void killAndReap(pid_t child) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        removeSegmentLeftovers();
        owner.initialize();
        ::testing::internal::CaptureStdout();
        view.initialize();
        ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override {
        ::testing::internal::CaptureStdout();
        view.cleanup();
        // The producer's handles belong to the monitor; close them here.
        for (int i = 0; i < MAX_CONSUMERS; ++i) {
            for (sem_t** handle : {&owner.semColor[i], &owner.semDepth[i]}) {
                if (*handle != nullptr) {
                    sem_close(*handle);
                    *handle = nullptr;
                }
            }
        }
        owner.cleanup();
        ::testing::internal::GetCapturedStdout();
        removeSegmentLeftovers();
        EXPECT_FALSE(segmentExists());
        EXPECT_FALSE(semaphoreExists(colourName(getpid())));
        EXPECT_FALSE(semaphoreExists(depthName(getpid())));
    }
    // One monitor pass with its console output captured.
    void monitorPass() {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        owner.checkConsumerHealth();
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
    }
    void publishColour(std::int64_t timestamp) {
        const unsigned char byte = 1;
        owner.updateRGBFrame(&byte, 1, static_cast<unsigned long>(timestamp), 0);
    }
    ProducerSharedMemory owner;
    ConsumerSharedMemory view;
    std::string out;
    std::string err;
    const std::string pid = std::to_string(getpid());
};

TEST_F(RegistryTest, LowestFreeSlotWinsAndOnlyColourAnnouncesIt) {
    SharedData* data = owner.sharedData;
    data->colorConsumers[0] = {1, {}, 11, 0};
    data->colorConsumers[2] = {1, {}, 12, 0};
    data->colorConsumers[1].missedChecks = 4;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(view.registerConsumerRGB(), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "occupied:1 pid:" + pid + "\r\n");
    EXPECT_EQ(data->colorConsumers[1].occupied, 1);
    EXPECT_EQ(data->colorConsumers[1].pid, getpid());
    EXPECT_EQ(data->colorConsumers[1].missedChecks, 4u) << "registration leaves the count alone";
    EXPECT_EQ(valueOf(view.semColor), 0);
    EXPECT_TRUE(semaphoreExists(colourName(getpid())));

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(view.registerConsumerDepth(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(data->depthConsumers[0].pid, getpid());
    EXPECT_TRUE(semaphoreExists(depthName(getpid())));
}

TEST_F(RegistryTest, FullTableThrowsAndChangesNothingWhileTheOtherTableAccepts) {
    SharedData* data = owner.sharedData;
    for (int i = 0; i < MAX_CONSUMERS; ++i) {
        data->colorConsumers[i] = {1, {}, 100 + i, static_cast<std::uint64_t>(i)};
    }
    ConsumerSlot before[MAX_CONSUMERS];
    std::memcpy(before, data->colorConsumers, sizeof before);
    try {
        view.registerConsumerRGB();
        ADD_FAILURE() << "a full table must throw";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No available slots for new consumers.");
    }
    EXPECT_EQ(std::memcmp(before, data->colorConsumers, sizeof before), 0);
    EXPECT_EQ(view.semColor, nullptr);
    EXPECT_EQ(view.registerConsumerDepth(), 0);
}

TEST_F(RegistryTest, StaleSemaphoreOfOwnNameIsReplacedByAFreshOne) {
    sem_t* stale = sem_open(colourName(getpid()).c_str(), O_CREAT | O_EXCL, 0644, 5);
    ASSERT_NE(stale, SEM_FAILED);
    sem_close(stale);
    ::testing::internal::CaptureStdout();
    view.registerConsumerRGB();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(valueOf(view.semColor), 0);
}

TEST_F(RegistryTest, SecondRegistrationKeepsTheSlotItHolds) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(view.registerConsumerRGB(), 0);
    sem_t* first = view.semColor;
    EXPECT_EQ(view.registerConsumerRGB(), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(view.semColor, first);
    EXPECT_EQ(owner.sharedData->colorConsumers[1].occupied, 0) << "no second slot";
}

TEST_F(RegistryTest, UnmappedViewReportsAndReturnsZero) {
    ConsumerSharedMemory unmapped;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(unmapped.registerConsumerRGB(), 0);
    EXPECT_EQ(unmapped.registerConsumerDepth(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Shared memory not initialized.\nShared memory not initialized.\n");
    ::testing::internal::CaptureStdout();
    unmapped.cleanup();
    ::testing::internal::GetCapturedStdout();
}

TEST_F(RegistryTest, ConsumerKilledMidRegistrationBlocksNobody) {
    // Killed after marking slot 0 taken, before writing its process id.
    killWhileHolding([](SharedData* data) {
        pthread_mutex_lock(&data->consumerMutex.handle);
        data->colorConsumers[0].occupied = 1;
    });
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(view.registerConsumerRGB(), 0) << "the half-claimed slot is free again";
    ::testing::internal::GetCapturedStdout();
    monitorPass();
    EXPECT_NE(out.find("New consumer with PID " + pid), std::string::npos);
    EXPECT_EQ(err, "");
}

TEST_F(RegistryTest, MonitorAnnouncesOnceCountsPendingPostsAndRetiresOnTheThirtieth) {
    ::testing::internal::CaptureStdout();
    view.registerConsumerRGB();
    ::testing::internal::GetCapturedStdout();
    ConsumerSlot& slot = owner.sharedData->colorConsumers[0];
    slot.missedChecks = 3;

    monitorPass();
    ASSERT_NE(owner.semColor[0], nullptr);
    std::ostringstream handle;
    handle << static_cast<void*>(owner.semColor[0]);
    EXPECT_EQ(out, "[SEM_COLOR] Info: New consumer with PID " + pid + " is online " + handle.str() + "\n");
    EXPECT_EQ(slot.missedChecks, 3u) << "not sampled in the pass that opened it";

    monitorPass();
    EXPECT_EQ(out, "") << "a colour consumer that keeps up is quiet";
    EXPECT_EQ(slot.missedChecks, 0u);

    publishColour(1);
    EXPECT_EQ(valueOf(view.semColor), 1);
    for (int pass = 1; pass <= 29; ++pass) {
        monitorPass();
    }
    EXPECT_EQ(slot.missedChecks, 29u);
    EXPECT_NE(owner.semColor[0], nullptr) << "still known after 29 pending passes";

    // A post taken at 29 resets the count.
    sem_wait(view.semColor);
    monitorPass();
    EXPECT_EQ(slot.missedChecks, 0u);

    publishColour(2);
    for (int pass = 1; pass <= 29; ++pass) {
        monitorPass();
        ASSERT_EQ(out, "");
    }
    monitorPass();
    EXPECT_EQ(out, "[SEM_COLOR] Info: Consumer 0 with PID " + pid +
                       " is considered offline due to excessive unresponsiveness.\n");
    EXPECT_EQ(owner.semColor[0], nullptr);
    EXPECT_EQ(slot.occupied, 0);
    EXPECT_EQ(slot.pid, 0);
    EXPECT_EQ(slot.missedChecks, 0u);
    EXPECT_FALSE(semaphoreExists(colourName(getpid())));

    // The slot can be claimed again at once.
    ConsumerSharedMemory next;
    ::testing::internal::CaptureStdout();
    next.initialize();
    EXPECT_EQ(next.registerConsumerRGB(), 0);
    next.cleanup();
    ::testing::internal::GetCapturedStdout();
}

TEST_F(RegistryTest, DepthLinesAndIndependenceOfTheTwoTablesInOnePass) {
    ::testing::internal::CaptureStdout();
    view.registerConsumerDepth();
    ::testing::internal::GetCapturedStdout();
    monitorPass();
    EXPECT_EQ(out, "[SEM_DEPTH] info: New consumer with PID " + pid + "is online \n");
    monitorPass();
    EXPECT_EQ(out, "[SEM_DEPTH] info: consumer with PID " + pid + "is online \n") << "on every pass it keeps up";

    // Colour slot 0 registered in the same pass in which depth slot 0 retires.
    const unsigned char byte = 0;
    owner.updateDepthFrame(&byte, 1, 1, 1);
    for (int pass = 1; pass <= 29; ++pass) {
        monitorPass();
    }
    ::testing::internal::CaptureStdout();
    view.registerConsumerRGB();
    ::testing::internal::GetCapturedStdout();
    monitorPass();
    EXPECT_NE(out.find("[SEM_COLOR] Info: New consumer with PID " + pid + " is online 0x"), std::string::npos) << out;
    EXPECT_NE(out.find("[SEM_DEPTH] Consumer 0 is considered offline due to excessive unresponsiveness.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(owner.sharedData->depthConsumers[0].occupied, 0);
    EXPECT_EQ(owner.sharedData->colorConsumers[0].occupied, 1);
}

// A consumer makes its semaphore before it gives its process id, so a live
// process whose semaphore never opens (not a consumer, or another user's) is
// counted as missing its posts and frees the slot like a stalled consumer.
TEST_F(RegistryTest, UnopenableLiveConsumerWarnsRarelyAndIsRetiredAfter30Passes) {
    ::testing::internal::CaptureStdout();
    view.registerConsumerRGB();
    ::testing::internal::GetCapturedStdout();
    // A live process that never made its semaphore.
    const pid_t child = forkAndHold([] {});
    owner.sharedData->colorConsumers[5] = {1, {}, child, 0};
    std::string warnings;
    std::string lines;
    for (int pass = 1; pass <= 40; ++pass) {
        monitorPass();
        warnings += err;
        if (pass > 1) {
            lines += out;  // the first holds the real consumer's "New consumer" line
        }
        if (pass == 29) {
            EXPECT_EQ(owner.sharedData->colorConsumers[5].occupied, 1) << "still held after 29 passes";
        }
    }
    killAndReap(child);
    EXPECT_EQ(warnings, "[SEM_COLOR] Warning:Failed to open existing semaphore for consumer with PID " +
                            std::to_string(child) + ". Error: No such file or directory\n")
        << "once per slot per 10 s, not once per pass";
    EXPECT_EQ(lines, "[SEM_COLOR] Info: Consumer 5 with PID " + std::to_string(child) +
                         " is considered offline due to excessive unresponsiveness.\n");
    EXPECT_EQ(owner.sharedData->colorConsumers[5].occupied, 0);
    EXPECT_EQ(owner.sharedData->colorConsumers[5].pid, 0);
    EXPECT_EQ(owner.semColor[5], nullptr);
    EXPECT_NE(owner.semColor[0], nullptr) << "the real consumer opened on the first pass and stays";
    EXPECT_EQ(owner.sharedData->colorConsumers[0].occupied, 1);
}

// Across processes: a registered consumer waiting in getRGBFrame is woken
// by the publish, well before its one-second deadline.
TEST_F(RegistryTest, RegisteredConsumerInAnotherProcessIsWokenByAPublish) {
    int ready[2];
    int result[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        silenceConsole();
        ConsumerSharedMemory consumer;
        consumer.initialize();
        consumer.registerConsumerRGB();
        (void)!write(ready[1], "R", 1);
        const auto start = std::chrono::steady_clock::now();
        const RgbFrame* frame = consumer.getRGBFrame();
        const long waitedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    std::chrono::steady_clock::now() - start)
                                                    .count());
        const long report[2] = {waitedMs, static_cast<long>(frame->steadyTimeUs)};
        (void)!write(result[1], report, sizeof report);
        sem_unlink(colourName(getpid()).c_str());
        _exit(0);
    }
    close(ready[1]);
    close(result[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    monitorPass();
    ASSERT_NE(owner.semColor[0], nullptr) << err;
    publishColour(4242);
    long report[2] = {0, 0};
    ASSERT_EQ(read(result[0], report, sizeof report), static_cast<ssize_t>(sizeof report));
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(result[0]);
    EXPECT_LT(report[0], 900) << "woken by the post, not by the deadline";
    EXPECT_EQ(report[1], 4242);
}

// A consumer process that dies is retired on the next pass, opened or not,
// and its semaphore name leaves /dev/shm.
TEST_F(RegistryTest, DeadConsumerProcessIsRetiredAtOnceAndItsSemaphoreRemoved) {
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
        children.push_back(forkAndHold([] {
            ConsumerSharedMemory consumer;
            consumer.initialize();
            consumer.registerConsumerRGB();
        }));
    }
    monitorPass();  // opens slot 0 and 1
    ASSERT_NE(owner.semColor[1], nullptr);
    publishColour(1);
    for (pid_t child : children) {
        killAndReap(child);
        ASSERT_TRUE(semaphoreExists(colourName(child)));
    }
    monitorPass();
    for (unsigned i = 0; i < 2; ++i) {
        EXPECT_NE(out.find("[SEM_COLOR] Info: Consumer " + std::to_string(i) + " with PID " +
                           std::to_string(children[i]) + " is considered offline"),
                  std::string::npos)
            << out;
        EXPECT_FALSE(semaphoreExists(colourName(children[i])));
        EXPECT_EQ(owner.sharedData->colorConsumers[i].occupied, 0);
        EXPECT_EQ(owner.semColor[i], nullptr);
    }
}

// A publishing thread and a monitoring thread over consumers that register,
// take posts, and die: no handle is ever posted while being closed (run
// under ThreadSanitizer in CI).
TEST_F(RegistryTest, PublisherAndMonitorThreadsNeverRaceOnAHandle) {
    ::testing::internal::CaptureStdout();
    view.registerConsumerRGB();
    std::vector<pid_t> dead;
    for (int i = 0; i < 3; ++i) {
        dead.push_back(forkAndHold([] {
            ConsumerSharedMemory consumer;
            consumer.initialize();
            consumer.registerConsumerRGB();
            consumer.registerConsumerDepth();
        }));
    }
    owner.checkConsumerHealth();  // their handles are open and posted from now on
    ::testing::internal::GetCapturedStdout();

    std::atomic<bool> running{true};
    ::testing::internal::CaptureStdout();
    std::thread publisher([&] {
        const unsigned char byte = 0;
        for (std::int64_t t = 1; running.load(); ++t) {
            owner.updateRGBFrame(&byte, 1, static_cast<unsigned long>(t), 0);
            owner.updateDepthFrame(&byte, 1, static_cast<unsigned long>(t), 0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread taker([&] {
        while (running.load()) {
            const timespec deadline = getTimeout(1);
            sem_timedwait(view.semColor, &deadline);
        }
    });
    for (int pass = 0; pass < 200; ++pass) {
        if (pass == 100) {
            for (pid_t child : dead) {
                killAndReap(child);  // retired, handles closed, while the publisher posts
            }
        }
        owner.checkConsumerHealth();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    running.store(false);
    publisher.join();
    taker.join();
    ::testing::internal::GetCapturedStdout();

    for (pid_t child : dead) {
        EXPECT_FALSE(semaphoreExists(colourName(child))) << "dead consumer " << child << " retired";
        EXPECT_FALSE(semaphoreExists(depthName(child)));
    }
}

// A consumer in a PID namespace of its own that shares /dev/shm (a
// container with the host's IPC) gives an id that names no process here.
// While it takes its posts it is a live consumer: never retired, its
// semaphore never removed.
TEST_F(RegistryTest, ConsumerInAnotherPidNamespaceThatTakesItsPostsIsNeverRetired) {
    long pidMax = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
    const pid_t there = static_cast<pid_t>(pidMax - 10);
    ASSERT_TRUE(kill(there, 0) != 0 && errno == ESRCH) << "process " << there << " exists here";
    int initPid[2];
    ASSERT_EQ(pipe(initPid), 0);
    const pid_t launcher = fork();
    ASSERT_GE(launcher, 0);
    if (launcher == 0) {
        silenceConsole();
        if (unshare(CLONE_NEWPID) != 0) {
            _exit(2);
        }
        const pid_t init = fork();  // process 1 of the new namespace
        if (init == 0) {
            // The consumer gets the id `there` in its namespace.
            if (FILE* lastPid = std::fopen("/proc/sys/kernel/ns_last_pid", "w")) {
                std::fprintf(lastPid, "%d", there - 1);
                std::fclose(lastPid);
            }
            if (fork() == 0) {
                ConsumerSharedMemory consumer;
                consumer.initialize();
                consumer.registerConsumerRGB();
                for (;;) {
                    consumer.getRGBFrame();
                }
            }
            pause();
        }
        (void)!write(initPid[1], &init, sizeof init);
        waitpid(init, nullptr, 0);
        _exit(0);
    }
    close(initPid[1]);
    pid_t init = -1;
    ASSERT_EQ(read(initPid[0], &init, sizeof init), static_cast<ssize_t>(sizeof init));
    close(initPid[0]);
    const ConsumerSlot& slot = owner.sharedData->colorConsumers[0];
    ASSERT_TRUE(waitUntil([&] { return slot.occupied != 0 && slot.pid > 0; }, milliseconds(20000)));
    if (slot.pid != there) {
        kill(init, SIGKILL);
        waitpid(launcher, nullptr, 0);
        GTEST_SKIP() << "cannot choose the consumer's id in its namespace (ns_last_pid)";
    }
    monitorPass();
    ASSERT_NE(owner.semColor[0], nullptr) << err;
    std::string lines;
    for (int round = 1; round <= 40; ++round) {
        publishColour(round);
        EXPECT_TRUE(waitUntil([&] { return valueOf(owner.semColor[0]) == 0; }, milliseconds(20000)))
            << "the consumer takes its post";
        monitorPass();
        lines += out;
    }
    EXPECT_EQ(lines.find("offline"), std::string::npos) << lines;
    EXPECT_EQ(slot.occupied, 1);
    EXPECT_EQ(slot.pid, there);
    EXPECT_TRUE(semaphoreExists(colourName(there)));
    kill(init, SIGKILL);
    waitpid(launcher, nullptr, 0);
    sem_unlink(colourName(there).c_str());
}

// Another user can create a consumer's semaphore name ahead of it, and the
// sticky /dev/shm keeps the consumer from removing it: registration fails
// with its usual exception, and a line says whose file stands in the way.
TEST_F(RegistryTest, SemaphoreNameTakenByAnotherUserIsReportedWithItsOwner) {
    int go[2];
    int errors[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(errors), 0);
    const pid_t consumer = fork();
    ASSERT_GE(consumer, 0);
    if (consumer == 0) {
        silenceConsole();
        dup2(errors[1], STDERR_FILENO);
        char byte = 0;
        if (!becomeUserOfTheSegmentsGroup(65534) || read(go[0], &byte, 1) != 1) {
            _exit(2);
        }
        ConsumerSharedMemory taker;
        taker.initialize();
        try {
            taker.registerConsumerRGB();
        } catch (const std::runtime_error& error) {
            std::fprintf(stderr, "%s\n", error.what());
            _exit(0);
        }
        _exit(1);
    }
    close(errors[1]);
    const std::string path = "/dev/shm/sem." + colourName(consumer);
    const int squatter = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    ASSERT_GE(squatter, 0);
    close(squatter);
    ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
    ASSERT_EQ(write(go[1], "G", 1), 1);
    std::string text;
    char chunk[4096];
    for (ssize_t n = 0; (n = read(errors[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    int status = -1;
    waitpid(consumer, &status, 0);
    close(errors[0]);
    close(go[0]);
    close(go[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_EQ(text, "Warning: " + path + " already exists and belongs to user 4242; only that user or root can "
                                        "remove it.\nFailed to create semaphore for consumer.\n");
    EXPECT_EQ(owner.sharedData->colorConsumers[0].occupied, 0) << "the claim was undone";
    unlink(path.c_str());
}

}  // namespace
