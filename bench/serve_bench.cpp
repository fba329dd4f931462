// What `frameshare serve` costs per viewer and frame, beside what one
// get_frame_data call costs, both measured in this run against the same
// demo producer:
//   baseline - CPU time of one get_frame_data call (this process's thread)
//   idle     - serve's CPU per second with nobody watching
//   viewersN - N viewers reading /stream.mjpg: serve's CPU time per frame
//              sent to one viewer, its poller included
//   marginal - what one more viewer frame adds, from the 1- and 8-viewer runs
//   reencode - the same server with --quality 70 --width 1280: per-viewer
//              Mbit/s against the pass-through's, and CPU with 8 viewers
//              against 1 (the re-encode is shared)
//   hostile  - serve's peak memory while hostile clients press it, against
//              its peak before them
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

#include "bench_process.h"
#include "framereader.h"
#include "shm_paths.h"


namespace {

int resultsFd = STDOUT_FILENO;

void result(const std::string& key, double value) {
    char line[160];
    const int n = std::snprintf(line, sizeof line, "%s %.6f\n", key.c_str(), value);
    if (write(resultsFd, line, static_cast<std::size_t>(n)) < 0) {
        std::perror("write");
    }
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

int connectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

double peakRssMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0;
}

// A running `frameshare serve` with its log drained.
struct Server {
    explicit Server(const std::vector<std::string>& extra) {
        std::vector<std::string> argv{FRAMESHARE_PATH, "serve", "--listen", "127.0.0.1:0", "--max-viewers", "16"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            std::exit(1);
        }
        pid = spawnWith(argv, pipeFds[1]);
        close(pipeFds[1]);
        std::string announce;
        char c;
        while (announce.find('\n') == std::string::npos && read(pipeFds[0], &c, 1) == 1) {
            announce += c;
        }
        // The server keeps logging; drain it so it never blocks on a full pipe.
        drain = std::thread([fd = pipeFds[0]] {
            char sink[4096];
            while (read(fd, sink, sizeof sink) > 0) {
            }
            close(fd);
        });
        const std::string marker = "127.0.0.1:";
        const std::size_t at = announce.find(marker);
        port = at == std::string::npos ? 0 : std::atoi(announce.c_str() + at + marker.size());
    }
    ~Server() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        drain.join();
    }
    static pid_t spawnWith(const std::vector<std::string>& argv, int fd);
    pid_t pid = -1;
    int port = 0;
    std::thread drain;
};

class Viewer {
public:
    explicit Viewer(int port) {
        fd_ = connectLoopback(port);
        if (fd_ < 0) {
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
    long long bytes() const { return bytes_.load(); }

private:
    void read() {
        static const std::string boundary = "--frameshare-boundary\r\n";
        std::string tail;
        std::vector<char> buffer(1 << 16);
        ssize_t n;
        while ((n = recv(fd_, buffer.data(), buffer.size(), 0)) > 0) {
            // Only the boundary lines matter: search the new bytes plus the
            // few before them that could hold a boundary's start.
            bytes_ += n;
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
    std::atomic<long long> bytes_{0};
    std::thread reader_;
};

pid_t Server::spawnWith(const std::vector<std::string>& argv, int fd) { return spawn(argv, fd); }

struct ViewerRun {
    double cpuPerSecond = 0;
    double framesPerViewerPerSecond = 0;
    double mbitPerViewer = 0;
    double bytesPerFrame = 0;
    long parts = 0;
    double cpu = 0;
};

ViewerRun watch(const Server& server, int count, double seconds) {
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int i = 0; i < count; ++i) {
        viewers.push_back(std::make_unique<Viewer>(server.port));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long parts = 0;
    long long bytes = 0;
    for (const auto& viewer : viewers) {
        parts -= viewer->parts();
        bytes -= viewer->bytes();
    }
    const double cpu = processCpuMs(server.pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    ViewerRun run;
    run.cpu = processCpuMs(server.pid) - cpu;
    for (const auto& viewer : viewers) {
        parts += viewer->parts();
        bytes += viewer->bytes();
    }
    run.parts = parts;
    run.cpuPerSecond = run.cpu / seconds;
    run.framesPerViewerPerSecond = static_cast<double>(parts) / count / seconds;
    run.mbitPerViewer = static_cast<double>(bytes) * 8 / 1e6 / count / seconds;
    run.bytesPerFrame = parts > 0 ? static_cast<double>(bytes) / static_cast<double>(parts) : 0;
    return run;
}

// Clients a hostile page or peer could send at once: trickled headers, many
// ranges of a frame read slowly, announced bodies, viewers that never read.
void press(int port, double seconds) {
    std::vector<int> open;
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 2000; ++i) {
        ranges += ",0-";
    }
    const std::string ranged =
        "GET /frame.jpg HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: " + ranges + "\r\n\r\n";
    const std::string body = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3000000000\r\n\r\n";
    const std::string stream = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const int small = 4096;
    for (int i = 0; i < 120; ++i) {
        const int fd = connectLoopback(port);
        if (fd < 0) {
            continue;
        }
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const std::string& request = i % 4 == 0   ? ranged
                                     : i % 4 == 1 ? body
                                     : i % 4 == 2 ? stream
                                                  : "GET / HTTP/1.1\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        open.push_back(fd);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const int fd : open) {
            send(fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);  // the trickling ones stay alive; the rest ignore it
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    for (const int fd : open) {
        close(fd);
    }
}

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
        if (access(segmentPath().c_str(), F_OK) != 0) {
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

    {
        const Server server({});
        if (server.port == 0) {
            std::fprintf(stderr, "serve did not start\n");
            stop(producer, SIGINT);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double cpu = processCpuMs(server.pid);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        result("idle.cpu_ms_per_s", (processCpuMs(server.pid) - cpu) / seconds);

        ViewerRun runs[9];
        for (const int count : {1, 4, 8}) {
            runs[count] = watch(server, count, seconds);
            const std::string key = "viewers" + std::to_string(count);
            const double perViewerFrame =
                runs[count].parts > 0 ? runs[count].cpu / static_cast<double>(runs[count].parts) : 0;
            result(key + ".frames_per_viewer_per_s", runs[count].framesPerViewerPerSecond);
            result(key + ".cpu_ms_per_s", runs[count].cpuPerSecond);
            result(key + ".cpu_ms_per_viewer_frame", perViewerFrame);
            result(key + ".ratio", perViewerFrame / callMs);
            result(key + ".mbit_per_viewer", runs[count].mbitPerViewer);
        }
        const double extraFrames =
            (runs[8].framesPerViewerPerSecond * 8 - runs[1].framesPerViewerPerSecond);
        const double marginal = extraFrames > 0 ? (runs[8].cpuPerSecond - runs[1].cpuPerSecond) / extraFrames : 0;
        result("marginal.cpu_ms_per_viewer_frame", marginal);
        result("marginal.ratio", marginal / callMs);

        const Server reencoding({"--quality", "70", "--width", "1280"});
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const ViewerRun one = watch(reencoding, 1, seconds);
        const ViewerRun eight = watch(reencoding, 8, seconds);
        result("reencode.viewers1.frames_per_viewer_per_s", one.framesPerViewerPerSecond);
        result("reencode.viewers1.mbit_per_viewer", one.mbitPerViewer);
        result("reencode.viewers1.cpu_ms_per_s", one.cpuPerSecond);
        result("reencode.viewers8.cpu_ms_per_s", eight.cpuPerSecond);
        result("reencode.bandwidth_ratio", one.mbitPerViewer / runs[1].mbitPerViewer);
        // On a loaded machine the re-encoding server may keep fewer frames
        // a second; per frame the ratio holds whatever the rate.
        result("reencode.frame_bytes_ratio", one.bytesPerFrame / runs[1].bytesPerFrame);
        result("reencode.cpu_8_over_1", eight.cpuPerSecond / one.cpuPerSecond);

        const double before = peakRssMb(server.pid);
        press(server.port, seconds);
        result("hostile.peak_before_mb", before);
        result("hostile.peak_mb", peakRssMb(server.pid));
    }
    stop(producer, SIGINT);
    return 0;
}
