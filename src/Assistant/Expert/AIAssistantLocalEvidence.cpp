#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantText.h"
#include "Assistant/Expert/UserPerceivedCharacters.h"

#include <algorithm>

namespace korvalen::AIAssistantEngine {

using namespace detail;

namespace {

// Intents after which a follow-up still talks about the benchmark, as bits over the intent order.
constexpr unsigned benchmarkFollowUpMask = 0xBFE;

constexpr std::array<std::string_view, 19> benchmarkTerms{
    "korvalen",        "benchmark",      "workload",   "score",          "pontuacao",      "resultado",
    "result",          "current run",    "latest run", "previous run",   "execucao atual", "execucao anterior",
    "universal score", "platform score", "certified",  "invalid result", "quick ai",       "complete ai",
    "extended ai"};

constexpr std::array<std::string_view, 14> ownMachine{
    "my cpu",  "my gpu",    "my mac",  "my computer",    "my machine",    "meu cpu",  "minha cpu",
    "meu gpu", "minha gpu", "meu mac", "meu computador", "minha maquina", "este mac", "this mac"};

constexpr std::array<std::string_view, 18> technicalTerms{
    "cpu",     "gpu", "neural engine", "ane",     "backend", "throughput", "latency", "latencia", "memory",
    "memoria", "ram", "thermal",       "termico", "p99",     "tflop",      "tops",    "tokens/s", "inferences/s"};

constexpr std::size_t evidenceCharacters = 2400;
constexpr std::size_t evidenceResults = 12;

}  // namespace

bool promptUsesBenchmarkEvidence(const std::string& prompt, AIAssistantIntent intent,
                                 std::optional<AIAssistantIntent> previousIntent)
{
    if (intent == AIAssistantIntent::followUp && previousIntent) {
        return (benchmarkFollowUpMask >> static_cast<unsigned>(*previousIntent)) & 1u;
    }
    if (intent == AIAssistantIntent::greeting || intent == AIAssistantIntent::unknown) {
        return false;
    }
    const std::string text = normalize(prompt);
    if (containsAny(text, benchmarkTerms)) {
        return true;
    }
    return containsAny(text, ownMachine) && containsAny(text, technicalTerms);
}

std::string localModelContext(const Session& session, const AISystemProfile& system, const History& history,
                              const std::string& expertAnalysis, bool includeBenchmarkEvidence)
{
    std::vector<std::string> lines{
        "You are a capable general-purpose local AI assistant integrated into Korvalen AI.",
        "You may discuss any topic the user asks about; you are not limited to Korvalen, benchmarks, or hardware.",
        "Use the user's language. Be direct and useful. Do not reveal hidden chain-of-thought.",
        "When benchmark evidence is supplied below, distinguish measured facts from interpretation and never invent "
        "scores or hardware facts.",
    };
    if (!includeBenchmarkEvidence) {
        lines.push_back(
            "No Korvalen evidence is attached to this request because the user is having a general "
            "conversation.");
        return join(lines);
    }
    lines.push_back("Detected system: " + system.modelIdentifier + "; CPU: " + system.cpuName +
                    "; architecture: " + system.architecture + "; memory: " + formatFixed(system.memoryGB, 1) +
                    " GB; GPU: " + system.gpuName +
                    "; Neural Engine available: " + (system.neuralEngineAvailable ? "true" : "false") + ".");
    lines.push_back("Olvane Expert evidence summary: " +
                    UserPerceivedCharacters::leading(expertAnalysis, evidenceCharacters));
    if (!session) {
        lines.push_back("No current benchmark session is loaded.");
    } else {
        const AIScoreSummary& s = session->scores;
        lines.push_back("Current session: mode=" + std::string(rawValue(session->mode)) + "; Universal=" +
                        formatScore(s.universalScore()) + "; Platform=" + formatScore(s.platformScore()) +
                        "; CPU=" + formatScore(s.cpu) + "; GPU=" + formatScore(s.gpu) +
                        "; NeuralEnginePreferred=" + formatScore(s.neuralEnginePreferred) +
                        "; valid=" + count(s.validResults) + "; invalid=" + count(s.invalidResults) + ".");
        const std::vector<AIBenchmarkResult> canonical = canonicalResults(*session);
        for (std::size_t i = 0; i < canonical.size() && i < evidenceResults; ++i) {
            const AIBenchmarkResult& r = canonical[i];
            lines.push_back("Result: " + title(r.workloadID) + "; backend=" + backendText(r.backend) +
                            "; score=" + formatScore(r.score) + "; throughput=" + metric(r.throughput) + " " +
                            r.throughputUnit + "; median=" + metric(r.latency.medianMS) + " ms; p99=" + metric(p99(r)) +
                            " ms; valid=" + (r.valid ? "true" : "false") + ".");
        }
    }
    lines.push_back("Saved sessions available for comparison: " + count(static_cast<long long>(history.size())) + ".");
    return join(lines);
}

}  // namespace korvalen::AIAssistantEngine
