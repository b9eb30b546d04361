#pragma once

#include "Platform/System/SystemFiles.h"

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace korvalen::sys {

enum class ThermalState { nominal, fair, serious, critical, unknown };

// "Nominal", "Fair", "Serious", "Critical", "Unknown": the texts results record.
std::string_view thermalStateText(ThermalState state);

// The machine's thermal state from the thermal zones of /sys/class/thermal and their trip points.
// A zone is Critical at or above a "hot" or "critical" trip, Serious at or above a "passive" trip
// (the kernel is throttling), Fair within a few degrees below the lowest of those, and Nominal
// otherwise; fan ("active") trips do not count. The machine's state is its hottest zone's.
// A machine without a usable zone (virtual machines) is Nominal, so its results stay comparable.
//
// Zones and trip points are found once, at construction; each reading then costs one small file
// read per zone. Reading is thread-safe.
class ThermalMonitor {
public:
    explicit ThermalMonitor(Root root = "/");

    ThermalState state() const;
    std::string_view stateText() const { return thermalStateText(state()); }
    std::size_t zoneCount() const { return zones_.size(); }

    // The process-wide monitor of the live machine.
    static const ThermalMonitor& shared();
    // Fresh reading of the live machine as text, for results and samples.
    static std::string_view currentStateText() { return shared().stateText(); }

    // How far below the first throttling trip a zone already counts as Fair.
    static constexpr std::int64_t fairMarginMilliCelsius = 10'000;

private:
    struct Zone {
        std::filesystem::path temperatureFile;
        std::int64_t fairFrom = INT64_MAX;  // millidegrees Celsius
        std::int64_t seriousFrom = INT64_MAX;
        std::int64_t criticalFrom = INT64_MAX;
    };
    std::vector<Zone> zones_;
};

}  // namespace korvalen::sys
