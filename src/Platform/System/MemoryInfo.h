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

}  // namespace korvalen::sys
