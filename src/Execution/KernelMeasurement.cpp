#include "Execution/KernelMeasurement.h"

#include "Model/ScoreCalculator.h"

#include <algorithm>
#include <cmath>

namespace korvalen {

bool isWellFormed(const KernelMeasurement& m)
{
    auto finitePositive = [](double v) { return std::isfinite(v) && v > 0; };
    // workAccountingIsConsistent also demands finite, positive throughput, wall time and work.
    return ScoreCalculator::accuracyIsInRange(m.accuracy)
        && ScoreCalculator::workAccountingIsConsistent(m.throughput, m.workUnits, m.wallSeconds)
        && std::isfinite(m.checksum) && m.iterations >= 1 && ScoreCalculator::memoryTelemetryIsValid(m.memory)
        && ScoreCalculator::retentionIsValid(m.retention) && !m.latencySamplesMS.empty()
        && std::all_of(m.latencySamplesMS.begin(), m.latencySamplesMS.end(), finitePositive);
}

}  // namespace korvalen
