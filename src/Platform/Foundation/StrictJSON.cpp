#include "Platform/Foundation/StrictJSON.h"

#include <cmath>
#include <limits>

namespace korvalen {

namespace {

std::string describe(std::string_view path, std::string_view message)
{
    if (path.empty()) {
        return std::string(message);
    }
    return std::string(path) + ": " + std::string(message);
}

const char* typeName(const nlohmann::json& value)
{
    return value.type_name();  // "null", "number", "string", ...
}

[[noreturn]] void typeMismatch(const nlohmann::json& value, const std::string& path, std::string_view expected)
{
    throw JSONDecodingError(JSONDecodingError::Kind::typeMismatch, path,
                            "expected " + std::string(expected) + ", found " + typeName(value));
}

[[noreturn]] void doesNotFit(const nlohmann::json& value, const std::string& path, std::string_view target)
{
    throw JSONDecodingError(JSONDecodingError::Kind::dataCorrupted, path,
                            "number " + value.dump() + " does not fit in " + std::string(target));
}

// A whole number held in a signed 64-bit range, or none. Floats count when they are whole ("3.0", "1e2").
std::optional<std::int64_t> wholeSigned(const nlohmann::json& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::number_integer: return value.get<std::int64_t>();
    case nlohmann::json::value_t::number_unsigned: {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(u);
    }
    case nlohmann::json::value_t::number_float: {
        const double d = value.get<double>();
        // 2^63 is exactly representable; anything at or above it does not fit.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(d);
    }
    default: return std::nullopt;
    }
}

}  // namespace

JSONDecodingError::JSONDecodingError(Kind kind, std::string path, std::string message)
    : std::runtime_error(describe(path, message)), kind_(kind), path_(std::move(path)), message_(std::move(message))
{}

namespace strictjson {

std::string childPath(const std::string& path, std::string_view key)
{
    if (path.empty()) {
        return std::string(key);
    }
    std::string result;
    result.reserve(path.size() + 1 + key.size());
    result.append(path).append(".").append(key);
    return result;
}

std::string elementPath(const std::string& path, std::size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

double decodeDouble(const nlohmann::json& value, const std::string& path)
{
    if (!value.is_number()) {
        typeMismatch(value, path, "a number");
    }
    return value.get<double>();
}

namespace {

// A JSON number that is a whole number within [low, high]; otherwise the decoding error that names
// the expected `kind`.
std::int64_t decodeWhole(const nlohmann::json& value, const std::string& path, std::int64_t low, std::int64_t high,
                         const char* kind)
{
    if (!value.is_number()) {
        typeMismatch(value, path, "an integer");
    }
    const auto whole = wholeSigned(value);
    if (!whole || *whole < low || *whole > high) {
        doesNotFit(value, path, kind);
    }
    return *whole;
}

}  // namespace

std::int64_t decodeInt64(const nlohmann::json& value, const std::string& path)
{
    return decodeWhole(value, path, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                       "a 64-bit integer");
}

int decodeInt(const nlohmann::json& value, const std::string& path)
{
    return static_cast<int>(
        decodeWhole(value, path, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), "an integer"));
}

std::uint64_t decodeUInt64(const nlohmann::json& value, const std::string& path)
{
    switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned: return value.get<std::uint64_t>();
    case nlohmann::json::value_t::number_integer: {
        const auto i = value.get<std::int64_t>();
        if (i < 0) {
            doesNotFit(value, path, "an unsigned 64-bit integer");
        }
        return static_cast<std::uint64_t>(i);
    }
    case nlohmann::json::value_t::number_float: {
        const double d = value.get<double>();
        // 2^64 is exactly representable; anything at or above it does not fit.
        if (!std::isfinite(d) || std::trunc(d) != d || d < 0 || d >= 18446744073709551616.0) {
            doesNotFit(value, path, "an unsigned 64-bit integer");
        }
        return static_cast<std::uint64_t>(d);
    }
    default: typeMismatch(value, path, "an unsigned integer");
    }
}

bool decodeBool(const nlohmann::json& value, const std::string& path)
{
    if (!value.is_boolean()) {
        typeMismatch(value, path, "a boolean");
    }
    return value.get<bool>();
}

std::string decodeString(const nlohmann::json& value, const std::string& path)
{
    if (!value.is_string()) {
        typeMismatch(value, path, "a string");
    }
    return value.get<std::string>();
}

Date decodeDate(const nlohmann::json& value, const std::string& path)
{
    const std::string text = decodeString(value, path);
    const auto date = parseISODate(text);
    if (!date) {
        throw JSONDecodingError(JSONDecodingError::Kind::dataCorrupted, path,
                                "expected an ISO 8601 date, found \"" + text + "\"");
    }
    return *date;
}

Uuid decodeUuid(const nlohmann::json& value, const std::string& path)
{
    const std::string text = decodeString(value, path);
    const auto uuid = Uuid::parse(text);
    if (!uuid) {
        throw JSONDecodingError(JSONDecodingError::Kind::dataCorrupted, path,
                                "expected a UUID, found \"" + text + "\"");
    }
    return *uuid;
}

std::vector<std::string> decodeStringArray(const nlohmann::json& value, const std::string& path)
{
    return decodeArray(value, path, decodeString);
}

std::vector<double> decodeDoubleArray(const nlohmann::json& value, const std::string& path)
{
    // Latency samples run to millions of values in a history: the element's path is spelled only
    // for the error it names.
    if (!value.is_array()) {
        throw JSONDecodingError(JSONDecodingError::Kind::typeMismatch, path, "expected an array");
    }
    std::vector<double> result;
    result.reserve(value.size());
    std::size_t index = 0;
    for (const nlohmann::json& element : value) {
        result.push_back(element.is_number() ? element.get<double>() : decodeDouble(element, elementPath(path, index)));
        ++index;
    }
    return result;
}

nlohmann::json encodeNumber(double value)
{
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(0.0);
}

nlohmann::json encodeDate(Date date)
{
    return isoDateText(date);
}

nlohmann::json encodeUuid(const Uuid& uuid)
{
    return uuid.text();
}

nlohmann::json encodeDoubleArray(const std::vector<double>& values)
{
    nlohmann::json array = nlohmann::json::array();
    for (double value : values) {
        array.push_back(encodeNumber(value));
    }
    return array;
}

ObjectReader::ObjectReader(const nlohmann::json& value, std::string path) : object_(value), path_(std::move(path))
{
    if (!value.is_object()) {
        typeMismatch(value, path_, "an object");
    }
}

const nlohmann::json& ObjectReader::requiredValue(std::string_view key, const std::string& keyPath) const
{
    const auto found = object_.find(std::string(key));
    if (found == object_.end()) {
        throw JSONDecodingError(JSONDecodingError::Kind::keyNotFound, keyPath, "required key is missing");
    }
    if (found->is_null()) {
        throw JSONDecodingError(JSONDecodingError::Kind::valueNotFound, keyPath, "required value is null");
    }
    return *found;
}

const nlohmann::json* ObjectReader::optionalValue(std::string_view key) const
{
    const auto found = object_.find(std::string(key));
    if (found == object_.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

ObjectWriter& ObjectWriter::put(std::string_view key, double value)
{
    object_[std::string(key)] = encodeNumber(value);
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, int value)
{
    object_[std::string(key)] = value;
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, std::int64_t value)
{
    object_[std::string(key)] = value;
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, std::uint64_t value)
{
    object_[std::string(key)] = value;
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, bool value)
{
    object_[std::string(key)] = value;
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, std::string_view value)
{
    object_[std::string(key)] = std::string(value);
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, Date value)
{
    object_[std::string(key)] = encodeDate(value);
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, const Uuid& value)
{
    object_[std::string(key)] = encodeUuid(value);
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, const std::vector<std::string>& values)
{
    object_[std::string(key)] = values;
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, const std::vector<double>& values)
{
    object_[std::string(key)] = encodeDoubleArray(values);
    return *this;
}

ObjectWriter& ObjectWriter::put(std::string_view key, nlohmann::json value)
{
    object_[std::string(key)] = std::move(value);
    return *this;
}

}  // namespace strictjson

}  // namespace korvalen
