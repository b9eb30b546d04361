#pragma once

// One prepared unit of GPU work per workload, and the dispatch that builds it. A builder generates
// the workload's deterministic inputs, uploads them into buffers of the context, looks up its
// pipelines and computes whatever CPU reference validation needs, all before any timing; the
// execution loops then only encode, commit and wait.

#include "Model/AIRecords.h"
#include "Platform/Compute/Gpu.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvalen {

class MetalKernelContext;

namespace MetalBenchmarkRunner {

struct Invocation {
    // Encodes one unit of work (one compute encoder, one or more dispatches) into the command
    // buffer; never commits or waits. Throws commandFailure("No compute encoder") when the buffer
    // gives no encoder.
    std::function<void(gpu::CommandBuffer&)> encode;
    // Work units one encoded unit represents, in the workload's catalog unit.
    double workPerIteration = 0;
    // CPU check of sampled outputs; meaningful only after the encoded work completed and the
    // outputs were synchronised for the CPU. Never throws for a wrong value: false.
    std::function<bool()> validate;
    // A sum over a stride of output elements.
    std::function<double()> checksum;
    // Fixed description lines, placed first in the measurement's details.
    std::vector<std::string> details;
    // Buffers to copy back before the CPU reads them on a GPU without unified memory.
    std::vector<std::shared_ptr<gpu::Buffer>> validationResources;
};

// The invocation of every GPU workload measured through the execution loops. Any other workload
// throws unsupportedBackend with its title + " uses Core ML on GPU.".
Invocation makeInvocation(const AIWorkloadDefinition& workload, MetalKernelContext& context);

// The builders the sustained runner combines into one cycle.
Invocation llmGEMVFP16(MetalKernelContext& context);
Invocation attentionPrefill(MetalKernelContext& context);
Invocation tensorOperations(MetalKernelContext& context, bool deviceResidentInputs);

}  // namespace MetalBenchmarkRunner

}  // namespace korvalen
