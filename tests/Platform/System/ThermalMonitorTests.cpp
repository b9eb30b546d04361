#include "Platform/System/ThermalMonitor.h"
#include "support/FixtureTree.h"

#include <gtest/gtest.h>

namespace korvalen::sys {
namespace {

using test::FixtureTree;

// A zone that throttles at 90 °C and shuts the machine down at 105 °C.
void zone(FixtureTree& tree, int index, int milliCelsius)
{
    const std::string folder = "sys/class/thermal/thermal_zone" + std::to_string(index) + "/";
    tree.write(folder + "temp", std::to_string(milliCelsius) + "\n");
    tree.write(folder + "trip_point_0_type", "active\n").write(folder + "trip_point_0_temp", "50000\n");
    tree.write(folder + "trip_point_1_type", "passive\n").write(folder + "trip_point_1_temp", "90000\n");
    tree.write(folder + "trip_point_2_type", "critical\n").write(folder + "trip_point_2_temp", "105000\n");
}

TEST(ThermalMonitor, NoZonesIsNominal)
{
    FixtureTree tree;
    tree.makeFolder("sys/class/thermal");
    tree.write("sys/class/thermal/cooling_device0/type", "Processor\n");
    const ThermalMonitor monitor(tree.root());
    EXPECT_EQ(monitor.zoneCount(), 0u);
    EXPECT_EQ(monitor.stateText(), "Nominal");

    FixtureTree nothing;
    EXPECT_EQ(ThermalMonitor(nothing.root()).state(), ThermalState::nominal);
}

TEST(ThermalMonitor, StatesAroundTripPoints)
{
    FixtureTree tree;
    zone(tree, 0, 45000);
    const ThermalMonitor monitor(tree.root());
    const std::string temp = "sys/class/thermal/thermal_zone0/temp";

    // Past the fan trip only: still nominal.
    tree.write(temp, "60000\n");
    EXPECT_EQ(monitor.stateText(), "Nominal");
    tree.write(temp, "79999\n");
    EXPECT_EQ(monitor.stateText(), "Nominal");
    tree.write(temp, "80000\n");  // within the margin below throttling
    EXPECT_EQ(monitor.stateText(), "Fair");
    tree.write(temp, "90000\n");
    EXPECT_EQ(monitor.stateText(), "Serious");
    tree.write(temp, "106000\n");
    EXPECT_EQ(monitor.stateText(), "Critical");
    tree.write(temp, "50000\n");  // read fresh every time
    EXPECT_EQ(monitor.stateText(), "Nominal");
}

TEST(ThermalMonitor, HottestUsableZoneDecides)
{
    FixtureTree tree;
    zone(tree, 0, 40000);
    zone(tree, 1, 95000);
    // A sensor whose device sleeps cannot be read, and one reporting nonsense is ignored.
    tree.write("sys/class/thermal/thermal_zone2/type", "iwlwifi_1\n");
    zone(tree, 3, 40000);
    tree.write("sys/class/thermal/thermal_zone3/temp", "255000\n");
    // Unused trips are marked with 0: they must not make every temperature critical.
    tree.write("sys/class/thermal/thermal_zone0/trip_point_3_type", "hot\n");
    tree.write("sys/class/thermal/thermal_zone0/trip_point_3_temp", "0\n");

    const ThermalMonitor monitor(tree.root());
    EXPECT_EQ(monitor.zoneCount(), 4u);
    EXPECT_EQ(monitor.state(), ThermalState::serious);
    tree.write("sys/class/thermal/thermal_zone1/temp", "30000\n");
    EXPECT_EQ(monitor.state(), ThermalState::nominal);
}

TEST(ThermalMonitor, HotTripCountsAsCritical)
{
    FixtureTree tree;
    const std::string folder = "sys/class/thermal/thermal_zone0/";
    tree.write(folder + "temp", "99000\n");
    tree.write(folder + "trip_point_0_type", "hot\n").write(folder + "trip_point_0_temp", "98000\n");
    EXPECT_EQ(ThermalMonitor(tree.root()).stateText(), "Critical");
    tree.write(folder + "temp", "90000\n");
    EXPECT_EQ(ThermalMonitor(tree.root()).stateText(), "Fair");
}

}  // namespace
}  // namespace korvalen::sys
