#include "Model/AIRecordsJSON.h"

namespace korvalen {

using strictjson::ObjectReader;
using strictjson::ObjectWriter;
using Kind = JSONDecodingError::Kind;

namespace {

template <typename E>
nlohmann::json rawJSON(E value)
{
    return std::string(rawValue(value));
}

}  // namespace

nlohmann::json toJSON(AIRunMode value)
{
    return rawJSON(value);
}
nlohmann::json toJSON(AIBackend value)
{
    return rawJSON(value);
}
nlohmann::json toJSON(AIScoreRole value)
{
    return rawJSON(value);
}
nlohmann::json toJSON(AIPrecision value)
{
    return rawJSON(value);
}
nlohmann::json toJSON(AICategory value)
{
    return rawJSON(value);
}
nlohmann::json toJSON(AIWorkloadID value)
{
    return rawJSON(value);
}
nlohmann::json toJSON(CoreMLModelFamily value)
{
    return rawJSON(value);
}

template <typename E>
E enumerationFromJSON(const nlohmann::json& json, const std::string& path)
{
    const std::string text = strictjson::decodeString(json, path);
    const auto value = fromRaw<E>(text);
    if (!value) {
        throw JSONDecodingError(Kind::dataCorrupted, path, "unknown value \"" + text + "\"");
    }
    return *value;
}

template AIRunMode enumerationFromJSON<AIRunMode>(const nlohmann::json&, const std::string&);
template AIBackend enumerationFromJSON<AIBackend>(const nlohmann::json&, const std::string&);
template AIScoreRole enumerationFromJSON<AIScoreRole>(const nlohmann::json&, const std::string&);
template AIPrecision enumerationFromJSON<AIPrecision>(const nlohmann::json&, const std::string&);
template AICategory enumerationFromJSON<AICategory>(const nlohmann::json&, const std::string&);
template AIWorkloadID enumerationFromJSON<AIWorkloadID>(const nlohmann::json&, const std::string&);
template CoreMLModelFamily enumerationFromJSON<CoreMLModelFamily>(const nlohmann::json&, const std::string&);

AIBackend backendFromJSON(const nlohmann::json& json, const std::string& path)
{
    const std::string text = strictjson::decodeString(json, path);
    const auto backend = decodeBackend(text);
    if (!backend) {
        throw JSONDecodingError(Kind::dataCorrupted, path, "Unknown Korvalen AI backend: " + text);
    }
    return *backend;
}

// Encoders visit the fields in declaration order.

nlohmann::json toJSON(const AILatencyStats& value)
{
    ObjectWriter out;
    out.put("minimumMS", value.minimumMS)
        .put("medianMS", value.medianMS)
        .put("p95MS", value.p95MS)
        .put("maximumMS", value.maximumMS)
        .put("averageMS", value.averageMS)
        .putOptional("p90MS", value.p90MS)
        .putOptional("p99MS", value.p99MS)
        .putOptional("standardDeviationMS", value.standardDeviationMS)
        .putOptional("coefficientOfVariation", value.coefficientOfVariation)
        .putOptional("confidence95HalfWidthMS", value.confidence95HalfWidthMS)
        .putOptional("outlierCount", value.outlierCount);
    return out.take();
}

nlohmann::json toJSON(const AIMemoryStats& value)
{
    ObjectWriter out;
    out.put("startMB", value.startMB).put("peakMB", value.peakMB).put("endMB", value.endMB);
    return out.take();
}

nlohmann::json toJSON(const AIBenchmarkResult& value)
{
    ObjectWriter out;
    out.put("id", value.id)
        .put("workloadID", toJSON(value.workloadID))
        .put("backend", toJSON(value.backend))
        .put("precision", toJSON(value.precision))
        .put("startedAt", value.startedAt)
        .put("durationSeconds", value.durationSeconds)
        .put("iterations", value.iterations)
        .put("throughput", value.throughput)
        .put("throughputUnit", value.throughputUnit)
        .put("latency", toJSON(value.latency))
        .put("memory", toJSON(value.memory))
        .put("accuracy", value.accuracy)
        .put("score", value.score)
        .put("valid", value.valid)
        .put("checksum", value.checksum)
        .put("thermalStart", value.thermalStart)
        .put("thermalEnd", value.thermalEnd)
        .putOptional("performanceRetention", value.performanceRetention)
        .put("details", value.details)
        .putOptional("error", value.error);
    if (value.scoreRole) {
        out.put("scoreRole", toJSON(*value.scoreRole));
    }
    out.putOptional("gpuRegistryID", value.gpuRegistryID)
        .putOptional("gpuName", value.gpuName)
        .putOptional("certifiedForComparison", value.certifiedForComparison)
        .putOptional("certificationNotes", value.certificationNotes)
        .putOptional("measuredWorkUnits", value.measuredWorkUnits)
        .putOptional("latencySamplesMS", value.latencySamplesMS)
        .putOptional("thermalStateSamples", value.thermalStateSamples);
    return out.take();
}

nlohmann::json toJSON(const AIScoreSummary& value)
{
    ObjectWriter out;
    out.put("overall", value.overall)
        .put("cpu", value.cpu)
        .put("gpu", value.gpu)
        .put("neuralEnginePreferred", value.neuralEnginePreferred)
        .put("vision", value.vision)
        .put("language", value.language)
        .put("generative", value.generative)
        .put("audio", value.audio)
        .put("compute", value.compute)
        .put("training", value.training)
        .put("memory", value.memory)
        .put("sustained", value.sustained)
        .put("fp32", value.fp32)
        .put("fp16", value.fp16)
        .put("int8", value.int8)
        .put("validResults", value.validResults)
        .put("invalidResults", value.invalidResults)
        .putOptional("universal", value.universal)
        .putOptional("platform", value.platform)
        .putOptional("certifiedResults", value.certifiedResults)
        .putOptional("diagnosticResults", value.diagnosticResults);
    return out.take();
}

nlohmann::json toJSON(const AIGPUProfile& value)
{
    ObjectWriter out;
    out.put("name", value.name)
        .put("registryID", value.registryID)
        .put("lowPower", value.lowPower)
        .put("removable", value.removable)
        .put("headless", value.headless)
        .put("unifiedMemory", value.unifiedMemory)
        .put("recommendedWorkingSetMB", value.recommendedWorkingSetMB)
        .put("currentAllocatedMB", value.currentAllocatedMB)
        .put("maxBufferMB", value.maxBufferMB);
    return out.take();
}

nlohmann::json toJSON(const AICPUCapabilities& value)
{
    ObjectWriter out;
    out.put("featureString", value.featureString)
        .putOptional("cacheLineBytes", value.cacheLineBytes)
        .putOptional("l1DataKB", value.l1DataKB)
        .putOptional("l2KB", value.l2KB)
        .putOptional("l3KB", value.l3KB);
    return out.take();
}

nlohmann::json toJSON(const AIPowerProfile& value)
{
    ObjectWriter out;
    out.put("source", value.source)
        .putOptional("batteryPercent", value.batteryPercent)
        .put("lowPowerMode", value.lowPowerMode);
    return out.take();
}

nlohmann::json toJSON(const AISystemProfile& value)
{
    ObjectWriter out;
    out.put("computerName", value.computerName)
        .put("modelIdentifier", value.modelIdentifier)
        .put("cpuName", value.cpuName)
        .put("architecture", value.architecture)
        .put("logicalCores", value.logicalCores)
        .put("physicalCores", value.physicalCores)
        .put("memoryGB", value.memoryGB)
        .put("osVersion", value.osVersion)
        .put("gpuName", value.gpuName)
        .putOptional("gpuRegistryID", value.gpuRegistryID)
        .put("neuralEngineAvailable", value.neuralEngineAvailable)
        .put("appVersion", value.appVersion)
        .putOptional("runningUnderRosetta", value.runningUnderRosetta);
    if (value.gpuProfiles) {
        nlohmann::json profiles = nlohmann::json::array();
        for (const AIGPUProfile& profile : *value.gpuProfiles) {
            profiles.push_back(toJSON(profile));
        }
        out.put("gpuProfiles", std::move(profiles));
    }
    if (value.cpuCapabilities) {
        out.put("cpuCapabilities", toJSON(*value.cpuCapabilities));
    }
    if (value.power) {
        out.put("power", toJSON(*value.power));
    }
    out.putOptional("availableMemoryGB", value.availableMemoryGB)
        .putOptional("swapUsedGB", value.swapUsedGB)
        .putOptional("neuralEngineProbe", value.neuralEngineProbe);
    return out.take();
}

nlohmann::json toJSON(const AIBenchmarkSession& value)
{
    nlohmann::json results = nlohmann::json::array();
    for (const AIBenchmarkResult& result : value.results) {
        results.push_back(toJSON(result));
    }
    ObjectWriter out;
    out.put("id", value.id)
        .put("startedAt", value.startedAt)
        .putOptional("completedAt", value.completedAt)
        .put("mode", toJSON(value.mode))
        .put("requestedBackend", toJSON(value.requestedBackend))
        .put("compareAllBackends", value.compareAllBackends)
        .put("system", toJSON(value.system))
        .put("results", std::move(results))
        .put("scores", toJSON(value.scores))
        .put("cancelled", value.cancelled)
        .putOptional("selectedGPURegistryID", value.selectedGPURegistryID)
        .putOptional("compareAllGPUs", value.compareAllGPUs)
        .putOptional("certificationNotes", value.certificationNotes)
        .putOptional("methodologyVersion", value.methodologyVersion);
    return out.take();
}

nlohmann::json toJSON(const std::vector<AIBenchmarkSession>& sessions)
{
    nlohmann::json array = nlohmann::json::array();
    for (const AIBenchmarkSession& session : sessions) {
        array.push_back(toJSON(session));
    }
    return array;
}

AILatencyStats latencyStatsFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AILatencyStats value;
    value.minimumMS = in.requiredDouble("minimumMS");
    value.medianMS = in.requiredDouble("medianMS");
    value.p95MS = in.requiredDouble("p95MS");
    value.maximumMS = in.requiredDouble("maximumMS");
    value.averageMS = in.requiredDouble("averageMS");
    value.p90MS = in.optionalDouble("p90MS");
    value.p99MS = in.optionalDouble("p99MS");
    value.standardDeviationMS = in.optionalDouble("standardDeviationMS");
    value.coefficientOfVariation = in.optionalDouble("coefficientOfVariation");
    value.confidence95HalfWidthMS = in.optionalDouble("confidence95HalfWidthMS");
    value.outlierCount = in.optionalInt64("outlierCount");
    return value;
}

AIMemoryStats memoryStatsFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AIMemoryStats value;
    value.startMB = in.requiredDouble("startMB");
    value.peakMB = in.requiredDouble("peakMB");
    value.endMB = in.requiredDouble("endMB");
    return value;
}

AIBenchmarkResult resultFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AIBenchmarkResult value;
    value.id = in.requiredUuid("id");
    value.workloadID = in.required("workloadID", enumerationFromJSON<AIWorkloadID>);
    value.backend = in.required("backend", backendFromJSON);
    value.precision = in.required("precision", enumerationFromJSON<AIPrecision>);
    value.startedAt = in.requiredDate("startedAt");
    value.durationSeconds = in.requiredDouble("durationSeconds");
    value.iterations = in.requiredInt64("iterations");
    value.throughput = in.requiredDouble("throughput");
    value.throughputUnit = in.requiredString("throughputUnit");
    value.latency = in.required("latency", latencyStatsFromJSON);
    value.memory = in.required("memory", memoryStatsFromJSON);
    value.accuracy = in.requiredDouble("accuracy");
    value.score = in.requiredDouble("score");
    value.valid = in.requiredBool("valid");
    value.checksum = in.requiredDouble("checksum");
    value.thermalStart = in.requiredString("thermalStart");
    value.thermalEnd = in.requiredString("thermalEnd");
    value.performanceRetention = in.optionalDouble("performanceRetention");
    value.details = in.requiredStringArray("details");
    value.error = in.optionalString("error");
    value.scoreRole = in.optional("scoreRole", enumerationFromJSON<AIScoreRole>);
    value.gpuRegistryID = in.optionalUInt64("gpuRegistryID");
    value.gpuName = in.optionalString("gpuName");
    value.certifiedForComparison = in.optionalBool("certifiedForComparison");
    value.certificationNotes = in.optionalStringArray("certificationNotes");
    value.measuredWorkUnits = in.optionalDouble("measuredWorkUnits");
    value.latencySamplesMS = in.optionalDoubleArray("latencySamplesMS");
    value.thermalStateSamples = in.optionalStringArray("thermalStateSamples");
    return value;
}

AIScoreSummary scoreSummaryFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AIScoreSummary value;
    value.overall = in.requiredDouble("overall");
    value.cpu = in.requiredDouble("cpu");
    value.gpu = in.requiredDouble("gpu");
    value.neuralEnginePreferred = in.requiredDouble("neuralEnginePreferred");
    value.vision = in.requiredDouble("vision");
    value.language = in.requiredDouble("language");
    value.generative = in.requiredDouble("generative");
    value.audio = in.requiredDouble("audio");
    value.compute = in.requiredDouble("compute");
    value.training = in.requiredDouble("training");
    value.memory = in.requiredDouble("memory");
    value.sustained = in.requiredDouble("sustained");
    value.fp32 = in.requiredDouble("fp32");
    value.fp16 = in.requiredDouble("fp16");
    value.int8 = in.requiredDouble("int8");
    value.validResults = in.requiredInt64("validResults");
    value.invalidResults = in.requiredInt64("invalidResults");
    value.universal = in.optionalDouble("universal");
    value.platform = in.optionalDouble("platform");
    value.certifiedResults = in.optionalInt64("certifiedResults");
    value.diagnosticResults = in.optionalInt64("diagnosticResults");
    return value;
}

AIGPUProfile gpuProfileFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AIGPUProfile value;
    value.name = in.requiredString("name");
    value.registryID = in.requiredUInt64("registryID");
    value.lowPower = in.requiredBool("lowPower");
    value.removable = in.requiredBool("removable");
    value.headless = in.requiredBool("headless");
    value.unifiedMemory = in.requiredBool("unifiedMemory");
    value.recommendedWorkingSetMB = in.requiredDouble("recommendedWorkingSetMB");
    value.currentAllocatedMB = in.requiredDouble("currentAllocatedMB");
    value.maxBufferMB = in.requiredDouble("maxBufferMB");
    return value;
}

AICPUCapabilities cpuCapabilitiesFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AICPUCapabilities value;
    value.featureString = in.requiredString("featureString");
    value.cacheLineBytes = in.optionalInt64("cacheLineBytes");
    value.l1DataKB = in.optionalInt64("l1DataKB");
    value.l2KB = in.optionalInt64("l2KB");
    value.l3KB = in.optionalInt64("l3KB");
    return value;
}

AIPowerProfile powerProfileFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AIPowerProfile value;
    value.source = in.requiredString("source");
    value.batteryPercent = in.optionalInt64("batteryPercent");
    value.lowPowerMode = in.requiredBool("lowPowerMode");
    return value;
}

AISystemProfile systemProfileFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AISystemProfile value;
    value.computerName = in.requiredString("computerName");
    value.modelIdentifier = in.requiredString("modelIdentifier");
    value.cpuName = in.requiredString("cpuName");
    value.architecture = in.requiredString("architecture");
    value.logicalCores = in.requiredInt64("logicalCores");
    value.physicalCores = in.requiredInt64("physicalCores");
    value.memoryGB = in.requiredDouble("memoryGB");
    value.osVersion = in.requiredString("osVersion");
    value.gpuName = in.requiredString("gpuName");
    value.gpuRegistryID = in.optionalUInt64("gpuRegistryID");
    value.neuralEngineAvailable = in.requiredBool("neuralEngineAvailable");
    value.appVersion = in.requiredString("appVersion");
    value.runningUnderRosetta = in.optionalBool("runningUnderRosetta");
    value.gpuProfiles = in.optional("gpuProfiles", [](const nlohmann::json& profiles, const std::string& at) {
        return strictjson::decodeArray(profiles, at, gpuProfileFromJSON);
    });
    value.cpuCapabilities = in.optional("cpuCapabilities", cpuCapabilitiesFromJSON);
    value.power = in.optional("power", powerProfileFromJSON);
    value.availableMemoryGB = in.optionalDouble("availableMemoryGB");
    value.swapUsedGB = in.optionalDouble("swapUsedGB");
    value.neuralEngineProbe = in.optionalString("neuralEngineProbe");
    return value;
}

AIBenchmarkSession sessionFromJSON(const nlohmann::json& json, const std::string& path)
{
    const ObjectReader in(json, path);
    AIBenchmarkSession value;
    value.id = in.requiredUuid("id");
    value.startedAt = in.requiredDate("startedAt");
    value.completedAt = in.optionalDate("completedAt");
    value.mode = in.required("mode", enumerationFromJSON<AIRunMode>);
    value.requestedBackend = in.required("requestedBackend", backendFromJSON);
    value.compareAllBackends = in.requiredBool("compareAllBackends");
    value.system = in.required("system", systemProfileFromJSON);
    value.results = in.required("results", [](const nlohmann::json& results, const std::string& at) {
        return strictjson::decodeArray(results, at, resultFromJSON);
    });
    value.scores = in.required("scores", scoreSummaryFromJSON);
    value.cancelled = in.requiredBool("cancelled");
    value.selectedGPURegistryID = in.optionalUInt64("selectedGPURegistryID");
    value.compareAllGPUs = in.optionalBool("compareAllGPUs");
    value.certificationNotes = in.optionalStringArray("certificationNotes");
    value.methodologyVersion = in.optionalInt64("methodologyVersion");
    return value;
}

std::vector<AIBenchmarkSession> sessionsFromJSON(const nlohmann::json& json, const std::string& path)
{
    return strictjson::decodeArray(json, path, sessionFromJSON);
}

}  // namespace korvalen
