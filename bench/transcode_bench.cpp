// CPU per frame of turning a camera's MJPG frame into the published JPEG:
//   transcoder - JpegTranscoder (planar YCbCr through libjpeg-turbo)
//   opencv     - cv::imdecode to BGR, then cv::imencode at quality 95, what
//                the capture loop costs when the backend decodes the frame
// on the same frames in the same run, alternating rounds. The frames are
// camera-like: 1920x1080, 4:2:2, quality 85, no Huffman tables.
//
// With --camera INDEX PRODUCER SECONDS, under a camera that sends MJPG (the
// emulated webcam through LD_PRELOAD, which the producer inherits), the
// frames are the camera's own, taken through OpenCV's V4L2 backend; and the
// real producer runs on that camera for SECONDS: its CPU time (user and
// system, from /proc) per frame it published, beside the same baseline.
//
// usage: transcode_bench [ROUNDS [FRAMES]]
//        transcode_bench --camera INDEX PRODUCER SECONDS
// Prints a table. Uses the segment's real name: run it in a private /dev/shm.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

#include "camera_jpeg.h"
#include "jpeg_transcoder.h"
#include "shm_paths.h"
#include "video_devices.h"

extern char** environ;

namespace {

double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A lit scene with edges, text and sensor noise, moving a little each frame.
cv::Mat scene(int n) {
    cv::Mat image(1080, 1920, CV_8UC3);
    for (int y = 0; y < image.rows; ++y) {
        auto* row = image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < image.cols; ++x) {
            row[x] = cv::Vec3b(static_cast<uchar>(60 + (x + 8 * n) / 16), static_cast<uchar>(40 + y / 8),
                               static_cast<uchar>(90 + (x + y) / 24));
        }
    }
    for (int i = 0; i < 40; ++i) {
        const cv::Point centre((i * 397 + 13 * n) % 1920, (i * 211) % 1080);
        cv::circle(image, centre, 20 + (i * 37) % 120, cv::Scalar((i * 53) % 256, (i * 91) % 256, (i * 17) % 256),
                   cv::FILLED, cv::LINE_AA);
        cv::putText(image, "frame " + std::to_string(n * 100 + i), centre, cv::FONT_HERSHEY_SIMPLEX, 1.2,
                    cv::Scalar(255, 255, 255), 2, cv::LINE_AA);
    }
    cv::Mat noise(image.size(), CV_16SC3);
    cv::randn(noise, 0, 3);
    cv::Mat noisy;
    image.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(image, CV_8UC3);
    return image;
}

// 4:2:2 at quality 85 with the DHT segments cut out, as many cameras send.
std::vector<unsigned char> cameraFrame(const cv::Mat& bgr) {
    std::vector<unsigned char> frame = cameraJpeg(bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, 85);
    if (frame.empty()) {
        std::fprintf(stderr, "encode failed\n");
        std::exit(1);
    }
    return frame;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The camera's own MJPG frames at 1920x1080, as the producer receives them.
std::vector<std::vector<unsigned char>> grabCameraFrames(int index, int count) {
    cv::VideoCapture camera(index, cv::CAP_V4L2);
    camera.set(cv::CAP_PROP_FOURCC, kFourccMjpg);
    camera.set(cv::CAP_PROP_FRAME_WIDTH, 1920);
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, 1080);
    camera.set(cv::CAP_PROP_FPS, 30);
    camera.set(cv::CAP_PROP_CONVERT_RGB, 0);
    std::vector<std::vector<unsigned char>> frames;
    cv::Mat frame;
    while (static_cast<int>(frames.size()) < count && camera.read(frame) && frame.rows == 1) {
        frames.emplace_back(frame.ptr(), frame.ptr() + frame.total());
    }
    return frames;
}

double processCpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t at = text.rfind(')');
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = at + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 here.
    return (std::stod(fields.at(11)) + std::stod(fields.at(12))) * 1000.0 / sysconf(_SC_CLK_TCK);
}

// The published frame's steady timestamp, read without the lock: only its
// changes are counted.
std::int64_t publishedTimestamp(const SharedData* data) {
    return __atomic_load_n(&data->rgbFrame.steadyTimeUs, __ATOMIC_RELAXED);
}

struct ProducerRun {
    double cpuMsPerFrame = 0;
    double framesPerSecond = 0;
    std::string firstLine;
};

ProducerRun runProducer(const std::string& producer, int index, double seconds) {
    ProducerRun result;
    const std::string device = std::to_string(index);
    const std::string out = "/tmp/transcode_bench_producer." + std::to_string(getpid());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(producer.c_str()), const_cast<char*>("--device"),
                    const_cast<char*>(device.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", producer.c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    const std::string segment = segmentPath();
    void* mapping = MAP_FAILED;
    for (int attempt = 0; attempt < 200 && mapping == MAP_FAILED; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int fd = open(segment.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            mapping = mmap(nullptr, sizeof(SharedData), PROT_READ, MAP_SHARED, fd, 0);
            close(fd);
        }
    }
    if (mapping == MAP_FAILED) {
        std::fprintf(stderr, "the producer published no segment\n");
        kill(pid, SIGKILL);
        std::exit(1);
    }
    const auto* data = static_cast<const SharedData*>(mapping);
    while (publishedTimestamp(data) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start-up
    const double cpuStart = processCpuMs(pid);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::int64_t last = publishedTimestamp(data);
    int frames = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
        const std::int64_t now = publishedTimestamp(data);
        if (now != last) {
            ++frames;
            last = now;
        }
    }
    const double cpu = processCpuMs(pid) - cpuStart;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
    munmap(mapping, sizeof(SharedData));
    std::ifstream lines(out);
    std::getline(lines, result.firstLine);
    unlink(out.c_str());
    result.cpuMsPerFrame = frames > 0 ? cpu / frames : 0;
    result.framesPerSecond = frames / elapsed;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const bool camera = argc == 5 && std::string(argv[1]) == "--camera";
    const int rounds = !camera && argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int count = !camera && argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    std::vector<std::vector<unsigned char>> frames;
    if (camera) {
        frames = grabCameraFrames(std::atoi(argv[2]), count);
        if (frames.empty()) {
            std::fprintf(stderr, "no MJPG frames from camera %s\n", argv[2]);
            return 1;
        }
    } else {
        for (int n = 0; n < count; ++n) {
            frames.push_back(cameraFrame(scene(n)));
        }
    }
    double cameraBytes = 0;
    for (const auto& frame : frames) {
        cameraBytes += frame.size();
    }

    JpegTranscoder transcoder;
    std::vector<uchar> encoded;
    const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, 95};
    std::vector<double> transcodeMs;
    std::vector<double> opencvMs;
    double transcodedBytes = 0;
    double opencvBytes = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = processCpuMs();
        for (const auto& frame : frames) {
            cv::Mat decoded = cv::imdecode(frame, cv::IMREAD_COLOR);
            if (decoded.empty() || !cv::imencode(".jpg", decoded, encoded, parameters)) {
                std::fprintf(stderr, "OpenCV failed on a frame\n");
                return 1;
            }
            opencvBytes += encoded.size();
        }
        opencvMs.push_back((processCpuMs() - start) / count);
        start = processCpuMs();
        for (const auto& frame : frames) {
            if (!transcoder.transcode(frame.data(), frame.size())) {
                std::fprintf(stderr, "transcoder failed on a frame\n");
                return 1;
            }
            transcodedBytes += transcoder.size();
        }
        transcodeMs.push_back((processCpuMs() - start) / count);
    }
    const double transcode = median(transcodeMs);
    const double opencv = median(opencvMs);
    const double frameCount = static_cast<double>(frames.size());
    const std::string source = camera ? "camera" : "camera-like";
    std::printf("| measure | value | baseline | ratio | target |\n|---|---|---|---|---|\n");
    std::printf("| %s MJPG 1080p (%.0f KB) to q95 JPEG (%.0f KB): transcoder CPU per frame | %.2f ms | "
                "%.2f ms (cv::imdecode + cv::imencode, %.0f KB) | %.2fx | |\n",
                source.c_str(), cameraBytes / frameCount / 1000, transcodedBytes / rounds / frameCount / 1000,
                transcode, opencv, opencvBytes / rounds / frameCount / 1000, transcode / opencv);
    if (camera) {
        const ProducerRun run = runProducer(argv[3], std::atoi(argv[2]), std::atof(argv[4]));
        std::printf("| producer on the MJPG camera (\"%s\"): CPU per published frame | %.2f ms | %.2f ms "
                    "(cv::imdecode + cv::imencode) | %.2fx | <= 0.5x |\n",
                    run.firstLine.c_str(), run.cpuMsPerFrame, opencv, run.cpuMsPerFrame / opencv);
        std::printf("| producer on the MJPG camera: published | %.1f fps | 30 asked | | >= 29.5 |\n",
                    run.framesPerSecond);
    }
    return 0;
}
