#include "Execution/Shared/DeterministicInputs.h"

namespace korvalen {

std::vector<float> deterministicFloats(std::int64_t count, std::uint64_t seed)
{
    std::vector<float> values;
    if (count <= 0) return values;
    // Sized up front and filled in place: a push_back loop costs twice as much as the generation.
    values.resize(static_cast<std::size_t>(count));
    fillDeterministicFloats(values, seed);
    return values;
}

void fillDeterministicFloats(std::span<float> out, std::uint64_t seed)
{
    SplitMix64 stream(seed);
    for (float& value : out) value = stream.nextFloat();
}

}  // namespace korvalen
