#include "routes.h"

#include <algorithm>
#include <cstring>

#include "page.h"

namespace frameshare {

namespace {

constexpr const char* kBoundary = "frameshare-boundary";

// One viewer of /stream.mjpg: each frame newer than the last one it sent,
// as one part; the frames in between are skipped, so nothing queues up.
class FrameStream : public StreamBody {
public:
    FrameStream(LatestFrame* latest, std::atomic<int>* viewers) : latest_(latest), viewers_(viewers) {}
    ~FrameStream() override { viewers_->fetch_sub(1); }

    long read(char* buffer, std::size_t max) override {
        if (offset_ == partSize()) {
            const SharedFrame frame = latest_->waitNewer(sent_, std::chrono::milliseconds(0));
            if (!frame.jpeg) {
                return latest_->stopping() ? -1 : 0;
            }
            sent_ = frame.sequence;
            frame_ = frame.jpeg;
            head_ = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                    std::to_string(frame_->size()) + "\r\nX-Timestamp-Us: " + std::to_string(frame.timestampUs) +
                    "\r\n\r\n";
            offset_ = 0;
        }
        std::size_t done = 0;
        while (done < max && offset_ < partSize()) {
            const char* from;
            std::size_t left;
            if (offset_ < head_.size()) {
                from = head_.data() + offset_;
                left = head_.size() - offset_;
            } else if (offset_ < head_.size() + frame_->size()) {
                const std::size_t at = offset_ - head_.size();
                from = reinterpret_cast<const char*>(frame_->data()) + at;
                left = frame_->size() - at;
            } else {
                const std::size_t at = offset_ - head_.size() - frame_->size();
                from = "\r\n" + at;
                left = 2 - at;
            }
            const std::size_t n = std::min(left, max - done);
            std::memcpy(buffer + done, from, n);
            done += n;
            offset_ += n;
        }
        return static_cast<long>(done);
    }

private:
    std::size_t partSize() const { return frame_ ? head_.size() + frame_->size() + 2 : 0; }

    LatestFrame* latest_;
    std::atomic<int>* viewers_;
    std::uint64_t sent_ = 0;
    FrameBytes frame_;  // the part being sent, held until it is whole
    std::string head_;
    std::size_t offset_ = 0;
};

HttpResponse text(int status, std::string body) {
    HttpResponse response;
    response.status = status;
    response.text = std::move(body);
    return response;
}

}  // namespace

HttpServer::Handler makeRoutes(LatestFrame* latest, std::atomic<int>* viewers, const ServeOptions& options) {
    const int maxViewers = options.maxViewers;
    return [latest, viewers, maxViewers](const HttpRequest& request) {
        if (request.path == "/") {
            HttpResponse response = text(200, kPage);
            response.contentType = "text/html; charset=utf-8";
            return response;
        }
        if (request.path == "/status.json") {
            if (latest->noteInterest()) {
                latest->waitForRate(std::chrono::milliseconds(300));
            }
            StatusReport report = latest->report();
            report.registry = readRegistry();
            nlohmann::json json = statusJson(report);
            json["server"] = {{"viewers", viewers->load()}, {"max_viewers", maxViewers}};
            HttpResponse response = text(200, json.dump());
            response.contentType = "application/json";
            response.headers.emplace_back("Cache-Control", "no-store");
            response.logged = false;  // the page asks every second
            return response;
        }
        if (request.path == "/frame.jpg") {
            latest->noteInterest();
            const SharedFrame frame = latest->current();
            if (!frame.jpeg) {
                HttpResponse response = text(503, "No frame: the producer is not publishing.\n");
                response.headers.emplace_back("Retry-After", "1");
                response.headers.emplace_back("Cache-Control", "no-store");
                return response;
            }
            // A Range header is ignored: the whole frame, once, with 200.
            HttpResponse response;
            response.contentType = "image/jpeg";
            response.bytes = frame.jpeg;
            response.headers.emplace_back("Cache-Control", "no-store");
            response.headers.emplace_back("X-Timestamp-Us", std::to_string(frame.timestampUs));
            return response;
        }
        if (request.path == "/stream.mjpg") {
            if (viewers->fetch_add(1) >= maxViewers) {
                viewers->fetch_sub(1);
                HttpResponse response = text(503, "Too many viewers: this server streams to at most " +
                                                      std::to_string(maxViewers) + " at a time. Try again later.\n");
                response.headers.emplace_back("Retry-After", "5");
                return response;
            }
            HttpResponse response;
            response.contentType = std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
            response.headers.emplace_back("Cache-Control", "no-store");
            if (request.method == "HEAD") {
                viewers->fetch_sub(1);
                return response;
            }
            response.stream = std::make_unique<FrameStream>(latest, viewers);
            return response;
        }
        return text(404, "Not found. Try / , /stream.mjpg, /frame.jpg or /status.json.\n");
    };
}

}  // namespace frameshare
