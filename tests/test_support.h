// Helpers shared by the tests: real child processes, a view of the real
// segment, temporary directories.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scoped_fd.h"
#include "shared_data.h"

namespace test_support {

using std::chrono::milliseconds;

// True when this process has a mount namespace, so a /dev/shm, other than
// the process that started it (ctest): the machine's objects are out of reach.
bool runsInPrivateShm();
// Removes the segment and any test semaphores an earlier crashed run left;
// fails the test instead when it runs in its starter's /dev/shm.
void removeSegmentLeftovers();
bool segmentExists();
bool shmEntryExists(const std::string& name);  // a name in /dev/shm
std::string uniqueName(const std::string& stem);

// Opens and maps the existing segment as a consumer would, for inspection.
class SegmentView {
public:
    SegmentView();  // fails the test (no throw) when the segment is absent
    SharedData* data() const { return mapping_.as<SharedData>(); }
    SharedData* operator->() const { return data(); }
    explicit operator bool() const { return mapping_.valid(); }

private:
    ScopedMapping mapping_;
};

// True once the segment exists and holds a published colour frame.
bool segmentHasFrame();

// Forks a process that maps the segment, runs holdWhile on it (say, takes a
// mutex and half-writes a record) and is then killed with SIGKILL while the
// mapping still exists, as a crashing process would be.
void killWhileHolding(const std::function<void(SharedData*)>& holdWhile);

// Forks a process that maps the segment, runs lockWhile on it (takes one or
// more of its mutexes) and stops itself (SIGSTOP), as a frozen reader or a
// hostile member of the group would. The constructor returns once it has
// stopped; release() (or the destructor) kills it, and the next locker
// recovers the robust mutexes.
class StoppedHolder {
public:
    explicit StoppedHolder(const std::function<void(SharedData*)>& lockWhile);
    ~StoppedHolder() { release(); }
    StoppedHolder(const StoppedHolder&) = delete;
    StoppedHolder& operator=(const StoppedHolder&) = delete;
    void release();

private:
    pid_t pid_ = -1;
};

std::vector<std::string> splitLines(const std::string& text);

// Polls until the predicate holds or the deadline passes.
bool waitUntil(const std::function<bool()>& predicate, milliseconds timeout);

// A child process with captured standard output and error.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    bool waitForStdout(const std::string& text, milliseconds timeout);
    // Waits for the exit; kills the child and returns false on timeout.
    bool waitExit(milliseconds timeout);
    bool exitedNormally() const;
    int exitCode() const;
    int termSignal() const;
    std::string stdoutText();
    std::string stderrText();

private:
    void pump(int fd, std::string* sink);  // reads fd until end of file; the caller owns fd

    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    std::thread outReader_;
    std::thread errReader_;
};

// A directory under the system temp dir, removed with its files at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace test_support
