// The real producer against the emulated USB 2.0 webcam of the tests
// (YUYV and MJPG, 1920x1080 at 30 fps only as MJPG), with and without
// GStreamer's video plugins: the line it starts with, the frames per second
// it publishes, and the same run's camera rate as the baseline. The camera
// numbers every frame it sends, so the published frames over the frames the
// camera sent in the same window is exact: 1.00 means none was lost.
//
// usage: camera_rate_bench [SECONDS]
// Uses the segment's real name: run it in a private /dev/shm (bench.sh does).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame_number.h"
#include "framereader.h"
#include "shared_data.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    std::string started;
    long published = 0;
    double seconds = 0;
    long cameraFrames = 0;
    double cpuMsPerFrame = 0;
};

double processCpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::atol(field.c_str());
        } else if (i == 15) {
            stime = std::atol(field.c_str());
        }
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The published frame's camera number, through the real reader.
long currentFrameNumber(std::vector<std::uint8_t>& buffer, std::int64_t* timestamp) {
    FrameOutput frame{};
    frame.data = buffer.data();
    errno = 0;
    get_frame_data(&frame, nullptr);
    if (errno != 0 || frame.size == 0) {
        return -1;
    }
    *timestamp = frame.timestamp;
    return emulatedFrameNumber(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + frame.size));
}

Result run(const std::string& formats, const std::string& plugins, double seconds, const std::string& work) {
    Result result;
    std::vector<std::string> variables{"LD_PRELOAD=" V4L2_EMULATOR_PATH, "V4L2EMU_FORMATS=" + formats,
                                       "V4L2EMU_CAPTURE=1", "GST_PLUGIN_SYSTEM_PATH_1_0=" + plugins,
                                       "GST_REGISTRY_1_0=" + work + "/gst-registry.bin"};
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "GST_", 4) != 0 && std::strncmp(*entry, "LD_PRELOAD=", 11) != 0) {
            envp.push_back(*entry);
        }
    }
    envp.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(PRODUCER_PATH), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, PRODUCER_PATH, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return result;
    }
    // The first line, within 20 s.
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd ready{out[0], POLLIN, 0};
        char chunk[256];
        ssize_t got = 0;
        if (poll(&ready, 1, 100) > 0 && (got = read(out[0], chunk, sizeof chunk)) > 0) {
            line.append(chunk, static_cast<std::size_t>(got));
        } else if (got < 0 || (ready.revents & POLLHUP) != 0) {
            break;
        }
    }
    result.started = line.substr(0, line.find('\n'));

    if (result.started.rfind("Camera started: ", 0) == 0) {
        std::vector<std::uint8_t> buffer(FRAMEREADER_FRAME_CAPACITY);
        std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start-up
        const int fd = shm_open(SHM_NAME, O_RDONLY, 0);
        void* mapping = fd < 0 ? MAP_FAILED : mmap(nullptr, sizeof(SharedData), PROT_READ, MAP_SHARED, fd, 0);
        if (fd >= 0) {
            close(fd);
        }
        if (mapping != MAP_FAILED) {
            const auto* data = static_cast<const SharedData*>(mapping);
            std::int64_t firstTime = 0, lastTime = 0;
            const long first = currentFrameNumber(buffer, &firstTime);
            const double cpuBefore = processCpuMs(pid);
            // Each change of the published timestamp is one frame. A change
            // this loop misses only lowers the count.
            std::int64_t seen = firstTime;
            const auto end = Clock::now() + std::chrono::duration<double>(seconds);
            while (Clock::now() < end) {
                const std::int64_t now = __atomic_load_n(&data->rgbFrame.steadyTimeUs, __ATOMIC_RELAXED);
                if (now != seen) {
                    seen = now;
                    ++result.published;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            const long last = currentFrameNumber(buffer, &lastTime);
            const double cpuAfter = processCpuMs(pid);
            if (lastTime != seen) {
                ++result.published;
            }
            if (first >= 0 && last >= 0 && lastTime > firstTime) {
                const long modulus = static_cast<long>(FRAME_CODE_MODULUS);
                result.cameraFrames = (last - first + modulus) % modulus;
                result.seconds = static_cast<double>(lastTime - firstTime) / 1e6;
            }
            if (result.published > 0) {
                result.cpuMsPerFrame = (cpuAfter - cpuBefore) / static_cast<double>(result.published);
            }
            munmap(mapping, sizeof(SharedData));
        }
    }
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    char work[] = "/tmp/camera_rate_benchXXXXXX";
    if (mkdtemp(work) == nullptr) {
        return 1;
    }
    const std::string none = std::string(work) + "/no-plugins";
    const std::string video = std::string(work) + "/video-plugins";
    mkdir(none.c_str(), 0700);
    mkdir(video.c_str(), 0700);
    for (const char* name : {"video4linux2", "videoconvertscale", "videoconvert", "videoscale", "app",
                             "coreelements", "jpeg", "videorate"}) {
        const std::string file = std::string(GSTREAMER_PLUGIN_DIR) + "/libgst" + name + ".so";
        if (access(file.c_str(), R_OK) == 0 && symlink(file.c_str(), (video + "/libgst" + name + ".so").c_str()) != 0) {
            std::perror(file.c_str());
        }
    }
    // get_frame_data reports on standard output; keep the table apart.
    FILE* report = fdopen(dup(STDOUT_FILENO), "w");
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    close(devNull);

    std::fprintf(report,
                 "producer on the emulated USB 2.0 webcam (YUYV 1920x1080 at 5 fps, MJPG at 30), %.0f s each\n\n",
                 seconds);
    std::fprintf(report, "| camera formats | GStreamer plugins | first line | published | camera sent (baseline) | "
                         "published / sent | CPU per frame | target |\n");
    std::fprintf(report, "|---|---|---|---|---|---|---|---|\n");
    struct Case {
        const char* formats;
        const char* label;
        const std::string* plugins;
        const char* pluginLabel;
        const char* target;
    };
    const Case cases[] = {{"yuyv,mjpg", "YUYV, MJPG", &none, "none", ">= 29.5 fps"},
                          {"yuyv,mjpg", "YUYV, MJPG", &video, "video", ">= 29.5 fps"},
                          {"mjpg", "MJPG", &video, "video", ">= 29.5 fps"},
                          {"yuyv", "YUYV", &none, "none", "5 fps, honest"}};
    for (const Case& c : cases) {
        const Result result = run(c.formats, *c.plugins, seconds, work);
        const double published = result.seconds > 0 ? static_cast<double>(result.published) / result.seconds : 0;
        const double sent = result.seconds > 0 ? static_cast<double>(result.cameraFrames) / result.seconds : 0;
        std::fprintf(report, "| %s | %s | `%s` | %.2f fps | %.2f fps | %.3f | %.2f ms | %s |\n", c.label, c.pluginLabel,
                     result.started.c_str(), published, sent,
                     result.cameraFrames > 0
                         ? static_cast<double>(result.published) / static_cast<double>(result.cameraFrames)
                         : 0.0,
                     result.cpuMsPerFrame, c.target);
        std::fflush(report);
    }
    std::string cleanup = std::string("rm -rf ") + work;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
