// The subcommands; each returns the process's exit status.
#pragma once

#include <string>

namespace frameshare {

int runStatus(bool json);
int runSave(const std::string& path);

struct RecordOptions {
    std::string directory;
    long frames = 0;      // 0: not bounded by a count
    double seconds = 0;   // 0: not bounded by time (neither: until Ctrl-C)
    double stallSeconds = 5;
};
int runRecord(const RecordOptions& options);

// The quality frames are re-encoded at when only --width is given.
constexpr int kDefaultQuality = 80;

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;
    int maxViewers = 16;
    int writeTimeoutSeconds = 5;
    std::string authFile;  // user:password lines; empty: no authentication
    int quality = 0;       // 0: the producer's bytes as they are (unless --width)
    int width = 0;         // 0: the producer's width
    double maxFps = 0;     // 0: every new frame
};
int runServe(const ServeOptions& options);

struct RtspOptions {
    std::string host = "127.0.0.1";
    int port = 8554;
    std::string path = "/camera";
    int bitrateKbit = 4000;
    int width = 0;    // 0: the producer's
    double fps = 0;   // 0: the producer's
    std::string encoder = "auto";
    std::string authFile;
};
int runRtsp(const RtspOptions& options);

}  // namespace frameshare
