#include "Model/AIRecordsJSON.h"
#include "State/SessionPersistence.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace korvalen;
using korvalen::testing::sampleSession;

namespace {

// What one parse of the whole text and a decoding of each element give.
std::optional<SessionPersistence::TextReading> wholeTextReading(const std::string& text)
{
    nlohmann::json whole;
    try {
        whole = nlohmann::json::parse(text, nullptr, false);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!whole.is_array()) return std::nullopt;
    SessionPersistence::TextReading reading;
    for (const nlohmann::json& element : whole) {
        try {
            reading.sessions.push_back(sessionFromJSON(element));
        } catch (const std::exception&) {
            ++reading.skipped;
        }
    }
    return reading;
}

std::string printable(const std::string& text, std::size_t around)
{
    std::string shown;
    const std::size_t from = around > 40 ? around - 40 : 0;
    for (std::size_t i = from; i < std::min(text.size(), around + 40); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        shown += c >= 0x20 && c < 0x7F ? std::string(1, char(c)) : "\\x" + std::to_string(c);
    }
    return shown;
}

::testing::AssertionResult readsAsTheWholeText(const std::string& text, std::size_t around)
{
    const auto expected = wholeTextReading(text);
    const auto read = SessionPersistence::readText(text);
    if (expected.has_value() != read.has_value())
        return ::testing::AssertionFailure() << (read ? "read" : "refused") << " but a whole-text parse "
                                             << (expected ? "reads" : "refuses") << " …" << printable(text, around);
    if (read && (read->sessions != expected->sessions || read->skipped != expected->skipped))
        return ::testing::AssertionFailure() << "other sessions than a whole-text parse: …" << printable(text, around);
    return ::testing::AssertionSuccess();
}

// A saved history of three sessions without results (small, so that thousands of edits parse
// quickly, also under the sanitizers); the middle one carries a key of a newer version whose value
// is full of the characters the cut looks for.
std::string smallHistory()
{
    nlohmann::json history =
        toJSON(std::vector<AIBenchmarkSession>{sampleSession(1, {}), sampleSession(2, {}), sampleSession(3, {})});
    history[1]["note from a newer version"] = {"x,]}\"[\\", {{"k", {1, "]"}}}};
    return "\xEF\xBB\xBF [" + history[0].dump() + ",\n" + history[1].dump() + " , " + history[2].dump() + "] \n";
}

// The places where the cut into sessions decides something: the array's own bytes and each
// session's first and last byte, with the bytes beside them, and the newer version's note.
std::vector<std::size_t> structuralPositions(const std::string& text)
{
    std::vector<std::size_t> positions;
    auto around = [&](std::size_t at) {
        for (std::size_t p = at > 0 ? at - 1 : at; p <= at + 1 && p < text.size(); ++p) positions.push_back(p);
    };
    for (std::size_t p = 0; p < 6; ++p) positions.push_back(p);  // the byte-order mark and the bracket
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        if (c == '[' || c == '{') {
            if (depth++ <= 1) around(i);
        } else if (c == ']' || c == '}') {
            if (--depth <= 1) around(i);
        } else if (c == ',' && depth == 1) {
            around(i);
        }
    }
    const std::string note = nlohmann::json::array({"x,]}\"[\\", {{"k", {1, "]"}}}}).dump();
    for (std::size_t p = text.find(note); p < text.find(note) + note.size(); ++p) positions.push_back(p);
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}

// Every byte value at every structural position, then random edits of the same history.
TEST(HistoryTextTest, TheHistoryCutIntoSessionsReadsAsOneParseOfTheWholeText)
{
    const std::string history = smallHistory();
    ASSERT_TRUE(readsAsTheWholeText(history, 0));
    ASSERT_EQ(SessionPersistence::readText(history)->sessions.size(), 3u);
    const std::vector<std::size_t> positions = structuralPositions(history);

    int failures = 0;
    for (const std::size_t at : positions) {
        for (int byte = 0; byte < 256 && failures < 5; ++byte) {
            std::string changed = history;
            changed[at] = static_cast<char>(byte);
            const auto verdict = readsAsTheWholeText(changed, at);
            EXPECT_TRUE(verdict) << "byte " << byte << " at " << at;
            failures += !verdict;
        }
    }

    // Bytes an edit brings in: those the cut looks for, those the parser ends or refuses on.
    constexpr std::array<char, 14> telling{'\0', '"', '\\', '[', ']', '{', '}', ',', ':', ' ', '\n', 'x', '\xEF', '1'};
    std::mt19937 random(20261207);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    for (int round = 0; round < 2000 && failures < 5; ++round) {
        std::string changed = history;
        std::size_t at = 0;
        for (std::size_t edits = 1 + pick(3); edits > 0 && !changed.empty(); --edits) {
            at = pick(2) == 0 ? positions[pick(positions.size())] : pick(changed.size());
            at = std::min(at, changed.size() - 1);
            const char byte = pick(2) == 0 ? telling[pick(telling.size())] : static_cast<char>(pick(256));
            switch (pick(4)) {
            case 0: changed[at] = byte; break;
            case 1: changed.insert(changed.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
            case 2: changed.erase(at, 1 + pick(8)); break;
            default: changed.insert(at, changed.substr(pick(changed.size()), 1 + pick(40))); break;
            }
        }
        const auto verdict = readsAsTheWholeText(changed, at);
        EXPECT_TRUE(verdict) << "round " << round;
        failures += !verdict;
    }
}

}  // namespace
