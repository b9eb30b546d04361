#include "Platform/Compute/GpuDevices.h"
#include "support/FixtureTree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace korvalen::gpu {
namespace {

TEST(RegistryIdentifier, StableNonZeroAndBelowTwoToThe53)
{
    const auto id = registryIdentifier("Portable Computing Language", "0x1002", "Example GPU", "3.1", "", 0);
    EXPECT_EQ(id, registryIdentifier("Portable Computing Language", "0x1002", "Example GPU", "3.1", "", 0));
    EXPECT_NE(id, 0u);
    EXPECT_LT(id, 1ull << 53);
    for (int ordinal = 0; ordinal < 200; ++ordinal) {
        const auto other = registryIdentifier("", "", "", "", "", ordinal);
        EXPECT_NE(other, 0u);
        EXPECT_LT(other, 1ull << 53);
    }
}

TEST(RegistryIdentifier, EveryPartTellsDevicesApart)
{
    std::set<std::uint64_t> ids{
        registryIdentifier("P", "0x10de", "GPU", "535.1", "pci:0000:01:00.0", 0),
        registryIdentifier("Q", "0x10de", "GPU", "535.1", "pci:0000:01:00.0", 0),
        registryIdentifier("P", "0x1002", "GPU", "535.1", "pci:0000:01:00.0", 0),
        registryIdentifier("P", "0x10de", "GPU2", "535.1", "pci:0000:01:00.0", 0),
        registryIdentifier("P", "0x10de", "GPU", "535.2", "pci:0000:01:00.0", 0),
        registryIdentifier("P", "0x10de", "GPU", "535.1", "pci:0000:02:00.0", 0),
        registryIdentifier("P", "0x10de", "GPU", "535.1", "pci:0000:01:00.0", 1),
        // Moving text between neighbouring parts must not give the same identity.
        registryIdentifier("PG", "0x10de", "PU", "535.1", "", 0),
        registryIdentifier("P", "0x10de", "GPU", "535.1", "", 0),
        registryIdentifier("P", "0x10deG", "PU", "535.1", "", 0),
    };
    EXPECT_EQ(ids.size(), 10u);
}

class FixedProvider : public DeviceProvider {
public:
    explicit FixedProvider(std::vector<DeviceInfo> list) : list_(std::move(list)) {}
    std::vector<DeviceInfo> devices() override { return list_; }

private:
    std::vector<DeviceInfo> list_;
};

TEST(DeviceProvider, ReplacedByTestsAndRestored)
{
    DeviceInfo fake;
    fake.registryID = 7;
    fake.name = "Fake";
    auto provider = std::make_shared<FixedProvider>(std::vector<DeviceInfo>{fake});
    setDeviceProvider(provider);
    DeviceProvider& held = deviceProvider();
    EXPECT_EQ(&held, provider.get());
    setDeviceProvider(nullptr);
    provider.reset();
    // A reference taken before the swap stays usable.
    EXPECT_EQ(held.devices().front().name, "Fake");
    EXPECT_NE(&deviceProvider(), &held);
}

// The real OpenCL runtime. On a machine without any driver these pass on an empty list.
TEST(OpenCLDevices, SameIdentifiersOnEveryEnumeration)
{
    const auto first = deviceProvider().devices();
    const auto second = deviceProvider().devices();
    ASSERT_EQ(first.size(), second.size());
    std::set<std::uint64_t> distinct;
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].registryID, second[i].registryID);
        EXPECT_EQ(first[i].name, second[i].name);
        EXPECT_NE(first[i].registryID, 0u);
        EXPECT_LT(first[i].registryID, 1ull << 53);
        EXPECT_FALSE(first[i].name.empty());
        distinct.insert(first[i].registryID);
    }
    EXPECT_EQ(distinct.size(), first.size());

    // GPUs and accelerators first; processors only when there is nothing else.
    bool sawProcessor = false, sawOther = false;
    for (const auto& device : first) (device.kind == DeviceKind::cpu ? sawProcessor : sawOther) = true;
    EXPECT_FALSE(sawProcessor && sawOther);
}

TEST(OpenCLDevices, HandlesAndAllocationsByIdentifier)
{
    EXPECT_FALSE(nativeDevice(0));
    const auto devices = deviceProvider().devices();
    if (devices.empty()) GTEST_SKIP() << "no OpenCL device on this machine";
    const auto id = devices.front().registryID;
    const auto handles = nativeDevice(id);
    ASSERT_TRUE(handles);
    EXPECT_NE(handles->device, nullptr);
    EXPECT_NE(handles->platform, nullptr);

    const auto before = devices.front().currentAllocatedBytes;
    recordDeviceAllocation(id, 3 << 20);
    EXPECT_EQ(deviceProvider().devices().front().currentAllocatedBytes, before + (3 << 20));
    // Releasing more than is held (a double release) must not wrap around to 16 EB.
    recordDeviceAllocation(id, -static_cast<std::int64_t>(before + (5 << 20)));
    EXPECT_EQ(deviceProvider().devices().front().currentAllocatedBytes, 0u);
}

TEST(OpenCLDevices, NoPlatformMeansNoDevice)
{
    // The loader reads its vendor folder once per process, so look in a fresh one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            test::FixtureTree emptyVendors;
            ::setenv("OCL_ICD_VENDORS", emptyVendors.root().c_str(), 1);
            std::_Exit(deviceProvider().devices().empty() && !nativeDevice(1) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace korvalen::gpu
