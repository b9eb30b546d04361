#pragma once

#include "Execution/Shared/InstructionSet.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvalen {

// What one CPU kernel iteration hands back to the timed loop.
struct IterationOutcome {
    double workUnits = 0;  // in the workload's throughput unit, before division by time
    double checksum = 0;
    bool passed = false;               // the iteration's own validation verdict
    std::vector<std::string> details;  // two description lines of the kernel
};

// SplitMix64 stream: the single source of every input of the CPU kernels and GPU invocations, so
// that equal (count, seed) pairs give bit-identical data on every machine and in every run.
class SplitMix64 {
public:
    static constexpr std::uint64_t gamma = 0x9E3779B97F4A7C15ull;

    explicit constexpr SplitMix64(std::uint64_t seed) : state_(seed + gamma) {}

    // The mixed value of the current state; advances the state by gamma.
    constexpr std::uint64_t next()
    {
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z = z ^ (z >> 31);
        state_ += gamma;
        return z;
    }

    // The next value mapped to a float in [-1, 1].
    float nextFloat()
    {
        // z >> 11 is below 2^53, so the signed conversion is exact and avoids the unsigned path.
        const double u = static_cast<double>(static_cast<std::int64_t>(next() >> 11)) * 0x1p-53;
        const float f = static_cast<float>(u);
        return (f + f) - 1.0f;
    }

private:
    std::uint64_t state_;
};

// `count` floats in [-1, 1] from the stream seeded with `seed`. A count of zero or below gives an
// empty array.
std::vector<float> deterministicFloats(std::int64_t count, std::uint64_t seed);

// Writes the same values as deterministicFloats(out.size(), seed) into `out`, with the active
// instruction set. Value i depends on seed + (i + 1) x gamma alone, so values from index s on are
// the fill with seed + s x gamma: parts of an array can be filled apart, in any order.
void fillDeterministicFloats(std::span<float> out, std::uint64_t seed);

// The fill with a chosen set, which the caller must know the processor supports (tests force each).
void fillDeterministicFloats(std::span<float> out, std::uint64_t seed, InstructionSet set);

// The 8-bit inputs: (next() mod 31) - 15 for each of out.size() values of the stream seeded with
// `seed`, with the active instruction set or with a chosen one.
void fillDeterministicBytes(std::span<std::int8_t> out, std::uint64_t seed);
void fillDeterministicBytes(std::span<std::int8_t> out, std::uint64_t seed, InstructionSet set);

// Double sum of x[0], x[s], x[2s], ... (stride s >= 1).
template <typename T>
double sampledChecksum(std::span<const T> x, std::size_t stride)
{
    double sum = 0;
    for (std::size_t i = 0; i < x.size(); i += stride) sum += static_cast<double>(x[i]);
    return sum;
}

// Double sum of (i mod 17 + 1) * x[i] for i = 0, s, 2s, ... (stride s >= 1).
template <typename T>
double weightedSampledChecksum(std::span<const T> x, std::size_t stride)
{
    double sum = 0;
    for (std::size_t i = 0; i < x.size(); i += stride)
        sum += static_cast<double>(i % 17 + 1) * static_cast<double>(x[i]);
    return sum;
}

}  // namespace korvalen
