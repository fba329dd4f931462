// serve: one poller thread keeps the newest frame; each stream viewer sends
// the newest frame it has not sent yet and skips the ones in between, so a
// slow viewer costs the others nothing and nothing queues up.
#include <httplib.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "commands.h"
#include "frames.h"
#include "output.h"
#include "page.h"
#include "status.h"

namespace frameshare {
namespace {

constexpr const char* kBoundary = "frameshare-boundary";

void logLine(const std::string& text) { writeOut(formatWallTime(wallNowUs()) + " " + text + "\n"); }

struct SharedFrame {
    std::shared_ptr<const std::vector<std::uint8_t>> jpeg;
    std::uint64_t sequence = 0;
    std::int64_t timestampUs = 0;
};

class LatestFrame {
public:
    void publish(const Fetched& fetched, std::shared_ptr<const std::vector<std::uint8_t>> jpeg) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frame_.jpeg = std::move(jpeg);
            frame_.timestampUs = fetched.timestamp;
            ++frame_.sequence;
            last_ = fetched;
            meter_.add(steadyNowUs());
        }
        changed_.notify_all();
    }
    void setState(const Fetched& fetched) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = fetched;
        if (fetched.state != FetchState::Frame) {
            frame_.jpeg.reset();  // /frame.jpg answers with what is current, not with a frame of a gone producer
        }
    }
    // The newest frame when it is newer than `after`, else an empty one after
    // the timeout or a stop.
    SharedFrame waitNewer(std::uint64_t after, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return stopping_ || (frame_.jpeg && frame_.sequence > after); });
        if (stopping_ || !frame_.jpeg || frame_.sequence <= after) {
            return {};
        }
        return frame_;
    }
    SharedFrame current() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frame_;
    }
    StatusReport report() {
        std::lock_guard<std::mutex> lock(mutex_);
        StatusReport report;
        report.ratePerSecond = meter_.perSecond(steadyNowUs());
        Fetched shown = last_;
        if (shown.state == FetchState::Frame && !frame_.jpeg) {
            shown.state = FetchState::NoFrameYet;
        }
        if (frame_.jpeg) {
            // The frame kept, not the segment's newest header: a record may
            // change its size and keep its timestamp.
            shown.size = static_cast<std::uint32_t>(frame_.jpeg->size());
            shown.timestamp = frame_.timestampUs;
        }
        describeFrame(shown, frame_.jpeg ? frame_.jpeg->data() : nullptr, &report);
        return report;
    }
    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
    }
    // Sleeps up to the timeout; true once stopping.
    // Someone wants fresh frames: a viewer, the page, a /frame.jpg client.
    void noteInterest() { lastInterestUs_.store(steadyNowUs()); }
    bool interested(int viewers) const { return viewers > 0 || steadyNowUs() - lastInterestUs_.load() < 5000000; }
    bool sleepUnlessStopping(std::chrono::microseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return stopping_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    SharedFrame frame_;
    Fetched last_;
    RateMeter meter_;
    bool stopping_ = false;
    std::atomic<std::int64_t> lastInterestUs_{0};
};

// Polls get_frame_data, whose every call maps the segment and copies a whole
// record: that is the bulk of the server's cost. So right after a new frame
// it sleeps most of the producer's period instead of polling through it, and
// with nobody watching it polls ten times a second.
void pollFrames(LatestFrame* latest, const std::atomic<int>* viewers) {
    FrameFetcher fetcher;
    std::int64_t lastTimestamp = 0;
    // The producer's period: the median gap between recent capture times,
    // which a skipped frame or a slow poll hardly moves.
    std::deque<std::int64_t> gaps;
    FetchState reported = FetchState::Frame;
    bool first = true;
    std::chrono::microseconds pause(4000);
    do {
        const Fetched fetched = fetcher.fetch();
        if (first || fetched.state != reported) {
            switch (fetched.state) {
                case FetchState::NoProducer:
                    logLine("no producer: waiting for one to start");
                    break;
                case FetchState::NoFrameYet:
                    logLine("producer running, no frame yet");
                    break;
                case FetchState::Error:
                    logLine(std::string("segment unreadable: ") + std::strerror(fetched.error));
                    break;
                case FetchState::Frame:
                    logLine("producer publishing");
                    break;
            }
            reported = fetched.state;
            first = false;
        }
        pause = std::chrono::microseconds(4000);
        if (fetched.state == FetchState::Frame && fetched.timestamp != lastTimestamp) {
            if (lastTimestamp != 0 && fetched.timestamp > lastTimestamp) {
                gaps.push_back(fetched.timestamp - lastTimestamp);
                if (gaps.size() > 15) {
                    gaps.pop_front();
                }
            }
            lastTimestamp = fetched.timestamp;
            latest->publish(fetched, fetcher.copy(fetched));
            if (!gaps.empty()) {
                std::vector<std::int64_t> sorted(gaps.begin(), gaps.end());
                std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
                const std::int64_t rest = sorted[sorted.size() / 2] * 3 / 4;
                pause = std::chrono::microseconds(std::clamp<std::int64_t>(rest, 2000, 100000));
            }
        } else {
            if (fetched.state != FetchState::Frame) {
                lastTimestamp = 0;
                gaps.clear();
                pause = std::chrono::microseconds(fetched.state == FetchState::NoProducer ? 50000 : 4000);
            }
            latest->setState(fetched);
        }
        if (!latest->interested(viewers->load())) {
            pause = std::chrono::microseconds(100000);
        }
    } while (!latest->sleepUnlessStopping(pause));
}

// Why binding failed, found by trying the same bind: the server library
// reports only that it failed.
std::string bindProblem(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        return std::string("cannot resolve the address: ") + gai_strerror(rc);
    }
    int error = 0;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const int sock = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (sock < 0) {
            error = errno;
            continue;
        }
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        const bool bound = ::bind(sock, entry->ai_addr, entry->ai_addrlen) == 0 && ::listen(sock, 1) == 0;
        error = bound ? 0 : errno;
        ::close(sock);
        if (!bound) {
            break;
        }
    }
    ::freeaddrinfo(found);
    if (error == EADDRINUSE) {
        return "the port is taken (Address already in use)";
    }
    return error != 0 ? std::strerror(error) : "the server could not use the socket";
}

std::string hostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int runServe(const ServeOptions& options) {
    // Signals go to one thread that waits for them, so stopping the server
    // happens in ordinary code. Blocked before any thread starts, so every
    // thread inherits the mask.
    const sigset_t stopSignals = blockStopSignals();

    LatestFrame latest;
    std::atomic<int> viewers{0};
    httplib::Server server;
    const auto threads = static_cast<std::size_t>(options.maxViewers) + 16;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second
    // server share a taken port silently.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_write_timeout(options.writeTimeoutSeconds, 0);
    server.set_keep_alive_timeout(5);

    server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kPage, "text/html; charset=utf-8"); });
    server.Get("/status.json", [&](const httplib::Request&, httplib::Response& res) {
        latest.noteInterest();
        StatusReport report = latest.report();
        report.registry = readRegistry();
        nlohmann::json json = statusJson(report);
        json["server"] = {{"viewers", viewers.load()}, {"max_viewers", options.maxViewers}};
        res.set_header("Cache-Control", "no-store");
        res.set_content(json.dump(), "application/json");
    });
    server.Get("/frame.jpg", [&](const httplib::Request&, httplib::Response& res) {
        latest.noteInterest();
        const SharedFrame frame = latest.current();
        res.set_header("Cache-Control", "no-store");
        if (!frame.jpeg) {
            res.status = 503;
            res.set_header("Retry-After", "1");
            res.set_content("No frame: the producer is not publishing.\n", "text/plain");
            return;
        }
        res.set_header("X-Timestamp-Us", std::to_string(frame.timestampUs));
        res.set_content(reinterpret_cast<const char*>(frame.jpeg->data()), frame.jpeg->size(), "image/jpeg");
    });
    server.Get("/stream.mjpg", [&](const httplib::Request&, httplib::Response& res) {
        if (viewers.fetch_add(1) >= options.maxViewers) {
            viewers.fetch_sub(1);
            res.status = 503;
            res.set_header("Retry-After", "5");
            res.set_content("Too many viewers: this server streams to at most " + std::to_string(options.maxViewers) +
                                " at a time. Try again later.\n",
                            "text/plain");
            return;
        }
        res.status = 200;  // a Range header would otherwise turn the endless stream into a 206
        res.set_header("Cache-Control", "no-store");
        auto sent = std::make_shared<std::uint64_t>(0);
        res.set_content_provider(
            std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
            [&latest, sent](std::size_t, httplib::DataSink& sink) {
                const SharedFrame frame = latest.waitNewer(*sent, std::chrono::milliseconds(250));
                if (!frame.jpeg) {
                    return !latest.stopping();  // nothing new yet: asked again unless stopping
                }
                *sent = frame.sequence;
                const std::string head = std::string("--") + kBoundary +
                                         "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                         std::to_string(frame.jpeg->size()) +
                                         "\r\nX-Timestamp-Us: " + std::to_string(frame.timestampUs) + "\r\n\r\n";
                return sink.write(head.data(), head.size()) &&
                       sink.write(reinterpret_cast<const char*>(frame.jpeg->data()), frame.jpeg->size()) &&
                       sink.write("\r\n", 2);
            },
            [&viewers](bool) { viewers.fetch_sub(1); });
    });
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        if (req.path == "/status.json" && res.status == 200) {
            return;  // the page asks every second
        }
        logLine(req.method + " " + req.path + " " + std::to_string(res.status) + " " + req.remote_addr);
    });

    int port = options.port;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(options.host)) > 0
                                 : server.bind_to_port(options.host, port);
    if (!bound) {
        writeError("Error: cannot listen on " + hostForUrl(options.host) + ":" + std::to_string(options.port) + ": " +
                   bindProblem(options.host, options.port));
        return kExitError;
    }
    writeOut("Serving http://" + hostForUrl(options.host) + ":" + std::to_string(port) +
             "/ (stream /stream.mjpg, frame /frame.jpg, status /status.json; at most " +
             std::to_string(options.maxViewers) + " viewers)\n");

    std::atomic<bool> listening{true};
    std::thread poller(pollFrames, &latest, &viewers);
    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (listening.load()) {
            logLine(std::string("caught ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
        }
        latest.stop();
        // stop() before the accept loop runs would be lost: wait for it.
        while (listening.load() && !server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (listening.load()) {
            server.stop();
        }
    });
    const bool ok = server.listen_after_bind();
    listening.store(false);
    latest.stop();
    pthread_kill(signalWaiter.native_handle(), SIGTERM);  // a no-op once it has taken a signal
    signalWaiter.join();
    poller.join();
    if (!ok) {
        writeError("Error: the server stopped unexpectedly");
        return kExitError;
    }
    writeOut("Stopped.\n");
    return kExitOk;
}

}  // namespace frameshare
