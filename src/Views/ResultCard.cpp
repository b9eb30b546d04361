#include "Views/ResultCard.h"

#include "Platform/Foundation/NumberFormat.h"
#include "Views/ViewText.h"

#include <cmath>

namespace korvalen {

std::string ResultCard::metric(double value)
{
    return formatResultNumber(value);
}

ResultCard::Row ResultCard::row(const AIBenchmarkResult& result)
{
    const AIWorkloadDefinition& workload = definition(result.workloadID);
    Row row;
    row.workload = QString::fromStdString(workload.title);
    row.category = qs(rawValue(workload.category));
    std::string backend(rawValue(result.backend)), detail = backend;
    if (result.backend == AIBackend::gpu && result.gpuName && !result.gpuName->empty()) {
        backend += " · " + gpuDeviceName(*result.gpuName, result.gpuRegistryID);
        detail += " · " + gpuDeviceDescription(*result.gpuName, result.gpuRegistryID);
    }
    row.backend = QString::fromStdString(backend);
    row.backendDetail = QString::fromStdString(detail);
    row.valid = result.valid;
    row.certified = result.certifiedForComparison.value_or(false);
    row.score =
        QString::fromStdString(result.valid ? formatFixed(std::isfinite(result.score) ? result.score : 0, 0) : "—");
    // The figures of an invalid result are not measurements: they are not shown as numbers.
    row.throughput =
        QString::fromStdString(result.valid ? metric(result.throughput) + " " + result.throughputUnit : "—");
    row.medianLatency = QString::fromStdString(result.valid ? metric(result.latency.medianMS) + " ms" : "—");
    row.p99Latency =
        QString::fromStdString(result.valid && result.latency.p99MS ? metric(*result.latency.p99MS) + " ms" : "—");
    row.validity = row.valid ? "Valid" : "Invalid";
    // "Diagnostic" means valid but not certified; an invalid result is neither.
    row.certification = !row.valid ? "Not valid" : row.certified ? "Certified" : "Diagnostic";
    row.certificationMark = !row.valid ? "✗" : row.certified ? "✓" : "◐";
    std::string notes;
    if (result.error && !result.error->empty()) {
        notes = *result.error;
    } else if (result.certificationNotes) {
        for (const auto& note : *result.certificationNotes) notes += (notes.empty() ? "" : "; ") + note;
    }
    row.notes = QString::fromStdString(notes);
    return row;
}

}  // namespace korvalen
