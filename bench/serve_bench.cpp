// What `frameshare serve` costs per viewer and frame, beside what one
// get_frame_data call costs, both measured in this run against the same
// demo producer:
//   baseline - CPU time of one get_frame_data call (this process's thread)
//   idle     - serve's CPU per second with nobody watching
//   viewersN - N viewers reading /stream.mjpg: serve's CPU time per frame
//              sent to one viewer, its poller included
//   marginal - what one more viewer frame adds, from the 1- and 8-viewer runs
// Prints "key value" lines for bench/report.py.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framereader.h"

extern char** environ;

namespace {

int resultsFd = STDOUT_FILENO;

void result(const std::string& key, double value) {
    char line[160];
    const int n = std::snprintf(line, sizeof line, "%s %.6f\n", key.c_str(), value);
    if (write(resultsFd, line, static_cast<std::size_t>(n)) < 0) {
        std::perror("write");
    }
}

pid_t spawn(const std::vector<std::string>& argv, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", args[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid, int signal) {
    kill(pid, signal);
    waitpid(pid, nullptr, 0);
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// CPU time of all threads of another process, in nanoseconds from
// /proc/PID/task/*/schedstat (the tick counts of /proc/PID/stat are too coarse).
double processCpuMs(pid_t pid) {
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream file(task.path() / "schedstat");
        unsigned long long ns = 0;
        if (file >> ns) {
            total += static_cast<double>(ns) / 1e6;
        }
    }
    return total;
}

class Viewer {
public:
    explicit Viewer(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("connect");
            std::exit(1);
        }
        const std::string request = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        reader_ = std::thread([this] { read(); });
    }
    ~Viewer() {
        shutdown(fd_, SHUT_RDWR);
        reader_.join();
        close(fd_);
    }
    long parts() const { return parts_.load(); }

private:
    void read() {
        static const std::string boundary = "--frameshare-boundary\r\n";
        std::string tail;
        std::vector<char> buffer(1 << 16);
        ssize_t n;
        while ((n = recv(fd_, buffer.data(), buffer.size(), 0)) > 0) {
            // Only the boundary lines matter: search the new bytes plus the
            // few before them that could hold a boundary's start.
            tail.append(buffer.data(), static_cast<std::size_t>(n));
            std::size_t at = 0;
            while ((at = tail.find(boundary, at)) != std::string::npos) {
                ++parts_;
                at += boundary.size();
            }
            tail.erase(0, tail.size() > boundary.size() ? tail.size() - boundary.size() : 0);
        }
    }
    int fd_ = -1;
    std::atomic<long> parts_{0};
    std::thread reader_;
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const std::string work = argc > 2 ? argv[2] : "/tmp";
    // get_frame_data writes to descriptor 1: results go to a private copy.
    resultsFd = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devNull, STDOUT_FILENO);

    const std::string clip = work + "/serve_bench_clip.avi";
    const pid_t maker = spawn({MAKE_DEMO_CLIP_PATH, clip, "30"}, devNull);
    waitpid(maker, nullptr, 0);
    const pid_t producer = spawn({DEMO_PRODUCER_PATH, clip, "30"}, devNull);

    std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
    FrameOutput frame{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (access("/dev/shm/tavora_camera_sensor_", F_OK) != 0) {
            continue;  // the call would only warn
        }
        frame = FrameOutput{buffer.data(), 0, 0, 0, 0, 0};
        get_frame_data(&frame, nullptr);
    } while (frame.size == 0 && std::chrono::steady_clock::now() < deadline);
    if (frame.size == 0) {
        std::fprintf(stderr, "the demo producer published nothing\n");
        stop(producer, SIGINT);
        return 1;
    }
    result("frame.bytes", frame.size);

    // Baseline: the median of batches of calls, paced like the server's poller.
    std::vector<double> perCall;
    for (int batch = 0; batch < 5; ++batch) {
        const double start = threadCpuMs();
        for (int i = 0; i < 40; ++i) {
            frame = FrameOutput{buffer.data(), 0, 0, 0, 0, 0};
            get_frame_data(&frame, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        perCall.push_back((threadCpuMs() - start) / 40);
    }
    std::sort(perCall.begin(), perCall.end());
    const double callMs = perCall[perCall.size() / 2];
    result("baseline.get_frame_data_cpu_ms", callMs);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return 1;
    }
    const pid_t server = spawn({FRAMESHARE_PATH, "serve", "--listen", "127.0.0.1:0", "--max-viewers", "16"}, pipeFds[1]);
    close(pipeFds[1]);
    std::string announce;
    char c;
    while (announce.find('\n') == std::string::npos && read(pipeFds[0], &c, 1) == 1) {
        announce += c;
    }
    // The server keeps logging; drain it so it never blocks on a full pipe.
    std::thread drain([fd = pipeFds[0]] {
        char sink[4096];
        while (read(fd, sink, sizeof sink) > 0) {
        }
        close(fd);
    });
    const std::string marker = "127.0.0.1:";
    const std::size_t at = announce.find(marker);
    if (at == std::string::npos) {
        std::fprintf(stderr, "serve did not start: %s\n", announce.c_str());
        stop(producer, SIGINT);
        return 1;
    }
    const int port = std::atoi(announce.c_str() + at + marker.size());
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const auto window = std::chrono::duration<double>(seconds);
    double cpu = processCpuMs(server);
    std::this_thread::sleep_for(window);
    const double idlePerSecond = (processCpuMs(server) - cpu) / seconds;
    result("idle.cpu_ms_per_s", idlePerSecond);

    double cpuPerSecond[9] = {};
    double viewerFramesPerSecond[9] = {};
    for (const int count : {1, 4, 8}) {
        std::vector<std::unique_ptr<Viewer>> viewers;
        for (int i = 0; i < count; ++i) {
            viewers.push_back(std::make_unique<Viewer>(port));
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        long parts = 0;
        for (const auto& viewer : viewers) {
            parts -= viewer->parts();
        }
        cpu = processCpuMs(server);
        std::this_thread::sleep_for(window);
        const double used = processCpuMs(server) - cpu;
        for (const auto& viewer : viewers) {
            parts += viewer->parts();
        }
        const std::string key = "viewers" + std::to_string(count);
        const double perViewerFrame = parts > 0 ? used / static_cast<double>(parts) : 0;
        cpuPerSecond[count] = used / seconds;
        viewerFramesPerSecond[count] = static_cast<double>(parts) / seconds;
        result(key + ".frames_per_viewer_per_s", static_cast<double>(parts) / count / seconds);
        result(key + ".cpu_ms_per_s", used / seconds);
        result(key + ".cpu_ms_per_viewer_frame", perViewerFrame);
        result(key + ".ratio", perViewerFrame / callMs);
    }
    const double extraFrames = viewerFramesPerSecond[8] - viewerFramesPerSecond[1];
    const double marginal = extraFrames > 0 ? (cpuPerSecond[8] - cpuPerSecond[1]) / extraFrames : 0;
    result("marginal.cpu_ms_per_viewer_frame", marginal);
    result("marginal.ratio", marginal / callMs);

    stop(server, SIGTERM);
    drain.join();
    stop(producer, SIGINT);
    return 0;
}
