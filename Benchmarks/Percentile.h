// Order statistics of a benchmark's samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The value at Fraction (0.5: the median, 0.99: p99) of Values, nearest rank; 0 when
// there are none.
inline double Percentile(std::vector<double> Values, double Fraction)
{
    if (Values.empty())
    {
        return 0.0;
    }
    std::sort(Values.begin(), Values.end());
    const std::size_t Index =
        static_cast<std::size_t>(Fraction * static_cast<double>(Values.size() - 1) + 0.5);
    return Values[std::min(Index, Values.size() - 1)];
}
