#pragma once

#include <optional>
#include <string_view>

namespace korvalen {

// The instruction sets the CPU kernels and the input fills are built for. The build targets generic
// x86-64, so the choice is made at run time from what the processor reports; every set gives
// bit-identical results. The two VNNI sets differ from the set below them only in the 8-bit product.
enum class InstructionSet { baseline, avx2, avxVnni, avx512, avx512Vnni };

inline constexpr InstructionSet allInstructionSets[] = {InstructionSet::baseline, InstructionSet::avx2,
                                                        InstructionSet::avxVnni, InstructionSet::avx512,
                                                        InstructionSet::avx512Vnni};

// "baseline", "avx2", "avx-vnni", "avx512", "avx512-vnni".
std::string_view rawValue(InstructionSet set);
std::optional<InstructionSet> instructionSetFromRaw(std::string_view text);

// Whether this processor (and the operating system's saved vector state) runs the set.
bool processorSupports(InstructionSet set);

// The widest set this processor supports.
InstructionSet widestInstructionSet();

// The set the kernels and fills take: the widest, unless one was forced.
InstructionSet activeInstructionSet();

// Makes the kernels and fills take `set` for the scope's length, so tests and the checksum tool
// can run every path on one machine. The processor must support it. Not for use while kernels run.
class ScopedInstructionSet {
public:
    explicit ScopedInstructionSet(InstructionSet set);
    ~ScopedInstructionSet();
    ScopedInstructionSet(const ScopedInstructionSet&) = delete;
    ScopedInstructionSet& operator=(const ScopedInstructionSet&) = delete;

private:
    std::optional<InstructionSet> previous_;
};

}  // namespace korvalen
