#include "Platform/System/ThermalMonitor.h"

#include <algorithm>
#include <string>

namespace korvalen::sys {

namespace {

// Readings outside this range (millidegrees Celsius) are sensor faults, not temperatures.
constexpr std::int64_t lowestPlausible = -100'000;
constexpr std::int64_t highestPlausible = 200'000;

ThermalState worse(ThermalState a, ThermalState b)
{
    return static_cast<int>(a) >= static_cast<int>(b) ? a : b;
}

}  // namespace

std::string_view thermalStateText(ThermalState state)
{
    switch (state) {
    case ThermalState::nominal: return "Nominal";
    case ThermalState::fair: return "Fair";
    case ThermalState::serious: return "Serious";
    case ThermalState::critical: return "Critical";
    case ThermalState::unknown: return "Unknown";
    }
    return "Unknown";
}

ThermalMonitor::ThermalMonitor(Root root)
{
    const auto folder = underRoot(root, "sys/class/thermal");
    std::error_code error;
    std::vector<std::filesystem::path> zoneFolders;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string().rfind("thermal_zone", 0) == 0) zoneFolders.push_back(it->path());
    }
    std::sort(zoneFolders.begin(), zoneFolders.end());

    for (const auto& zoneFolder : zoneFolders) {
        Zone zone;
        zone.temperatureFile = zoneFolder / "temp";
        for (int trip = 0;; ++trip) {
            const std::string prefix = "trip_point_" + std::to_string(trip) + "_";
            const auto type = readLine(zoneFolder / (prefix + "type"));
            if (!type) break;
            const auto temperature = readInteger(zoneFolder / (prefix + "temp"));
            // Firmware marks unused trips with 0 or nonsense values.
            if (!temperature || *temperature <= 0 || *temperature > highestPlausible) continue;
            if (*type == "critical" || *type == "hot")
                zone.criticalFrom = std::min(zone.criticalFrom, *temperature);
            else if (*type == "passive")
                zone.seriousFrom = std::min(zone.seriousFrom, *temperature);
        }
        const auto firstLimit = std::min(zone.seriousFrom, zone.criticalFrom);
        if (firstLimit != INT64_MAX) zone.fairFrom = firstLimit - fairMarginMilliCelsius;
        zones_.push_back(std::move(zone));
    }
}

ThermalState ThermalMonitor::state() const
{
    ThermalState state = ThermalState::nominal;
    for (const auto& zone : zones_) {
        // Some sensors refuse to read while their device sleeps (wireless cards, for one).
        const auto temperature = readInteger(zone.temperatureFile);
        if (!temperature || *temperature < lowestPlausible || *temperature > highestPlausible) continue;
        if (*temperature >= zone.criticalFrom)
            state = worse(state, ThermalState::critical);
        else if (*temperature >= zone.seriousFrom)
            state = worse(state, ThermalState::serious);
        else if (*temperature >= zone.fairFrom)
            state = worse(state, ThermalState::fair);
    }
    return state;
}

const ThermalMonitor& ThermalMonitor::shared()
{
    static const ThermalMonitor monitor;
    return monitor;
}

}  // namespace korvalen::sys
