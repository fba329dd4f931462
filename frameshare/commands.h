// The subcommands; each returns the process's exit status.
#pragma once

#include <string>

namespace frameshare {

int runStatus(bool json);
int runSave(const std::string& path);

struct RecordOptions {
    std::string directory;
    long frames = 0;      // 0: not bounded by a count
    double seconds = 0;   // 0: not bounded by time
    double stallSeconds = 5;
};
int runRecord(const RecordOptions& options);

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;
    int maxViewers = 16;
    int writeTimeoutSeconds = 5;
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
