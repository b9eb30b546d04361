#include "Views/ResultCard.h"

#include "Platform/Foundation/NumberFormat.h"
#include "Views/ViewText.h"

#include <cmath>

namespace korvalen {

std::string ResultCard::metric(double value) { return formatResultNumber(value); }

ResultCard::Row ResultCard::row(const AIBenchmarkResult& result)
{
    const AIWorkloadDefinition& workload = definition(result.workloadID);
    Row row;
    row.workload = QString::fromStdString(workload.title);
    row.category = qs(rawValue(workload.category));
    std::string backend(rawValue(result.backend));
    if (result.backend == AIBackend::gpu && result.gpuName && !result.gpuName->empty())
        backend += " · " + *result.gpuName;
    row.backend = QString::fromStdString(backend);
    row.valid = result.valid;
    row.certified = result.certifiedForComparison.value_or(false);
    row.score = QString::fromStdString(result.valid ? formatFixed(std::isfinite(result.score) ? result.score : 0, 0) : "—");
    row.throughput = QString::fromStdString(metric(result.throughput) + " " + result.throughputUnit);
    row.medianLatency = QString::fromStdString(metric(result.latency.medianMS) + " ms");
    row.p99Latency = QString::fromStdString(result.latency.p99MS ? metric(*result.latency.p99MS) + " ms" : "—");
    row.validity = row.valid ? "Valid" : "Invalid";
    row.certification = row.certified ? "Certified" : "Diagnostic";
    std::string notes;
    if (result.error && !result.error->empty()) {
        notes = *result.error;
    } else if (result.certificationNotes) {
        for (const auto& note : *result.certificationNotes)
            notes += (notes.empty() ? "" : "; ") + note;
    }
    row.notes = QString::fromStdString(notes);
    return row;
}

}  // namespace korvalen
