#pragma once

#include <QStringView>

#include <cstddef>
#include <string>

struct UBreakIterator;

namespace korvalen {

// The boundaries of user-perceived characters (extended grapheme clusters) in UTF-16 text, found on
// demand, in linear time whatever the script.
//
// Not Qt's boundary finder: it computes every kind of boundary of its whole text when made, word
// boundaries included, and those of Thai come from a dictionary walk that costs about a minute for a
// few megabytes; it also puts boundaries inside surrogate pairs of a text that mixes Thai or an
// Indic script with emoji.
class UserPerceivedCharacters {
public:
    // `text` must outlive the finder.
    explicit UserPerceivedCharacters(QStringView text);
    ~UserPerceivedCharacters();
    UserPerceivedCharacters(const UserPerceivedCharacters&) = delete;
    UserPerceivedCharacters& operator=(const UserPerceivedCharacters&) = delete;

    // The first boundary after `position`, or -1 when there is none.
    qsizetype following(qsizetype position);
    // The last boundary before `position`, or -1 when there is none.
    qsizetype preceding(qsizetype position);
    bool isBoundary(qsizetype position);
    // The last boundary at or before `position`, 0 at the least, also for a position inside a
    // surrogate pair. Whether a position is a boundary depends on the code point after it, so `text`
    // must hold that one too.
    static qsizetype boundaryAtOrBefore(QStringView text, qsizetype position);

    // Whether two adjacent code units are surely two characters whatever surrounds them: two ASCII
    // characters, but for CR LF.
    static bool alwaysApart(char16_t before, char16_t after)
    {
        return before < 0x80 && after < 0x80 && !(before == '\r' && after == '\n');
    }

    static std::size_t count(QStringView text);
    // Of UTF-8 text, read as QString reads it (a malformed sequence is one replacement character).
    static std::size_t count(const std::string& utf8);
    // The first `limit` characters of `utf8`, or all of it when it has no more.
    static std::string leading(const std::string& utf8, std::size_t limit);

private:
    UBreakIterator* iterator_;
};

}  // namespace korvalen
