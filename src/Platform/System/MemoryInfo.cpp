#include "Platform/System/MemoryInfo.h"

#include <filesystem>
#include <string_view>
#include <system_error>

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

// Online memory blocks times the block size; no value when the folder or its size is missing.
std::optional<std::uint64_t> onlineBlockBytes(const Root& root)
{
    const auto folder = underRoot(root, "sys/devices/system/memory");
    const auto sizeText = readLine(folder / "block_size_bytes");
    if (!sizeText) return std::nullopt;
    std::uint64_t blockBytes = 0;
    try {
        std::size_t used = 0;
        blockBytes = std::stoull(*sizeText, &used, 16);  // written in hexadecimal without "0x"
        if (used != sizeText->size()) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::uint64_t online = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("memory", 0) != 0 || name.size() == 6) continue;
        // Blocks that cannot be taken offline have no "online" file: they are online.
        const auto state = readLine(it->path() / "online");
        if (!state || *state == "1") ++online;
    }
    if (error || online == 0 || blockBytes == 0) return std::nullopt;
    return online * blockBytes;
}

}  // namespace

std::optional<std::uint64_t> physicalMemoryBytes(const Root& root)
{
    if (const auto installed = onlineBlockBytes(root)) return installed;
    return readMemoryInfo(root).totalBytes;
}

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
