#include "Platform/Foundation/StrictJSON.h"

#include "support/JSONTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvalen {
namespace {

using nlohmann::json;
using Kind = JSONDecodingError::Kind;
namespace sj = strictjson;

using testing::failureKind;

TEST(StrictJSON, IntegersMustBeWholeAndInRange)
{
    EXPECT_EQ(sj::decodeInt(json::parse("3"), "n"), 3);
    EXPECT_EQ(sj::decodeInt(json::parse("-3"), "n"), -3);
    EXPECT_EQ(sj::decodeInt(json::parse("3.0"), "n"), 3);
    EXPECT_EQ(sj::decodeInt(json::parse("1e2"), "n"), 100);
    EXPECT_EQ(sj::decodeInt(json::parse("-2147483648"), "n"), -2147483648);
    EXPECT_EQ(failureKind([] { sj::decodeInt(json::parse("3.7"), "n"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeInt(json::parse("2147483648"), "n"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeInt(json::parse("1e300"), "n"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeInt(json::parse("\"3\""), "n"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::decodeInt(json::parse("true"), "n"); }), Kind::typeMismatch);

    EXPECT_EQ(sj::decodeInt64(json::parse("-9223372036854775808"), "n"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(failureKind([] { sj::decodeInt64(json::parse("9223372036854775808"), "n"); }), Kind::dataCorrupted);
}

TEST(StrictJSON, UnsignedCoversTheWhole64BitRangeExactly)
{
    EXPECT_EQ(sj::decodeUInt64(json::parse("18446744073709551615"), "n"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(sj::decodeUInt64(json::parse("9007199254740993"), "n"), 9007199254740993ULL);
    EXPECT_EQ(sj::decodeUInt64(json(std::int64_t{7}), "n"), 7u);
    EXPECT_EQ(sj::decodeUInt64(json::parse("4.0"), "n"), 4u);
    EXPECT_EQ(failureKind([] { sj::decodeUInt64(json::parse("-1"), "n"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeUInt64(json::parse("-0.5"), "n"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeUInt64(json::parse("18446744073709551616"), "n"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeUInt64(json::parse("1.5"), "n"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeUInt64(json::parse("null"), "n"); }), Kind::typeMismatch);
}

TEST(StrictJSON, ScalarTypesAreNotCoerced)
{
    EXPECT_EQ(sj::decodeDouble(json::parse("2"), "x"), 2.0);
    EXPECT_EQ(sj::decodeDouble(json::parse("-0.25"), "x"), -0.25);
    EXPECT_EQ(failureKind([] { sj::decodeDouble(json::parse("\"2\""), "x"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::decodeDouble(json::parse("false"), "x"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::decodeBool(json::parse("1"), "x"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::decodeString(json::parse("1"), "x"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::decodeStringArray(json::parse("[\"a\", 1]"), "x"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::decodeStringArray(json::parse("\"a\""), "x"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::decodeDate(json::parse("\"yesterday\""), "x"); }), Kind::dataCorrupted);
    EXPECT_EQ(failureKind([] { sj::decodeUuid(json::parse("\"not-a-uuid\""), "x"); }), Kind::dataCorrupted);
}

TEST(StrictJSON, ReaderDistinguishesRequiredAndOptionalKeys)
{
    const json object = json::parse(R"({"a": 1, "n": null, "s": "text", "extra": [1, 2]})");
    const sj::ObjectReader reader(object, "root");
    EXPECT_EQ(reader.requiredInt("a"), 1);
    EXPECT_EQ(reader.optionalInt("a"), 1);
    EXPECT_FALSE(reader.optionalInt("missing").has_value());
    EXPECT_FALSE(reader.optionalInt("n").has_value());
    EXPECT_EQ(failureKind([&] { reader.requiredInt("missing"); }), Kind::keyNotFound);
    EXPECT_EQ(failureKind([&] { reader.requiredInt("n"); }), Kind::valueNotFound);
    // A present optional is still read strictly.
    EXPECT_EQ(failureKind([&] { reader.optionalInt("s"); }), Kind::typeMismatch);
    EXPECT_EQ(failureKind([] { sj::ObjectReader(json::array(), ""); }), Kind::typeMismatch);

    try {
        reader.requiredInt("missing");
    } catch (const JSONDecodingError& error) {
        EXPECT_EQ(error.path(), "root.missing");
        EXPECT_STREQ(error.what(), "root.missing: required key is missing");
    }
}

TEST(StrictJSON, ErrorPathsNameNestedElements)
{
    const json document = json::parse(R"({"items": [{"v": 1}, {"v": "x"}]})");
    try {
        sj::ObjectReader(document, "").required("items", [](const json& items, const std::string& path) {
            return sj::decodeArray(items, path, [](const json& item, const std::string& at) {
                return sj::ObjectReader(item, at).requiredInt("v");
            });
        });
        FAIL() << "decoding succeeded";
    } catch (const JSONDecodingError& error) {
        EXPECT_EQ(error.path(), "items[1].v");
        EXPECT_EQ(error.kind(), Kind::typeMismatch);
    }
}

TEST(StrictJSON, WriterNeverWritesNonFiniteNumbersOrAbsentOptionals)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    sj::ObjectWriter writer;
    writer.put("nan", nan)
        .put("inf", -std::numeric_limits<double>::infinity())
        .put("list", std::vector<double>{1.5, nan})
        .put("big", std::uint64_t{18446744073709551615ULL})
        .putOptional("absent", std::optional<double>{})
        .putOptional("optionalNaN", std::optional<double>{nan})
        .putOptional("empty", std::optional<std::vector<std::string>>{std::vector<std::string>{}})
        .put("literal", "text");
    const json object = writer.take();
    const std::string text = object.dump();
    EXPECT_EQ(text.find("null"), std::string::npos) << text;
    EXPECT_FALSE(object.contains("absent"));
    EXPECT_EQ(object.at("nan"), 0.0);
    EXPECT_EQ(object.at("inf"), 0.0);
    EXPECT_EQ(object.at("optionalNaN"), 0.0);
    EXPECT_EQ(object.at("list"), json::parse("[1.5, 0.0]"));
    EXPECT_EQ(object.at("empty"), json::array());
    EXPECT_EQ(object.at("literal"), "text");
    EXPECT_EQ(sj::decodeUInt64(json::parse(text).at("big"), "big"), 18446744073709551615ULL);
}

}  // namespace
}  // namespace korvalen
