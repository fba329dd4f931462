// serve: one poller thread keeps the newest frame; each stream viewer sends
// the newest frame it has not sent yet and skips the ones in between, so a
// slow viewer costs the others nothing and nothing queues up.
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
#include <functional>
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

// Who may hold a worker, and for how long. The library reads a request with
// a timeout per read only, so a client sending one header byte every few
// seconds would keep a worker for ever, and its task queue grows without
// bound. The server below reads each connection itself (the library's
// per-connection hook), gives every request header a deadline and a size
// limit, and answers connections beyond a bounded queue with 503 at once.
constexpr std::int64_t kHeaderDeadlineUs = 10000000;
constexpr std::size_t kHeaderBytes = 64 * 1024;

// The connection the calling worker serves, and when it was accepted.
thread_local int tConnection = -1;
thread_local std::int64_t tAcceptedUs = 0;
thread_local bool tRefuse = false;

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    int rc;
    while ((rc = ::poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return rc > 0;
}

// One connection's socket, read through a small buffer. While a request
// header is due, reads wait no later than its deadline and stop after
// kHeaderBytes.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(int fd, int readTimeoutMs, int writeTimeoutMs)
        : fd_(fd), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}
    void expectHeader(std::int64_t deadlineUs) {
        headerDeadlineUs_ = deadlineUs;
        headerBytes_ = 0;
    }
    void headerDone() { headerDeadlineUs_ = 0; }
    // Waits up to timeoutMs for the next request to begin, in slices so a
    // stopping server is noticed.
    bool awaitRequest(int timeoutMs, const std::function<bool()>& stopping) {
        const std::int64_t end = steadyNowUs() + std::int64_t{timeoutMs} * 1000;
        while (offset_ == filled_ && !waitFor(fd_, POLLIN, 0)) {
            const std::int64_t left = std::min(end, headerDeadlineUs_) - steadyNowUs();
            if (stopping() || left <= 0) {
                return false;
            }
            if (waitFor(fd_, POLLIN, static_cast<int>(std::min<std::int64_t>(left / 1000 + 1, 100)))) {
                return true;
            }
        }
        return true;
    }

    bool is_readable() const override { return offset_ < filled_ || waitFor(fd_, POLLIN, readWaitMs()); }
    bool is_writable() const override { return waitFor(fd_, POLLOUT, writeTimeoutMs_); }
    ssize_t read(char* ptr, std::size_t size) override {
        if (offset_ == filled_) {
            if ((headerDeadlineUs_ != 0 && headerBytes_ >= kHeaderBytes) || !is_readable()) {
                return -1;
            }
            ssize_t n;
            while ((n = ::recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT)) < 0 && errno == EINTR) {
            }
            if (n <= 0) {
                return n == 0 ? 0 : -1;
            }
            offset_ = 0;
            filled_ = static_cast<std::size_t>(n);
        }
        const std::size_t n = std::min(size, filled_ - offset_);
        std::memcpy(ptr, buffer_ + offset_, n);
        offset_ += n;
        headerBytes_ += n;
        return static_cast<ssize_t>(n);
    }
    // All or nothing: the library takes some short writes for whole ones.
    // Each wait for room lasts up to the write timeout.
    ssize_t write(const char* ptr, std::size_t size) override {
        std::size_t done = 0;
        while (done < size) {
            if (!is_writable()) {
                return -1;
            }
            const ssize_t n = ::send(fd_, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                return -1;
            }
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    int readWaitMs() const {
        if (headerDeadlineUs_ == 0) {
            return readTimeoutMs_;
        }
        const std::int64_t left = (headerDeadlineUs_ - steadyNowUs() + 999) / 1000;
        return static_cast<int>(std::clamp<std::int64_t>(left, 0, readTimeoutMs_));
    }
    void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        char host[NI_MAXHOST];
        char service[NI_MAXSERV];
        if (get(fd_, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
            ::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, service, sizeof service,
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    int fd_;
    int readTimeoutMs_;
    int writeTimeoutMs_;
    std::int64_t headerDeadlineUs_ = 0;
    std::size_t headerBytes_ = 0;
    char buffer_[4096];
    std::size_t offset_ = 0;
    std::size_t filled_ = 0;
};

// A fixed set of workers and a queue of at most as many connections again;
// a connection beyond that is refused on the accepting thread at once.
class BoundedPool : public httplib::TaskQueue {
public:
    explicit BoundedPool(std::size_t workers) : maxPending_(workers) {
        for (std::size_t i = 0; i < workers; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }
    void enqueue(std::function<void()> task) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (jobs_.size() < maxPending_ && !shutdown_) {
                jobs_.emplace_back(std::move(task), steadyNowUs());
                ready_.notify_one();
                return;
            }
        }
        tRefuse = true;  // the task answers 503 without reading, and closes
        task();
        tRefuse = false;
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

private:
    void work() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            tAcceptedUs = job.second;
            job.first();
        }
    }

    const std::size_t maxPending_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<std::function<void()>, std::int64_t>> jobs_;
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};

class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(std::size_t workers) {
        new_task_queue = [workers] { return new BoundedPool(workers); };
    }
    // The library listens with a backlog of 5: a burst of connections beyond
    // it has its SYNs dropped and retried seconds later, so the refusal at
    // accept (or the service) comes late. A second listen() only widens it.
    void widenBacklog() {
        if (svr_sock_ != INVALID_SOCKET) {
            ::listen(svr_sock_, SOMAXCONN);
        }
    }

private:
    // The library calls this once for each accepted connection.
    bool process_and_close_socket(socket_t sock) override {
        if (tRefuse) {
            refuse(sock);
        } else if (svr_sock_ != INVALID_SOCKET) {
            serve(sock);
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return true;
    }
    void serve(int sock) {
        // A viewer whose machine went away without closing is found by
        // keep-alive probes, not only when a write fails.
        const int on = 1, idle = 10, interval = 5, count = 3;
        ::setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        ConnectionStream stream(sock, static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
                                static_cast<int>(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
        const auto stopping = [this] { return svr_sock_ == INVALID_SOCKET; };
        tConnection = sock;
        std::int64_t waitingSince = tAcceptedUs != 0 ? tAcceptedUs : steadyNowUs();
        for (std::size_t left = keep_alive_max_count_; left > 0 && !stopping(); --left) {
            stream.expectHeader(waitingSince + kHeaderDeadlineUs);
            if (!stream.awaitRequest(static_cast<int>(keep_alive_timeout_sec_ * 1000), stopping)) {
                break;
            }
            bool closed = false;
            bool another = false;  // only after a whole header of a GET or HEAD
            const bool ok = process_request(stream, left == 1, closed, [&](httplib::Request& req) {
                stream.headerDone();
                // Other methods are refused before their body is read; what
                // follows in the connection is that body, not a request.
                another = req.method == "GET" || req.method == "HEAD";
            });
            if (!ok || closed || !another) {
                break;
            }
            waitingSince = steadyNowUs();
        }
        tConnection = -1;
    }
    void refuse(int sock) {
        static const std::string body = "Too many connections. Try again later.\n";
        static const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
                                        std::to_string(body.size()) +
                                        "\r\nRetry-After: 5\r\nConnection: close\r\n\r\n" + body;
        ::send(sock, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        const std::int64_t now = steadyNowUs();
        if (now - lastRefusalLogUs_ >= 10000000) {  // at most a line every 10 s under a flood
            lastRefusalLogUs_ = now;
            logLine("too many connections: answering new ones 503");
        }
    }

    std::int64_t lastRefusalLogUs_ = -10000000;  // the accepting thread's only
};

// False when the peer of a stream has closed its end: with no frame to send,
// no failed write would tell. Bytes it sends meanwhile are dropped; a stream
// takes no further request.
bool peerStillThere(int fd) {
    if (fd < 0) {
        return true;
    }
    char scratch[4096];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
    return true;
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
    GuardedServer server(static_cast<std::size_t>(options.maxViewers) + 16);
    // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second
    // server share a taken port silently.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_write_timeout(options.writeTimeoutSeconds, 0);
    server.set_keep_alive_timeout(5);
    // Only GET and HEAD are served: any other request is answered before its
    // body is read, so no body is ever held in memory.
    server.set_payload_max_length(64 * 1024);
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "GET" || req.method == "HEAD") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");
        res.set_content("Only GET and HEAD are served.\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });

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
        const int connection = tConnection;  // the provider runs on this worker, for this connection
        res.set_content_provider(
            std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
            [&latest, sent, connection](std::size_t, httplib::DataSink& sink) {
                const SharedFrame frame = latest.waitNewer(*sent, std::chrono::milliseconds(250));
                if (!frame.jpeg) {
                    // Nothing new yet: asked again unless stopping or the viewer left.
                    return !latest.stopping() && peerStillThere(connection);
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
    server.widenBacklog();
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
