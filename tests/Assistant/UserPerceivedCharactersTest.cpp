#include "Assistant/Expert/UserPerceivedCharacters.h"

#include <QString>

#include <gtest/gtest.h>

#include <string>

namespace korvalen {
namespace {

std::string times(const std::string& piece, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

// The log's character counts: one per extended grapheme cluster, whatever the script, and in time
// that does not grow with a dictionary walk (a long Thai answer is counted like any other).
TEST(UserPerceivedCharacters, CountsExtendedGraphemeClusters)
{
    const struct {
        const char* what;
        std::string text;
        std::size_t count;
    } cases[] = {
        {"nothing", "", 0},
        {"ASCII, a CR LF is one", "ab\r\ncd\n\r", 7},
        {"a line feed after a non-ASCII letter", "Olá\nok", 6},
        {"the character after a lone CR", "ab\ré!", 5},
        {"U+0080 is not ASCII", "a\u0080b", 3},
        {"a letter and its accent", "cafe\u0301 au lait", 12},
        {"accents between ASCII on both sides", "a\u0301b\u0301c", 3},
        {"flags are pairs of regional indicators", "🇧🇷🇵🇹🇯", 3},
        {"an emoji family joined by U+200D", "👨‍👩‍👧‍👦 ok", 4},
        {"Arabic letters, a CR LF and Latin", "مرحبا\r\nGPU", 9},
        {"an Arabic letter under its vowel mark", "مَرحبا", 5},
        {"a keycap", "#\uFE0F\u20E3", 1},
        {"an Arabic number sign before its digits", "\u06001", 1},
        {"Thai without spaces, a tone mark on its letter", "ภาษาไทยเป็น", 10},
        {"Thai beside an emoji: never half a surrogate pair", "ก👩ก\u0E34", 3},
        {"a Devanagari conjunct beside an emoji with its skin tone", "क्ष👍🏽", 2},
        {"conjoining jamo make a syllable", "\u1100\u1161\u11A8\u1100", 2},
        {"a malformed byte is one replacement character",
         "a\xff\xfe"
         "b",
         4},
        {"one letter under a hundred thousand marks", std::string("a").append(times("\u0301", 100'000)), 1},
        {"emoji joined by U+200D thousands of times", std::string("👨").append(times("\u200D👩", 5000)), 1},
        {"many flags", times("🇧🇷", 10'000), 10'000},
        {"a long Thai text", times("ภาษาไทยเป็นภาษา", 20'000), 280'000},
    };
    for (const auto& c : cases) EXPECT_EQ(UserPerceivedCharacters::count(c.text), c.count) << c.what;
}

// Where a cut may end: the last boundary at or before a position, also one inside a surrogate pair.
TEST(UserPerceivedCharacters, FindsTheLastBoundaryAtOrBeforeAPosition)
{
    const struct {
        const char* what;
        QString text;
        qsizetype position, boundary;
    } cases[] = {
        {"inside an emoji's pair: the emoji's start", "a😀b", 2, 1},
        {"inside a skin tone's pair: the emoji's start", "a👍🏽b", 4, 1},
        {"inside a flag's second indicator: the flag's start", "a🇧🇷🇵🇹", 4, 1},
        {"inside the next flag's first indicator: that flag's start", "a🇧🇷🇵🇹", 6, 5},
        {"before an accent: its letter's start", "ae\u0301", 2, 1},
        {"inside the only character", "😀", 1, 0},
        {"before a lone low surrogate: not a pair", QString("a") + QChar(0xDC00) + "b", 1, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UserPerceivedCharacters::boundaryAtOrBefore(c.text, c.position), c.boundary) << c.what;
}

TEST(UserPerceivedCharacters, TakesTheLeadingCharactersWhole)
{
    EXPECT_EQ(UserPerceivedCharacters::leading("cafe\u0301 au lait", 4), "cafe\u0301");
    EXPECT_EQ(UserPerceivedCharacters::leading("🇧🇷🇵🇹🇯🇵", 2), "🇧🇷🇵🇹");
    EXPECT_EQ(UserPerceivedCharacters::leading("short", 2400), "short");
    EXPECT_EQ(UserPerceivedCharacters::leading("abc", 3), "abc");
}

}  // namespace
}  // namespace korvalen
