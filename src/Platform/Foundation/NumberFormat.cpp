#include "Platform/Foundation/NumberFormat.h"

#include <charconv>
#include <cmath>

namespace korvalen {

std::string formatFixed(double value, int decimals)
{
    if (decimals < 0) {
        decimals = 6;
    }
    if (std::isnan(value)) {
        return std::signbit(value) ? "-nan" : "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // The largest double has 309 integer digits; sign, point and the fraction digits come on top.
    std::string out(static_cast<std::size_t>(decimals) + 320, '\0');
    const auto result = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, decimals);
    out.resize(static_cast<std::size_t>(result.ptr - out.data()));
    return out;
}

std::string formatSignedFixed(double value, int decimals)
{
    std::string text = formatFixed(value, decimals);
    if (text.empty() || text.front() != '-') {
        text.insert(text.begin(), '+');
    }
    return text;
}

std::string formatResultNumber(double value)
{
    if (!std::isfinite(value)) {
        return "0";
    }
    const double magnitude = std::fabs(value);
    if (magnitude >= 100) {
        return formatFixed(value, 0);
    }
    if (magnitude >= 10) {
        return formatFixed(value, 2);
    }
    return formatFixed(value, 4);
}

}  // namespace korvalen
