#include "Assistant/Expert/AIAssistantEngine.h"

#include "Assistant/Expert/AIAssistantText.h"
#include "Assistant/Expert/AIAssistantUnderstanding.h"

#include <algorithm>
#include <cmath>

namespace korvalen::AIAssistantEngine {

using namespace detail;

namespace detail {

std::vector<AIBenchmarkResult> sortedByScoreDescending(std::vector<AIBenchmarkResult> results)
{
    std::stable_sort(results.begin(), results.end(), [](const AIBenchmarkResult& a, const AIBenchmarkResult& b) {
        return rankScore(a.score) > rankScore(b.score);
    });
    return results;
}

}  // namespace detail

std::string formatScore(double score)
{
    return std::isfinite(score) && score > 0 ? formatFixed(score, 0) : "—";
}

std::string resultLines(const std::vector<AIBenchmarkResult>& results, AIAssistantLanguage language)
{
    if (results.empty()) {
        return std::string(Bilingual{"• Not enough results.", "• Sem resultados suficientes."}.in(language));
    }
    std::vector<std::string> lines;
    lines.reserve(results.size());
    for (const AIBenchmarkResult& result : results) {
        lines.push_back("• " + title(result.workloadID) + " — " + backendText(result.backend) + ": score " +
                        formatScore(result.score) + ", " + metric(result.throughput) + " " + result.throughputUnit +
                        ".");
    }
    return join(lines);
}

std::vector<AIBenchmarkResult> canonicalResults(const AIBenchmarkSession& session)
{
    // Groups in order of the workload's first valid result, so every answer built on them is
    // deterministic.
    std::vector<std::vector<const AIBenchmarkResult*>> groups;
    std::vector<AIWorkloadID> order;
    for (const AIBenchmarkResult& result : session.results) {
        if (!result.valid) {
            continue;
        }
        const auto it = std::find(order.begin(), order.end(), result.workloadID);
        if (it == order.end()) {
            order.push_back(result.workloadID);
            groups.push_back({&result});
        } else {
            groups[static_cast<std::size_t>(it - order.begin())].push_back(&result);
        }
    }
    std::vector<AIBenchmarkResult> canonical;
    canonical.reserve(groups.size());
    const auto firstWithRole = [](const std::vector<const AIBenchmarkResult*>& group,
                                  std::initializer_list<AIScoreRole> roles) -> const AIBenchmarkResult* {
        for (const AIBenchmarkResult* result : group) {
            if (result->scoreRole && std::find(roles.begin(), roles.end(), *result->scoreRole) != roles.end()) {
                return result;
            }
        }
        return nullptr;
    };
    for (const auto& group : groups) {
        const AIBenchmarkResult* chosen =
            firstWithRole(group, {AIScoreRole::platform, AIScoreRole::universalAndPlatform});
        if (!chosen) {
            chosen = firstWithRole(group, {AIScoreRole::universal});
        }
        if (!chosen) {
            chosen = group.front();
            for (const AIBenchmarkResult* result : group) {
                if (rankScore(result->score) > rankScore(chosen->score)) {
                    chosen = result;
                }
            }
        }
        canonical.push_back(*chosen);
    }
    return canonical;
}

std::string noSession(AIAssistantLanguage language)
{
    return std::string(Bilingual{
        "No run is loaded. Run Quick AI, Complete AI, Extended AI, or AI Stress and ask again.",
        "Nenhuma execução está carregada. Execute Quick AI, Complete AI, Extended AI ou AI Stress e pergunte "
        "novamente.",
    }
                           .in(language));
}

namespace {

std::string unknownAnswer(AIAssistantLanguage language, const Session& session, const AISystemProfile& system)
{
    const bool english = isEnglish(language);
    std::string text =
        english
            ? "I specialize only in Korvalen AI and could not identify a clear benchmark intent in that question.\n\n"
            : "Eu sou especializada somente no Korvalen AI e não encontrei uma intenção técnica clara nessa "
              "pergunta.\n\n";
    text += session ? Bilingual{"A run is loaded and I can use its measured data.",
                                "Há uma execução carregada e posso usar seus dados."}
                          .in(language)
                    : Bilingual{"No run is loaded yet.", "Ainda não há uma execução carregada."}.in(language);
    text += english ? "\n\nUseful examples:\n• Analyze my complete result.\n• Compare CPU and GPU and explain why CPU "
                      "won.\n• What happened in Transformer Attention?\n• Analyze memory and retention.\n• Compare "
                      "with the previous run.\n• What should I improve?\n\nCurrent hardware: "
                    : "\n\nExemplos úteis:\n• Analise meu resultado completo.\n• Compare CPU e GPU e explique por que "
                      "a CPU venceu.\n• O que aconteceu com Transformer Attention?\n• Analise memória e retenção.\n• "
                      "Compare com a execução anterior.\n• O que preciso melhorar?\n\nHardware atual: ";
    text += system.modelIdentifier + ", " + system.cpuName + ", " + system.gpuName + ".";
    return text;
}

double confidence(AIAssistantIntent intent, bool hasWorkload, bool hasBackend, std::string_view normalizedQuestion)
{
    switch (intent) {
    case AIAssistantIntent::explainWorkload:
    case AIAssistantIntent::explainScore: return hasWorkload ? 0.92 : 0.58;
    case AIAssistantIntent::compareBackends:
        return hasBackend || contains(normalizedQuestion, "gpu") || contains(normalizedQuestion, "cpu") ? 0.93 : 0.8;
    case AIAssistantIntent::followUp: return 0.62;
    case AIAssistantIntent::unknown: return 0.25;
    default: return 0.9;
    }
}

std::string followUpAnswer(AIAssistantLanguage language, const Session& session, const AISystemProfile& system,
                           const History& history, const AIAssistantConversationContext& context)
{
    using I = AIAssistantIntent;
    switch (context.lastIntent.value_or(I::unknown)) {
    case I::compareRuns: return compareRuns(language, session, history);
    case I::compareBackends: return compareBackends(language, session, system, context.lastWorkloadID);
    case I::explainWorkload:
    case I::explainScore:
        return explainWhy(language, context.lastWorkloadID, context.lastBackend, session, system, context);
    case I::memory: return analyzeMemory(language, session, system);
    case I::stability: return analyzeStability(language, session);
    default: return analyzeSession(language, session, system, history);
    }
}

}  // namespace

std::optional<AIAssistantResponse> respond(const std::string& question, const Session& session,
                                           const AISystemProfile& system, const History& history,
                                           const AIAssistantConversationContext& context,
                                           const std::function<bool()>& cancellationCheck)
{
    const auto cancelled = [&] { return cancellationCheck && cancellationCheck(); };
    if (cancelled()) {
        return std::nullopt;
    }
    const QuestionTerms terms(question);
    const std::string& text = terms.normalized;
    const AIAssistantLanguage language = languageOfNormalized(text, context.language);
    const bool refersBack = hasReferenceWord(text);

    std::optional<AIWorkloadID> workload = detail::resolveWorkload(terms);
    if (!workload && refersBack) {
        workload = context.lastWorkloadID;
    }
    std::optional<AIBackend> backend = backendOfNormalized(text);
    if (!backend && refersBack) {
        backend = context.lastBackend;
    }
    const AIAssistantIntent intent = intentOfNormalized(text, workload, backend, context.lastIntent);
    if (cancelled()) {
        return std::nullopt;
    }

    std::string answer;
    switch (intent) {
    case AIAssistantIntent::greeting: answer = greeting(language, system, session); break;
    case AIAssistantIntent::analyze: answer = analyzeSession(language, session, system, history); break;
    case AIAssistantIntent::invalidResults: answer = explainInvalidResults(language, session); break;
    case AIAssistantIntent::compareRuns: answer = compareRuns(language, session, history); break;
    case AIAssistantIntent::compareBackends: answer = compareBackends(language, session, system, workload); break;
    case AIAssistantIntent::explainWorkload: answer = explainWorkload(language, workload, session); break;
    case AIAssistantIntent::explainScore:
        answer = explainWhy(language, workload, backend, session, system, context);
        break;
    case AIAssistantIntent::memory: answer = analyzeMemory(language, session, system); break;
    case AIAssistantIntent::stability: answer = analyzeStability(language, session); break;
    case AIAssistantIntent::improvement: answer = recommendImprovements(language, session, system, history); break;
    case AIAssistantIntent::hardware: answer = explainHardware(language, system, session); break;
    case AIAssistantIntent::runMode: answer = explainRunModes(language, session); break;
    case AIAssistantIntent::followUp: answer = followUpAnswer(language, session, system, history, context); break;
    case AIAssistantIntent::unknown: answer = unknownAnswer(language, session, system); break;
    }
    if (cancelled()) {
        return std::nullopt;
    }

    AIAssistantResponse response;
    response.text = std::move(answer);
    response.intent = intent;
    response.language = language;
    response.confidence = confidence(intent, workload.has_value(), backend.has_value(), text);
    response.workloadID = workload;
    response.backend = backend;
    response.engine = std::string(engineName);
    response.fallbackUsed = false;
    return response;
}

}  // namespace korvalen::AIAssistantEngine
