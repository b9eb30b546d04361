#include "Platform/System/PowerStatus.h"
#include "support/FixtureTree.h"

#include <gtest/gtest.h>

namespace korvalen::sys {
namespace {

using test::FixtureTree;

const std::string supplies = "sys/class/power_supply/";

void battery(FixtureTree& tree, const std::string& name, const std::string& status, int capacity)
{
    tree.write(supplies + name + "/type", "Battery\n").write(supplies + name + "/status", status + "\n");
    tree.write(supplies + name + "/capacity", std::to_string(capacity) + "\n");
}

void mains(FixtureTree& tree, const std::string& name, bool online)
{
    tree.write(supplies + name + "/type", "Mains\n").write(supplies + name + "/online", online ? "1\n" : "0\n");
}

TEST(PowerStatus, LaptopOnBattery)
{
    FixtureTree tree;
    mains(tree, "AC", false);
    battery(tree, "BAT0", "Discharging", 42);
    const auto status = readPowerStatus(tree.root());
    EXPECT_EQ(status.source, PowerSource::battery);
    EXPECT_EQ(status.batteryPercent, 42);
    EXPECT_FALSE(status.lowPowerMode);
}

TEST(PowerStatus, MainsWithFullBattery)
{
    FixtureTree tree;
    mains(tree, "ACAD", true);
    battery(tree, "BAT0", "Full", 100);
    auto status = readPowerStatus(tree.root());
    EXPECT_EQ(status.source, PowerSource::mains);
    EXPECT_EQ(status.batteryPercent, 100);

    // Without a mains supply entry, a battery that is not draining is fed from outside.
    tree.remove(supplies + "ACAD");
    EXPECT_EQ(readPowerStatus(tree.root()).source, PowerSource::mains);
    battery(tree, "BAT0", "Unknown", 100);
    EXPECT_EQ(readPowerStatus(tree.root()).source, PowerSource::unknown);
}

TEST(PowerStatus, DesktopsVirtualMachinesAndMissingClass)
{
    FixtureTree tree;
    tree.makeFolder("sys/class/power_supply");
    auto status = readPowerStatus(tree.root());
    EXPECT_EQ(status.source, PowerSource::mains);
    EXPECT_FALSE(status.batteryPercent);

    // A wireless mouse's battery and an idle USB-C port do not make a desktop a laptop.
    battery(tree, "hidpp_battery_0", "Discharging", 15);
    tree.write(supplies + "hidpp_battery_0/scope", "Device\n");
    tree.write(supplies + "ucsi-source-psy-1/type", "USB\n").write(supplies + "ucsi-source-psy-1/online", "0\n");
    status = readPowerStatus(tree.root());
    EXPECT_EQ(status.source, PowerSource::mains);
    EXPECT_FALSE(status.batteryPercent);

    FixtureTree noClass;
    noClass.makeFolder("sys/class/thermal");
    EXPECT_EQ(readPowerStatus(noClass.root()).source, PowerSource::mains);

    // No sysfs at all: nothing can be verified.
    FixtureTree nothing;
    EXPECT_EQ(readPowerStatus(nothing.root()).source, PowerSource::unknown);
}

TEST(PowerStatus, ChargeFromCountersAndLowPowerProfile)
{
    FixtureTree tree;
    mains(tree, "AC", false);
    tree.write(supplies + "BAT1/type", "Battery\n").write(supplies + "BAT1/status", "Discharging\n");
    tree.write(supplies + "BAT1/energy_now", "30000000\n").write(supplies + "BAT1/energy_full", "40000000\n");
    tree.write("sys/firmware/acpi/platform_profile", "low-power\n");
    auto status = readPowerStatus(tree.root());
    EXPECT_EQ(status.batteryPercent, 75);
    EXPECT_TRUE(status.lowPowerMode);

    // The first battery by name is the one reported; firmware that overshoots is held at 100.
    battery(tree, "BAT0", "Discharging", 104);
    EXPECT_EQ(readPowerStatus(tree.root()).batteryPercent, 100);

    tree.write("sys/firmware/acpi/platform_profile", "balanced\n");
    EXPECT_FALSE(readPowerStatus(tree.root()).lowPowerMode);
}

}  // namespace
}  // namespace korvalen::sys
