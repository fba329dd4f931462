#include "status.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace frameshare {

void describeFrame(const Fetched& fetched, const std::uint8_t* data, StatusReport* report) {
    report->state = fetched.state;
    report->error = fetched.error;
    report->hasFrame = fetched.state == FetchState::Frame;
    if (!report->hasFrame) {
        return;
    }
    report->size = fetched.size;
    report->timestampUs = fetched.timestamp;
    report->ageUs = steadyNowUs() - fetched.timestamp;
    report->wallTimeUs = wallTimeOfSteadyUs(fetched.timestamp);
    int width = 0;
    int height = 0;
    if (jpegDimensions(data, fetched.size, &width, &height)) {
        report->width = width;
        report->height = height;
    }
}

std::string stateName(const StatusReport& report) {
    switch (report.state) {
        case FetchState::NoProducer:
            return "no producer";
        case FetchState::NoFrameYet:
            return "no frame yet";
        case FetchState::Error:
            return "error";
        case FetchState::Frame:
            break;
    }
    return report.ratePerSecond > 0 ? "publishing" : "stalled";
}

int exitStatusOf(const StatusReport& report) {
    switch (report.state) {
        case FetchState::NoProducer:
            return kExitNoProducer;
        case FetchState::NoFrameYet:
            return kExitNoFrame;
        case FetchState::Error:
            return kExitError;
        case FetchState::Frame:
            break;
    }
    return report.ratePerSecond > 0 ? kExitOk : kExitStalled;
}

namespace {

nlohmann::json tableJson(const std::vector<RegistrySlot>& slots) {
    nlohmann::json table = nlohmann::json::array();
    for (const RegistrySlot& slot : slots) {
        table.push_back({{"slot", slot.index},
                         {"occupied", slot.occupied},
                         {"pid", slot.pid},
                         {"alive", slot.alive},
                         {"missedChecks", slot.missedChecks}});
    }
    return table;
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

void tableText(std::ostringstream& out, const char* name, const std::vector<RegistrySlot>& slots) {
    int taken = 0;
    for (const RegistrySlot& slot : slots) {
        taken += slot.occupied ? 1 : 0;
    }
    out << name << " consumers: " << taken << " of " << slots.size() << " slots taken\n";
    for (const RegistrySlot& slot : slots) {
        if (slot.occupied) {
            out << "  slot " << slot.index << ": pid " << slot.pid << (slot.alive ? " (alive)" : " (gone)")
                << ", missedChecks " << slot.missedChecks << "\n";
        }
    }
}

}  // namespace

nlohmann::json statusJson(const StatusReport& report) {
    nlohmann::json json;
    json["state"] = stateName(report);
    json["producer"] = report.state != FetchState::NoProducer;
    if (report.state == FetchState::Error) {
        json["error"] = std::strerror(report.error);
    }
    if (report.hasFrame) {
        json["frame"] = {{"size", report.size},
                         {"width", report.width},
                         {"height", report.height},
                         {"timestamp_us", report.timestampUs},
                         {"age_ms", static_cast<double>(report.ageUs) / 1000.0},
                         {"wall_time", formatWallTime(report.wallTimeUs)},
                         {"wall_time_us", report.wallTimeUs}};
    } else {
        json["frame"] = nullptr;
    }
    json["rate_fps"] = report.ratePerSecond;
    if (report.registry.read) {
        json["consumers"] = {{"color", tableJson(report.registry.color)},
                             {"depth", tableJson(report.registry.depth)}};
    } else {
        json["consumers"] = nullptr;
    }
    return json;
}

std::string statusText(const StatusReport& report) {
    std::ostringstream out;
    switch (report.state) {
        case FetchState::NoProducer:
            out << "No producer: the shared-memory segment does not exist.\n";
            return out.str();
        case FetchState::NoFrameYet:
            out << "Producer running, no frame published yet.\n";
            break;
        case FetchState::Error:
            out << "Producer segment unreadable: " << std::strerror(report.error) << "\n";
            break;
        case FetchState::Frame:
            out << "Producer " << stateName(report) << ": " << oneDecimal(report.ratePerSecond)
                << " frames per second\n";
            out << "frame: " << report.size << " bytes, ";
            if (report.width > 0) {
                out << report.width << "x" << report.height;
            } else {
                out << "size unknown";
            }
            out << ", age " << oneDecimal(static_cast<double>(report.ageUs) / 1000.0) << " ms, taken at "
                << formatWallTime(report.wallTimeUs) << "\n";
            break;
    }
    if (report.registry.read) {
        tableText(out, "colour", report.registry.color);
        tableText(out, "depth", report.registry.depth);
    } else {
        out << "consumer tables unreadable: " << report.registry.problem << "\n";
    }
    return out.str();
}

StatusReport measureStatus() {
    FrameReader reader;
    Fetched last = reader.latest();
    RateMeter meter;
    if (last.state == FetchState::Frame) {
        meter.add(last.timestamp);
    }
    const std::int64_t start = steadyNowUs();
    std::int64_t now = start;
    // A second of frames as they come: every one published in it has a new
    // timestamp, and the rate comes from those timestamps.
    while (last.state != FetchState::NoProducer && last.state != FetchState::Error && now - start < 1000000) {
        const int left = static_cast<int>((start + 1000000 - now + 999) / 1000);
        const Fetched next = reader.next(left);
        if (next.state == FetchState::Frame && (last.state != FetchState::Frame || next.timestamp != last.timestamp)) {
            meter.add(next.timestamp);
        }
        last = next;
        now = steadyNowUs();
    }
    StatusReport report;
    report.ratePerSecond = meter.perSecond(now);
    describeFrame(last, reader.data(), &report);
    report.registry = readRegistry();
    return report;
}

}  // namespace frameshare
