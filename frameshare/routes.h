// What serve answers on each path.
#pragma once

#include <atomic>

#include "commands.h"
#include "frame_cache.h"
#include "http_server.h"

namespace frameshare {

// The handler for: / (the page), /stream.mjpg, /frame.jpg and /status.json.
// `viewers` counts the streams open; both outlive the server.
HttpServer::Handler makeRoutes(LatestFrame* latest, std::atomic<int>* viewers, const ServeOptions& options);

}  // namespace frameshare
