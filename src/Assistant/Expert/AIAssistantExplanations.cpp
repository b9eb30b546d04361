#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantText.h"

#include <cmath>

namespace korvalen::AIAssistantEngine {

using namespace detail;

std::string explainWorkload(AIAssistantLanguage language, std::optional<AIWorkloadID> workload, const Session& session)
{
    if (!workload) {
        return std::string(Bilingual{
            "Name the workload you want analyzed, for example Transformer Attention, KV Cache, or Diffusion Denoise.",
            "Diga o nome do workload que deseja analisar, por exemplo Transformer Attention, KV Cache ou Diffusion "
            "Denoise.",
        }
                               .in(language));
    }
    const AIWorkloadDefinition& d = definition(*workload);
    std::vector<AIBenchmarkResult> results;
    if (session) {
        for (const AIBenchmarkResult& result : session->results) {
            if (result.workloadID == *workload) {
                results.push_back(result);
            }
        }
    }
    std::vector<std::string> lines;
    for (const AIBenchmarkResult& r : sortedByScoreDescending(std::move(results))) {
        lines.push_back("• " + backendText(r.backend) + ": score " + formatScore(r.score) + ", throughput " +
                        metric(r.throughput) + " " + r.throughputUnit + ", P99 " + metric(p99(r)) +
                        " ms, valid=" + (r.valid ? "true" : "false") + ".");
    }
    const std::string block =
        lines.empty()
            ? std::string(
                  Bilingual{"It has not been measured in this session yet.", "Ainda não foi medido nesta sessão."}.in(
                      language))
            : join(lines);
    // Pieces in the order they are shown; the values between them are the same in both languages.
    static constexpr Bilingual pieces[] = {
        {"\n\n• Category: ", "\n\n• Categoria: "},  {"\n• What it measures: ", "\n• O que mede: "},
        {"\n• Precision: ", "\n• Precisão: "},      {"\n• Canonical backend: ", "\n• Backend canônico: "},
        {"\n• Methodology: ", "\n• Metodologia: "}, {"\n\nCurrent results\n", "\n\nResultados atuais\n"},
    };
    const std::string values[] = {std::string(rawValue(d.category)), d.subtitle, std::string(rawValue(d.precision)),
                                  backendText(d.canonicalBackend),   d.notes,    block};
    std::string text = d.title;
    for (std::size_t i = 0; i < std::size(pieces); ++i) {
        text += pieces[i].in(language);
        text += values[i];
    }
    return text;
}

std::string explainWhy(AIAssistantLanguage language, std::optional<AIWorkloadID> workload,
                       std::optional<AIBackend> backend, const Session& session, const AISystemProfile& system,
                       const AIAssistantConversationContext& context)
{
    if (!session) {
        return noSession(language);
    }
    if (const auto named = workload ? workload : context.lastWorkloadID) {
        return compareBackendsForWorkload(language, *session, system, *named);
    }
    const auto chosen = backend ? backend : context.lastBackend;
    if (!chosen) {
        return analyzeSession(language, session, system, {});
    }
    long long certifiedCount = 0;
    double logSum = 0;
    long long positive = 0;
    for (const AIBenchmarkResult& r : session->results) {
        if (r.backend == *chosen && comparable(r)) {
            ++certifiedCount;
            if (std::isfinite(r.score) && r.score > 0) {
                logSum += std::log(r.score);
                ++positive;
            }
        }
    }
    const std::string name = backendText(*chosen);
    if (certifiedCount == 0) {
        return isEnglish(language)
                   ? "The " + name +
                         " backend does not have enough certified results in this session for a reliable comparison."
                   : "O backend " + name +
                         " não possui resultados certificados suficientes nesta sessão para uma comparação confiável.";
    }
    const double index = positive > 0 ? std::exp(logSum / static_cast<double>(positive)) : 0;
    const std::string indexText = std::isfinite(index) && index > 0 ? formatFixed(index, 0) : "—";
    return isEnglish(language)
               ? "The " + name + " backend has " + count(certifiedCount) +
                     " certified results in this session, with an approximate geometric index of " + indexText +
                     ". Name a workload so I can explain the technical cause of the difference."
               : "O backend " + name + " possui " + count(certifiedCount) +
                     " resultados certificados nesta sessão, com índice geométrico aproximado de " + indexText +
                     ". Diga o workload específico para eu explicar a causa técnica da diferença.";
}

std::string explainInvalidResults(AIAssistantLanguage language, const Session& session)
{
    if (!session) {
        return noSession(language);
    }
    std::vector<const AIBenchmarkResult*> diagnostic;
    for (const AIBenchmarkResult& r : session->results) {
        if (!r.valid || r.certifiedForComparison == false) {
            diagnostic.push_back(&r);
        }
    }
    if (diagnostic.empty()) {
        return std::string(Bilingual{
            "All loaded results are valid and there are no diagnostic results to explain.",
            "Todos os resultados carregados são válidos e não há resultados diagnósticos para explicar.",
        }
                               .in(language));
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < diagnostic.size() && i < 16; ++i) {
        const AIBenchmarkResult& r = *diagnostic[i];
        std::vector<std::string> reasons;
        if (r.error) {
            reasons.push_back(*r.error);
        }
        if (r.certificationNotes) {
            reasons.insert(reasons.end(), r.certificationNotes->begin(), r.certificationNotes->end());
        }
        const std::string reason = reasons.empty() ? std::string(Bilingual{"validation or certification did not pass",
                                                                           "validação ou certificação não aprovada"}
                                                                     .in(language))
                                                   : join(reasons, "; ");
        lines.push_back("• " + title(r.workloadID) + " — " + backendText(r.backend) + ": " + reason);
    }
    const std::string total = count(static_cast<long long>(diagnostic.size()));
    return (isEnglish(language) ? "I found " + total +
                                      " invalid or diagnostic-only results. They must not be treated as certified "
                                      "comparisons.\n\n"
                                : "Foram encontrados " + total +
                                      " resultados inválidos ou somente diagnósticos. Eles não devem ser tratados "
                                      "como comparação certificada.\n\n") +
           join(lines);
}

}  // namespace korvalen::AIAssistantEngine
