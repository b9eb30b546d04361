#include "Model/AIRecordsJSON.h"

#include "support/JSONTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace korvalen {
namespace {

using nlohmann::json;
using Kind = JSONDecodingError::Kind;

Date fromMilliseconds(long long ms)
{
    return Date{std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds{ms})};
}

AIBenchmarkResult fullResult()
{
    AIBenchmarkResult r;
    r.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    r.workloadID = AIWorkloadID::transformerAttention;
    r.backend = AIBackend::gpu;
    r.precision = AIPrecision::fp32;
    r.startedAt = fromMilliseconds(1796615599123);
    r.durationSeconds = 1.5;
    r.iterations = 42;
    r.throughput = 130.25;
    r.throughputUnit = "sequences/s";
    r.latency = {1, 2, 3, 4, 2.5, 2.9, 3.5, 0.5, 0.2, 0.1, 1};
    r.memory = {100, 120.5, 110};
    r.accuracy = 1;
    r.score = 1042;
    r.valid = true;
    r.checksum = -12.5;
    r.thermalStart = "Nominal";
    r.thermalEnd = "Fair";
    r.performanceRetention = 0.97;
    r.details = {"line one", "QK\xE1\xB5\x80 line"};
    r.error = "Timing validation failed";
    r.scoreRole = AIScoreRole::universalAndPlatform;
    r.gpuRegistryID = (1ULL << 53) + 1;
    r.gpuName = "Test GPU";
    r.certifiedForComparison = false;
    r.certificationNotes = std::vector<std::string>{"Running on battery power"};
    r.measuredWorkUnits = 5470.5;
    r.latencySamplesMS = std::vector<double>{1, 2, 3};
    r.thermalStateSamples = std::vector<std::string>{"Nominal", "Fair"};
    return r;
}

AIGPUProfile gpuProfile()
{
    return {"Test GPU", (1ULL << 53) + 1, true, false, true, true, 4096, 12.5, 2048};
}

AISystemProfile fullSystem()
{
    AISystemProfile s;
    s.computerName = "bench-host";
    s.modelIdentifier = "Linux,x86_64";
    s.cpuName = "Test CPU";
    s.architecture = "x86_64";
    s.logicalCores = 16;
    s.physicalCores = 8;
    s.memoryGB = 31.25;
    s.osVersion = "Debian 12";
    s.gpuName = "Test GPU";
    s.gpuRegistryID = 77;
    s.neuralEngineAvailable = false;
    s.appVersion = "1.0.0";
    s.runningUnderRosetta = false;
    s.gpuProfiles =
        std::vector<AIGPUProfile>{gpuProfile(), AIGPUProfile{"Second", 5, false, true, false, false, 1, 0, 2}};
    s.cpuCapabilities = AICPUCapabilities{"avx2 fma", 64, 48, 2048, std::nullopt};
    s.power = AIPowerProfile{"Battery", 81, true};
    s.availableMemoryGB = 12.5;
    s.swapUsedGB = 0;
    s.neuralEngineProbe = "unavailable";
    return s;
}

AIScoreSummary fullSummary()
{
    AIScoreSummary s;
    s.overall = 1000;
    s.cpu = 900;
    s.gpu = 1100;
    s.neuralEnginePreferred = 0;
    s.vision = 1;
    s.language = 2;
    s.generative = 3;
    s.audio = 4;
    s.compute = 5;
    s.training = 6;
    s.memory = 7;
    s.sustained = 8;
    s.fp32 = 9;
    s.fp16 = 10;
    s.int8 = 11;
    s.validResults = 3;
    s.invalidResults = 1;
    s.universal = 950;
    s.platform = 1050;
    s.certifiedResults = 2;
    s.diagnosticResults = 1;
    return s;
}

AIBenchmarkSession fullSession()
{
    AIBenchmarkSession s;
    s.id = *Uuid::parse("0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9");
    s.startedAt = fromMilliseconds(1796615500000);
    s.completedAt = fromMilliseconds(1796615600999);
    s.mode = AIRunMode::complete;
    s.requestedBackend = AIBackend::automatic;
    s.compareAllBackends = true;
    s.system = fullSystem();
    AIBenchmarkResult second = fullResult();
    second.workloadID = AIWorkloadID::textTokenization;
    second.backend = AIBackend::cpu;
    second.error.reset();
    second.scoreRole.reset();
    s.results = {fullResult(), second};
    s.scores = fullSummary();
    s.cancelled = false;
    s.selectedGPURegistryID = std::numeric_limits<std::uint64_t>::max();
    s.compareAllGPUs = true;
    s.certificationNotes = std::vector<std::string>{"Session note"};
    s.methodologyVersion = 3;
    return s;
}

// Each record with its required and optional keys, and a full encoded sample that the decoder is run on.
struct RecordCase {
    const char* name;
    json sample;
    std::vector<std::string> required;
    std::vector<std::string> optional;
    std::function<void(const json&)> decode;
};

std::vector<RecordCase> recordCases()
{
    return {
        {"latency",
         toJSON(fullResult().latency),
         {"minimumMS", "medianMS", "p95MS", "maximumMS", "averageMS"},
         {"p90MS", "p99MS", "standardDeviationMS", "coefficientOfVariation", "confidence95HalfWidthMS", "outlierCount"},
         [](const json& j) { latencyStatsFromJSON(j); }},
        {"memory",
         toJSON(fullResult().memory),
         {"startMB", "peakMB", "endMB"},
         {},
         [](const json& j) { memoryStatsFromJSON(j); }},
        {"result",
         toJSON(fullResult()),
         {"id", "workloadID", "backend", "precision", "startedAt", "durationSeconds", "iterations", "throughput",
          "throughputUnit", "latency", "memory", "accuracy", "score", "valid", "checksum", "thermalStart", "thermalEnd",
          "details"},
         {"performanceRetention", "error", "scoreRole", "gpuRegistryID", "gpuName", "certifiedForComparison",
          "certificationNotes", "measuredWorkUnits", "latencySamplesMS", "thermalStateSamples"},
         [](const json& j) { resultFromJSON(j); }},
        {"summary",
         toJSON(fullSummary()),
         {"overall", "cpu", "gpu", "neuralEnginePreferred", "vision", "language", "generative", "audio", "compute",
          "training", "memory", "sustained", "fp32", "fp16", "int8", "validResults", "invalidResults"},
         {"universal", "platform", "certifiedResults", "diagnosticResults"},
         [](const json& j) { scoreSummaryFromJSON(j); }},
        {"gpu",
         toJSON(gpuProfile()),
         {"name", "registryID", "lowPower", "removable", "headless", "unifiedMemory", "recommendedWorkingSetMB",
          "currentAllocatedMB", "maxBufferMB"},
         {},
         [](const json& j) { gpuProfileFromJSON(j); }},
        {"cpu",
         toJSON(*fullSystem().cpuCapabilities),
         {"featureString"},
         {"cacheLineBytes", "l1DataKB", "l2KB"},
         [](const json& j) { cpuCapabilitiesFromJSON(j); }},
        {"power",
         toJSON(*fullSystem().power),
         {"source", "lowPowerMode"},
         {"batteryPercent"},
         [](const json& j) { powerProfileFromJSON(j); }},
        {"system",
         toJSON(fullSystem()),
         {"computerName", "modelIdentifier", "cpuName", "architecture", "logicalCores", "physicalCores", "memoryGB",
          "osVersion", "gpuName", "neuralEngineAvailable", "appVersion"},
         {"gpuRegistryID", "runningUnderRosetta", "gpuProfiles", "cpuCapabilities", "power", "availableMemoryGB",
          "swapUsedGB", "neuralEngineProbe"},
         [](const json& j) { systemProfileFromJSON(j); }},
        {"session",
         toJSON(fullSession()),
         {"id", "startedAt", "mode", "requestedBackend", "compareAllBackends", "system", "results", "scores",
          "cancelled"},
         {"completedAt", "selectedGPURegistryID", "compareAllGPUs", "certificationNotes", "methodologyVersion"},
         [](const json& j) { sessionFromJSON(j); }},
    };
}

using testing::failureKind;

TEST(AIRecordsJSON, FullRecordsWriteExactlyTheirKeysAndRoundTrip)
{
    for (const RecordCase& record : recordCases()) {
        std::set<std::string> expected(record.required.begin(), record.required.end());
        expected.insert(record.optional.begin(), record.optional.end());
        std::set<std::string> written;
        for (const auto& item : record.sample.items()) {
            written.insert(item.key());
        }
        EXPECT_EQ(written, expected) << record.name;
    }

    const AIBenchmarkSession session = fullSession();
    const json reparsed = json::parse(toJSON(session).dump(2));
    EXPECT_EQ(sessionFromJSON(reparsed), session);
    EXPECT_EQ(sessionsFromJSON(json::parse(toJSON(std::vector{session, session}).dump())),
              (std::vector{session, session}));
}

TEST(AIRecordsJSON, EveryRecordLoadsFromItsRequiredKeysAlone)
{
    for (const RecordCase& record : recordCases()) {
        json minimal = record.sample;
        for (const std::string& key : record.optional) {
            minimal.erase(key);
        }
        EXPECT_NO_THROW(record.decode(minimal)) << record.name;
        json withNulls = record.sample;
        for (const std::string& key : record.optional) {
            withNulls[key] = nullptr;
        }
        withNulls["someFutureKey"] = {{"nested", true}};
        EXPECT_NO_THROW(record.decode(withNulls)) << record.name;
    }

    json result = toJSON(fullResult());
    for (const char* key :
         {"performanceRetention", "error", "scoreRole", "gpuRegistryID", "gpuName", "certifiedForComparison",
          "certificationNotes", "measuredWorkUnits", "latencySamplesMS", "thermalStateSamples"}) {
        result.erase(key);
    }
    const AIBenchmarkResult decoded = resultFromJSON(result);
    EXPECT_FALSE(decoded.performanceRetention || decoded.error || decoded.scoreRole || decoded.gpuRegistryID ||
                 decoded.gpuName || decoded.certifiedForComparison || decoded.certificationNotes ||
                 decoded.measuredWorkUnits || decoded.latencySamplesMS || decoded.thermalStateSamples);
    EXPECT_EQ(decoded.details, fullResult().details);

    json system = toJSON(fullSystem());
    for (const char* key : {"gpuRegistryID", "runningUnderRosetta", "gpuProfiles", "cpuCapabilities", "power",
                            "availableMemoryGB", "swapUsedGB", "neuralEngineProbe"}) {
        system.erase(key);
    }
    EXPECT_EQ(system.size(), 11u);
    const AISystemProfile profile = systemProfileFromJSON(system);
    EXPECT_FALSE(profile.gpuRegistryID || profile.runningUnderRosetta || profile.gpuProfiles ||
                 profile.cpuCapabilities || profile.power || profile.availableMemoryGB || profile.swapUsedGB ||
                 profile.neuralEngineProbe);
}

TEST(AIRecordsJSON, MissingOrMistypedRequiredKeysFailTheRecordAndItsSession)
{
    for (const RecordCase& record : recordCases()) {
        for (const std::string& key : record.required) {
            json missing = record.sample;
            missing.erase(key);
            EXPECT_EQ(failureKind([&] { record.decode(missing); }), Kind::keyNotFound) << record.name << "." << key;

            json nulled = record.sample;
            nulled[key] = nullptr;
            EXPECT_EQ(failureKind([&] { record.decode(nulled); }), Kind::valueNotFound) << record.name << "." << key;

            // A value of some other JSON type: strings become numbers, everything else a string.
            json mistyped = record.sample;
            mistyped[key] = record.sample[key].is_string() ? json(1) : json("1");
            EXPECT_EQ(failureKind([&] { record.decode(mistyped); }), Kind::typeMismatch) << record.name << "." << key;
        }
    }

    // A broken nested record or list element fails its container, with a path that leads to it.
    for (const auto& [breakIt, path] : std::vector<std::pair<std::function<void(json&)>, std::string>>{
             {[](json& s) { s["results"][1]["latency"].erase("p95MS"); }, "results[1].latency.p95MS"},
             {[](json& s) { s["results"][0]["latencySamplesMS"][2] = "3"; }, "results[0].latencySamplesMS[2]"}}) {
        json broken = toJSON(fullSession());
        breakIt(broken);
        try {
            sessionFromJSON(broken);
            ADD_FAILURE() << "decoding succeeded: " << path;
        } catch (const JSONDecodingError& error) {
            EXPECT_EQ(error.path(), path);
        }
    }
    json session = toJSON(fullSession());
    session["system"]["gpuProfiles"][0].erase("currentAllocatedMB");
    EXPECT_EQ(failureKind([&] { sessionFromJSON(session); }), Kind::keyNotFound);
}

TEST(AIRecordsJSON, NumbersAreCheckedForWholenessSignAndRange)
{
    json result = toJSON(fullResult());
    result["iterations"] = 42.0;
    EXPECT_EQ(resultFromJSON(result).iterations, 42);
    result["iterations"] = 42.5;
    EXPECT_EQ(failureKind([&] { resultFromJSON(result); }), Kind::dataCorrupted);

    result = toJSON(fullResult());
    result["gpuRegistryID"] = -1;
    EXPECT_EQ(failureKind([&] { resultFromJSON(result); }), Kind::dataCorrupted);

    json session = toJSON(fullSession());
    session["results"][0]["latency"]["outlierCount"] = 1.25;
    EXPECT_EQ(failureKind([&] { sessionFromJSON(session); }), Kind::dataCorrupted);
    // Int fields are 64-bit: counts past 2^31 - 1 read back exactly, past 2^63 - 1 they do not fit.
    session = toJSON(fullSession());
    session["system"]["logicalCores"] = 8589934592LL;
    session["results"][0]["iterations"] = std::numeric_limits<std::int64_t>::max();
    session["scores"]["validResults"] = 2147483648LL;
    const AIBenchmarkSession wide = sessionFromJSON(json::parse(session.dump()));
    EXPECT_EQ(wide.system.logicalCores, 8589934592LL);
    EXPECT_EQ(wide.results[0].iterations, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(wide.scores.validResults, 2147483648LL);
    session["system"]["logicalCores"] = 9223372036854775808ULL;
    EXPECT_EQ(failureKind([&] { sessionFromJSON(session); }), Kind::dataCorrupted);

    // Registry identifiers survive beyond the exact range of a double.
    for (std::uint64_t id : {std::uint64_t{(1ULL << 53) + 1}, std::numeric_limits<std::uint64_t>::max()}) {
        AIBenchmarkSession s = fullSession();
        s.selectedGPURegistryID = id;
        s.system.gpuRegistryID = id - 1;
        s.results[0].gpuRegistryID = id;
        (*s.system.gpuProfiles)[0].registryID = id;
        const AIBenchmarkSession back = sessionFromJSON(json::parse(toJSON(s).dump()));
        EXPECT_EQ(back.selectedGPURegistryID, id);
        EXPECT_EQ(back.system.gpuRegistryID, id - 1);
        EXPECT_EQ(back.results[0].gpuRegistryID, id);
        EXPECT_EQ((*back.system.gpuProfiles)[0].registryID, id);
    }
}

TEST(AIRecordsJSON, EnumerationTextsMustBeKnown)
{
    auto sessionWith = [](const std::function<void(json&)>& edit) {
        json session = toJSON(fullSession());
        edit(session);
        return session;
    };
    const std::vector<std::function<void(json&)>> edits{
        [](json& s) { s["results"][0]["workloadID"] = "imageclassification"; },
        [](json& s) { s["results"][0]["precision"] = "fp32"; },
        [](json& s) { s["results"][0]["scoreRole"] = "Universal"; },
        [](json& s) { s["results"][1]["backend"] = "Neural Engine"; },
        [](json& s) { s["mode"] = "Quick"; },
        [](json& s) { s["requestedBackend"] = "best available"; },
    };
    for (const auto& edit : edits) {
        EXPECT_EQ(failureKind([&] { sessionFromJSON(sessionWith(edit)); }), Kind::dataCorrupted);
    }

    try {
        backendFromJSON(json("best available"), "requestedBackend");
        FAIL() << "decoding succeeded";
    } catch (const JSONDecodingError& error) {
        EXPECT_EQ(error.message(), "Unknown Korvalen AI backend: best available");
    }

    const json older = sessionWith([](json& s) { s["requestedBackend"] = "Best Available"; });
    const AIBenchmarkSession session = sessionFromJSON(older);
    EXPECT_EQ(session.requestedBackend, AIBackend::automatic);
    EXPECT_EQ(toJSON(session).at("requestedBackend"), "Best Available (Calibrated)");
}

TEST(AIRecordsJSON, AbsentOptionalsAreNotWrittenAndEmptyListsAre)
{
    AIBenchmarkResult result = fullResult();
    result.error.reset();
    result.gpuRegistryID.reset();
    result.certificationNotes = std::vector<std::string>{};
    const json encoded = toJSON(result);
    EXPECT_FALSE(encoded.contains("error"));
    EXPECT_FALSE(encoded.contains("gpuRegistryID"));
    EXPECT_EQ(encoded.at("certificationNotes"), json::array());
    EXPECT_EQ(encoded.dump().find("null"), std::string::npos);

    AIBenchmarkSession session;
    session.id = Uuid::random();
    const std::string text = toJSON(session).dump();
    EXPECT_EQ(text.find("null"), std::string::npos) << text;
    EXPECT_EQ(sessionFromJSON(json::parse(text)), session);
}

TEST(AIRecordsJSON, NonFiniteNumbersAreWrittenAsZero)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    AIBenchmarkSession session = fullSession();
    session.results[0].throughput = nan;
    session.results[0].latency.p90MS = inf;
    session.results[0].latencySamplesMS = std::vector<double>{1.0, -inf, nan};
    session.scores.overall = nan;
    session.system.availableMemoryGB = nan;

    const std::string text = toJSON(session).dump();
    EXPECT_EQ(text.find("null"), std::string::npos);
    const AIBenchmarkSession back = sessionFromJSON(json::parse(text));
    EXPECT_EQ(back.results[0].throughput, 0.0);
    EXPECT_EQ(back.results[0].latency.p90MS, 0.0);
    EXPECT_EQ(back.results[0].latencySamplesMS, (std::vector<double>{1.0, 0.0, 0.0}));
    EXPECT_EQ(back.scores.overall, 0.0);
    EXPECT_EQ(back.system.availableMemoryGB, 0.0);
    EXPECT_EQ(back.results[1], session.results[1]);
}

TEST(AIRecordsJSON, IdentifiersAndDatesReadLeniently)
{
    json result = toJSON(fullResult());
    EXPECT_EQ(result.at("id"), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(result.at("startedAt"), "2026-12-07T03:53:19.123Z");
    result["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";
    result["startedAt"] = "2026-12-07T03:53:19Z";
    const AIBenchmarkResult decoded = resultFromJSON(result);
    EXPECT_EQ(decoded.id, fullResult().id);
    EXPECT_EQ(decoded.startedAt, fromMilliseconds(1796615599000));
    result["startedAt"] = "2026-12-07 03:53:19";
    EXPECT_EQ(failureKind([&] { resultFromJSON(result); }), Kind::dataCorrupted);
}

TEST(AIRecords, SummaryScoresFallBackToOverall)
{
    AIScoreSummary summary = fullSummary();
    summary.universal.reset();
    summary.platform.reset();
    const AIScoreSummary decoded = scoreSummaryFromJSON(json::parse(toJSON(summary).dump()));
    EXPECT_EQ(decoded.universalScore(), 1000);
    EXPECT_EQ(decoded.platformScore(), 1000);
    summary.universal = 0;
    EXPECT_EQ(summary.universalScore(), 0);
}

TEST(AIRecords, GPUProfileEqualityAndHash)
{
    AIGPUProfile a = gpuProfile();
    AIGPUProfile b = a;
    EXPECT_EQ(std::hash<AIGPUProfile>{}(a), std::hash<AIGPUProfile>{}(b));
    b.currentAllocatedMB += 1;
    EXPECT_NE(a, b);
    EXPECT_NE(hashValue(a), hashValue(b));

    a.currentAllocatedMB = 0.0;
    b.currentAllocatedMB = -0.0;
    EXPECT_EQ(a, b);
    EXPECT_EQ(hashValue(a), hashValue(b));

    // Field order matters: swapping two flags is a different profile with a different hash.
    AIGPUProfile c = gpuProfile();
    AIGPUProfile d = c;
    std::swap(d.lowPower, d.removable);
    EXPECT_NE(hashValue(c), hashValue(d));
}

}  // namespace
}  // namespace korvalen
