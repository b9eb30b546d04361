#pragma once

#include "Platform/System/SystemFiles.h"

#include <cstdint>
#include <optional>

namespace korvalen::sys {

// Memory figures of /proc/meminfo in bytes; a figure that cannot be read is absent.
struct MemoryInfo {
    std::optional<std::uint64_t> totalBytes;      // MemTotal
    std::optional<std::uint64_t> availableBytes;  // MemAvailable, estimated on kernels without it
    std::optional<std::uint64_t> swapUsedBytes;   // SwapTotal - SwapFree
};
MemoryInfo readMemoryInfo(const Root& root = "/");

// The memory installed in the machine: the online blocks of /sys/devices/system/memory times their
// size, which counts what the kernel reserves for itself; MemTotal leaves that out (23.5 GB on a
// 24 GiB machine). MemTotal where the block list is missing; no value when neither can be read.
std::optional<std::uint64_t> physicalMemoryBytes(const Root& root = "/");

}  // namespace korvalen::sys
