#pragma once

#include "Assistant/Expert/AIAssistantTypes.h"
#include "Model/AIRecords.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

// The built-in expert "Olvane Expert 2": pure functions from a question, the loaded session, the
// system profile, the saved history (newest first) and the follow-up context to an answer. Nothing is
// kept between calls, so concurrent calls on worker threads are safe.
namespace AIAssistantEngine {

inline constexpr std::string_view engineName = "Olvane Expert 2";

using Session = std::optional<AIBenchmarkSession>;
using History = std::vector<AIBenchmarkSession>;

// Every fact of the whole-session analysis, in both languages.
struct SessionAnalysisSnapshot {
    std::string modeName;
    std::string modelIdentifier;
    std::string universalScore;
    std::string platformScore;
    std::string cpuScore;
    std::string gpuScore;
    std::string neuralEngineScore;
    int validCount = 0;
    int invalidCount = 0;
    std::string backendPortuguese;
    std::string backendEnglish;
    std::string strongestPortuguese;
    std::string strongestEnglish;
    std::string weakestPortuguese;
    std::string weakestEnglish;
    std::string anomaliesPortuguese;
    std::string anomaliesEnglish;
    std::string certificationPortuguese;
    std::string certificationEnglish;
    std::string comparisonPortuguese;
    std::string comparisonEnglish;
};

// One per-workload score change between two runs, in percent.
struct WorkloadChange {
    std::string title;
    AIBackend backend = AIBackend::cpu;
    double delta = 0;
};

struct BackendPair {
    AIBenchmarkResult cpu;
    AIBenchmarkResult gpu;
    double ratio = 0;  // cpu score over the larger of the GPU score and 0.0001
};

struct WinSummary {
    std::string portuguese;
    std::string english;
};

// ---- Answering ----

// Absent exactly when `cancellationCheck` reports true before the work, after reading the question or
// after the analysis.
std::optional<AIAssistantResponse> respond(const std::string& question, const Session& session,
                                           const AISystemProfile& system, const History& history,
                                           const AIAssistantConversationContext& context,
                                           const std::function<bool()>& cancellationCheck);

// ---- Local-model evidence ----

bool promptUsesBenchmarkEvidence(const std::string& prompt, AIAssistantIntent intent,
                                 std::optional<AIAssistantIntent> previousIntent);
// The local model's system text: lines joined by single newlines, no trailing newline.
std::string localModelContext(const Session& session, const AISystemProfile& system, const History& history,
                              const std::string& expertAnalysis, bool includeBenchmarkEvidence);

// ---- Shared helpers ----

std::string formatScore(double score);
std::string resultLines(const std::vector<AIBenchmarkResult>& results, AIAssistantLanguage language);
// One valid result per workload, in order of first appearance in the session.
std::vector<AIBenchmarkResult> canonicalResults(const AIBenchmarkSession& session);
std::string noSession(AIAssistantLanguage language);

// ---- Question understanding ----

// Case and diacritics folded, lower-cased, "×" read as "x"; normalising twice changes nothing.
std::string normalize(std::string_view text);
AIAssistantLanguage detectLanguage(const std::string& question, AIAssistantLanguage fallback);
std::vector<std::string> tokens(std::string_view text);
double phraseSimilarity(std::string_view text, std::string_view phrase);
std::optional<AIWorkloadID> resolveWorkload(std::string_view question);
std::optional<AIBackend> detectBackend(std::string_view question);
AIAssistantIntent detectIntent(std::string_view normalizedQuestion, std::optional<AIWorkloadID> workload,
                               std::optional<AIBackend> backend, const AIAssistantConversationContext& context);

// ---- Session analysis, greeting, run modes ----

std::string analyzeSession(AIAssistantLanguage language, const Session& session, const AISystemProfile& system,
                           const History& history);
SessionAnalysisSnapshot makeSessionAnalysisSnapshot(const AIBenchmarkSession& session, const AISystemProfile& system,
                                                    const History& history);
std::string englishSessionAnalysis(const SessionAnalysisSnapshot& snapshot);
std::string portugueseSessionAnalysis(const SessionAnalysisSnapshot& snapshot);
std::string greeting(AIAssistantLanguage language, const AISystemProfile& system, const Session& session);
std::string explainRunModes(AIAssistantLanguage language, const Session& session);

// ---- Run comparison ----

bool sessionIsComparable(const AIBenchmarkSession& session);
bool runUsesGPUSelection(const AIBenchmarkSession& session);
std::string gpuProfileSignature(const AIGPUProfile& profile);
std::string gpuSelectionSignature(const AIBenchmarkSession& session);
// The newest saved session comparable with `current`, if any.
const AIBenchmarkSession* comparablePrevious(const AIBenchmarkSession& current, const History& history);
std::vector<WorkloadChange> perWorkloadChanges(const AIBenchmarkSession& current, const AIBenchmarkSession& previous);
std::string compareScoreLine(const AIBenchmarkSession& current, const AIBenchmarkSession& previous,
                             AIAssistantLanguage language);
std::string compareRuns(AIAssistantLanguage language, const Session& session, const History& history);
// (current ÷ previous − 1) × 100, or 0 when either is not finite or previous is within 0.0001 of 0.
double percentChange(double current, double previous);
// A session's start as a numeric date and short time in the current locale and time zone.
std::string sessionDateText(Date date);

// ---- Backend comparison ----

std::string compareBackends(AIAssistantLanguage language, const Session& session, const AISystemProfile& system,
                            std::optional<AIWorkloadID> workload);
std::string compareBackendsForWorkload(AIAssistantLanguage language, const AIBenchmarkSession& session,
                                       const AISystemProfile& system, AIWorkloadID workload);
WinSummary backendWinSummary(const AIBenchmarkSession& session);
std::vector<BackendPair> backendPairs(const AIBenchmarkSession& session);
std::vector<AIBenchmarkResult> selectRankedResults(const std::vector<AIBenchmarkResult>& results, std::size_t count,
                                                   bool highestFirst);

// ---- Workload, score and validity explanations ----

std::string explainWorkload(AIAssistantLanguage language, std::optional<AIWorkloadID> workload, const Session& session);
std::string explainWhy(AIAssistantLanguage language, std::optional<AIWorkloadID> workload,
                       std::optional<AIBackend> backend, const Session& session, const AISystemProfile& system,
                       const AIAssistantConversationContext& context);
std::string explainInvalidResults(AIAssistantLanguage language, const Session& session);

// ---- Memory, stability, improvement, hardware ----

std::string analyzeMemory(AIAssistantLanguage language, const Session& session, const AISystemProfile& system);
std::string analyzeStability(AIAssistantLanguage language, const Session& session);
std::string recommendImprovements(AIAssistantLanguage language, const Session& session, const AISystemProfile& system,
                                  const History& history);
std::string explainHardware(AIAssistantLanguage language, const AISystemProfile& system, const Session& session);
std::vector<std::string> anomalyLines(const AIBenchmarkSession& session, AIAssistantLanguage language);

}  // namespace AIAssistantEngine

}  // namespace korvalen
