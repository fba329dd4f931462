#include "http_server.h"

#include <microhttpd.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "output.h"

namespace frameshare {

namespace {

// A client has this long, from connecting or from its previous response, to
// send a whole request header.
constexpr std::int64_t kHeaderDeadlineUs = 10000000;
// Everything the library keeps for one connection, a request header
// included: a larger header is answered 431 and the connection closed.
constexpr std::size_t kConnectionMemory = 64 * 1024;
constexpr std::size_t kStreamBlock = 64 * 1024;

std::uint64_t inodeOf(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

std::string numericAddress(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    if (address == nullptr ||
        ::getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "?";
    }
    return host;
}

// False when the peer has closed its end: with nothing to send, no failed
// write would tell. Peeks only: the bytes stay for the library.
bool peerStillThere(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

MHD_Result toResult(int ok) { return ok != 0 ? MHD_YES : MHD_NO; }

}  // namespace

struct HttpServer::Client {
    ScopedFd fd;  // a duplicate, so a shutdown always reaches this connection's socket
    std::uint64_t inode = 0;
    std::int64_t headerDeadlineUs = 0;  // 0: no request header due
    bool cut = false;
};

struct HttpServer::Stream {
    HttpServer* server;
    MHD_Connection* connection;
    int fd;
    std::unique_ptr<StreamBody> body;
};

namespace {

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char*, size_t* uploadSize, void** requestState) {
    if (*requestState != nullptr) {
        *uploadSize = 0;  // the body of a request answered before it was read: dropped
        return MHD_YES;
    }
    return toResult(static_cast<HttpServer*>(cls)->answer(connection, url, method, requestState));
}

void onConnection(void* cls, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        server->connectionStarted(connection, socketContext);
    } else {
        server->connectionClosed(socketContext);
    }
}

void onCompleted(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr) {
        static_cast<HttpServer*>(cls)->requestCompleted(info->socket_context);
    }
}

ssize_t onStreamRead(void* cls, uint64_t, char* buffer, size_t max) {
    auto* stream = static_cast<HttpServer::Stream*>(cls);
    return stream->server->readStream(stream, buffer, max);
}

void onStreamFree(void* cls) {
    auto* stream = static_cast<HttpServer::Stream*>(cls);
    stream->server->freeStream(stream);
}

void releaseBytes(void* cls) { delete static_cast<FrameBytes*>(cls); }

}  // namespace

HttpServer::HttpServer(HttpServerOptions options, Handler handler)
    : options_(std::move(options)), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(options_.host.c_str(), std::to_string(options_.port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = std::string("cannot resolve the address: ") + gai_strerror(rc);
        return false;
    }
    int problem = EADDRNOTAVAIL;
    for (addrinfo* entry = found; entry != nullptr && !listenFd_.valid(); entry = entry->ai_next) {
        ScopedFd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, entry->ai_protocol));
        if (!fd.valid()) {
            problem = errno;
            continue;
        }
        // SO_REUSEADDR only: SO_REUSEPORT would let a second server share a
        // taken port silently.
        const int yes = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd.get(), entry->ai_addr, entry->ai_addrlen) == 0 && ::listen(fd.get(), SOMAXCONN) == 0) {
            listenFd_ = std::move(fd);
        } else {
            problem = errno;
        }
    }
    ::freeaddrinfo(found);
    if (!listenFd_.valid()) {
        *error = problem == EADDRINUSE ? "the port is taken (Address already in use)" : std::strerror(problem);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listenFd_.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    loopback_ = isLoopbackAddress(numericAddress(reinterpret_cast<sockaddr*>(&bound), length));
    return true;
}

bool HttpServer::start(std::string* error) {
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    wakeRead_.reset(wake[0]);
    wakeWrite_.reset(wake[1]);
    // One thread serves every connection: a slow client costs a socket and a
    // little memory, never a thread.
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr,
        &onRequest, this, MHD_OPTION_CONNECTION_LIMIT, options_.maxConnections + 8,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(options_.writeTimeoutSeconds),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION, &onConnection, this,
        MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, this, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *error = "the HTTP server could not start";
        return false;
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void HttpServer::stop() {
    if (daemon_ == nullptr || stopping_.exchange(true)) {
        return;
    }
    const char byte = 0;
    if (::write(wakeWrite_.get(), &byte, 1) < 0) {
        // the loop notices stopping_ within its tick anyway
    }
    acceptThread_.join();
    wakeStreams();  // a suspended connection would outlive the library's stop
    MHD_stop_daemon(daemon_);
    std::lock_guard<std::mutex> lock(clientsMutex_);
    clients_.clear();
}

void HttpServer::acceptLoop() {
    while (!stopping_.load()) {
        pollfd fds[2] = {{listenFd_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        ::poll(fds, 2, 250);
        char drain[64];
        while (::read(wakeRead_.get(), drain, sizeof drain) > 0) {
        }
        for (int burst = 0; burst < 64 && !stopping_.load(); ++burst) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            ScopedFd socket(::accept4(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), &length,
                                      SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!socket.valid()) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of descriptors: waiting beats spinning on a
                    // listening socket that stays readable.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                break;
            }
            // A viewer whose machine went away without closing is found by
            // keep-alive probes, not only when a write times out.
            const int on = 1, idle = 10, interval = 5, count = 3;
            ::setsockopt(socket.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
            ::setsockopt(socket.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
            ::setsockopt(socket.get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
            ::setsockopt(socket.get(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
            auto client = std::make_shared<Client>();
            client->fd.reset(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 3));
            client->inode = inodeOf(socket.get());
            client->headerDeadlineUs = steadyNowUs() + kHeaderDeadlineUs;
            bool room = false;
            {
                std::lock_guard<std::mutex> lock(clientsMutex_);
                room = clients_.size() < options_.maxConnections && client->fd.valid() && client->inode != 0;
                if (room) {
                    clients_[client->inode] = client;
                }
            }
            if (!room) {
                refuse(std::move(socket));
                continue;
            }
            // The library owns the socket from here, and closes it even when
            // it turns the connection down.
            if (MHD_add_connection(daemon_, socket.release(), reinterpret_cast<sockaddr*>(&address), length) !=
                MHD_YES) {
                std::lock_guard<std::mutex> lock(clientsMutex_);
                clients_.erase(client->inode);
            }
        }
        enforceHeaderDeadlines();
        // Parked streams look again every tick: a viewer that closed its
        // connection while there was nothing to send is counted out.
        wakeStreams();
    }
}

void HttpServer::refuse(ScopedFd socket) {
    static const std::string body = "Too many connections. Try again later.\n";
    static const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
                                    std::to_string(body.size()) +
                                    "\r\nRetry-After: 5\r\nConnection: close\r\n\r\n" + body;
    ::send(socket.get(), busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(socket.get(), SHUT_RDWR);
    socket.reset();
    const std::int64_t now = steadyNowUs();
    if (now - lastRefusalLogUs_ >= 10000000) {  // at most a line every 10 s under a flood
        lastRefusalLogUs_ = now;
        logLine("too many connections: answering new ones 503");
    }
}

void HttpServer::enforceHeaderDeadlines() {
    const std::int64_t now = steadyNowUs();
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (auto& entry : clients_) {
        Client& client = *entry.second;
        if (!client.cut && client.headerDeadlineUs != 0 && now >= client.headerDeadlineUs) {
            client.cut = true;
            ::shutdown(client.fd.get(), SHUT_RDWR);  // the library sees the end and closes it
        }
    }
}

void HttpServer::connectionStarted(MHD_Connection* connection, void** socketContext) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const std::uint64_t inode = info != nullptr ? inodeOf(info->connect_fd) : 0;
    std::lock_guard<std::mutex> lock(clientsMutex_);
    const auto found = clients_.find(inode);
    *socketContext = found != clients_.end() ? found->second.get() : nullptr;
}

void HttpServer::connectionClosed(void** socketContext) {
    auto* client = static_cast<Client*>(*socketContext);
    *socketContext = nullptr;
    if (client == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(clientsMutex_);
    const auto found = clients_.find(client->inode);
    if (found != clients_.end() && found->second.get() == client) {
        clients_.erase(found);
    }
}

void HttpServer::requestCompleted(void* socketContext) {
    if (auto* client = static_cast<Client*>(socketContext)) {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        client->headerDeadlineUs = steadyNowUs() + kHeaderDeadlineUs;
    }
}

int HttpServer::answer(MHD_Connection* connection, const char* url, const char* method, void** requestState) {
    *requestState = this;  // the header is in; what follows is this request's body
    const MHD_ConnectionInfo* context = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (context != nullptr && context->socket_context != nullptr) {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        static_cast<Client*>(context->socket_context)->headerDeadlineUs = 0;
    }
    const HttpRequest request{method, url};
    HttpResponse response;
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    const bool authenticating = options_.credentials != nullptr && !options_.credentials->empty();
    bool authorized = !authenticating;
    if (authenticating) {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        authorized = user != nullptr && password != nullptr && options_.credentials->accepts(user, password);
        MHD_free(user);
        MHD_free(password);
    }
    if (loopback_ && host != nullptr && !isLoopbackHost(host)) {
        // A page from another site that made its own name resolve here.
        response.status = 421;
        response.text = "This server answers only to a loopback name, such as 127.0.0.1 or localhost.\n";
    } else if (!authorized) {
        response.status = 401;
        response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"frameshare\", charset=\"UTF-8\"");
        response.text = "Authentication required.\n";
    } else if (request.method != "GET" && request.method != "HEAD") {
        // Answered before any body is read, so no body is held in memory.
        response.status = 405;
        response.headers.emplace_back("Allow", "GET, HEAD");
        response.text = "Only GET and HEAD are served.\n";
    } else {
        response = handler_(request);
    }
    if (response.status >= 400) {
        response.headers.emplace_back("Connection", "close");
    }
    const int queued = queue(connection, response);
    if (queued == MHD_YES && response.logged) {
        const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const sockaddr* address = peer != nullptr ? peer->client_addr : nullptr;
        const socklen_t length =
            address != nullptr && address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        logLine(escapeForLog(request.method) + " " + escapeForLog(request.path) + " " +
                std::to_string(response.status) + " " + numericAddress(address, length));
    }
    return queued;
}

int HttpServer::queue(MHD_Connection* connection, HttpResponse& response) {
    MHD_Response* reply = nullptr;
    if (response.stream) {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        auto* stream =
            new Stream{this, connection, info != nullptr ? info->connect_fd : -1, std::move(response.stream)};
        reply = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, &onStreamRead, stream, &onStreamFree);
        if (reply == nullptr) {
            delete stream;
            return MHD_NO;
        }
        // The stream's bytes as they are, not in chunks: every MJPEG client
        // reads that, and the end of the connection ends the stream.
        MHD_set_response_options(reply, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END);
    } else if (response.bytes) {
        auto* kept = new FrameBytes(response.bytes);
        // The library only reads the buffer; the cast is its older signature's.
        reply = MHD_create_response_from_buffer_with_free_callback_cls(
            response.bytes->size(), const_cast<std::uint8_t*>(response.bytes->data()), &releaseBytes, kept);
        if (reply == nullptr) {
            delete kept;
            return MHD_NO;
        }
    } else {
        reply = MHD_create_response_from_buffer(response.text.size(), response.text.data(), MHD_RESPMEM_MUST_COPY);
        if (reply == nullptr) {
            return MHD_NO;
        }
    }
    MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    for (const auto& header : response.headers) {
        MHD_add_response_header(reply, header.first.c_str(), header.second.c_str());
    }
    const MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
    MHD_destroy_response(reply);
    return ok;
}

long HttpServer::readStream(Stream* stream, char* buffer, std::size_t max) {
    std::uint64_t wakeups;
    {
        std::lock_guard<std::mutex> lock(streamsMutex_);
        wakeups = wakeups_;
    }
    if (stopping_.load()) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    const long n = stream->body->read(buffer, max);
    if (n != 0) {
        return n > 0 ? n : MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (!peerStillThere(stream->fd)) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    std::lock_guard<std::mutex> lock(streamsMutex_);
    if (stopping_.load()) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (wakeups == wakeups_) {
        // Nothing to send: parked until the next wake, which cannot be lost
        // as it takes the same lock.
        parked_.push_back(stream);
        MHD_suspend_connection(stream->connection);
    }
    return 0;
}

void HttpServer::freeStream(Stream* stream) {
    {
        std::lock_guard<std::mutex> lock(streamsMutex_);
        parked_.erase(std::remove(parked_.begin(), parked_.end(), stream), parked_.end());
    }
    delete stream;
}

void HttpServer::wakeStreams() {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    ++wakeups_;
    for (Stream* stream : parked_) {
        MHD_resume_connection(stream->connection);
    }
    parked_.clear();
}

}  // namespace frameshare
