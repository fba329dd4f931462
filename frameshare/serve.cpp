// serve's life: the poller, the server, and a stop on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <thread>

#include "commands.h"
#include "frame_cache.h"
#include "http_server.h"
#include "output.h"
#include "reencode.h"
#include "routes.h"
#include "status.h"

namespace frameshare {

namespace {

std::string hostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int runServe(const ServeOptions& options) {
    // Signals go to one thread that waits for them, so stopping happens in
    // ordinary code. Blocked before any thread starts, so every thread
    // inherits the mask.
    const sigset_t stopSignals = blockStopSignals();

    Credentials credentials;
    if (!options.authFile.empty()) {
        std::string error;
        if (!credentials.load(options.authFile, &error)) {
            writeError("Error: " + error);
            return kExitError;
        }
    }

    // Each connection takes two descriptors (the library's and the one its
    // deadline is enforced through): allow as many as the system lets us.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    LatestFrame latest;
    std::atomic<int> viewers{0};
    HttpServerOptions serverOptions;
    serverOptions.host = options.host;
    serverOptions.port = options.port;
    serverOptions.maxConnections = 2 * (static_cast<unsigned>(options.maxViewers) + 16);
    serverOptions.writeTimeoutSeconds = options.writeTimeoutSeconds;
    serverOptions.credentials = &credentials;
    HttpServer server(serverOptions, makeRoutes(&latest, &viewers, options));
    std::string error;
    if (!server.bind(&error)) {
        writeError("Error: cannot listen on " + hostForUrl(options.host) + ":" + std::to_string(options.port) + ": " +
                   error);
        return kExitError;
    }

    PollerOptions pollerOptions;
    pollerOptions.logChanges = true;
    pollerOptions.maxFps = options.maxFps;
    pollerOptions.viewers = [&viewers] { return viewers.load(); };
    std::shared_ptr<JpegReencoder> reencoder;
    if (options.quality > 0 || options.width > 0) {
        reencoder = std::make_shared<JpegReencoder>(options.quality > 0 ? options.quality : kDefaultQuality,
                                                    options.width);
        pollerOptions.transform = [reencoder](const std::uint8_t* data, std::size_t size) {
            return reencoder->convert(data, size);
        };
    }
    latest.onPublish([&server] { server.wakeStreams(); });

    if (!server.start(&error)) {
        writeError("Error: " + error);
        return kExitError;
    }
    writeOut("Serving http://" + hostForUrl(options.host) + ":" + std::to_string(server.port()) +
             "/ (stream /stream.mjpg, frame /frame.jpg, status /status.json; at most " +
             std::to_string(options.maxViewers) + " viewers)\n");
    if (!server.loopbackOnly() && credentials.empty()) {
        writeError("Warning: listening beyond loopback without --auth-file: anyone who can reach this address can "
                   "watch the camera (plain HTTP, unauthenticated)");
    }

    int signal = 0;
    {
        FramePoller poller(&latest, pollerOptions);
        sigwait(&stopSignals, &signal);
        logLine(std::string("caught ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
        latest.stop();
        server.stop();
    }
    writeOut("Stopped.\n");
    return kExitOk;
}

}  // namespace frameshare
