#include "Assistant/Expert/UserPerceivedCharacters.h"

#include <QString>

#include <unicode/ubrk.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <stdexcept>

namespace korvalen {

namespace {

UBreakIterator* openIterator(QStringView text)
{
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* iterator = ubrk_open(UBRK_CHARACTER, "", text.utf16(), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("character boundaries: ") + u_errorName(status));
    return iterator;
}

bool isAscii(char16_t unit)
{
    return unit < 0x80;
}

}  // namespace

UserPerceivedCharacters::UserPerceivedCharacters(QStringView text) : iterator_(openIterator(text))
{}

UserPerceivedCharacters::~UserPerceivedCharacters()
{
    ubrk_close(iterator_);
}

qsizetype UserPerceivedCharacters::following(qsizetype position)
{
    const int32_t next = ubrk_following(iterator_, static_cast<int32_t>(position));
    return next == UBRK_DONE ? -1 : next;
}

qsizetype UserPerceivedCharacters::preceding(qsizetype position)
{
    const int32_t previous = ubrk_preceding(iterator_, static_cast<int32_t>(position));
    return previous == UBRK_DONE ? -1 : previous;
}

bool UserPerceivedCharacters::isBoundary(qsizetype position)
{
    return ubrk_isBoundary(iterator_, static_cast<int32_t>(position)) != 0;
}

qsizetype UserPerceivedCharacters::boundaryAtOrBefore(QStringView text, qsizetype position)
{
    // Inside a surrogate pair ICU answers for the code point's start, yet passes it by: no boundary
    // there, and `preceding` steps back from that start. The start is the position to ask about.
    if (position > 0 && position < text.size() && QChar::isHighSurrogate(text[position - 1].unicode()) &&
        QChar::isLowSurrogate(text[position].unicode()))
        --position;
    UserPerceivedCharacters characters(text);
    return characters.isBoundary(position) ? position : std::max<qsizetype>(0, characters.preceding(position));
}

std::size_t UserPerceivedCharacters::count(QStringView text)
{
    // Two ASCII characters are always two user-perceived characters, except CR LF: the text falls
    // into pieces there, and only a piece holding another character needs the rules. Prose then
    // costs a scan.
    const char16_t* units = text.utf16();
    const qsizetype size = text.size();
    UserPerceivedCharacters rules{QStringView()};
    std::size_t count = 0;
    for (qsizetype start = 0, end = 0; start < size; start = end) {
        bool ascii = isAscii(units[start]);
        for (end = start + 1; end < size; ++end) {
            if (alwaysApart(units[end - 1], units[end])) break;
            ascii = ascii && isAscii(units[end]);
        }
        if (ascii) {  // one character, or CR LF
            ++count;
            continue;
        }
        // No rule joins two characters that break as "other" (most letters of most scripts), so a
        // piece of nothing else is counted by its characters, without setting the rules up for it.
        qsizetype alone = 0;
        for (qsizetype i = start; i < end && alone >= 0; ++i) {
            if (units[i] == '\n' && i > start && units[i - 1] == '\r') continue;
            const auto kind = isAscii(units[i]) || QChar::isSurrogate(units[i])
                                  ? (isAscii(units[i]) ? U_GCB_OTHER : U_GCB_EXTEND)
                                  : u_getIntPropertyValue(units[i], UCHAR_GRAPHEME_CLUSTER_BREAK);
            alone = kind == U_GCB_OTHER ? alone + 1 : -1;
        }
        if (alone >= 0) {
            count += static_cast<std::size_t>(alone);
            continue;
        }
        UErrorCode status = U_ZERO_ERROR;
        ubrk_setText(rules.iterator_, units + start, static_cast<int32_t>(end - start), &status);
        if (U_FAILURE(status)) throw std::runtime_error(std::string("character boundaries: ") + u_errorName(status));
        while (ubrk_next(rules.iterator_) != UBRK_DONE) ++count;
    }
    return count;
}

std::size_t UserPerceivedCharacters::count(const std::string& utf8)
{
    return count(QString::fromStdString(utf8));
}

std::string UserPerceivedCharacters::leading(const std::string& utf8, std::size_t limit)
{
    const QString text = QString::fromStdString(utf8);
    UserPerceivedCharacters characters(text);
    qsizetype end = 0;
    for (std::size_t taken = 0; taken < limit; ++taken) {
        end = characters.following(end);
        if (end < 0) return utf8;
    }
    return text.left(end).toStdString();
}

}  // namespace korvalen
