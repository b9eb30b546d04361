#pragma once

#include "Model/AIRecords.h"
#include "Model/KernelMeasurement.h"

namespace korvalen::testing {

// A measurement every check accepts: 1000 work units in 10 s at 100 per second, five steady
// samples around 10 ms, sound memory figures and exact accuracy.
inline KernelMeasurement soundMeasurement()
{
    KernelMeasurement m;
    m.wallSeconds = 10;
    m.iterations = 5;
    m.workUnits = 1000;
    m.throughput = 100;
    m.throughputUnit = "ops/s";
    m.latencySamplesMS = {10.0, 10.1, 9.9, 10.05, 9.95};
    m.memory = {100, 150, 120};
    m.accuracy = 1.0;
    m.checksum = 42.5;
    return m;
}

// A machine on AC power with plenty of free memory: no condition note applies.
inline AISystemProfile comparableSystem()
{
    AISystemProfile s;
    s.memoryGB = 16;
    s.availableMemoryGB = 8;
    s.runningUnderRosetta = false;
    s.power = AIPowerProfile{"AC Power", std::nullopt, false};
    s.gpuName = "Test GPU";
    return s;
}

}  // namespace korvalen::testing
