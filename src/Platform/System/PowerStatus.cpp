#include "Platform/System/PowerStatus.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace korvalen::sys {

namespace {

struct Supply {
    std::string type;
    std::filesystem::path folder;
};

std::optional<int> batteryCharge(const std::filesystem::path& folder)
{
    if (const auto capacity = readInteger(folder / "capacity"))
        return static_cast<int>(std::clamp<std::int64_t>(*capacity, 0, 100));
    // Some batteries report only energy (µWh) or charge (µAh) counters.
    for (const auto& [now, full] : {std::pair{"energy_now", "energy_full"}, std::pair{"charge_now", "charge_full"}}) {
        const auto current = readInteger(folder / now);
        const auto total = readInteger(folder / full);
        if (current && total && *total > 0 && *current >= 0) {
            const double percent = std::round(100.0 * static_cast<double>(*current) / static_cast<double>(*total));
            return static_cast<int>(std::clamp(percent, 0.0, 100.0));
        }
    }
    return std::nullopt;
}

}  // namespace

bool readLowPowerMode(const Root& root)
{
    const auto profile = readLine(underRoot(root, "sys/firmware/acpi/platform_profile"));
    return profile && *profile == "low-power";
}

PowerStatus readPowerStatus(const Root& root)
{
    PowerStatus status;
    status.lowPowerMode = readLowPowerMode(root);

    const auto classes = underRoot(root, "sys/class");
    const auto folder = classes / "power_supply";
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        // A kernel without the power-supply class has nothing to report, like a desktop; a tree
        // without /sys/class at all is not sysfs, and then nothing can be verified.
        status.source = std::filesystem::is_directory(classes, error) ? PowerSource::mains : PowerSource::unknown;
        return status;
    }

    std::vector<Supply> supplies;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto type = readLine(it->path() / "type");
        if (!type) continue;
        // Batteries of mice, keyboards and headsets say scope "Device"; they never power the machine.
        if (const auto scope = readLine(it->path() / "scope"); scope && *scope == "Device") continue;
        supplies.push_back({*type, it->path()});
    }
    // Directory order is arbitrary; BAT0 before BAT1 keeps the reported battery stable.
    std::sort(supplies.begin(), supplies.end(), [](const Supply& a, const Supply& b) { return a.folder < b.folder; });

    bool anyExternal = false;
    bool externalOnline = false;
    std::optional<std::string> batteryState;
    for (const auto& supply : supplies) {
        if (supply.type == "Battery") {
            if (!status.batteryPercent) {
                status.batteryPercent = batteryCharge(supply.folder);
                batteryState = readLine(supply.folder / "status");
            }
        } else if (supply.type == "Mains" || supply.type.rfind("USB", 0) == 0 || supply.type == "Wireless") {
            anyExternal = true;
            if (const auto online = readInteger(supply.folder / "online"); online && *online > 0) externalOnline = true;
        }
    }

    const bool hasBattery =
        std::any_of(supplies.begin(), supplies.end(), [](const Supply& s) { return s.type == "Battery"; });
    if (externalOnline)
        status.source = PowerSource::mains;
    else if (!hasBattery)
        status.source = PowerSource::mains;  // nothing else can power it: desktops, virtual machines
    else if (anyExternal)
        status.source = PowerSource::battery;
    else if (batteryState == "Discharging")
        status.source = PowerSource::battery;
    else if (batteryState == "Charging" || batteryState == "Full" || batteryState == "Not charging")
        status.source = PowerSource::mains;  // a battery that is not draining is fed from outside
    else
        status.source = PowerSource::unknown;
    return status;
}

}  // namespace korvalen::sys
