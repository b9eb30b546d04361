#pragma once

#include "Assistant/Expert/AIAssistantEngine.h"
#include "Model/AIWorkloadCatalog.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace korvalen::testing {

// Dates in answers follow the locale and time zone: pin both for every expert test.
class ExpertEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
};

inline Date expertDate(int day, int hour)
{
    return parseISODate("2026-12-0" + std::to_string(day) + "T" + (hour < 10 ? "0" : "") + std::to_string(hour) +
                        ":30:00.000Z")
        .value();
}

inline AIBenchmarkResult expertResult(AIWorkloadID workload, AIBackend backend, double score, bool certified = true)
{
    AIBenchmarkResult r;
    r.id = Uuid::random();
    r.workloadID = workload;
    r.backend = backend;
    r.score = score;
    r.valid = true;
    r.certifiedForComparison = certified;
    r.throughput = score / 10;
    r.throughputUnit = definition(workload).throughputUnit;
    r.latency.medianMS = 2;
    r.latency.maximumMS = 4;
    r.latency.p99MS = 3;
    r.memory = {100, 150, 110};
    r.thermalEnd = "Nominal";
    return r;
}

inline AISystemProfile expertSystem()
{
    AISystemProfile s;
    s.modelIdentifier = "Workstation9,1";
    s.cpuName = "Test CPU 16-Core";
    s.architecture = "x86_64";
    s.physicalCores = 8;
    s.logicalCores = 16;
    s.memoryGB = 31.9;
    s.osVersion = "Linux 6.1";
    s.appVersion = "1.0.0";
    s.gpuName = "Test GPU";
    s.gpuRegistryID = 77;
    s.neuralEngineAvailable = false;
    s.runningUnderRosetta = false;
    AIGPUProfile gpu;
    gpu.name = "Test GPU";
    gpu.registryID = 77;
    gpu.recommendedWorkingSetMB = 8192;
    s.gpuProfiles = std::vector<AIGPUProfile>{gpu};
    s.power = AIPowerProfile{"AC Power", std::nullopt, false};
    return s;
}

// A complete, certified compare-all run.
inline AIBenchmarkSession certifiedSession()
{
    using W = AIWorkloadID;
    using B = AIBackend;
    AIBenchmarkSession s;
    s.id = Uuid::random();
    s.startedAt = expertDate(7, 3);
    s.completedAt = expertDate(7, 4);
    s.mode = AIRunMode::complete;
    s.requestedBackend = B::automatic;
    s.compareAllBackends = true;
    s.system = expertSystem();
    s.methodologyVersion = 4;
    s.results = {
        expertResult(W::imageClassification, B::cpu, 812.4), expertResult(W::imageClassification, B::gpu, 1650),
        expertResult(W::transformerAttention, B::cpu, 500),  expertResult(W::transformerAttention, B::gpu, 1500),
        expertResult(W::textTokenization, B::cpu, 1200),     expertResult(W::textTokenization, B::gpu, 400),
        expertResult(W::memoryPressure, B::cpu, 900),        expertResult(W::mixedSustained, B::gpu, 950),
    };
    s.results[1].scoreRole = AIScoreRole::platform;
    s.results[6].memory = {1000, 2048.5, 1100};
    s.results[7].performanceRetention = 97.5;
    s.scores.overall = 1000;
    s.scores.universal = 980.4;
    s.scores.platform = 1210.6;
    s.scores.cpu = 820;
    s.scores.gpu = 1300;
    s.scores.validResults = 8;
    return s;
}

// A quick run with a failed workload, diagnostic-only results and the rules of thumb tripped.
inline AIBenchmarkSession diagnosticSession()
{
    using W = AIWorkloadID;
    using B = AIBackend;
    AIBenchmarkSession s;
    s.id = Uuid::random();
    s.startedAt = expertDate(6, 9);
    s.completedAt = expertDate(6, 10);
    s.mode = AIRunMode::quick;
    s.requestedBackend = B::gpu;
    s.system = expertSystem();
    s.methodologyVersion = 4;
    s.certificationNotes = std::vector<std::string>{"Thermal state was not Nominal during the run."};
    AIBenchmarkResult failed = expertResult(W::matrixFP16, B::gpu, 0, false);
    failed.valid = false;
    failed.error = "Kernel output did not match the reference.";
    AIBenchmarkResult unstable = expertResult(W::llmTokenGeneration, B::gpu, 640, false);
    unstable.certificationNotes =
        std::vector<std::string>{"Latency stability was outside the comparison threshold (CV 14.2%)."};
    unstable.latency.p99MS = 9;
    AIBenchmarkResult leaking = expertResult(W::kvCache, B::gpu, 720);
    leaking.memory = {512, 900, 640.01};
    AIBenchmarkResult sustained = expertResult(W::mixedSustained, B::gpu, 880);
    sustained.performanceRetention = 85;
    sustained.thermalEnd = "Serious";
    s.results = {failed, unstable, leaking, sustained};
    s.scores.overall = 745.2;
    s.scores.gpu = 745.2;
    s.scores.validResults = 3;
    s.scores.invalidResults = 1;
    return s;
}

// The run before certifiedSession() under the same conditions.
inline AIBenchmarkSession earlierCertifiedSession(const AIBenchmarkSession& current)
{
    AIBenchmarkSession s = current;
    s.id = Uuid::random();
    s.startedAt = expertDate(5, 14);
    s.completedAt = expertDate(5, 15);
    s.results[1].score = 1500;
    s.results[3].score = 1600;
    s.results[4].score = 1000;
    s.scores.universal = 1000;
    s.scores.platform = 1100;
    s.scores.cpu = 800;
    s.scores.gpu = 0;
    return s;
}

inline std::optional<AIAssistantResponse> ask(const std::string& question,
                                              const std::optional<AIBenchmarkSession>& session,
                                              const AIAssistantConversationContext& context = {},
                                              const std::vector<AIBenchmarkSession>& history = {})
{
    return AIAssistantEngine::respond(question, session, expertSystem(), history, context, [] { return false; });
}

}  // namespace korvalen::testing
