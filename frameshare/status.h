// What `status` reports, in text and as JSON; `serve` hands out the same.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "frames.h"
#include "registry_view.h"

namespace frameshare {

// Exit statuses, shared by every subcommand.
enum ExitStatus {
    kExitOk = 0,
    kExitError = 1,       // I/O, binding, an unreadable segment
    kExitUsage = 2,       // the command line
    kExitNoProducer = 3,  // no segment, or it went away
    kExitNoFrame = 4,     // a producer, but no frame published yet
    kExitStalled = 5,     // a frame, but no new one lately
};

struct StatusReport {
    FetchState state = FetchState::NoProducer;
    int error = 0;
    bool hasFrame = false;
    std::uint32_t size = 0;
    int width = 0;  // 0 when the JPEG header tells none
    int height = 0;
    std::int64_t timestampUs = 0;
    std::int64_t ageUs = 0;
    std::int64_t wallTimeUs = 0;  // derived from the steady timestamp
    double ratePerSecond = 0;
    RegistrySnapshot registry;
};

// Fills the frame fields from a fetched frame whose bytes are at data.
void describeFrame(const Fetched& fetched, const std::uint8_t* data, StatusReport* report);

// "publishing", "stalled", "no frame yet", "no producer", "error".
std::string stateName(const StatusReport& report);
int exitStatusOf(const StatusReport& report);

nlohmann::json statusJson(const StatusReport& report);
std::string statusText(const StatusReport& report);

// Takes the new frames of about a second and reads the registry.
StatusReport measureStatus();

}  // namespace frameshare
