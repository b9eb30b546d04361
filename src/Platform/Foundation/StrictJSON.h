#pragma once

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Uuid.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

// Why a stored document could not be read. `path` names the offending value from the document's root,
// such as "results[2].latency.p95MS"; it is empty for the root itself.
class JSONDecodingError : public std::runtime_error {
public:
    enum class Kind {
        keyNotFound,    // a required key is missing
        valueNotFound,  // a required key holds null
        typeMismatch,   // the value has another JSON type
        dataCorrupted,  // the type is right but the value is not acceptable
    };

    JSONDecodingError(Kind kind, std::string path, std::string message);

    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }
    const std::string& message() const { return message_; }

private:
    Kind kind_;
    std::string path_;
    std::string message_;
};

// The strict layer over nlohmann::json that stored records are written and read through. Reading accepts
// only what the record says: numbers where numbers belong, whole numbers for integers, nothing negative
// for unsigned ones, and it never narrows a value silently. Writing never produces a non-finite number.
namespace strictjson {

std::string childPath(const std::string& path, std::string_view key);
std::string elementPath(const std::string& path, std::size_t index);

// Single values; each throws JSONDecodingError naming `path`.
double decodeDouble(const nlohmann::json& value, const std::string& path);
int decodeInt(const nlohmann::json& value, const std::string& path);
std::int64_t decodeInt64(const nlohmann::json& value, const std::string& path);
std::uint64_t decodeUInt64(const nlohmann::json& value, const std::string& path);  // 0 ... 2^64-1, exactly
bool decodeBool(const nlohmann::json& value, const std::string& path);
std::string decodeString(const nlohmann::json& value, const std::string& path);
Date decodeDate(const nlohmann::json& value, const std::string& path);  // ISO 8601 text
Uuid decodeUuid(const nlohmann::json& value, const std::string& path);  // either case

template <typename Decode>
auto decodeArray(const nlohmann::json& value, const std::string& path, Decode decode)
    -> std::vector<decltype(decode(value, path))>
{
    if (!value.is_array()) {
        throw JSONDecodingError(JSONDecodingError::Kind::typeMismatch, path, "expected an array");
    }
    std::vector<decltype(decode(value, path))> result;
    result.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        result.push_back(decode(value[i], elementPath(path, i)));
    }
    return result;
}

std::vector<std::string> decodeStringArray(const nlohmann::json& value, const std::string& path);
std::vector<double> decodeDoubleArray(const nlohmann::json& value, const std::string& path);

// A non-finite number is written as 0: JSON has no text for it, and a null would fail the reader.
nlohmann::json encodeNumber(double value);
nlohmann::json encodeDate(Date date);         // "2026-12-07T03:53:19.123Z"
nlohmann::json encodeUuid(const Uuid& uuid);  // upper case
nlohmann::json encodeDoubleArray(const std::vector<double>& values);

// Reads the keys of one JSON object. A required key must be present and not null; an optional key that
// is missing or null reads as absent. Keys nobody asks for are ignored.
class ObjectReader {
public:
    // Throws typeMismatch when `value` is not an object.
    ObjectReader(const nlohmann::json& value, std::string path);

    const std::string& path() const { return path_; }

    template <typename Decode>
    auto required(std::string_view key, Decode decode) const
        -> decltype(decode(std::declval<const nlohmann::json&>(), std::string()))
    {
        std::string keyPath = childPath(path_, key);
        return decode(requiredValue(key, keyPath), keyPath);
    }

    template <typename Decode>
    auto optional(std::string_view key, Decode decode) const
        -> std::optional<decltype(decode(std::declval<const nlohmann::json&>(), std::string()))>
    {
        const nlohmann::json* value = optionalValue(key);
        if (!value) {
            return std::nullopt;
        }
        return decode(*value, childPath(path_, key));
    }

    double requiredDouble(std::string_view key) const { return required(key, decodeDouble); }
    int requiredInt(std::string_view key) const { return required(key, decodeInt); }
    std::int64_t requiredInt64(std::string_view key) const { return required(key, decodeInt64); }
    std::uint64_t requiredUInt64(std::string_view key) const { return required(key, decodeUInt64); }
    bool requiredBool(std::string_view key) const { return required(key, decodeBool); }
    std::string requiredString(std::string_view key) const { return required(key, decodeString); }
    Date requiredDate(std::string_view key) const { return required(key, decodeDate); }
    Uuid requiredUuid(std::string_view key) const { return required(key, decodeUuid); }
    std::vector<std::string> requiredStringArray(std::string_view key) const
    {
        return required(key, decodeStringArray);
    }

    std::optional<double> optionalDouble(std::string_view key) const { return optional(key, decodeDouble); }
    std::optional<int> optionalInt(std::string_view key) const { return optional(key, decodeInt); }
    std::optional<std::int64_t> optionalInt64(std::string_view key) const { return optional(key, decodeInt64); }
    std::optional<std::uint64_t> optionalUInt64(std::string_view key) const { return optional(key, decodeUInt64); }
    std::optional<bool> optionalBool(std::string_view key) const { return optional(key, decodeBool); }
    std::optional<std::string> optionalString(std::string_view key) const { return optional(key, decodeString); }
    std::optional<Date> optionalDate(std::string_view key) const { return optional(key, decodeDate); }
    std::optional<std::vector<std::string>> optionalStringArray(std::string_view key) const
    {
        return optional(key, decodeStringArray);
    }
    std::optional<std::vector<double>> optionalDoubleArray(std::string_view key) const
    {
        return optional(key, decodeDoubleArray);
    }

private:
    const nlohmann::json& requiredValue(std::string_view key, const std::string& keyPath) const;
    const nlohmann::json* optionalValue(std::string_view key) const;

    const nlohmann::json& object_;
    std::string path_;
};

// Builds one JSON object. Absent optionals leave their key out; numbers pass through encodeNumber.
class ObjectWriter {
public:
    ObjectWriter& put(std::string_view key, double value);
    ObjectWriter& put(std::string_view key, int value);
    ObjectWriter& put(std::string_view key, std::int64_t value);
    ObjectWriter& put(std::string_view key, std::uint64_t value);
    ObjectWriter& put(std::string_view key, bool value);
    ObjectWriter& put(std::string_view key, std::string_view value);
    ObjectWriter& put(std::string_view key, const char* value) { return put(key, std::string_view(value)); }
    ObjectWriter& put(std::string_view key, const std::string& value) { return put(key, std::string_view(value)); }
    ObjectWriter& put(std::string_view key, Date value);
    ObjectWriter& put(std::string_view key, const Uuid& value);
    ObjectWriter& put(std::string_view key, const std::vector<std::string>& values);
    ObjectWriter& put(std::string_view key, const std::vector<double>& values);
    ObjectWriter& put(std::string_view key, nlohmann::json value);

    template <typename T>
    ObjectWriter& putOptional(std::string_view key, const std::optional<T>& value)
    {
        if (value) {
            put(key, *value);
        }
        return *this;
    }

    nlohmann::json take() { return std::move(object_); }

private:
    nlohmann::json object_ = nlohmann::json::object();
};

}  // namespace strictjson

}  // namespace korvalen
