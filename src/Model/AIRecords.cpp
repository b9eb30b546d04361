#include "Model/AIRecords.h"

#include <bit>

namespace korvalen {

namespace {

// A 64-bit mixing step (the finalizer of splitmix64) over the running state and the next field.
std::uint64_t combine(std::uint64_t state, std::uint64_t field)
{
    std::uint64_t x = state ^ (field + 0x9E3779B97F4A7C15ULL + (state << 6) + (state >> 2));
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return x;
}

std::uint64_t doubleBits(double value)
{
    return std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value);
}

}  // namespace

std::size_t hashValue(const AIGPUProfile& profile)
{
    std::uint64_t state = combine(0, std::hash<std::string>{}(profile.name));
    state = combine(state, profile.registryID);
    state = combine(state, profile.lowPower);
    state = combine(state, profile.removable);
    state = combine(state, profile.headless);
    state = combine(state, profile.unifiedMemory);
    state = combine(state, doubleBits(profile.recommendedWorkingSetMB));
    state = combine(state, doubleBits(profile.currentAllocatedMB));
    state = combine(state, doubleBits(profile.maxBufferMB));
    return static_cast<std::size_t>(state);
}

}  // namespace korvalen
