#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen {

// Wall-clock instants as stored in records; millisecond resolution is what the files keep.
// Milliseconds in 64 bits hold every four-digit year exactly; the clock's own nanosecond time
// point would overflow after 2262.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

Date now();
// ISO 8601 UTC with milliseconds: "2026-12-07T03:53:19.123Z".
std::string isoDateText(Date date);
// Accepts any fraction of a second or none (digits past milliseconds are dropped), and "Z" or a
// numeric offset. Refuses an instant whose UTC year falls outside 0000-9999, which could not be
// written back in the same form.
std::optional<Date> parseISODate(std::string_view text);

}  // namespace korvalen
