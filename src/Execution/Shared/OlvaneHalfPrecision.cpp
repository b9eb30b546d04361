#include "Execution/Shared/OlvaneHalfPrecision.h"

#include <stdexcept>

namespace korvalen::OlvaneHalfPrecision {

void encode(std::span<const float> in, std::span<std::uint16_t> out)
{
    if (out.size() < in.size()) throw std::length_error("half-precision output shorter than its input");
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = encode(in[i]);
}

void decode(std::span<const std::uint16_t> in, std::span<float> out)
{
    if (out.size() < in.size()) throw std::length_error("single-precision output shorter than its input");
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = decode(in[i]);
}

}  // namespace korvalen::OlvaneHalfPrecision
