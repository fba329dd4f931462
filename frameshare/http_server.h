// serve's HTTP server and what it allows one client: a bounded number of
// connections (the next is answered 503 at once), a deadline and a size
// limit for each request header, a timeout for a client that stops reading,
// requests with a foreign Host turned away on a loopback address, and HTTP
// Basic authentication when credentials are given. Routes are a function
// from a request to a response.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "access.h"
#include "frame_cache.h"
#include "scoped_fd.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace frameshare {

struct HttpRequest {
    std::string method;
    std::string path;
};

// An endless body made piece by piece, such as a stream of frames.
class StreamBody {
public:
    virtual ~StreamBody() = default;
    // Copies up to `max` bytes to `buffer`. Returns their count; 0 when there
    // is nothing to send yet (the server asks again after wakeStreams(), or
    // a quarter of a second later); -1 to end the response.
    virtual long read(char* buffer, std::size_t max) = 0;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string text;                   // the body, unless one of the two below is set
    FrameBytes bytes;                   // a body shared, not copied
    std::unique_ptr<StreamBody> stream;  // an endless body; the connection closes after it
    bool logged = true;
};

struct HttpServerOptions {
    std::string host = "127.0.0.1";
    int port = 8080;
    unsigned maxConnections = 64;
    int writeTimeoutSeconds = 5;  // a client that reads nothing that long is dropped
    const Credentials* credentials = nullptr;  // null or empty: no authentication
};

class HttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    HttpServer(HttpServerOptions options, Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the listening socket. False with the reason in *error.
    bool bind(std::string* error);
    int port() const { return port_; }
    bool loopbackOnly() const { return loopback_; }
    // Serves on threads of its own until stop(). False with the reason.
    bool start(std::string* error);
    // Streams that had nothing to send look again (say, a new frame).
    void wakeStreams();
    // Closes every connection and returns once no callback runs.
    void stop();

    // The library's callbacks; public only so the C functions can reach them.
    struct Client;
    struct Stream;
    int answer(MHD_Connection* connection, const char* url, const char* method, void** requestState);
    void connectionStarted(MHD_Connection* connection, void** socketContext);
    void connectionClosed(void** socketContext);
    void requestCompleted(void* socketContext);
    long readStream(Stream* stream, char* buffer, std::size_t max);
    void freeStream(Stream* stream);

private:
    void acceptLoop();
    void refuse(ScopedFd socket);
    void enforceHeaderDeadlines();
    int queue(MHD_Connection* connection, HttpResponse& response);

    HttpServerOptions options_;
    Handler handler_;
    ScopedFd listenFd_;
    int port_ = 0;
    bool loopback_ = true;
    ScopedFd wakeRead_;  // the accepting thread's wake-up pipe
    ScopedFd wakeWrite_;
    MHD_Daemon* daemon_ = nullptr;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};

    std::mutex clientsMutex_;
    // Every open connection, by its socket's inode: a descriptor number may
    // be reused before the library reports the old one closed.
    std::unordered_map<std::uint64_t, std::shared_ptr<Client>> clients_;

    std::mutex streamsMutex_;
    std::vector<Stream*> parked_;  // suspended until there is something to send
    std::uint64_t wakeups_ = 0;

    std::int64_t lastRefusalLogUs_ = -10000000;  // the accepting thread's only
};

}  // namespace frameshare
