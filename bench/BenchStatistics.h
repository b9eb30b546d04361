#pragma once

#include <algorithm>
#include <vector>

namespace korvalen::bench {

// The median of the samples (the mean of the middle two for an even count); the samples are not
// empty.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace korvalen::bench
