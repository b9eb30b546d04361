#include "Platform/Foundation/Date.h"

namespace korvalen {

namespace {

using namespace std::chrono;

void appendDigits(std::string& out, long long value, int width)
{
    char buffer[24];
    int length = 0;
    do {
        buffer[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = length; i < width; ++i) {
        out.push_back('0');
    }
    while (length > 0) {
        out.push_back(buffer[--length]);
    }
}

// A cursor over the text being parsed; every reader fails softly by returning false.
struct Scanner {
    std::string_view text;
    std::size_t position = 0;

    bool atEnd() const { return position >= text.size(); }
    char peek() const { return atEnd() ? '\0' : text[position]; }

    bool literal(char c)
    {
        if (peek() != c) return false;
        ++position;
        return true;
    }
    bool oneOf(char a, char b) { return literal(a) || literal(b); }
    bool digits(int count, int& value)
    {
        value = 0;
        for (int i = 0; i < count; ++i) {
            const char c = peek();
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
            ++position;
        }
        return true;
    }
};

}  // namespace

Date now()
{
    // Files keep milliseconds; a date made now survives a write and a read unchanged.
    return floor<milliseconds>(system_clock::now());
}

std::string isoDateText(Date date)
{
    const auto ms = floor<milliseconds>(date);
    const auto day = floor<days>(ms);
    const year_month_day ymd{day};
    long long rest = (ms - day).count();  // milliseconds into the day, always non-negative

    std::string out;
    out.reserve(24);
    const int yearValue = static_cast<int>(ymd.year());
    if (yearValue < 0) {
        out.push_back('-');
    }
    appendDigits(out, yearValue < 0 ? -static_cast<long long>(yearValue) : yearValue, 4);
    out.push_back('-');
    appendDigits(out, static_cast<unsigned>(ymd.month()), 2);
    out.push_back('-');
    appendDigits(out, static_cast<unsigned>(ymd.day()), 2);
    out.push_back('T');
    appendDigits(out, rest / 3'600'000, 2);
    rest %= 3'600'000;
    out.push_back(':');
    appendDigits(out, rest / 60'000, 2);
    rest %= 60'000;
    out.push_back(':');
    appendDigits(out, rest / 1000, 2);
    out.push_back('.');
    appendDigits(out, rest % 1000, 3);
    out.push_back('Z');
    return out;
}

std::optional<Date> parseISODate(std::string_view text)
{
    Scanner in{text};
    int yearValue = 0, monthValue = 0, dayValue = 0, hour = 0, minute = 0, second = 0;
    if (!in.digits(4, yearValue) || !in.literal('-') || !in.digits(2, monthValue) || !in.literal('-') ||
        !in.digits(2, dayValue) || !in.oneOf('T', 't') || !in.digits(2, hour) || !in.literal(':') ||
        !in.digits(2, minute) || !in.literal(':') || !in.digits(2, second)) {
        return std::nullopt;
    }
    const year_month_day ymd{year{yearValue}, month{static_cast<unsigned>(monthValue)},
                             day{static_cast<unsigned>(dayValue)}};
    if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }

    // Any number of fraction digits; beyond milliseconds they are dropped.
    long long millis = 0;
    if (in.oneOf('.', ',')) {
        int count = 0;
        while (in.peek() >= '0' && in.peek() <= '9') {
            if (count < 3) {
                millis = millis * 10 + (in.peek() - '0');
            }
            ++count;
            ++in.position;
        }
        if (count == 0) {
            return std::nullopt;
        }
        for (int i = count; i < 3; ++i) {
            millis *= 10;
        }
    }

    int offsetMinutes = 0;
    if (in.oneOf('Z', 'z')) {
        // UTC
    } else if (in.peek() == '+' || in.peek() == '-') {
        const int sign = in.peek() == '-' ? -1 : 1;
        ++in.position;
        int offsetHours = 0, offsetMins = 0;
        if (!in.digits(2, offsetHours)) {
            return std::nullopt;
        }
        if (!in.atEnd()) {
            in.literal(':');
            if (!in.digits(2, offsetMins)) {
                return std::nullopt;
            }
        }
        if (offsetHours > 23 || offsetMins > 59) {
            return std::nullopt;
        }
        offsetMinutes = sign * (offsetHours * 60 + offsetMins);
    } else {
        return std::nullopt;  // a time without a zone is ambiguous
    }
    if (!in.atEnd()) {
        return std::nullopt;
    }

    const Date local = sys_days{ymd} + hours{hour} + minutes{minute} + seconds{second} + milliseconds{millis};
    const Date utc = local - minutes{offsetMinutes};
    const int utcYear = static_cast<int>(year_month_day{floor<days>(utc)}.year());
    if (utcYear < 0 || utcYear > 9999) {
        return std::nullopt;
    }
    return utc;
}

}  // namespace korvalen
