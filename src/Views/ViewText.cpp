#include "Views/ViewText.h"

#include "Model/SystemProfiler.h"

namespace korvalen {

namespace {

bool onProcessor(std::optional<std::uint64_t> registryID)
{
    return registryID && SystemProfiler::isProcessorDevice(*registryID);
}

}  // namespace

std::string countText(std::size_t count, std::string_view singular, std::string_view plural)
{
    return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

std::string gpuDeviceName(const std::string& name, std::optional<std::uint64_t> registryID)
{
    return onProcessor(registryID) ? "OpenCL on CPU" : name;
}

std::string gpuDeviceDescription(const std::string& name, std::optional<std::uint64_t> registryID)
{
    return onProcessor(registryID) ? "OpenCL on the processor (" + name + ")" : name;
}

}  // namespace korvalen
