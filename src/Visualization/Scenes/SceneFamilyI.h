#pragma once

#include <QPointF>

#include <cstdint>

// Small helpers shared by the Core ML, GPU vision, language, generative and audio scenes.
namespace korvalen::scene::familyI {

// The noise index base + perFrame·frame of the scenes whose noise changes with a time-driven frame
// number. Summed modulo 2^64 like the noise's own seed + index, so no clock value can overflow it.
inline std::int64_t frameNoiseIndex(std::int64_t base, std::int64_t perFrame, std::int64_t frame)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(base) +
                                     static_cast<std::uint64_t>(perFrame) * static_cast<std::uint64_t>(frame));
}

// The point at fraction f of the way from `from` to `to`.
inline QPointF along(QPointF from, QPointF to, double f)
{
    return {from.x() + f * (to.x() - from.x()), from.y() + f * (to.y() - from.y())};
}

}  // namespace korvalen::scene::familyI
