#include "Platform/System/MemoryInfo.h"

#include <string_view>

namespace korvalen::sys {

namespace {

// "24682404 kB" -> bytes.
std::optional<std::uint64_t> kilobytes(std::string_view meminfo, std::string_view key)
{
    auto value = keyedValue(meminfo, key, ':');
    if (!value) return std::nullopt;
    std::string_view text = *value;
    const bool inKB = text.size() > 2 && text.substr(text.size() - 2) == "kB";
    if (inKB) text.remove_suffix(2);
    const auto number = parseInteger(text);
    if (!number || *number < 0) return std::nullopt;
    const auto amount = static_cast<std::uint64_t>(*number);
    return inKB ? amount * 1024 : amount;
}

}  // namespace

MemoryInfo readMemoryInfo(const Root& root)
{
    MemoryInfo info;
    const auto meminfo = readFile(underRoot(root, "proc/meminfo"));
    if (!meminfo) return info;
    info.totalBytes = kilobytes(*meminfo, "MemTotal");

    info.availableBytes = kilobytes(*meminfo, "MemAvailable");
    if (!info.availableBytes) {
        // Kernels before 3.14 lack the kernel's own estimate: free memory plus the page cache
        // that can be dropped, less shared memory, which lives in the cache but cannot.
        const auto free = kilobytes(*meminfo, "MemFree");
        if (free) {
            const auto buffers = kilobytes(*meminfo, "Buffers").value_or(0);
            const auto cached = kilobytes(*meminfo, "Cached").value_or(0);
            const auto shared = kilobytes(*meminfo, "Shmem").value_or(0);
            const auto cache = buffers + cached;
            info.availableBytes = *free + (cache > shared ? cache - shared : 0);
        }
    }

    const auto swapTotal = kilobytes(*meminfo, "SwapTotal");
    const auto swapFree = kilobytes(*meminfo, "SwapFree");
    if (swapTotal && swapFree) info.swapUsedBytes = *swapTotal > *swapFree ? *swapTotal - *swapFree : 0;
    return info;
}

}  // namespace korvalen::sys
