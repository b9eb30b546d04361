#pragma once

#include "Model/AIRecords.h"
#include "Platform/Foundation/StrictJSON.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace korvalen {

// The JSON form of the benchmark records: the element of the history file and of the export.
// Keys are the field names; optional fields are left out when absent and read as absent when missing or
// null; unknown keys are ignored. Every decoder throws JSONDecodingError (with the path of the offending
// value below `path`) when a required key is missing or any value has the wrong type or an unknown
// enumeration text, so a bad nested record fails the record that holds it. No non-finite number is ever
// written: it is written as 0.

// Enumerations as their raw texts.
nlohmann::json toJSON(AIRunMode value);
nlohmann::json toJSON(AIBackend value);
nlohmann::json toJSON(AIScoreRole value);
nlohmann::json toJSON(AIPrecision value);
nlohmann::json toJSON(AICategory value);
nlohmann::json toJSON(AIWorkloadID value);
nlohmann::json toJSON(CoreMLModelFamily value);

// Exact raw value, or a dataCorrupted error.
template <typename E>
E enumerationFromJSON(const nlohmann::json& json, const std::string& path = {});
// Also accepts "Best Available"; anything else fails with "Unknown Korvalen AI backend: <text>".
AIBackend backendFromJSON(const nlohmann::json& json, const std::string& path = {});

nlohmann::json toJSON(const AILatencyStats& value);
nlohmann::json toJSON(const AIMemoryStats& value);
nlohmann::json toJSON(const AIBenchmarkResult& value);
nlohmann::json toJSON(const AIScoreSummary& value);
nlohmann::json toJSON(const AIGPUProfile& value);
nlohmann::json toJSON(const AICPUCapabilities& value);
nlohmann::json toJSON(const AIPowerProfile& value);
nlohmann::json toJSON(const AISystemProfile& value);
nlohmann::json toJSON(const AIBenchmarkSession& value);
nlohmann::json toJSON(const std::vector<AIBenchmarkSession>& sessions);

AILatencyStats latencyStatsFromJSON(const nlohmann::json& json, const std::string& path = {});
AIMemoryStats memoryStatsFromJSON(const nlohmann::json& json, const std::string& path = {});
AIBenchmarkResult resultFromJSON(const nlohmann::json& json, const std::string& path = {});
AIScoreSummary scoreSummaryFromJSON(const nlohmann::json& json, const std::string& path = {});
AIGPUProfile gpuProfileFromJSON(const nlohmann::json& json, const std::string& path = {});
AICPUCapabilities cpuCapabilitiesFromJSON(const nlohmann::json& json, const std::string& path = {});
AIPowerProfile powerProfileFromJSON(const nlohmann::json& json, const std::string& path = {});
AISystemProfile systemProfileFromJSON(const nlohmann::json& json, const std::string& path = {});
AIBenchmarkSession sessionFromJSON(const nlohmann::json& json, const std::string& path = {});
// A JSON array of sessions; one bad session fails the whole list.
std::vector<AIBenchmarkSession> sessionsFromJSON(const nlohmann::json& json, const std::string& path = {});

}  // namespace korvalen
