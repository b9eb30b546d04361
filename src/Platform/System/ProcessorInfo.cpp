#include "Platform/System/ProcessorInfo.h"

#include <sched.h>

#include <algorithm>
#include <set>
#include <string_view>

namespace korvalen::sys {

namespace {

// /proc/cpuinfo repeats one block per processor and the kernel builds every block as it is read
// (sampling clock rates on the way), so read only until the first block is complete.
std::optional<std::string> readFirstCpuinfoBlock(const Root& root)
{
    // Arm kernels print the common lines ("Hardware", ...) after the blocks; the first block
    // carries what we need.
    auto text = readFile(underRoot(root, "proc/cpuinfo"), 1 << 20, "\n\n");
    if (text && text->ends_with("\n\n")) text->pop_back();
    if (!text || text->empty()) return std::nullopt;
    return text;
}

std::optional<std::string> nonEmpty(std::optional<std::string_view> value)
{
    if (!value || value->empty()) return std::nullopt;
    return std::string(*value);
}

}  // namespace

ProcessorIdentity readProcessorIdentity(const Root& root)
{
    ProcessorIdentity identity;
    const auto block = readFirstCpuinfoBlock(root);
    if (!block) return identity;
    for (const char* key : {"model name", "Processor", "cpu model", "cpu"}) {
        if ((identity.name = nonEmpty(keyedValue(*block, key, ':')))) break;
    }
    for (const char* key : {"flags", "Features", "features", "isa"}) {
        if ((identity.features = nonEmpty(keyedValue(*block, key, ':')))) break;
    }
    return identity;
}

CacheGeometry readCacheGeometry(const Root& root)
{
    CacheGeometry geometry;
    const auto folder = underRoot(root, "sys/devices/system/cpu/cpu0/cache");
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto& entry = it->path();
        if (entry.filename().string().rfind("index", 0) != 0) continue;
        const auto level = readInteger(entry / "level");
        const auto type = readLine(entry / "type");
        const auto sizeText = readLine(entry / "size");
        const auto size = sizeText ? parseSize(*sizeText) : std::nullopt;
        if (!level || !type) continue;
        if (*type != "Instruction" && !geometry.lineBytes) {
            if (const auto line = readInteger(entry / "coherency_line_size"); line && *line > 0)
                geometry.lineBytes = static_cast<std::uint64_t>(*line);
        }
        if (!size || *size == 0) continue;
        if (*level == 1 && *type == "Data")
            geometry.l1DataBytes = size;
        else if (*level == 2 && *type != "Instruction")
            geometry.l2Bytes = size;
        else if (*level == 3 && *type != "Instruction")
            geometry.l3Bytes = size;
    }
    return geometry;
}

std::vector<int> allowedCpus(const Root& root)
{
    if (const auto status = readFile(underRoot(root, "proc/self/status"))) {
        if (const auto list = keyedValue(*status, "Cpus_allowed_list", ':')) {
            auto cpus = parseCpuList(*list);
            if (!cpus.empty()) {
                // The mask may name CPUs that are offline; only the online ones run anything.
                if (const auto online = readLine(underRoot(root, "sys/devices/system/cpu/online"))) {
                    const auto onlineCpus = parseCpuList(*online);
                    std::vector<int> both;
                    std::set_intersection(cpus.begin(), cpus.end(), onlineCpus.begin(), onlineCpus.end(),
                                          std::back_inserter(both));
                    if (!both.empty()) return both;
                }
                return cpus;
            }
        }
    }
    if (const auto online = readLine(underRoot(root, "sys/devices/system/cpu/online"))) return parseCpuList(*online);
    return {};
}

int usableProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(CPU_COUNT(&set), 1);
    return std::max(static_cast<int>(allowedCpus().size()), 1);
}

std::optional<int> presentCpuCount(const Root& root)
{
    const auto present = readLine(underRoot(root, "sys/devices/system/cpu/present"));
    if (!present) return std::nullopt;
    const auto cpus = parseCpuList(*present);
    if (cpus.empty()) return std::nullopt;
    return static_cast<int>(cpus.size());
}

std::optional<int> physicalCoreCount(const std::vector<int>& cpus, const Root& root)
{
    if (cpus.empty()) return std::nullopt;
    // Hardware threads of one core share the same sibling list; older kernels only offer
    // thread_siblings_list, newer ones also core_cpus_list.
    std::set<std::string> cores;
    for (const int cpu : cpus) {
        const auto topology = underRoot(root, "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology");
        auto siblings = readLine(topology / "core_cpus_list");
        if (!siblings) siblings = readLine(topology / "thread_siblings_list");
        if (!siblings) {
            const auto package = readInteger(topology / "physical_package_id");
            const auto core = readInteger(topology / "core_id");
            if (!package || !core) return std::nullopt;
            siblings = "package " + std::to_string(*package) + " core " + std::to_string(*core);
        }
        cores.insert(std::move(*siblings));
    }
    return static_cast<int>(cores.size());
}

}  // namespace korvalen::sys
