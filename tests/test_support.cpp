#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace test_support {

namespace {

std::string mountNamespaceOf(const std::string& process) {
    char target[256];
    const ssize_t length = readlink(("/proc/" + process + "/ns/mnt").c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

bool runsInPrivateShm() {
    const std::string own = mountNamespaceOf("self");
    return !own.empty() && own != mountNamespaceOf(std::to_string(getppid()));
}

void removeSegmentLeftovers() {
    // A test that shared the mount namespace of whoever started it would
    // remove the machine's segment (a live feed) and semaphores.
    if (!runsInPrivateShm()) {
        ADD_FAILURE() << "this test shares /dev/shm with the process that started it; run it through ctest "
                         "(tests/private_shm.sh gives it a /dev/shm of its own)";
        return;
    }
    shm_unlink(SHM_NAME);
    const std::string self = std::to_string(getpid());
    sem_unlink((std::string(SEM_COLOR) + self).c_str());
    sem_unlink((std::string(SEM_DEPTH) + self).c_str());
}

bool shmEntryExists(const std::string& name) { return std::filesystem::exists("/dev/shm/" + name); }

bool segmentExists() { return shmEntryExists(SHM_NAME); }

std::string uniqueName(const std::string& stem) {
    static std::atomic<int> counter{0};
    return "frameshare_test_" + stem + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

SegmentView::SegmentView() {
    const ScopedFd fd(shm_open(SHM_NAME, O_RDWR, 0666));
    if (!fd.valid()) {
        ADD_FAILURE() << "segment " << SHM_NAME << " is not there";
        return;
    }
    mapping_.reset(mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0),
                   sizeof(SharedData));
    if (!mapping_.valid()) {
        ADD_FAILURE() << "cannot map the segment";
    }
}

bool segmentHasFrame() {
    if (!segmentExists()) {
        return false;
    }
    SegmentView view;
    return view && view->rgbFrame.size > 0;
}

StoppedHolder::StoppedHolder(const std::function<void(SharedData*)>& lockWhile) {
    pid_ = fork();
    if (pid_ < 0) {
        ADD_FAILURE() << "fork failed";
        return;
    }
    if (pid_ == 0) {
        SegmentView view;
        lockWhile(view.data());
        raise(SIGSTOP);
        _exit(0);
    }
    int status = 0;
    if (waitpid(pid_, &status, WUNTRACED) != pid_ || !WIFSTOPPED(status)) {
        ADD_FAILURE() << "the holder did not stop";
        pid_ = -1;
    }
}

void StoppedHolder::release() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

void killWhileHolding(const std::function<void(SharedData*)>& holdWhile) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ScopedFd readEnd(ends[0]);
    ScopedFd writeEnd(ends[1]);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        // Never unmapped: the kernel can mark a dead holder's robust mutex
        // only where the mapping still exists.
        auto* view = new SegmentView;
        holdWhile(view->data());
        (void)!write(writeEnd.get(), "R", 1);
        pause();
        _exit(0);
    }
    writeEnd.reset();
    char byte = 0;
    const bool held = read(readEnd.get(), &byte, 1) == 1;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(held) << "the child died before it held the segment";
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool waitUntil(const std::function<bool()>& predicate, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    ScopedFd outRead(outPipe[0]);
    ScopedFd outWrite(outPipe[1]);
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    ScopedFd errRead(errPipe[0]);
    ScopedFd errWrite(errPipe[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    // The child's copies are the only writers left: its exit ends the pumps.
    outWrite.reset();
    errWrite.reset();
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        pid_ = -1;
        return;
    }
    outReader_ = std::thread([this, fd = std::move(outRead)] { pump(fd.get(), &out_); });
    errReader_ = std::thread([this, fd = std::move(errRead)] { pump(fd.get(), &err_); });
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    if (outReader_.joinable()) {
        outReader_.join();
    }
    if (errReader_.joinable()) {
        errReader_.join();
    }
}

void ChildProcess::pump(int fd, std::string* sink) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        sink->append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
}

void ChildProcess::signal(int sig) const {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, sig);
    }
}

bool ChildProcess::waitForStdout(const std::string& text, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return out_.find(text) != std::string::npos; });
}

bool ChildProcess::waitExit(milliseconds timeout) {
    if (pid_ <= 0) {
        return false;
    }
    const bool exited = waitUntil([&] { return reaped_ || waitpid(pid_, &status_, WNOHANG) == pid_; }, timeout);
    if (!exited) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    reaped_ = true;
    // Once the child is gone its pipes reach end of file.
    if (outReader_.joinable()) {
        outReader_.join();
    }
    if (errReader_.joinable()) {
        errReader_.join();
    }
    return exited;
}

bool ChildProcess::exitedNormally() const { return reaped_ && WIFEXITED(status_); }
int ChildProcess::exitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
int ChildProcess::termSignal() const { return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

std::string ChildProcess::stdoutText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string ChildProcess::stderrText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "frameshare_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace test_support
