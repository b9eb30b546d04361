#pragma once

// Helpers shared by the expert's answers; not part of the library's interface.

#include "Assistant/Expert/AIAssistantTypes.h"
#include "Model/AIRecords.h"
#include "Platform/Foundation/NumberFormat.h"

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen::AIAssistantEngine::detail {

// One fixed text in both languages, English first as the tables that define them list it.
struct Bilingual {
    std::string_view english;
    std::string_view portuguese;
    std::string_view in(AIAssistantLanguage language) const
    {
        return language == AIAssistantLanguage::english ? english : portuguese;
    }
};

inline bool isEnglish(AIAssistantLanguage language)
{
    return language == AIAssistantLanguage::english;
}

// The result number format of the result cards.
inline std::string metric(double value)
{
    return formatResultNumber(value);
}

inline std::string count(long long value)
{
    return std::to_string(value);
}

inline std::string percentText(double value)
{
    return formatSignedFixed(value, 2) + "%";
}

inline std::string join(const std::vector<std::string>& lines, std::string_view separator = "\n")
{
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += separator;
        }
        text += lines[i];
    }
    return text;
}

inline const std::string& title(AIWorkloadID id)
{
    return definition(id).title;
}
inline std::string backendText(AIBackend backend)
{
    return std::string(rawValue(backend));
}

inline bool certified(const AIBenchmarkResult& result)
{
    return result.certifiedForComparison.value_or(false);
}
inline bool comparable(const AIBenchmarkResult& result)
{
    return result.valid && certified(result);
}

// The P99 latency, or the maximum on records older than the P99 field.
inline double p99(const AIBenchmarkResult& result)
{
    return result.latency.p99MS.value_or(result.latency.maximumMS);
}

// Whether the normalised text contains the keyword anywhere, word boundaries ignored.
bool contains(std::string_view normalizedText, std::string_view keyword);
template <std::size_t N>
bool containsAny(std::string_view normalizedText, const std::array<std::string_view, N>& keywords)
{
    for (std::string_view keyword : keywords) {
        if (contains(normalizedText, keyword)) {
            return true;
        }
    }
    return false;
}

// A score as rankings compare it: a score that is not a number ranks below every other, so it never
// wins a comparison and never upsets a sort.
inline double rankScore(double score)
{
    return std::isnan(score) ? -std::numeric_limits<double>::infinity() : score;
}

// Stable sort by score, highest first.
std::vector<AIBenchmarkResult> sortedByScoreDescending(std::vector<AIBenchmarkResult> results);

}  // namespace korvalen::AIAssistantEngine::detail
