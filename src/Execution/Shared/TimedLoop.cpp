#include "Execution/Shared/TimedLoop.h"

#include <algorithm>

namespace korvalen {

double safeTargetSeconds(double durationScale, double baseDuration, double floor)
{
    const double scaled = durationScale * baseDuration;
    if (std::isnan(scaled)) return floor;
    return std::min(std::max(scaled, floor), std::max(floor, maximumTargetSeconds));
}

KernelMeasurement TimedLoop::measurement(const AIWorkloadDefinition& workload, Date startedAt, double workUnits)
{
    KernelMeasurement m;
    m.startedAt = startedAt;
    m.wallSeconds = seconds();
    m.iterations = count();
    m.workUnits = workUnits;
    m.latencySamplesMS = samples_;
    completeMeasurement(m, workload, tracker_);
    return m;
}

KernelMeasurement withVerdict(KernelMeasurement timed, bool valid, double checksum, std::vector<std::string> details)
{
    timed.accuracy = valid ? 1.0 : 0.0;
    timed.checksum = checksum;
    timed.details = std::move(details);
    return timed;
}

void completeMeasurement(KernelMeasurement& measurement, const AIWorkloadDefinition& workload,
                         PeakMemoryTracker& tracker)
{
    measurement.throughput = measurement.workUnits / std::max(measurement.wallSeconds, 1e-6);
    measurement.throughputUnit = workload.throughputUnit;
    measurement.memory = tracker.finish();
}

}  // namespace korvalen
