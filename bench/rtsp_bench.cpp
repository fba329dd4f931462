// What `frameshare rtsp` delivers from a 1080p30 demo producer, all in one
// run against the same producer:
//   ffmpeg over TCP for 20 s: frames per second, size, bitrate against the
//     configured one (4000 kbit/s)
//   the server's CPU with one and with four clients (one encoding for all)
//   the delay from a frame's publish to its arrival at a local client (the
//     capture time in each access unit's SEI message), beside the same delay
//     through `frameshare serve`'s MJPEG stream, measured alike
// Prints a table.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "rtsp_watcher.h"


namespace {

constexpr int kBitrateKbit = 4000;

std::int64_t steadyNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Starts a frameshare subcommand on a free loopback port; returns the port
// from its first line, and keeps draining its output.
struct Tool {
    pid_t pid = -1;
    int port = 0;
    std::thread drain;
};

Tool startTool(const std::vector<std::string>& argv, const std::string& announce, int devNull) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::exit(1);
    }
    Tool tool;
    tool.pid = spawn(argv, fds[1], devNull);
    close(fds[1]);
    std::string out;
    char c;
    while (out.find(announce) == std::string::npos && read(fds[0], &c, 1) == 1) {
        out += c;
    }
    std::string line;
    while (read(fds[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    tool.port = std::atoi(line.c_str());
    tool.drain = std::thread([fd = fds[0]] {
        char buffer[4096];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        close(fd);
    });
    return tool;
}

void stopTool(Tool& tool) {
    stop(tool.pid, SIGINT);
    tool.drain.join();
}

// Delays through serve's MJPEG stream: each part's X-Timestamp-Us header
// against the steady clock when its header arrives.
std::vector<double> mjpegDelaysMs(int port, double seconds) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<double> delays;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return delays;
    }
    const std::string request = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::int64_t end = steadyNowUs() + static_cast<std::int64_t>(seconds * 1e6);
    std::string pending;
    std::vector<char> buffer(1 << 16);
    static const std::string key = "X-Timestamp-Us: ";
    while (steadyNowUs() < end) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        const std::int64_t now = steadyNowUs();
        pending.append(buffer.data(), static_cast<std::size_t>(n));
        std::size_t at;
        while ((at = pending.find(key)) != std::string::npos && pending.find("\r\n", at) != std::string::npos) {
            delays.push_back(static_cast<double>(now - std::atoll(pending.c_str() + at + key.size())) / 1e3);
            pending.erase(0, at + key.size());
        }
        if (pending.size() > key.size()) {
            pending.erase(0, pending.size() - key.size());
        }
    }
    close(fd);
    return delays;
}

double serverCpuPerSecond(pid_t server, double seconds) {
    const double start = processCpuMs(server);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (processCpuMs(server) - start) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const std::string work = argc > 2 ? argv[2] : "/tmp";
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);

    const std::string clip = work + "/rtsp_bench_clip.avi";
    waitpid(spawn({MAKE_DEMO_CLIP_PATH, clip, "60"}, devNull), nullptr, 0);
    const pid_t producer = spawn({DEMO_PRODUCER_PATH, clip, "30"}, devNull);
    std::this_thread::sleep_for(std::chrono::seconds(3));

    Tool rtsp = startTool({FRAMESHARE_PATH, "rtsp", "--listen", "127.0.0.1:0", "--bitrate",
                           std::to_string(kBitrateKbit)},
                          "Streaming rtsp://127.0.0.1:", devNull);
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(rtsp.port) + "/camera";
    const double idleCpu = serverCpuPerSecond(rtsp.pid, 2);

    // One ffmpeg client over TCP for `seconds` of stream, copying the H.264.
    const std::string file = work + "/rtsp_bench.h264";
    const double cpuBefore = processCpuMs(rtsp.pid);
    const auto started = std::chrono::steady_clock::now();
    waitpid(spawn({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-t",
                   std::to_string(seconds), "-c", "copy", "-y", "-f", "h264", file},
                  devNull, devNull),
            nullptr, 0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double oneClientCpu = (processCpuMs(rtsp.pid) - cpuBefore) / wall;
    int probeFds[2];
    if (pipe2(probeFds, O_CLOEXEC) != 0) {
        return 1;
    }
    const pid_t probe = spawn({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                               "stream=nb_read_frames,width,height", "-of", "default=noprint_wrappers=1", file},
                              probeFds[1], devNull);
    close(probeFds[1]);
    std::string probed;
    char c;
    while (read(probeFds[0], &c, 1) == 1) {
        probed += c;
    }
    close(probeFds[0]);
    waitpid(probe, nullptr, 0);
    auto field = [&](const std::string& name) {
        const std::size_t at = probed.find(name + "=");
        return at == std::string::npos ? 0L : std::atol(probed.c_str() + at + name.size() + 1);
    };
    struct stat info {};
    stat(file.c_str(), &info);
    const double fps = static_cast<double>(field("nb_read_frames")) / seconds;
    const double kbits = static_cast<double>(info.st_size) * 8 / 1000 / seconds;

    // Server CPU with one and with four clients (ffmpeg, discarding), each
    // measured over the same window after the clients settle.
    auto clientsCpu = [&](int clients) {
        std::vector<pid_t> pids;
        for (int i = 0; i < clients; ++i) {
            pids.push_back(spawn({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-c",
                                  "copy", "-f", "null", "-"},
                                 devNull, devNull));
        }
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double cpu = serverCpuPerSecond(rtsp.pid, 10);
        for (const pid_t pid : pids) {
            stop(pid, SIGINT);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        return cpu;
    };
    const double cpu1 = clientsCpu(1);
    const double cpu4 = clientsCpu(4);

    // Delay: the GStreamer client (no decoding) against serve's MJPEG stream.
    std::vector<double> rtspDelays;
    {
        RtspWatcher watcher(url);
        std::this_thread::sleep_for(std::chrono::seconds(12));
        for (const ArrivedUnit& unit : watcher.units()) {
            if (unit.steadyUs > 0) {
                rtspDelays.push_back(static_cast<double>(unit.arrivalUs - unit.steadyUs) / 1e3);
            }
        }
    }
    stopTool(rtsp);
    Tool serve = startTool({FRAMESHARE_PATH, "serve", "--listen", "127.0.0.1:0"}, "Serving http://127.0.0.1:", devNull);
    const std::vector<double> mjpegDelays = mjpegDelaysMs(serve.port, 12);
    stopTool(serve);
    stop(producer, SIGINT);

    const double rtspMedian = percentile(rtspDelays, 0.5);
    const double mjpegMedian = percentile(mjpegDelays, 0.5);
    std::ifstream loadFile("/proc/loadavg");
    double load = 0;
    loadFile >> load;
    std::printf("load average at the end: %.1f on %u cores\n\n", load, std::thread::hardware_concurrency());
    std::printf("| measure | value | baseline | ratio | target |\n|---|---|---|---|---|\n");
    std::printf("| ffmpeg over TCP, %.0f s: frames per second | %.1f (%ldx%ld) | 30 (producer) | %.2fx | >= 29 |\n",
                seconds, fps, field("width"), field("height"), fps / 30);
    std::printf("| ffmpeg over TCP: bitrate received | %.0f kbit/s | %d kbit/s (configured) | %.2fx | <= 1.25x |\n",
                kbits, kBitrateKbit, kbits / kBitrateKbit);
    std::printf("| rtsp server CPU, nobody watching | %.1f ms/s | | | |\n", idleCpu);
    std::printf("| rtsp server CPU, 1 client (while recording above) | %.0f ms/s | | | |\n", oneClientCpu);
    std::printf("| rtsp server CPU per frame sent (decode, encode, send) | %.1f ms | 33.3 ms (one period at 30 fps) | "
                "%.2fx | |\n",
                fps > 0 ? oneClientCpu / fps : 0, fps > 0 ? oneClientCpu / fps / 33.3 : 0);
    std::printf("| rtsp server CPU, 4 clients | %.0f ms/s | %.0f ms/s (1 client) | %.2fx | <= 1.2x |\n", cpu4, cpu1,
                cpu4 / cpu1);
    std::printf("| publish to arrival, RTSP (median / p90, %zu frames) | %.1f / %.1f ms | %.1f / %.1f ms (serve MJPEG, "
                "%zu frames) | %.2fx | |\n",
                rtspDelays.size(), rtspMedian, percentile(rtspDelays, 0.9), mjpegMedian, percentile(mjpegDelays, 0.9),
                mjpegDelays.size(), mjpegMedian > 0 ? rtspMedian / mjpegMedian : 0);
    return 0;
}
