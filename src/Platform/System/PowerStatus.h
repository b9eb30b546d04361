#pragma once

#include "Platform/System/SystemFiles.h"

#include <optional>

namespace korvalen::sys {

enum class PowerSource { mains, battery, unknown };

// Power source and battery charge from /sys/class/power_supply, and the low-power setting from
// the ACPI platform profile.
struct PowerStatus {
    PowerSource source = PowerSource::unknown;
    std::optional<int> batteryPercent;  // the first system battery, 0...100
    bool lowPowerMode = false;
};
PowerStatus readPowerStatus(const Root& root = "/");

// True when the ACPI platform profile (/sys/firmware/acpi/platform_profile) is "low-power".
bool readLowPowerMode(const Root& root = "/");

}  // namespace korvalen::sys
