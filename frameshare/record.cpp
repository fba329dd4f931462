// status, save and record: one process, one thread.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "commands.h"
#include "frame_cache.h"
#include "files.h"
#include "frames.h"
#include "output.h"
#include "status.h"

namespace frameshare {
namespace {

constexpr const char* kNoProducer = "no producer is running (no shared-memory segment)";

int reportFetchProblem(const Fetched& fetched) {
    switch (fetched.state) {
        case FetchState::NoProducer:
            writeError(std::string("Error: ") + kNoProducer);
            return kExitNoProducer;
        case FetchState::NoFrameYet:
            writeError("Error: the producer has not published a frame yet");
            return kExitNoFrame;
        case FetchState::Error:
            writeError(std::string("Error: cannot read the segment: ") + std::strerror(fetched.error));
            return kExitError;
        case FetchState::Frame:
            break;
    }
    return kExitOk;
}

// Estimates frames published but never seen, from gaps in the timestamps:
// a gap of about k periods means k - 1 frames went by unseen.
class DropEstimator {
public:
    long add(std::int64_t timestampUs) {
        long dropped = 0;
        if (last_ != 0 && timestampUs > last_) {
            const std::int64_t gap = timestampUs - last_;
            if (!gaps_.empty()) {
                std::vector<std::int64_t> sorted(gaps_.begin(), gaps_.end());
                std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
                const double period = static_cast<double>(sorted[sorted.size() / 2]);
                if (period > 0) {
                    dropped = std::max(0L, std::lround(static_cast<double>(gap) / period) - 1);
                }
            }
            gaps_.push_back(gap);
            if (gaps_.size() > 31) {
                gaps_.pop_front();
            }
        }
        last_ = timestampUs;
        return dropped;
    }

private:
    std::int64_t last_ = 0;
    std::deque<std::int64_t> gaps_;
};

class Progress {
public:
    Progress(const RecordOptions& options, bool terminal) : options_(options), terminal_(terminal) {}

    void update(long recorded, long dropped, double rate, double elapsed, bool force) {
        const std::int64_t now = steadyNowUs();
        const std::int64_t interval = terminal_ ? 100000 : 1000000;
        if (!force && now - lastShown_ < interval) {
            return;
        }
        lastShown_ = now;
        char numbers[160];
        std::snprintf(numbers, sizeof numbers, "%ld frames  %.1f fps  %ld dropped  %.1f s", recorded, rate, dropped,
                      elapsed);
        if (!terminal_) {
            writeOut(std::string("recording: ") + numbers + "\n");
            return;
        }
        if (options_.frames <= 0 && options_.seconds <= 0) {
            writeOut(std::string("\rrecording until Ctrl-C: ") + numbers + "  ");
            return;
        }
        const double done = options_.frames > 0 ? static_cast<double>(recorded) / static_cast<double>(options_.frames)
                                                 : elapsed / options_.seconds;
        const int width = 30;
        const int filled = std::clamp(static_cast<int>(done * width), 0, width);
        writeOut("\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                 std::string(static_cast<std::size_t>(width - filled), '.') + "] " + numbers + "  ");
    }
    void finish() {
        if (terminal_) {
            writeOut("\n");
        }
    }

private:
    const RecordOptions& options_;
    bool terminal_;
    std::int64_t lastShown_ = 0;
};

std::string frameFileName(long number) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06ld.jpg", number);
    return name;
}

}  // namespace

int runStatus(bool json) {
    const StatusReport report = measureStatus();
    writeOut(json ? statusJson(report).dump() + "\n" : statusText(report));
    return exitStatusOf(report);
}

int runSave(const std::string& path) {
    FrameReader reader;
    const Fetched fetched = reader.latest();
    if (fetched.state != FetchState::Frame) {
        return reportFetchProblem(fetched);
    }
    if (path == "-") {
        if (!writeOut(std::string(reinterpret_cast<const char*>(reader.data()), fetched.size))) {
            writeError(std::string("Error: cannot write to standard output: ") + std::strerror(errno));
            return kExitError;
        }
        return kExitOk;
    }
    std::string error;
    if (!replaceableTarget(path, &error) || !replaceFile(path, reader.data(), fetched.size, &error)) {
        writeError("Error: " + error);
        return kExitError;
    }
    StatusReport report;
    describeFrame(fetched, reader.data(), &report);
    char line[128];
    std::snprintf(line, sizeof line, "Saved %u bytes (%dx%d, age %.1f ms) to ", fetched.size, report.width,
                  report.height, static_cast<double>(report.ageUs) / 1000.0);
    writeOut(line + path + "\n");
    return kExitOk;
}

int runRecord(const RecordOptions& options) {
    // SIGINT and SIGTERM are taken synchronously between two frames, so
    // every file written is whole. Blocked before the poller starts.
    const sigset_t stopSignals = blockStopSignals();

    LatestFrame latest;
    PollerOptions pollerOptions;
    pollerOptions.alwaysInterested = true;
    FramePoller poller(&latest, pollerOptions);
    Fetched fetched = latest.lastPoll(std::chrono::milliseconds(10000));
    if (fetched.state == FetchState::NoProducer || fetched.state == FetchState::Error) {
        return reportFetchProblem(fetched);
    }

    const std::string& dir = options.directory;
    bool created = false;
    std::string problem;
    // Every file is opened relative to this descriptor, so the directory
    // checked is the one written to.
    const ScopedFd directory = openRecordDirectory(dir, &created, &problem);
    if (!directory.valid()) {
        writeError("Error: " + problem);
        return kExitError;
    }
    struct stat info {};
    if (::fstat(directory.get(), &info) != 0) {
        writeError("Error: cannot open " + dir + ": " + std::strerror(errno));
        return kExitError;
    }
    // Whoever else can add names to it could have one ready for a frame.
    if (!created && info.st_uid != ::geteuid()) {
        writeError("Error: " + dir + " belongs to another user; record into a directory of your own");
        return kExitError;
    }
    if (!created && (info.st_mode & S_IWOTH) != 0) {
        writeError("Error: " + dir + " is writable by every user; record into a directory of your own");
        return kExitError;
    }
    OutputFile csv;
    if (!csv.create(directory.get(), "frames.csv", dir + "/frames.csv")) {
        writeError(csv.errorNumber() == EEXIST
                       ? "Error: " + dir + " already holds a recording (frames.csv); choose another directory"
                       : "Error: " + csv.error());
        return kExitError;
    }
    if (!csv.write("number,steady_us,wall_us,size\n")) {
        writeError("Error: " + csv.error());
        return kExitError;
    }

    Progress progress(options, outputIsTerminal());
    DropEstimator drops;
    RateMeter meter;
    long recorded = 0;
    long dropped = 0;
    const std::int64_t start = steadyNowUs();
    std::int64_t lastNew = start;
    int status = kExitOk;
    std::string stopReason;
    std::uint64_t sequence = 0;
    for (;;) {
        // A frame kept before the producer went is still recorded.
        const SharedFrame frame = latest.waitNewer(sequence, std::chrono::milliseconds(5));
        fetched = latest.lastPoll(std::chrono::milliseconds(0));
        const std::int64_t now = steadyNowUs();
        const double elapsed = static_cast<double>(now - start) / 1e6;
        if (frame.jpeg) {
            sequence = frame.sequence;
            lastNew = now;
            const long number = recorded + 1;
            const std::string name = frameFileName(number);
            std::string error;
            if (!writeNewFile(directory.get(), name, dir + "/" + name, frame.jpeg->data(), frame.jpeg->size(),
                              &error)) {
                progress.finish();
                writeError("Error: " + error + " (" + std::to_string(recorded) + " frames recorded)");
                return kExitError;
            }
            const std::string row = std::to_string(number) + "," + std::to_string(frame.timestampUs) + "," +
                                    std::to_string(wallTimeOfSteadyUs(frame.timestampUs)) + "," +
                                    std::to_string(frame.jpeg->size()) + "\n";
            const std::size_t rowsEnd = csv.written();
            if (!csv.write(row)) {
                csv.truncate(rowsEnd);  // no half row, and no image without its row
                ::unlinkat(directory.get(), name.c_str(), 0);
                progress.finish();
                writeError("Error: " + csv.error() + " (" + std::to_string(recorded) + " frames recorded)");
                return kExitError;
            }
            recorded = number;
            dropped += drops.add(frame.timestampUs);
            meter.add(frame.timestampUs);
            progress.update(recorded, dropped, meter.perSecond(now), elapsed, false);
        } else if (fetched.state == FetchState::NoProducer) {
            progress.finish();
            writeError("Error: the producer stopped after " + std::to_string(recorded) + " frames; " + dir +
                       " holds them");
            return kExitNoProducer;
        } else if (fetched.state == FetchState::Error) {
            progress.finish();
            return reportFetchProblem(fetched);
        }
        if ((options.frames > 0 && recorded >= options.frames) || (options.seconds > 0 && elapsed >= options.seconds)) {
            break;
        }
        if (static_cast<double>(now - lastNew) / 1e6 >= options.stallSeconds) {
            stopReason = recorded == 0 ? "no frame arrived" : "no new frame arrived";
            status = kExitStalled;
            break;
        }
        progress.update(recorded, dropped, meter.perSecond(now), elapsed, false);
        const timespec noWait{0, 0};
        const int signal = sigtimedwait(&stopSignals, nullptr, &noWait);
        if (signal == SIGINT || signal == SIGTERM) {
            stopReason = signal == SIGINT ? "interrupted" : "terminated";
            break;
        }
    }
    const std::int64_t end = steadyNowUs();
    progress.update(recorded, dropped, meter.perSecond(end), static_cast<double>(end - start) / 1e6, true);
    progress.finish();
    if (!csv.close()) {
        writeError("Error: " + csv.error());
        return kExitError;
    }
    if (status == kExitStalled) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", options.stallSeconds);
        writeError("Error: " + stopReason + " for " + seconds + " s; the producer stalled or died. " +
                   std::to_string(recorded) + " frames are in " + dir);
        return status;
    }
    writeOut("Recorded " + std::to_string(recorded) + " frames to " + dir + " (" + std::to_string(dropped) +
             " dropped" + (stopReason.empty() ? "" : ", " + stopReason) + ")\n");
    return status;
}

}  // namespace frameshare
