#include "Views/ViewText.h"

#include "Model/SystemProfiler.h"

namespace korvalen {

std::string gpuDeviceName(const std::string& name, std::optional<std::uint64_t> registryID)
{
    if (registryID && SystemProfiler::isProcessorDevice(*registryID)) return "OpenCL on the processor (" + name + ")";
    return name;
}

}  // namespace korvalen
