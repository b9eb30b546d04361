#pragma once

#include "Model/AIRecords.h"

#include <cstdint>
#include <optional>

namespace korvalen {

// One planned measurement. `automatic` as backend means calibrate first, then measure.
struct AIExecutionItem {
    AIWorkloadDefinition workload;  // copied whole: an item owns its definition
    AIBackend backend = AIBackend::automatic;
    AIScoreRole role = AIScoreRole::universal;
    std::optional<std::uint64_t> gpuRegistryID;  // absent off the GPU or when no GPU is known
};

}  // namespace korvalen
