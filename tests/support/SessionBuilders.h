#pragma once

#include "Model/AIRecords.h"
#include "Model/ScoreCalculator.h"
#include "support/MeasurementBuilders.h"

#include <chrono>

namespace korvalen::testing {

// A completed session with one scored CPU result per workload, started `minutesAgo` before a fixed
// instant, so sessions built with different values sort and compare predictably.
inline AIBenchmarkSession sampleSession(int minutesAgo,
                                        std::vector<AIWorkloadID> workloads = {AIWorkloadID::imageClassification,
                                                                               AIWorkloadID::matrixFP32})
{
    const Date base = Date{} + std::chrono::hours(24 * 365 * 56);
    AIBenchmarkSession session;
    session.id = Uuid::random();
    session.startedAt = base - std::chrono::minutes(minutesAgo);
    session.completedAt = session.startedAt + std::chrono::seconds(30);
    session.mode = AIRunMode::quick;
    session.requestedBackend = AIBackend::cpu;
    session.system = comparableSystem();
    for (AIWorkloadID id : workloads) {
        const AIWorkloadDefinition& workload = definition(id);
        KernelMeasurement m = soundMeasurement();
        m.throughputUnit = workload.throughputUnit;
        AIBenchmarkResult r = ScoreCalculator::result(m, workload, AIBackend::cpu, "Nominal", "Nominal", session.system,
                                                      AIScoreRole::requested, std::nullopt, std::nullopt);
        r.startedAt = session.startedAt;
        session.results.push_back(r);
    }
    session.scores = ScoreCalculator::summarize(session.results);
    session.methodologyVersion = 4;
    return session;
}

}  // namespace korvalen::testing
