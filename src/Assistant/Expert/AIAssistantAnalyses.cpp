#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantText.h"

#include <algorithm>
#include <cmath>

namespace korvalen::AIAssistantEngine {

using namespace detail;

namespace {

// The expert's rules of thumb.
constexpr double retainedMemoryMB = 128;
constexpr double tailFactor = 2.5;
constexpr double retentionFloorPercent = 90;
constexpr std::string_view latencyStabilityNote = "Latency stability was outside the comparison threshold";

double memoryDelta(const AIBenchmarkResult& r)
{
    return r.memory.endMB - r.memory.startMB;
}

bool hasLatencyStabilityNote(const AIBenchmarkResult& r)
{
    if (!r.certificationNotes) {
        return false;
    }
    for (const std::string& note : *r.certificationNotes) {
        if (std::string_view(note).starts_with(latencyStabilityNote)) {
            return true;
        }
    }
    return false;
}

// A median or P99 that is not a number never makes a result tail-heavy.
bool isTailHeavy(const AIBenchmarkResult& r)
{
    const double median = r.latency.medianMS;
    const double tail = p99(r);
    if (std::isnan(median) || std::isnan(tail)) {
        return false;
    }
    return tail > tailFactor * std::max(median, 0.0001);
}

bool retentionDropped(const AIBenchmarkResult& r)
{
    return r.performanceRetention && *r.performanceRetention < retentionFloorPercent;
}

std::string deltaText(double delta)
{
    return formatSignedFixed(delta, 2) + " MB";
}

}  // namespace

std::string analyzeMemory(AIAssistantLanguage language, const Session& session, const AISystemProfile& system)
{
    if (!session) {
        return noSession(language);
    }
    const AIBenchmarkResult* peak = nullptr;
    const AIBenchmarkResult* growth = nullptr;
    std::vector<AIBenchmarkResult> memoryResults;
    for (const AIBenchmarkResult& r : session->results) {
        if (!r.valid) {
            continue;
        }
        if (!peak || r.memory.peakMB > peak->memory.peakMB) {
            peak = &r;
        }
        if (!growth || memoryDelta(r) > memoryDelta(*growth)) {
            growth = &r;
        }
        if (definition(r.workloadID).category == AICategory::memory) {
            memoryResults.push_back(r);
        }
    }
    const bool retained = growth && memoryDelta(*growth) > retainedMemoryMB;
    std::vector<std::string> lines;
    for (const AIBenchmarkResult& r : sortedByScoreDescending(std::move(memoryResults))) {
        lines.push_back("• " + title(r.workloadID) + " — " + backendText(r.backend) + ": " + metric(r.throughput) +
                        " " + r.throughputUnit + ", peak " + metric(r.memory.peakMB) + " MB, delta " +
                        deltaText(memoryDelta(r)) + ".");
    }
    const std::string unavailable(Bilingual{"unavailable", "indisponível"}.in(language));

    static constexpr Bilingual pieces[] = {
        {"Memory analysis\n\n• Detected physical memory: ", "Análise de memória\n\n• Memória física detectada: "},
        {" GB\n• Largest workload peak: ", " GB\n• Maior pico por workload: "},
        {"\n• Largest final delta: ", "\n• Maior delta final: "},
        {"\n\nMemory workloads\n", "\n\nWorkloads de memória\n"},
        {"• No memory workload was executed in this session.",
         "• Nenhum workload de memória foi executado nesta sessão."},
        {"At least one workload retained a large amount of memory. A Deep diagnostic and idle RSS observation are "
         "warranted.",
         "Há retenção elevada em pelo menos um workload. Isso merece um diagnóstico Deep e observação do RSS em "
         "repouso."},
        {"Individual deltas do not show more than 128 MB retained by a workload.",
         "Os deltas individuais não indicam retenção superior a 128 MB por workload."},
    };
    std::string text(pieces[0].in(language));
    text += formatFixed(system.memoryGB, 1);
    text += pieces[1].in(language);
    text += peak ? title(peak->workloadID) + ", " + metric(peak->memory.peakMB) + " MB" : unavailable;
    text += pieces[2].in(language);
    text += growth ? title(growth->workloadID) + ", " + deltaText(memoryDelta(*growth)) : unavailable;
    text += pieces[3].in(language);
    text += lines.empty() ? std::string(pieces[4].in(language)) : join(lines);
    text += "\n\n";
    text += (retained ? pieces[5] : pieces[6]).in(language);
    return text;
}

std::string analyzeStability(AIAssistantLanguage language, const Session& session)
{
    if (!session) {
        return noSession(language);
    }
    long long noted = 0;
    long long tails = 0;
    std::vector<std::string> variationLines;
    std::vector<std::string> sustainedLines;
    const std::string_view outside = Bilingual{": outside the certified latency-stability threshold.",
                                               ": fora do limite certificado de estabilidade de latência."}
                                         .in(language);
    for (const AIBenchmarkResult& r : session->results) {
        if (!r.valid) {
            continue;
        }
        if (hasLatencyStabilityNote(r)) {
            ++noted;
            if (variationLines.size() < 6) {
                variationLines.push_back("• " + title(r.workloadID) + " — " + backendText(r.backend) +
                                         std::string(outside));
            }
        }
        tails += isTailHeavy(r) ? 1 : 0;
        if (r.workloadID == AIWorkloadID::mixedSustained) {
            sustainedLines.push_back("• " + backendText(r.backend) + ": retention " +
                                     formatFixed(r.performanceRetention.value_or(0), 2) + "%, thermal " + r.thermalEnd +
                                     ".");
        }
    }
    static constexpr Bilingual pieces[] = {
        {"Stability and repeatability\n\n• Workloads outside the certified stability threshold: ",
         "Estabilidade e repetibilidade\n\n• Workloads fora do limite certificado de estabilidade: "},
        {"\n• Workloads with P99 above 2.5× median: ", "\n• Workloads com P99 maior que 2,5× a mediana: "},
        {"\n\nLargest variations\n", "\n\nMaiores variações\n"},
        {"• No high variation was detected.", "• Nenhuma variação alta foi detectada."},
        {"\n\nSustained AI\n", "\n\nSustained AI\n"},
        {"• Mixed Sustained AI was not executed in this session.",
         "• Mixed Sustained AI não foi executado nesta sessão."},
        {"\n\nFor an official comparison, repeat unstable workloads on AC power, at Nominal thermal state, with no "
         "heavy background process.",
         "\n\nPara uma comparação oficial, repita cargas instáveis com alimentação AC, estado térmico Nominal e nenhum "
         "processo pesado em segundo plano."},
    };
    std::string text(pieces[0].in(language));
    text += count(noted);
    text += pieces[1].in(language);
    text += count(tails);
    text += pieces[2].in(language);
    text += variationLines.empty() ? std::string(pieces[3].in(language)) : join(variationLines);
    text += pieces[4].in(language);
    text += sustainedLines.empty() ? std::string(pieces[5].in(language)) : join(sustainedLines);
    text += pieces[6].in(language);
    return text;
}

std::string recommendImprovements(AIAssistantLanguage language, const Session& session, const AISystemProfile& system,
                                  const History& history)
{
    if (!session) {
        return std::string(Bilingual{
            "Run Quick AI first. Then use Complete AI for full diagnostics and AI Stress for sustained retention.",
            "Execute primeiro o Quick AI. Depois use Complete AI para diagnóstico completo e AI Stress para retenção "
            "sustentada.",
        }
                               .in(language));
    }
    const auto anyResult = [&](auto predicate) {
        return std::any_of(session->results.begin(), session->results.end(), predicate);
    };
    const bool hasPrevious = comparablePrevious(*session, history) != nullptr;
    // The checks in order; each adds its advice at most once.
    const struct {
        bool applies;
        Bilingual advice;
    } checks[] = {
        {session->mode == AIRunMode::quick,
         {"Run Complete AI to cover vision, language, audio, memory, and training.",
          "Execute Complete AI para medir visão, linguagem, áudio, memória e treinamento."}},
        {anyResult(hasLatencyStabilityNote),
         {"Repeat workloads outside the certified stability threshold and close background processes.",
          "Repita os workloads fora do limite certificado de estabilidade e feche processos de fundo."}},
        {anyResult(retentionDropped),
         {"Repeat AI Stress after cooldown; retention below 90% indicates a meaningful sustained drop.",
          "Repita AI Stress após resfriamento; retenção abaixo de 90% indica queda sustentada relevante."}},
        {system.power && system.power->lowPowerMode,
         {"Disable Low Power Mode before producing comparable results.",
          "Desative Low Power Mode antes de gerar resultados comparáveis."}},
        {system.runningUnderRosetta.value_or(false),
         {"Run the native binary; Rosetta makes the result diagnostic-only.",
          "Execute o binário nativo; Rosetta torna o resultado apenas diagnóstico."}},
        {anyResult([](const AIBenchmarkResult& r) { return !r.valid; }),
         {"Fix invalid workloads first; they must not be hidden by the overall score.",
          "Corrija primeiro os workloads inválidos; eles não devem ser mascarados pela pontuação geral."}},
        {!hasPrevious,
         {"Create a second run under the same mode and conditions to evaluate real repeatability.",
          "Crie uma segunda execução no mesmo modo e condições para avaliar repetibilidade real."}},
    };
    std::vector<std::string_view> items;
    for (const auto& check : checks) {
        if (check.applies) {
            items.push_back(check.advice.in(language));
        }
    }
    if (items.empty()) {
        items.push_back(
            Bilingual{"The session is consistent. The next useful step is AI Stress and a second identical "
                      "run to confirm repeatability.",
                      "A sessão está consistente. O próximo passo útil é AI Stress e uma segunda execução "
                      "idêntica para confirmar repetibilidade."}
                .in(language));
    }
    std::string text(Bilingual{"Recommended actions based on measured evidence\n\n",
                               "Ações recomendadas com base nos dados medidos\n\n"}
                         .in(language));
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            text += '\n';
        }
        text += count(static_cast<long long>(i + 1));
        text += ". ";
        text += items[i];
    }
    return text;
}

std::string explainHardware(AIAssistantLanguage language, const AISystemProfile& system, const Session& session)
{
    std::vector<std::string> gpuLines;
    for (const AIGPUProfile& gpu : system.gpuProfiles.value_or(std::vector<AIGPUProfile>{})) {
        const char* kind = gpu.removable  ? "External"
                           : gpu.headless ? "Headless"
                           : gpu.lowPower ? "Integrated / Low Power"
                                          : "Discrete / High Performance";
        gpuLines.push_back("• " + gpu.name + ": " + kind + ", " + (gpu.unifiedMemory ? "unified" : "dedicated") +
                           " memory, working set " + metric(gpu.recommendedWorkingSetMB) + " MB.");
    }
    static constexpr Bilingual pieces[] = {
        {"AI hardware profile\n\n• Model: ", "Perfil de hardware para IA\n\n• Modelo: "},
        {"\n• CPU: ", "\n• CPU: "},
        {"\n• Architecture: ", "\n• Arquitetura: "},
        {" physical cores, ", " núcleos físicos, "},
        {" logical\n• Memory: ", " lógicos\n• Memória: "},
        {" GB\n• Neural Engine: ", " GB\n• Neural Engine: "},
        {"available and validated", "disponível e validado"},
        {"unavailable in this execution", "indisponível nesta execução"},
        {"\n• Native execution: ", "\n• Execução nativa: "},
        {"no, Rosetta", "não, Rosetta"},
        {"yes", "sim"},
        {"\n\nGPUs\n", "\n\nGPUs\n"},
        {"• Metal profile unavailable.", "• Perfil Metal indisponível."},
        {"Current scores: ", "Pontuações atuais: "},
        {"No run is loaded.", "Nenhuma execução está carregada."},
    };
    const auto piece = [&](std::size_t i) { return std::string(pieces[i].in(language)); };
    std::string text = piece(0) + system.modelIdentifier + piece(1) + system.cpuName + piece(2) + system.architecture +
                       ", " + count(system.physicalCores) + piece(3) + count(system.logicalCores) + piece(4) +
                       formatFixed(system.memoryGB, 1) + piece(5) + piece(system.neuralEngineAvailable ? 6 : 7) +
                       piece(8) + piece(system.runningUnderRosetta.value_or(false) ? 9 : 10) + piece(11) +
                       (gpuLines.empty() ? piece(12) : join(gpuLines)) + "\n\n";
    if (session) {
        const AIScoreSummary& s = session->scores;
        text += piece(13) + "Universal " + formatScore(s.universalScore()) + "; Platform " +
                formatScore(s.platformScore()) + "; CPU " + formatScore(s.cpu) + "; GPU " + formatScore(s.gpu) + ".";
    } else {
        text += piece(14);
    }
    return text;
}

std::vector<std::string> anomalyLines(const AIBenchmarkSession& session, AIAssistantLanguage language)
{
    long long noted = 0, tails = 0, retained = 0, dropped = 0;
    for (const AIBenchmarkResult& r : session.results) {
        if (!r.valid) {
            continue;
        }
        noted += hasLatencyStabilityNote(r) ? 1 : 0;
        tails += isTailHeavy(r) ? 1 : 0;
        retained += memoryDelta(r) > retainedMemoryMB ? 1 : 0;
        dropped += retentionDropped(r) ? 1 : 0;
    }
    const bool english = isEnglish(language);
    std::vector<std::string> lines;
    if (noted > 0) {
        lines.push_back("• " + count(noted) +
                        (english ? " workloads were outside the certified latency-stability threshold."
                                 : " workloads ficaram fora do limite certificado de estabilidade de latência."));
    }
    if (tails > 0) {
        lines.push_back(
            "• " + count(tails) +
            (english ? " workloads had P99 above 2.5× median." : " workloads tiveram P99 acima de 2,5× a mediana."));
    }
    if (retained > 0) {
        lines.push_back("• " + count(retained) +
                        (english ? " workloads ended with a memory delta above 128 MB."
                                 : " workloads terminaram com delta de memória acima de 128 MB."));
    }
    if (dropped > 0) {
        lines.push_back("• " + count(dropped) +
                        (english ? " sustained results fell below 90% retention."
                                 : " resultados sustentados ficaram abaixo de 90% de retenção."));
    }
    if (session.scores.invalidResults > 0) {
        const std::string n = count(session.scores.invalidResults);
        lines.push_back(english ? "• There are " + n + " invalid results."
                                : "• Existem " + n + " resultados inválidos.");
    }
    return lines;
}

}  // namespace korvalen::AIAssistantEngine
