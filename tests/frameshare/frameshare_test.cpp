// The frameshare tool against a real demo producer, each test in its own
// mount namespace with a private /dev/shm, so tests run beside the suite's
// others without the segment lock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <thread>

#include "test_support.h"
#include "tool_test.h"

using namespace test_support;
using nlohmann::json;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct ToolRun {
    int exit = -1;
    std::string out;
    std::string err;
};

ToolRun runTool(const std::vector<std::string>& args, milliseconds timeout = milliseconds(60000)) {
    std::vector<std::string> argv{FRAMESHARE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv);
    ToolRun run;
    EXPECT_TRUE(child.waitExit(timeout)) << args[0] << " did not finish";
    run.exit = child.exitedNormally() ? child.exitCode() : -1;
    run.out = child.stdoutText();
    run.err = child.stderrText();
    return run;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

ScopedFd connectTo(int port, int receiveBuffer = 0) {
    ScopedFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0) {
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const timeval timeout{20, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "connect: " << std::strerror(errno);
    }
    return fd;
}

void sendGet(int fd, const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
}

// Everything the server sends until it closes the connection.
std::string readToEnd(int fd) {
    std::string response;
    char buffer[65536];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        response.append(buffer, static_cast<std::size_t>(n));
    }
    return response;
}

// The whole response of a request that ends.
std::string httpGet(int port, const std::string& path) {
    const ScopedFd fd = connectTo(port);
    sendGet(fd.get(), path);
    return readToEnd(fd.get());
}

// The status line of the answer to whatever was sent, or "" when none came.
std::string statusLineAfter(int fd) {
    std::string response;
    char buffer[4096];
    ssize_t n;
    while (response.find("\r\n") == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        response.append(buffer, static_cast<std::size_t>(n));
    }
    return response.substr(0, response.find("\r\n"));
}

// A zeroed segment of the right size and mode, as a producer would leave
// before its first frame, mapped for the test to write records into. Empty
// when it cannot be made.
ScopedMapping mapBareSegment() {
    const ScopedFd fd(shm_open(SHM_NAME, O_CREAT | O_RDWR, 0600));
    if (!fd.valid() || ftruncate(fd.get(), sizeof(SharedData)) != 0) {
        return ScopedMapping();
    }
    return ScopedMapping(mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0),
                         sizeof(SharedData));
}

// The whole response to one raw request.
std::string rawRequest(int port, const std::string& request) {
    const ScopedFd fd = connectTo(port);
    send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    return readToEnd(fd.get());
}

// The status code curl gets for a URL (with its extra arguments).
std::string curlStatus(const std::string& url, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{"/usr/bin/curl", "-s", "-o", "/dev/null", "-m", "5", "-w", "%{http_code}"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(url);
    ChildProcess curl(argv);
    EXPECT_TRUE(curl.waitExit(milliseconds(30000)));
    return curl.stdoutText();
}

std::vector<std::string> asNobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

json statusOf(int port) {
    const std::string response = httpGet(port, "/status.json");
    const std::size_t body = response.find("\r\n\r\n");
    return body == std::string::npos ? json() : json::parse(response.substr(body + 4), nullptr, false);
}

// Reads a stream and counts the parts it has received whole.
class StreamViewer {
public:
    explicit StreamViewer(int port) : fd_(connectTo(port)) {
        sendGet(fd_.get(), "/stream.mjpg");
        reader_ = std::thread([this] { read(); });
    }
    // The reader ends first; the socket closes after it.
    ~StreamViewer() {
        shutdown(fd_.get(), SHUT_RDWR);
        reader_.join();
    }
    int parts() const { return parts_.load(); }
    std::string head() {
        std::lock_guard<std::mutex> lock(mutex_);
        return head_;
    }

private:
    void read() {
        static const std::string boundary = "\r\n--frameshare-boundary\r\n";
        std::string pending;
        char buffer[65536];
        ssize_t n;
        while ((n = recv(fd_.get(), buffer, sizeof buffer, 0)) > 0) {
            pending.append(buffer, static_cast<std::size_t>(n));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (head_.size() < 512) {
                    head_ += pending.substr(0, 512 - head_.size());
                }
            }
            // A part counts once the next one begins: then it arrived whole.
            std::size_t at;
            while ((at = pending.find(boundary, 1)) != std::string::npos) {
                ++parts_;
                pending.erase(0, at + 2);
            }
        }
    }
    ScopedFd fd_;
    std::atomic<int> parts_{0};
    std::mutex mutex_;
    std::string head_;
    std::thread reader_;
};

class FrameshareTest : public ToolTest {
protected:
    void startProducer(const std::string& fps = "15") { ToolTest::startProducer(fps); }
    // serve on a free port; returns the port.
    int startServer(std::vector<std::string> extra = {}, const std::string& address = "127.0.0.1") {
        return startServerAs(&server, extra, address);
    }
    static int startServerAs(std::unique_ptr<ChildProcess>* child, std::vector<std::string> extra,
                             const std::string& address = "127.0.0.1") {
        std::vector<std::string> argv{FRAMESHARE_PATH, "serve", "--listen", address + ":0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        *child = std::make_unique<ChildProcess>(argv);
        const std::string announce = "Serving http://" + address + ":";
        if (!(*child)->waitForStdout(announce, milliseconds(20000))) {
            ADD_FAILURE() << "serve did not start: " << (*child)->stderrText();
            return 0;
        }
        const std::string out = (*child)->stdoutText();
        return std::stoi(out.substr(out.find(announce) + announce.size()));
    }
};

TEST_F(FrameshareTest, StatusTellsEachStateWithItsExitStatus) {
    ToolRun none = runTool({"status", "--json"});
    EXPECT_EQ(none.exit, 3);
    EXPECT_EQ(none.err, "");
    const json noneJson = json::parse(none.out, nullptr, false);
    ASSERT_FALSE(noneJson.is_discarded()) << none.out;
    EXPECT_EQ(noneJson["state"], "no producer");
    EXPECT_EQ(runTool({"status"}).exit, 3);

    {
        // A segment with no frame yet, and registry slots written at the
        // layout's own offsets: one live consumer, one long gone.
        ScopedMapping mapping = mapBareSegment();
        ASSERT_TRUE(mapping.valid());
        SharedData* data = mapping.as<SharedData>();
        data->colorConsumers[2] = ConsumerSlot{1, {}, static_cast<std::int32_t>(getpid()), 7};
        data->depthConsumers[9] = ConsumerSlot{0x5a, {}, 0x7ffffff0, 0xFFFFFFFFFFFFFFF0ull};
        mapping.reset();

        const ToolRun empty = runTool({"status", "--json"});
        EXPECT_EQ(empty.exit, 4) << empty.err;
        const json emptyJson = json::parse(empty.out, nullptr, false);
        ASSERT_FALSE(emptyJson.is_discarded()) << empty.out;
        EXPECT_EQ(emptyJson["state"], "no frame yet");
        EXPECT_TRUE(emptyJson["frame"].is_null());
        const json& color = emptyJson["consumers"]["color"];
        const json& depth = emptyJson["consumers"]["depth"];
        ASSERT_EQ(color.size(), 10u);
        ASSERT_EQ(depth.size(), 10u);
        EXPECT_EQ(color[2]["pid"], getpid());
        EXPECT_EQ(color[2]["alive"], true);
        EXPECT_EQ(color[2]["missedChecks"], 7);
        EXPECT_EQ(depth[9]["occupied"], true);
        EXPECT_EQ(depth[9]["alive"], false);
        EXPECT_EQ(depth[9]["missedChecks"].get<std::uint64_t>(), 0xFFFFFFFFFFFFFFF0ull);
        EXPECT_EQ(color[3]["occupied"], false);
        const ToolRun text = runTool({"status"});
        EXPECT_EQ(text.exit, 4);
        EXPECT_NE(text.out.find("slot 2: pid " + std::to_string(getpid()) + " (alive), missedChecks 7"),
                  std::string::npos)
            << text.out;

        // A frame that never changes, whose start-of-frame marker is cut off:
        // no size can be read, and the producer counts as stalled.
        mapping = mapBareSegment();  // the same object again
        ASSERT_TRUE(mapping.valid());
        data = mapping.as<SharedData>();
        const std::uint8_t truncated[] = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x04};
        std::memcpy(data->rgbFrame.data, truncated, sizeof truncated);
        data->rgbFrame.size = sizeof truncated;
        data->rgbFrame.steadyTimeUs = 1;
        mapping.reset();
        const ToolRun stalled = runTool({"status", "--json"});
        EXPECT_EQ(stalled.exit, 5) << stalled.err;
        const json stalledJson = json::parse(stalled.out, nullptr, false);
        ASSERT_FALSE(stalledJson.is_discarded()) << stalled.out;
        EXPECT_EQ(stalledJson["state"], "stalled");
        EXPECT_EQ(stalledJson["frame"]["size"], sizeof truncated);
        EXPECT_EQ(stalledJson["frame"]["width"], 0);

        // The same bytes in another user's object: believed neither when
        // others may write it nor, for root, when an ordinary user owns it.
        const std::string path = std::string("/dev/shm/") + SHM_NAME;
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        const ToolRun open = runTool({"status", "--json"});
        EXPECT_EQ(open.exit, 1) << open.out;
        const json openJson = json::parse(open.out, nullptr, false);
        ASSERT_FALSE(openJson.is_discarded()) << open.out;
        EXPECT_EQ(openJson["state"], "error");
        EXPECT_EQ(openJson["error"], "Operation not permitted");
        EXPECT_TRUE(openJson["frame"].is_null());
        EXPECT_TRUE(openJson["consumers"].is_null());
        ASSERT_EQ(chmod(path.c_str(), 0660), 0);
        const ToolRun owned = runTool({"status"});
        EXPECT_EQ(owned.exit, 1);
        EXPECT_NE(owned.out.find("consumer tables unreadable: the segment belongs to another ordinary user"),
                  std::string::npos)
            << owned.out;
        shm_unlink(SHM_NAME);
    }

    startProducer();
    const ToolRun publishing = runTool({"status", "--json"});
    EXPECT_EQ(publishing.exit, 0) << publishing.out << publishing.err;
    const json live = json::parse(publishing.out, nullptr, false);
    ASSERT_FALSE(live.is_discarded()) << "the library's own lines must not reach the output:\n" << publishing.out;
    EXPECT_EQ(live["state"], "publishing");
    EXPECT_EQ(live["frame"]["width"], kWidth);
    EXPECT_EQ(live["frame"]["height"], kHeight);
    // From the frames' own timestamps, which jitter by a few milliseconds:
    // about the producer's 15 fps, not the 16 frames a second of polling
    // can count.
    EXPECT_GT(live["rate_fps"].get<double>(), 0);
    EXPECT_LE(live["rate_fps"].get<double>(), 15 * 1.05);
    EXPECT_GE(live["frame"]["age_ms"].get<double>(), 0);
    EXPECT_LT(live["frame"]["age_ms"].get<double>(), 5000);
    const std::int64_t wallNow =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    EXPECT_NEAR(static_cast<double>(live["frame"]["wall_time_us"].get<std::int64_t>()), static_cast<double>(wallNow),
                10e6);
}

TEST_F(FrameshareTest, SavesAndRecordsWholeFrames) {
    startProducer();
    const std::string saved = dir.path() + "/now.jpg";
    const ToolRun save = runTool({"save", saved});
    EXPECT_EQ(save.exit, 0) << save.err;
    EXPECT_EQ(cv::imread(saved).size(), cv::Size(kWidth, kHeight));

    const std::string recording = dir.path() + "/rec";
    const ToolRun record = runTool({"record", recording, "--frames", "6"});
    ASSERT_EQ(record.exit, 0) << record.err;
    EXPECT_EQ(record.err, "");
    EXPECT_NE(record.out.find("Recorded 6 frames to " + recording), std::string::npos) << record.out;
    const std::vector<std::string> rows = splitLines(readFile(recording + "/frames.csv"));
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0], "number,steady_us,wall_us,size");
    long long previous = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        long long number = 0, steady = 0, wall = 0, size = 0;
        ASSERT_EQ(std::sscanf(rows[i].c_str(), "%lld,%lld,%lld,%lld", &number, &steady, &wall, &size), 4) << rows[i];
        EXPECT_EQ(number, static_cast<long long>(i));
        EXPECT_GT(steady, previous) << "each row is a new frame";
        previous = steady;
        char name[32];
        std::snprintf(name, sizeof name, "/frame_%06lld.jpg", number);
        EXPECT_EQ(static_cast<long long>(readFile(recording + name).size()), size);
    }
    EXPECT_EQ(runTool({"record", recording, "--frames", "1"}).exit, 1) << "an existing recording is kept";

    // Standard output closed: a file record opens must not take descriptor 1
    // and get the tool's lines. Two depths, as the directory walk alternates
    // between two descriptors.
    for (const std::string& quiet : {dir.path() + "/quiet", dir.path() + "/quiet/deeper"}) {
        ChildProcess closedOut({"/bin/sh", "-c", "exec \"$0\" record \"$1\" --frames 2 >&-", FRAMESHARE_PATH, quiet});
        ASSERT_TRUE(closedOut.waitExit(milliseconds(30000)));
        EXPECT_EQ(closedOut.exitCode(), 0) << closedOut.stderrText();
        EXPECT_EQ(splitLines(readFile(quiet + "/frames.csv")).size(), 3u) << readFile(quiet + "/frames.csv");
    }

    // Interrupted, then cut short by the producer's exit: every row written
    // names a whole image.
    for (const bool interrupt : {true, false}) {
        const std::string path = dir.path() + (interrupt ? "/interrupted" : "/orphaned");
        // Without a limit it records until stopped.
        std::vector<std::string> args{FRAMESHARE_PATH, "record", path};
        if (!interrupt) {
            args.insert(args.end(), {"--seconds", "60"});
        }
        ChildProcess recorder(args);
        ASSERT_TRUE(waitUntil([&] { return splitLines(readFile(path + "/frames.csv")).size() >= 4; },
                              milliseconds(30000)));
        if (interrupt) {
            recorder.signal(SIGINT);
        } else {
            stopProducer();
        }
        ASSERT_TRUE(recorder.waitExit(milliseconds(30000)));
        EXPECT_EQ(recorder.exitCode(), interrupt ? 0 : 3);
        if (!interrupt) {
            EXPECT_EQ(splitLines(recorder.stderrText()).size(), 1u) << recorder.stderrText();
            EXPECT_NE(recorder.stderrText().find("the producer stopped after"), std::string::npos);
        }
        const std::vector<std::string> lines = splitLines(readFile(path + "/frames.csv"));
        for (std::size_t i = 1; i < lines.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame_%06zu.jpg", i);
            EXPECT_EQ(cv::imread(path + name).size(), cv::Size(kWidth, kHeight)) << name;
        }
    }
}

TEST_F(FrameshareTest, BadInputGetsOneLineAndAnExitStatus) {
    startProducer();
    auto expectOneLine = [](const ToolRun& run, int exit, const std::string& text) {
        EXPECT_EQ(run.exit, exit) << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
    };
    expectOneLine(runTool({"save", dir.path() + "/no/such/dir/x.jpg"}), 1, "No such file or directory");

    // A full disk: a tiny tmpfs fills up mid-recording.
    const std::string small = dir.path() + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=400k"), 0) << std::strerror(errno);
    const ToolRun full = runTool({"record", small + "/rec", "--frames", "1000"});
    expectOneLine(full, 1, "No space left on device");
    const std::string csv = readFile(small + "/rec/frames.csv");
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(csv.back(), '\n') << "no half row";
    const std::vector<std::string> rows = splitLines(csv);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame_%06zu.jpg", i);
        EXPECT_EQ(cv::imread(small + "/rec" + name).size(), cv::Size(kWidth, kHeight)) << name;
    }
    umount2(small.c_str(), MNT_DETACH);

    ScopedFd taken(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken.get(), 1), 0);
    getsockname(taken.get(), reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    expectOneLine(runTool({"serve", "--listen", "127.0.0.1:" + port}), 1, "port is taken");
    taken.reset();
    // 192.0.2.1 is reserved for documentation: no interface has it.
    expectOneLine(runTool({"serve", "--listen", "192.0.2.1:0"}), 1, "Cannot assign requested address");
    expectOneLine(runTool({"serve", "--listen", "no-such-host.invalid:8080"}), 1, "cannot resolve");
    EXPECT_EQ(runTool({"serve", "--listen", "127.0.0.1:99999"}).exit, 2);
    EXPECT_EQ(runTool({"record", dir.path() + "/x", "--frames", "1", "--seconds", "1"}).exit, 2);
    EXPECT_EQ(runTool({"serve", "--quality", "0"}).exit, 2);
    const std::string users = dir.path() + "/users";
    std::ofstream(users) << "viewer\n";
    expectOneLine(runTool({"serve", "--auth-file", users}), 1, "line 1: expected user:password");
    for (const std::string command : {"status", "serve", "record"}) {
        const ToolRun version = runTool({command, "--version"});
        EXPECT_EQ(version.exit, 0);
        EXPECT_EQ(version.out.rfind("frameshare ", 0), 0u) << version.out;
    }
}

TEST_F(FrameshareTest, BrowserShowsTheLiveImage) {
    if (std::string(CHROMIUM_PATH).empty()) {
        GTEST_SKIP() << "no chromium";
    }
    startProducer();
    const int port = startServer();
    ASSERT_GT(port, 0);
    const std::string profile = dir.path() + "/profile";
    ChildProcess browser({CHROMIUM_PATH, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                          "--no-first-run", "--disable-background-networking", "--disable-component-update",
                          "--disable-sync", "--user-data-dir=" + profile, "--timeout=15000", "--dump-dom",
                          "http://127.0.0.1:" + std::to_string(port) + "/"});
    ASSERT_TRUE(browser.waitExit(milliseconds(90000)));
    const std::string dom = browser.stdoutText();
    // The page writes the decoded size of its image element once it has one.
    EXPECT_NE(dom.find("<td id=\"decoded\">1920x1080</td>"), std::string::npos) << dom << browser.stderrText();
}

TEST_F(FrameshareTest, FfmpegDecodesConsecutiveStreamFrames) {
    if (std::string(FFMPEG_PATH).empty()) {
        GTEST_SKIP() << "no ffmpeg";
    }
    startProducer();
    const int port = startServer();
    ASSERT_GT(port, 0);
    ChildProcess ffmpeg({FFMPEG_PATH, "-nostdin", "-v", "error", "-i",
                         "http://127.0.0.1:" + std::to_string(port) + "/stream.mjpg", "-frames:v", "5", "-f",
                         "framemd5", "-"});
    ASSERT_TRUE(ffmpeg.waitExit(milliseconds(60000)));
    EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.stderrText();
    const std::string out = ffmpeg.stdoutText();
    EXPECT_NE(out.find("#dimensions 0: 1920x1080"), std::string::npos) << out;
    std::vector<std::string> hashes;
    for (const std::string& line : splitLines(out)) {
        if (!line.empty() && line[0] != '#') {
            hashes.push_back(line.substr(line.rfind(',') + 1));
        }
    }
    ASSERT_EQ(hashes.size(), 5u) << out;
    for (std::size_t i = 1; i < hashes.size(); ++i) {
        EXPECT_NE(hashes[i], hashes[i - 1]) << "each new frame is sent once";
    }
}

// Rates are counted over seconds with wide margins: a loaded machine slows
// everyone, but a stalled viewer holding up the others would stop them.
TEST_F(FrameshareTest, StalledViewerDelaysNeitherOtherViewersNorTheProducer) {
    startProducer();
    const int port = startServer({"--max-viewers", "2", "--write-timeout", "4"});
    ASSERT_GT(port, 0);
    const std::string before = dir.path() + "/before";
    ASSERT_EQ(runTool({"record", before, "--seconds", "2"}).exit, 0);
    const double producerBefore = static_cast<double>(splitLines(readFile(before + "/frames.csv")).size() - 1) / 2;
    ASSERT_GT(producerBefore, 2);

    ScopedFd stalled = connectTo(port, 4096);
    sendGet(stalled.get(), "/stream.mjpg");
    StreamViewer viewer(port);
    ASSERT_TRUE(waitUntil([&] { return viewer.parts() >= 1; }, milliseconds(20000)));
    const std::string refused = httpGet(port, "/stream.mjpg");
    EXPECT_NE(refused.find("HTTP/1.1 503"), std::string::npos) << refused;
    EXPECT_NE(refused.find("Too many viewers"), std::string::npos) << refused;

    const std::string during = dir.path() + "/during";
    const int partsBefore = viewer.parts();
    ASSERT_EQ(runTool({"record", during, "--seconds", "3"}).exit, 0);
    const double viewerRate = (viewer.parts() - partsBefore) / 3.0;
    const double producerDuring = static_cast<double>(splitLines(readFile(during + "/frames.csv")).size() - 1) / 3;
    EXPECT_EQ(statusOf(port)["server"]["viewers"], 2) << "the stalled viewer is still connected";
    EXPECT_GT(viewer.parts(), partsBefore) << "the other viewer goes on";
#ifndef FRAMESHARE_TEST_UNDER_SANITIZER
    EXPECT_GT(producerDuring, 0.5 * producerBefore);
    EXPECT_GT(viewerRate, 0.5 * producerDuring);
#else
    (void)producerDuring;
    (void)viewerRate;
#endif
    EXPECT_NE(viewer.head().find("Content-Type: image/jpeg"), std::string::npos) << viewer.head();

    // The stalled one is dropped after the write timeout; the other stays.
    EXPECT_TRUE(waitUntil([&] { return statusOf(port)["server"]["viewers"] == 1; }, milliseconds(30000)));
    const int partsAfterDrop = viewer.parts();
    EXPECT_TRUE(waitUntil([&] { return viewer.parts() > partsAfterDrop; }, milliseconds(10000)));
    stalled.reset();
}

// Clients that send bodies, trickle their headers, crowd in or leave: none
// takes memory or workers for long, and the server answers others within
// its header deadline (10 s).
TEST_F(FrameshareTest, ServeBoundsWhatHostileClientsTake) {
    // A segment with one frame that never changes, its size changed later
    // under the same timestamp.
    ScopedMapping mapping = mapBareSegment();
    ASSERT_TRUE(mapping.valid());
    SharedData* data = mapping.as<SharedData>();
    const std::uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x04, 0x38, 0x07, 0x80, 0x03};
    std::memcpy(data->rgbFrame.data, jpeg, sizeof jpeg);
    data->rgbFrame.size = 4;
    data->rgbFrame.steadyTimeUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    const int port = startServer({"--max-viewers", "1"});
    ASSERT_GT(port, 0);
    ASSERT_TRUE(waitUntil([&] { return statusOf(port)["frame"]["size"] == 4; }, milliseconds(20000)));
    data->rgbFrame.size = sizeof jpeg;
    std::this_thread::sleep_for(milliseconds(2000));  // the poller sees it within 0.1 s
    EXPECT_EQ(statusOf(port)["frame"]["size"], 4) << "the size of the bytes kept, never read past them";
    mapping.reset();

    // A body announced as 3 GB is refused before any of it is read.
    ScopedFd post = connectTo(port);
    const std::string head = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3000000000\r\n\r\n";
    send(post.get(), head.data(), head.size(), MSG_NOSIGNAL);
    EXPECT_EQ(statusLineAfter(post.get()), "HTTP/1.1 405 Method Not Allowed");
    post.reset();

    // Viewers that leave while there is nothing new to send give their
    // place back.
    for (int i = 0; i < 3; ++i) {
        ScopedFd viewer = connectTo(port);
        sendGet(viewer.get(), "/stream.mjpg");
        EXPECT_EQ(statusLineAfter(viewer.get()), "HTTP/1.1 200 OK");
        viewer.reset();
        EXPECT_TRUE(waitUntil([&] { return statusOf(port)["server"]["viewers"] == 0; }, milliseconds(20000)));
    }

    // A closed viewer's connection is counted out a moment after its viewer
    // (at the server's next quarter-second check): let it go, so the burst
    // below meets no place that frees up behind it.
    std::this_thread::sleep_for(milliseconds(1000));

    // 34 connections (twice max-viewers + 16): 40 clients sending a byte of
    // header every 2 s fill them, and the excess is told so.
    const auto start = std::chrono::steady_clock::now();
    std::vector<ScopedFd> slow;
    for (int i = 0; i < 40; ++i) {
        slow.push_back(connectTo(port));
        send(slow.back().get(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
    }
    std::atomic<bool> dripping{true};
    std::thread drip([&] {
        while (dripping.load()) {
            for (const ScopedFd& client : slow) {
                send(client.get(), "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            std::this_thread::sleep_for(milliseconds(2000));
        }
    });
    EXPECT_TRUE(waitUntil(
        [&] {
            return std::any_of(slow.begin(), slow.end(), [](const ScopedFd& client) {
                char head[12];
                return recv(client.get(), head, sizeof head, MSG_PEEK | MSG_DONTWAIT) == sizeof head &&
                       std::string(head, sizeof head) == "HTTP/1.1 503";
            });
        },
        milliseconds(30000)))
        << "the connections beyond the workers and the queue are refused";
    EXPECT_TRUE(waitUntil([&] { return httpGet(port, "/status.json").rfind("HTTP/1.1 200", 0) == 0; },
                          milliseconds(60000)))
        << "the trickling clients are cut at their header deadline";
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(8000)) << "not every connection was taken";
    dripping.store(false);
    drip.join();
    slow.clear();
    shm_unlink(SHM_NAME);
}

// Frames are camera images, and record may run as root in a directory
// another user prepared.
TEST_F(FrameshareTest, RecordAndSaveNeverWriteThroughPreparedNames) {
    startProducer();
    const std::string victim = dir.path() + "/victim";
    std::ofstream(victim) << "precious";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string shared = dir.path() + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string planted = shared + "/planted";
    ChildProcess other({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
                        "mkdir " + planted + " && ln -s " + victim + " " + planted + "/frame_000001.jpg"});
    ASSERT_TRUE(other.waitExit(milliseconds(10000)));
    ASSERT_EQ(other.exitCode(), 0) << other.stderrText();

    const ToolRun foreign = runTool({"record", planted, "--frames", "1"});
    EXPECT_EQ(foreign.exit, 1);
    EXPECT_EQ(foreign.err, "Error: " + planted + " belongs to another user; record into a directory of your own\n");
    const ToolRun open = runTool({"record", shared, "--frames", "1"});
    EXPECT_EQ(open.exit, 1);
    EXPECT_NE(open.err.find("writable by every user"), std::string::npos) << open.err;

    // In a directory of one's own, a name already there is never followed,
    // not even a dangling symlink.
    const std::string own = dir.path() + "/own";
    ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir.path() + "/made-through-link").c_str(), (own + "/frame_000001.jpg").c_str()), 0);
    const ToolRun taken = runTool({"record", own, "--frames", "1"});
    EXPECT_EQ(taken.exit, 1);
    EXPECT_NE(taken.err.find("frame_000001.jpg: File exists"), std::string::npos) << taken.err;
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/made-through-link"));

    // save replaces a symlink instead of writing through it.
    const std::string link = dir.path() + "/now.jpg";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_EQ(runTool({"save", link}).exit, 0);
    EXPECT_TRUE(readFile(victim) == "precious") << "written through the link";
    struct stat saved {};
    ASSERT_EQ(lstat(link.c_str(), &saved), 0);
    EXPECT_TRUE(S_ISREG(saved.st_mode));
    EXPECT_EQ(saved.st_mode & 0007, 0u) << "not readable by every user";
    EXPECT_EQ(cv::imread(link).size(), cv::Size(kWidth, kHeight));
    const std::string fresh = dir.path() + "/fresh";
    ASSERT_EQ(runTool({"record", fresh, "--frames", "1"}).exit, 0);
    ASSERT_EQ(lstat((fresh + "/frame_000001.jpg").c_str(), &saved), 0);
    EXPECT_EQ(saved.st_mode & 0007, 0u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 6) << "no temporary file left";
}

// Requests a hostile page or peer could send: each gets its sound answer,
// and nothing a request holds lands in the log as a line of its own.
TEST_F(FrameshareTest, ServeAnswersHostileRequestsSoundly) {
    ScopedMapping mapping = mapBareSegment();
    ASSERT_TRUE(mapping.valid());
    SharedData* data = mapping.as<SharedData>();
    const std::uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x04, 0x38, 0x07, 0x80, 0x03};
    std::memcpy(data->rgbFrame.data, jpeg, sizeof jpeg);
    data->rgbFrame.size = sizeof jpeg;
    data->rgbFrame.steadyTimeUs = 1;
    mapping.reset();
    const int port = startServer();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(waitUntil([&] { return httpGet(port, "/frame.jpg").rfind("HTTP/1.1 200", 0) == 0; },
                          milliseconds(20000)));

    // Two thousand ranges of the whole frame: answered once, whole.
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 2000; ++i) {
        ranges += ",0-";
    }
    const std::string ranged = rawRequest(
        port, "GET /frame.jpg HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: " + ranges + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(ranged.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << ranged.substr(0, 200);
    EXPECT_EQ(ranged.size() - ranged.find("\r\n\r\n") - 4, sizeof jpeg);

    // A header beyond 64 KiB is refused, not gathered.
    const std::string big = rawRequest(
        port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(70000, 'a') + "\r\n\r\n");
    EXPECT_EQ(big.rfind("HTTP/1.1 431", 0), 0u) << big.substr(0, 100);

    // A page elsewhere whose name resolves here is turned away; loopback
    // names are not.
    auto statusFor = [&](const std::string& host) {
        const std::string response =
            rawRequest(port, "GET /frame.jpg HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
        return response.substr(9, 3);
    };
    EXPECT_EQ(statusFor("attacker.example"), "421");
    EXPECT_EQ(statusFor("127.0.0.1.attacker.example:" + std::to_string(port)), "421");
    EXPECT_EQ(statusFor("localhost:" + std::to_string(port)), "200");
    EXPECT_EQ(statusFor("127.0.0.1"), "200");
    EXPECT_EQ(statusFor("[::1]:" + std::to_string(port)), "200");

    // A path with a newline and a terminal escape stays on its own line.
    rawRequest(port, "GET /%0A2026-01-01T00:00:00.000000Z%20caught%20SIGINT,%20stopping%0AStopped.%1B[2J HTTP/1.1\r\n"
                     "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return server->stdoutText().find(" 404 ") != std::string::npos; },
                          milliseconds(10000)));
    const std::string log = server->stdoutText();
    EXPECT_NE(log.find("GET /\\x0a2026-01-01T00:00:00.000000Z caught SIGINT, stopping\\x0aStopped.\\x1b[2J 404"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    for (const std::string& line : splitLines(log)) {
        EXPECT_TRUE(line.rfind("Serving ", 0) == 0 || line.rfind("20", 0) == 0) << line;
    }

    // Beyond loopback: one warning without credentials; with them, none,
    // and every path asks for them.
    std::unique_ptr<ChildProcess> open;
    ASSERT_GT(startServerAs(&open, {}, "0.0.0.0"), 0);
    open->signal(SIGTERM);
    ASSERT_TRUE(open->waitExit(milliseconds(30000)));
    EXPECT_EQ(splitLines(open->stderrText()).size(), 1u) << open->stderrText();
    EXPECT_NE(open->stderrText().find("unauthenticated"), std::string::npos);

    const std::string users = dir.path() + "/users";
    std::ofstream(users) << "# viewers\nviewer:s3cret\nother:pa:ss\n";
    std::unique_ptr<ChildProcess> guarded;
    const int guardedPort = startServerAs(&guarded, {"--auth-file", users}, "0.0.0.0");
    ASSERT_GT(guardedPort, 0);
    const std::string base = "http://127.0.0.1:" + std::to_string(guardedPort);
    for (const std::string path : {"/", "/frame.jpg", "/status.json", "/stream.mjpg", "/nothing"}) {
        EXPECT_EQ(curlStatus(base + path), "401") << path;
        EXPECT_EQ(curlStatus(base + path, {"-u", "viewer:s3cre"}), "401") << path;
        EXPECT_EQ(curlStatus(base + path, {"-u", "viewer:s3cret!"}), "401") << path;
    }
    EXPECT_EQ(curlStatus(base + "/frame.jpg", {"-u", "viewer:s3cret"}), "200");
    EXPECT_EQ(curlStatus(base + "/status.json", {"-u", "other:pa:ss", "-H", "Host: camera.example"}), "200");
    EXPECT_EQ(curlStatus(base + "/stream.mjpg", {"-u", "viewer:s3cret", "-m", "1"}), "200");
    guarded->signal(SIGTERM);
    ASSERT_TRUE(guarded->waitExit(milliseconds(30000)));
    EXPECT_EQ(guarded->exitCode(), 0);
    EXPECT_EQ(guarded->stderrText(), "");
    shm_unlink(SHM_NAME);
}

TEST_F(FrameshareTest, ServeReencodesForViewersAndCapsTheRate) {
    startProducer();
    const int port = startServer({"--quality", "60", "--width", "640", "--fps", "4"});
    ASSERT_GT(port, 0);
    const std::string original = dir.path() + "/original.jpg";
    ASSERT_EQ(runTool({"save", original}).exit, 0);
    const std::string response = httpGet(port, "/frame.jpg");
    const std::size_t body = response.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    const std::vector<std::uint8_t> bytes(response.begin() + static_cast<long>(body) + 4, response.end());
    EXPECT_EQ(cv::imdecode(bytes, cv::IMREAD_COLOR).size(), cv::Size(640, 360));
    EXPECT_LT(bytes.size() * 5, readFile(original).size());

    StreamViewer first(port);
    StreamViewer second(port);
    ASSERT_TRUE(waitUntil([&] { return first.parts() >= 1 && second.parts() >= 1; }, milliseconds(20000)));
    const int before = first.parts();
    std::this_thread::sleep_for(milliseconds(3000));
    EXPECT_LE(first.parts() - before, 4 * 3 + 2) << "the producer's 15 fps, capped at 4";
}

// Frames are camera images: neither a device nor a directory another user
// prepared receives them.
TEST_F(FrameshareTest, SaveAndRecordRefuseUnsafeTargets) {
    startProducer();
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string fifo = dir.path() + "/fifo";
    const std::string device = dir.path() + "/null";
    const std::string folder = dir.path() + "/folder";
    const std::string toFifo = dir.path() + "/stdout";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(symlink(fifo.c_str(), toFifo.c_str()), 0);
    for (const std::string& target : {fifo, device, folder, toFifo}) {
        const ToolRun refused = runTool({"save", target});
        EXPECT_EQ(refused.exit, 1) << target;
        EXPECT_NE(refused.err.find("not a regular file"), std::string::npos) << refused.err;
    }
    struct stat info {};
    ASSERT_EQ(lstat(device.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    ASSERT_EQ(lstat(toFifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    const bool dashBefore = std::filesystem::exists("-");
    const ToolRun out = runTool({"save", "-"});
    EXPECT_EQ(out.exit, 0) << out.err;
    ASSERT_GT(out.out.size(), 1000u);
    EXPECT_EQ(out.out.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(out.out.substr(out.out.size() - 2), "\xFF\xD9");
    EXPECT_EQ(std::filesystem::exists("-"), dashBefore) << "no file named -";

    // Another user's directory holding a link to root's: not followed.
    const std::string secret = dir.path() + "/private";
    const std::string theirs = dir.path() + "/theirs";
    ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    ChildProcess plant(asNobody({"/bin/ln", "-s", secret, theirs + "/run1"}));
    ASSERT_TRUE(plant.waitExit(milliseconds(10000)));
    const ToolRun followed = runTool({"record", theirs + "/run1", "--frames", "1"});
    EXPECT_EQ(followed.exit, 1);
    EXPECT_NE(followed.err.find("belongs to another user in a directory others can write"), std::string::npos)
        << followed.err;
    EXPECT_TRUE(std::filesystem::is_empty(secret));
    // A directory of one's own below one that every user can rename in.
    const std::string open = dir.path() + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((open + "/mine").c_str(), 0700), 0);
    const ToolRun below = runTool({"record", open + "/mine/run", "--frames", "1"});
    EXPECT_EQ(below.exit, 1);
    EXPECT_NE(below.err.find("which every user can write"), std::string::npos) << below.err;
    stopProducer();

    // A second user with a producer of its own: its own link in a shared
    // sticky directory is followed, a third user's is not.
    const std::string shared = dir.path() + "/shared";
    const std::string target = dir.path() + "/nobody";
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(clip.c_str(), 0644), 0);
    ChildProcess third({"/usr/bin/setpriv", "--reuid=65533", "--regid=65533", "--clear-groups", "/bin/ln", "-s",
                        target, shared + "/theirs"});
    ChildProcess own(asNobody({"/bin/ln", "-s", target, shared + "/mine"}));
    ASSERT_TRUE(third.waitExit(milliseconds(10000)) && own.waitExit(milliseconds(10000)));
    producer = std::make_unique<ChildProcess>(asNobody({DEMO_PRODUCER_PATH, clip, "15"}));
    ASSERT_TRUE(producer->waitForStdout("Camera started:", milliseconds(30000)));
    ChildProcess viaTheirs(asNobody({FRAMESHARE_PATH, "record", shared + "/theirs/run", "--frames", "1"}));
    ASSERT_TRUE(viaTheirs.waitExit(milliseconds(60000)));
    EXPECT_EQ(viaTheirs.exitCode(), 1);
    EXPECT_NE(viaTheirs.stderrText().find("not followed"), std::string::npos) << viaTheirs.stderrText();
    ChildProcess viaOwn(asNobody({FRAMESHARE_PATH, "record", shared + "/mine/run", "--frames", "1"}));
    ASSERT_TRUE(viaOwn.waitExit(milliseconds(60000)));
    EXPECT_EQ(viaOwn.exitCode(), 0) << viaOwn.stderrText();
    EXPECT_TRUE(std::filesystem::exists(target + "/run/frame_000001.jpg"));
}

TEST_F(FrameshareTest, StreamWaitsForAProducerAndResumesAfterARestart) {
    const int port = startServer();
    ASSERT_GT(port, 0);
    EXPECT_EQ(statusOf(port)["state"], "no producer");
    EXPECT_NE(httpGet(port, "/frame.jpg").find("HTTP/1.1 503"), std::string::npos);
    StreamViewer viewer(port);
    startProducer();
    ASSERT_TRUE(waitUntil([&] { return viewer.parts() >= 2; }, milliseconds(30000)));
    stopProducer();
    std::this_thread::sleep_for(milliseconds(500));
    const int partsWhileAway = viewer.parts();
    startProducer();
    EXPECT_TRUE(waitUntil([&] { return viewer.parts() >= partsWhileAway + 2; }, milliseconds(30000)));
    const std::string frame = httpGet(port, "/frame.jpg");
    EXPECT_NE(frame.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_NE(frame.find("Content-Type: image/jpeg"), std::string::npos);
}

}  // namespace
