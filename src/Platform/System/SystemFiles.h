#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Small, fast readers of /proc and /sys. Every reader of this folder takes the root folder it
// reads under ("/" on a live machine) so tests can point it at a fixture tree.
namespace korvalen::sys {

using Root = std::filesystem::path;

// `relative` below `root`; `relative` has no leading slash ("proc/meminfo").
std::filesystem::path underRoot(const Root& root, std::string_view relative);

// The whole file, read with plain system calls (kernel files report a size of 0, so this reads
// until end of file). No value when the file cannot be opened or read, or is larger than `limit`.
// With a stop marker, reading ends as soon as the text holds it (the text is cut after it), so a
// file the kernel builds as it is read need not be produced whole.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t limit = 1 << 20,
                                    std::string_view stopAfter = {});

// The first line of the file without surrounding blanks; no value when unreadable or empty.
std::optional<std::string> readLine(const std::filesystem::path& path);

// A decimal integer file such as a temperature or a capacity; no value when it holds anything else.
std::optional<std::int64_t> readInteger(const std::filesystem::path& path);

std::string_view trimmed(std::string_view text);
std::optional<std::int64_t> parseInteger(std::string_view text);

// A kernel size text such as "32K", "1024K", "8M" or "512" in bytes.
std::optional<std::uint64_t> parseSize(std::string_view text);

// A kernel CPU list such as "0-3,8,10-11", ascending without repeats; empty when malformed.
std::vector<int> parseCpuList(std::string_view text);

// The value of `key` in "key: value" or "key=value" text (/proc/meminfo, /proc/cpuinfo,
// os-release): the rest of the first line whose key matches exactly, without surrounding blanks
// or quotes.
std::optional<std::string_view> keyedValue(std::string_view text, std::string_view key, char separator);

}  // namespace korvalen::sys
