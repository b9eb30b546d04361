#pragma once

#include "Platform/System/SystemFiles.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvalen::sys {

// Brand name and instruction-set features of the first processor in /proc/cpuinfo.
struct ProcessorIdentity {
    std::optional<std::string> name;      // "model name" (x86), else "Processor"/"cpu model"
    std::optional<std::string> features;  // "flags" (x86) or "Features" (Arm), blank-separated
};
ProcessorIdentity readProcessorIdentity(const Root& root = "/");

// Caches of cpu0 from /sys/devices/system/cpu/cpu0/cache; a level the machine lacks is absent.
struct CacheGeometry {
    std::optional<std::uint64_t> lineBytes;
    std::optional<std::uint64_t> l1DataBytes;
    std::optional<std::uint64_t> l2Bytes;
    std::optional<std::uint64_t> l3Bytes;
};
CacheGeometry readCacheGeometry(const Root& root = "/");

// The CPUs this process may run on: Cpus_allowed_list of /proc/self/status, else the online CPUs.
std::vector<int> allowedCpus(const Root& root = "/");

// How many processors this process may run threads on: its affinity mask, else allowedCpus; at least 1.
int usableProcessorCount();

// Every processor the machine has, online or not (/sys/devices/system/cpu/present).
std::optional<int> presentCpuCount(const Root& root = "/");

// Distinct physical cores among `cpus`, from each CPU's topology; no value when any of them
// has no topology to read.
std::optional<int> physicalCoreCount(const std::vector<int>& cpus, const Root& root = "/");

}  // namespace korvalen::sys
