#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen {

// Wall-clock instants as stored in records; millisecond resolution is what the files keep.
using Date = std::chrono::system_clock::time_point;

Date now();
// ISO 8601 UTC with milliseconds: "2026-12-07T03:53:19.123Z".
std::string isoDateText(Date date);
// Accepts any fraction of a second or none, and "Z" or a numeric offset.
std::optional<Date> parseISODate(std::string_view text);

}  // namespace korvalen
