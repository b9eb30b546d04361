#include "Execution/Shared/InstructionSet.h"

#include <atomic>
#include <stdexcept>
#include <string>

namespace korvalen {

namespace {

constexpr int notForced = -1;
std::atomic<int> forced{notForced};

bool hasAvx512()
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
}

bool detect(InstructionSet set)
{
    __builtin_cpu_init();
    switch (set) {
    case InstructionSet::baseline: return true;
    case InstructionSet::avx2: return __builtin_cpu_supports("avx2");
    case InstructionSet::avxVnni: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avxvnni");
    case InstructionSet::avx512: return hasAvx512();
    case InstructionSet::avx512Vnni: return hasAvx512() && __builtin_cpu_supports("avx512vnni");
    }
    return false;
}

InstructionSet detectWidest()
{
    InstructionSet widest = InstructionSet::baseline;
    for (InstructionSet set : allInstructionSets)
        if (detect(set)) widest = set;
    return widest;
}

}  // namespace

std::string_view rawValue(InstructionSet set)
{
    switch (set) {
    case InstructionSet::baseline: return "baseline";
    case InstructionSet::avx2: return "avx2";
    case InstructionSet::avxVnni: return "avx-vnni";
    case InstructionSet::avx512: return "avx512";
    case InstructionSet::avx512Vnni: return "avx512-vnni";
    }
    return "baseline";
}

std::optional<InstructionSet> instructionSetFromRaw(std::string_view text)
{
    for (InstructionSet set : allInstructionSets)
        if (rawValue(set) == text) return set;
    return std::nullopt;
}

bool processorSupports(InstructionSet set)
{
    static const bool supported[] = {detect(InstructionSet::baseline), detect(InstructionSet::avx2),
                                     detect(InstructionSet::avxVnni), detect(InstructionSet::avx512),
                                     detect(InstructionSet::avx512Vnni)};
    return supported[static_cast<int>(set)];
}

InstructionSet widestInstructionSet()
{
    static const InstructionSet widest = detectWidest();
    return widest;
}

InstructionSet activeInstructionSet()
{
    const int set = forced.load(std::memory_order_relaxed);
    return set == notForced ? widestInstructionSet() : static_cast<InstructionSet>(set);
}

ScopedInstructionSet::ScopedInstructionSet(InstructionSet set)
{
    if (!processorSupports(set)) throw std::invalid_argument("this processor lacks " + std::string(rawValue(set)));
    const int before = forced.exchange(static_cast<int>(set), std::memory_order_relaxed);
    if (before != notForced) previous_ = static_cast<InstructionSet>(before);
}

ScopedInstructionSet::~ScopedInstructionSet()
{
    forced.store(previous_ ? static_cast<int>(*previous_) : notForced, std::memory_order_relaxed);
}

}  // namespace korvalen
