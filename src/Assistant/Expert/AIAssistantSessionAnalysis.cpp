#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantText.h"

namespace korvalen::AIAssistantEngine {

using namespace detail;

std::string analyzeSession(AIAssistantLanguage language, const Session& session, const AISystemProfile& system,
                           const History& history)
{
    if (!session) {
        return noSession(language);
    }
    const SessionAnalysisSnapshot snapshot = makeSessionAnalysisSnapshot(*session, system, history);
    return isEnglish(language) ? englishSessionAnalysis(snapshot) : portugueseSessionAnalysis(snapshot);
}

SessionAnalysisSnapshot makeSessionAnalysisSnapshot(const AIBenchmarkSession& session, const AISystemProfile& system,
                                                    const History& history)
{
    using L = AIAssistantLanguage;
    const std::vector<AIBenchmarkResult> canonical = canonicalResults(session);
    const std::vector<AIBenchmarkResult> strongest = selectRankedResults(canonical, 3, true);
    std::vector<AIBenchmarkResult> positive;
    for (const AIBenchmarkResult& result : canonical) {
        if (result.score > 0) {
            positive.push_back(result);
        }
    }
    const std::vector<AIBenchmarkResult> weakest = selectRankedResults(positive, 3, false);

    SessionAnalysisSnapshot s;
    s.modeName = std::string(rawValue(session.mode));
    s.modelIdentifier = system.modelIdentifier;
    s.universalScore = formatScore(session.scores.universalScore());
    s.platformScore = formatScore(session.scores.platformScore());
    s.cpuScore = formatScore(session.scores.cpu);
    s.gpuScore = formatScore(session.scores.gpu);
    s.neuralEngineScore = formatScore(session.scores.neuralEnginePreferred);
    for (const AIBenchmarkResult& result : session.results) {
        (result.valid ? s.validCount : s.invalidCount) += 1;
    }
    const WinSummary wins = backendWinSummary(session);
    s.backendPortuguese = wins.portuguese;
    s.backendEnglish = wins.english;
    s.strongestPortuguese = resultLines(strongest, L::portuguese);
    s.strongestEnglish = resultLines(strongest, L::english);
    s.weakestPortuguese = resultLines(weakest, L::portuguese);
    s.weakestEnglish = resultLines(weakest, L::english);

    const std::vector<std::string> anomaliesPortuguese = anomalyLines(session, L::portuguese);
    const std::vector<std::string> anomaliesEnglish = anomalyLines(session, L::english);
    s.anomaliesPortuguese = anomaliesPortuguese.empty() ? "• Nenhuma anomalia estatística importante foi detectada."
                                                        : join(anomaliesPortuguese);
    s.anomaliesEnglish =
        anomaliesEnglish.empty() ? "• No important statistical anomaly was detected." : join(anomaliesEnglish);

    const std::vector<std::string> notes = session.certificationNotes.value_or(std::vector<std::string>{});
    if (notes.empty()) {
        s.certificationPortuguese = "• Sem alertas de certificação no nível da sessão.";
        s.certificationEnglish = "• No session-level certification warning was recorded.";
    } else {
        std::vector<std::string> lines;
        for (const std::string& note : notes) {
            lines.push_back("• " + note);
        }
        s.certificationPortuguese = s.certificationEnglish = join(lines);
    }

    if (const AIBenchmarkSession* previous = comparablePrevious(session, history)) {
        s.comparisonPortuguese = compareScoreLine(session, *previous, L::portuguese);
        s.comparisonEnglish = compareScoreLine(session, *previous, L::english);
    } else {
        s.comparisonPortuguese = "Não existe uma execução anterior diretamente comparável no histórico.";
        s.comparisonEnglish = "There is no directly comparable previous run in history.";
    }
    return s;
}

std::string englishSessionAnalysis(const SessionAnalysisSnapshot& s)
{
    return "Analysis of the " + s.modeName + " run on " + s.modelIdentifier +
           "\n\nMain scores\n• Universal AI: " + s.universalScore + "\n• Platform AI: " + s.platformScore +
           "\n• CPU AI: " + s.cpuScore + "\n• GPU AI: " + s.gpuScore +
           "\n• Neural Engine Preferred: " + s.neuralEngineScore + "\n• Valid results: " + count(s.validCount) +
           "; invalid: " + count(s.invalidCount) + "\n\nAccelerator interpretation\n" + s.backendEnglish +
           "\n\nStrongest normalized indices\n" + s.strongestEnglish + "\n\nWeakest points\n" + s.weakestEnglish +
           "\n\nAnomalies and stability\n" + s.anomaliesEnglish + "\n\nCertification\n" + s.certificationEnglish +
           "\n\n" + s.comparisonEnglish;
}

std::string portugueseSessionAnalysis(const SessionAnalysisSnapshot& s)
{
    return "Análise da execução " + s.modeName + " no " + s.modelIdentifier +
           "\n\nPontuações principais\n• Universal AI: " + s.universalScore + "\n• Platform AI: " + s.platformScore +
           "\n• CPU AI: " + s.cpuScore + "\n• GPU AI: " + s.gpuScore +
           "\n• Neural Engine Preferred: " + s.neuralEngineScore + "\n• Resultados válidos: " + count(s.validCount) +
           "; inválidos: " + count(s.invalidCount) + "\n\nLeitura dos aceleradores\n" + s.backendPortuguese +
           "\n\nMaiores índices normalizados\n" + s.strongestPortuguese + "\n\nPontos mais fracos\n" +
           s.weakestPortuguese + "\n\nAnomalias e estabilidade\n" + s.anomaliesPortuguese + "\n\nCertificação\n" +
           s.certificationPortuguese + "\n\n" + s.comparisonPortuguese;
}

std::string greeting(AIAssistantLanguage language, const AISystemProfile& system, const Session& session)
{
    std::string text;
    if (isEnglish(language)) {
        text = "Hello. I am analyzing " + system.modelIdentifier + " with " + system.cpuName + " and " +
               system.gpuName + ".\n\n";
        text += session ? "A run is loaded with Platform AI " + formatScore(session->scores.platformScore()) +
                              " and Universal AI " + formatScore(session->scores.universalScore()) + "."
                        : std::string("No benchmark run is loaded yet.");
        text +=
            "\n\nI can compare CPU and GPU, explain a workload, inspect memory and stability, explain invalid "
            "results, or compare previous runs.";
    } else {
        text = "Olá. Estou analisando o " + system.modelIdentifier + " com " + system.cpuName + " e " + system.gpuName +
               ".\n\n";
        text += session ? "Há uma execução carregada com Platform AI " + formatScore(session->scores.platformScore()) +
                              " e Universal AI " + formatScore(session->scores.universalScore()) + "."
                        : std::string("Ainda não há uma execução carregada.");
        text +=
            "\n\nPosso comparar CPU e GPU, explicar uma carga específica, analisar memória, estabilidade, "
            "resultados inválidos ou comparar execuções anteriores.";
    }
    return text;
}

std::string explainRunModes(AIAssistantLanguage language, const Session& session)
{
    static constexpr Bilingual fixed{
        "Korvalen AI modes\n\n• Quick AI: short representative comparison.\n• Complete AI: all production workloads "
        "except the longest extra diagnostics.\n• Extended AI: all 40 workloads with longer durations and deeper "
        "sampling.\n• AI Stress: only the sustained mixed load for retention and stability.\n\nTo validate the AI "
        "stack and hardware: Quick → Complete → AI Stress. Use Extended for memory, scaling, and deeper coverage.\n",
        "Modos do Korvalen AI\n\n• Quick AI: comparação curta e representativa.\n• Complete AI: todos os workloads de "
        "produção, exceto os testes extras mais longos.\n• Extended AI: todos os 40 workloads, com durações e "
        "amostragens maiores.\n• AI Stress: somente a carga mista sustentada, para retenção e estabilidade.\n\nPara "
        "validar a IA e o hardware: Quick → Complete → AI Stress. Use Extended quando precisar de memória, "
        "escalabilidade e maior profundidade.\n",
    };
    std::string text(fixed.in(language));
    if (session) {
        text += std::string(Bilingual{"The loaded result is ", "O resultado carregado é "}.in(language)) +
                std::string(rawValue(session->mode)) + ".";
    }
    return text;
}

}  // namespace korvalen::AIAssistantEngine
