#include "Platform/System/SystemFiles.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>

namespace korvalen::sys {

std::filesystem::path underRoot(const Root& root, std::string_view relative)
{
    std::filesystem::path path = root;
    path /= relative;
    return path;
}

std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t limit, std::string_view stopAfter)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        if (text.size() + static_cast<std::size_t>(n) > limit) {
            ::close(fd);
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (!stopAfter.empty()) {
            if (const auto at = text.find(stopAfter); at != std::string::npos) {
                text.resize(at + stopAfter.size());
                break;
            }
        }
    }
    ::close(fd);
    return text;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::optional<std::string> readLine(const std::filesystem::path& path)
{
    const auto text = readFile(path, 64 * 1024);
    if (!text) return std::nullopt;
    std::string_view view = *text;
    view = view.substr(0, view.find('\n'));
    view = trimmed(view);
    if (view.empty()) return std::nullopt;
    return std::string(view);
}

std::optional<std::int64_t> parseInteger(std::string_view text)
{
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> readInteger(const std::filesystem::path& path)
{
    const auto line = readLine(path);
    if (!line) return std::nullopt;
    return parseInteger(*line);
}

std::optional<std::uint64_t> parseSize(std::string_view text)
{
    text = trimmed(text);
    std::uint64_t multiplier = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'K':
        case 'k': multiplier = 1ull << 10; break;
        case 'M':
        case 'm': multiplier = 1ull << 20; break;
        case 'G':
        case 'g': multiplier = 1ull << 30; break;
        default: break;
        }
        if (multiplier != 1) text.remove_suffix(1);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (value > UINT64_MAX / multiplier) return std::nullopt;
    return value * multiplier;
}

std::vector<int> parseCpuList(std::string_view text)
{
    // More CPUs than this is a corrupt list, not a machine.
    constexpr int maximumCpu = 1 << 16;
    std::vector<int> cpus;
    text = trimmed(text);
    if (text.empty()) return cpus;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view piece = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto dash = piece.find('-');
        const auto first = parseInteger(piece.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : parseInteger(piece.substr(dash + 1));
        if (!first || !last || *first < 0 || *last < *first || *last > maximumCpu) return {};
        for (auto cpu = *first; cpu <= *last; ++cpu) cpus.push_back(static_cast<int>(cpu));
    }
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    return cpus;
}

std::optional<std::string_view> keyedValue(std::string_view text, std::string_view key, char separator)
{
    while (!text.empty()) {
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        const auto at = line.find(separator);
        if (at == std::string_view::npos || trimmed(line.substr(0, at)) != key) continue;
        std::string_view value = trimmed(line.substr(at + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

}  // namespace korvalen::sys
