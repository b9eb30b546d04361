#include "Execution/DeterministicInputs.h"

namespace korvalen {

std::vector<float> deterministicFloats(std::int64_t count, std::uint64_t seed)
{
    std::vector<float> values;
    if (count <= 0) return values;
    values.reserve(static_cast<std::size_t>(count));
    SplitMix64 stream(seed);
    for (std::int64_t k = 0; k < count; ++k) values.push_back(stream.nextFloat());
    return values;
}

void fillDeterministicFloats(std::span<float> out, std::uint64_t seed)
{
    SplitMix64 stream(seed);
    for (float& value : out) value = stream.nextFloat();
}

}  // namespace korvalen
