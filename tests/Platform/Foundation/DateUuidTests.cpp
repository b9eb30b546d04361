#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Uuid.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

namespace korvalen {
namespace {

using namespace std::chrono;

Date fromMilliseconds(long long ms)
{
    return Date{duration_cast<Date::duration>(milliseconds{ms})};
}

TEST(Date, WritesUTCWithMilliseconds)
{
    EXPECT_EQ(isoDateText(fromMilliseconds(0)), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(isoDateText(fromMilliseconds(1796615599123)), "2026-12-07T03:53:19.123Z");
    EXPECT_EQ(isoDateText(fromMilliseconds(951868799999)), "2000-02-29T23:59:59.999Z");
    EXPECT_EQ(isoDateText(fromMilliseconds(-1)), "1969-12-31T23:59:59.999Z");
}

TEST(Date, ReadsAnyFractionAndZone)
{
    const Date base = fromMilliseconds(1796615599000);
    EXPECT_EQ(parseISODate("2026-12-07T03:53:19Z"), base);
    EXPECT_EQ(parseISODate("2026-12-07T03:53:19.1Z"), base + milliseconds{100});
    EXPECT_EQ(parseISODate("2026-12-07T03:53:19.123Z"), base + milliseconds{123});
    EXPECT_EQ(parseISODate("2026-12-07T03:53:19.123456789123Z"), base + milliseconds{123});
    EXPECT_EQ(parseISODate("2026-12-07T05:53:19+02:00"), base);
    EXPECT_EQ(parseISODate("2026-12-06T22:23:19.000-0530"), base);
    EXPECT_EQ(parseISODate("2026-12-07t03:53:19z"), base);

    for (const char* bad : {"", "2026-12-07", "2026-12-07T03:53:19", "2026-12-07T03:53:19.Z", "2026-02-30T00:00:00Z",
                            "2026-12-07T24:00:00Z", "2026-12-07T03:60:00Z", "2026-1-07T03:53:19Z",
                            "2026-12-07T03:53:19Zjunk", "2026-12-07 03:53:19Z", "2026-12-07T03:53:19+2"}) {
        EXPECT_FALSE(parseISODate(bad).has_value()) << bad;
    }
}

TEST(Date, EveryFourDigitYearRoundTripsExactlyAndWhatCannotBeWrittenBackIsRefused)
{
    // Far dates once overflowed a nanosecond time point and came back as other dates.
    for (const char* text : {"9999-12-31T23:59:59.999Z", "2262-04-12T00:00:00.000Z", "1677-09-20T23:59:59.000Z",
                             "0001-01-01T00:00:00.000Z", "1969-12-31T23:59:59.999Z"}) {
        const auto date = parseISODate(text);
        ASSERT_TRUE(date.has_value()) << text;
        EXPECT_EQ(isoDateText(*date), text);
    }
    // Offsets that carry the instant out of 0000-9999 would need a five-digit or negative year.
    EXPECT_FALSE(parseISODate("9999-12-31T23:30:00-01:00").has_value());
    EXPECT_FALSE(parseISODate("0000-01-01T00:30:00+01:00").has_value());
}

TEST(Date, NowSurvivesTextRoundTrip)
{
    const Date date = now();
    EXPECT_EQ(parseISODate(isoDateText(date)), date);
}

TEST(Uuid, TextIsUpperCaseAndParsesEitherCase)
{
    const auto uuid = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(uuid.has_value());
    EXPECT_EQ(uuid->text(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), uuid);
    EXPECT_EQ(uuid->bytes[0], 0xE6);
    EXPECT_EQ(uuid->bytes[15], 0x5F);

    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
                            "E621E1F-8C36C-495A-93FC-0C247A3E6E5F", "E621E1F8+C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
    }
}

TEST(Uuid, RandomIsVersionFourAndDistinct)
{
    std::set<Uuid> seen;
    for (int i = 0; i < 200; ++i) {
        const Uuid uuid = Uuid::random();
        EXPECT_EQ(uuid.bytes[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes[8] & 0xC0, 0x80);
        const std::string text = uuid.text();
        EXPECT_EQ(text[14], '4');
        EXPECT_EQ(Uuid::parse(text), uuid);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace korvalen
