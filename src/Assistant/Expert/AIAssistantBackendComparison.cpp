#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantText.h"

#include <algorithm>
#include <map>

namespace korvalen::AIAssistantEngine {

using namespace detail;

namespace {

// Comparable results grouped by workload, groups in order of first appearance.
std::vector<std::vector<const AIBenchmarkResult*>> comparableGroups(const AIBenchmarkSession& session)
{
    std::vector<std::vector<const AIBenchmarkResult*>> groups;
    std::map<AIWorkloadID, std::size_t> index;
    for (const AIBenchmarkResult& result : session.results) {
        if (!comparable(result)) {
            continue;
        }
        const auto [it, inserted] = index.emplace(result.workloadID, groups.size());
        if (inserted) {
            groups.emplace_back();
        }
        groups[it->second].push_back(&result);
    }
    return groups;
}

// The highest score of the group on `backend` (all backends when absent); the first wins ties.
const AIBenchmarkResult* best(const std::vector<const AIBenchmarkResult*>& group, std::optional<AIBackend> backend)
{
    const AIBenchmarkResult* winner = nullptr;
    for (const AIBenchmarkResult* result : group) {
        if ((!backend || result->backend == *backend) &&
            (!winner || rankScore(result->score) > rankScore(winner->score))) {
            winner = result;
        }
    }
    return winner;
}

double scoreRatio(double numerator, double denominator)
{
    return numerator / std::max(denominator, 0.0001);
}

}  // namespace

WinSummary backendWinSummary(const AIBenchmarkSession& session)
{
    const auto groups = comparableGroups(session);
    if (groups.empty()) {
        return {"• Não há resultados certificados suficientes para declarar vencedores por backend.",
                "• There are not enough certified results to declare backend winners."};
    }
    std::map<AIBackend, long long> wins;
    for (const auto& group : groups) {
        wins[best(group, std::nullopt)->backend] += 1;
    }
    const std::string c = count(wins[AIBackend::cpu]);
    const std::string g = count(wins[AIBackend::gpu]);
    const std::string n = count(wins[AIBackend::neuralEnginePreferred]);
    return {"• CPU venceu " + c + " workloads; GPU venceu " + g + "; Neural Engine Preferred venceu " + n +
                ".\n• Platform AI escolhe o melhor resultado válido por workload; Universal AI mantém o caminho "
                "canônico comparável.",
            "• CPU won " + c + " workloads; GPU won " + g + "; Neural Engine Preferred won " + n +
                ".\n• Platform AI selects the best valid result per workload; Universal AI preserves the canonical "
                "comparable path."};
}

std::vector<BackendPair> backendPairs(const AIBenchmarkSession& session)
{
    std::vector<BackendPair> pairs;
    for (const auto& group : comparableGroups(session)) {
        const AIBenchmarkResult* cpu = best(group, AIBackend::cpu);
        const AIBenchmarkResult* gpu = best(group, AIBackend::gpu);
        if (cpu && gpu) {
            pairs.push_back({*cpu, *gpu, scoreRatio(cpu->score, gpu->score)});
        }
    }
    return pairs;
}

std::vector<AIBenchmarkResult> selectRankedResults(const std::vector<AIBenchmarkResult>& results, std::size_t count,
                                                   bool highestFirst)
{
    std::vector<AIBenchmarkResult> ranked;
    if (count == 0) {
        return ranked;
    }
    for (const AIBenchmarkResult& result : results) {
        const auto below = std::find_if(ranked.begin(), ranked.end(), [&](const AIBenchmarkResult& kept) {
            const double keptScore = rankScore(kept.score);
            const double newScore = rankScore(result.score);
            return highestFirst ? keptScore < newScore : keptScore > newScore;
        });
        if (below != ranked.end()) {
            ranked.insert(below, result);
            if (ranked.size() > count) {
                ranked.pop_back();
            }
        } else if (ranked.size() < count) {
            ranked.push_back(result);
        }
    }
    return ranked;
}

std::string compareBackends(AIAssistantLanguage language, const Session& session, const AISystemProfile& system,
                            std::optional<AIWorkloadID> workload)
{
    if (!session) {
        return noSession(language);
    }
    if (workload) {
        return compareBackendsForWorkload(language, *session, system, *workload);
    }
    const WinSummary summary = backendWinSummary(*session);
    const std::vector<BackendPair> pairs = backendPairs(*session);

    std::vector<BackendPair> cpuWins;
    std::vector<BackendPair> gpuWins;
    for (const BackendPair& pair : pairs) {
        if (pair.cpu.score > pair.gpu.score) {
            cpuWins.push_back(pair);
        } else if (pair.gpu.score > pair.cpu.score) {
            gpuWins.push_back(pair);
        }
    }
    std::stable_sort(cpuWins.begin(), cpuWins.end(),
                     [](const BackendPair& a, const BackendPair& b) { return a.ratio > b.ratio; });
    std::stable_sort(gpuWins.begin(), gpuWins.end(),
                     [](const BackendPair& a, const BackendPair& b) { return a.ratio < b.ratio; });
    const auto lines = [](const std::vector<BackendPair>& list, bool cpu) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < list.size() && i < 4; ++i) {
            const BackendPair& pair = list[i];
            const double factor =
                cpu ? scoreRatio(pair.cpu.score, pair.gpu.score) : scoreRatio(pair.gpu.score, pair.cpu.score);
            out.push_back("• " + title(pair.cpu.workloadID) + (cpu ? ": CPU " : ": GPU ") + formatFixed(factor, 2) +
                          "× faster by score.");
        }
        return join(out);
    };
    const std::string cpuLines =
        cpuWins.empty() ? std::string(Bilingual{"• No equivalent CPU/GPU pair clearly favored the CPU.",
                                                "• Nenhum par CPU/GPU equivalente favoreceu claramente a CPU."}
                                          .in(language))
                        : lines(cpuWins, true);
    const std::string gpuLines =
        gpuWins.empty() ? std::string(Bilingual{"• No equivalent CPU/GPU pair clearly favored the GPU.",
                                                "• Nenhum par CPU/GPU equivalente favoreceu claramente a GPU."}
                                          .in(language))
                        : lines(gpuWins, false);

    std::string note;
    if (system.gpuRegistryID && system.gpuProfiles) {
        const auto& profiles = *system.gpuProfiles;
        const auto current = std::find_if(profiles.begin(), profiles.end(),
                                          [&](const AIGPUProfile& p) { return p.registryID == *system.gpuRegistryID; });
        if (current != profiles.end() && !current->unifiedMemory) {
            note =
                Bilingual{
                    "This is a discrete GPU. Small workloads may favor the CPU because of dispatch, "
                    "synchronization, and data movement overhead.",
                    "Esta é uma GPU discreta. Cargas pequenas podem favorecer a CPU por causa de despacho, "
                    "sincronização e movimentação de dados."}
                    .in(language);
        }
    }
    if (isEnglish(language)) {
        return summary.english + "\n\nLargest CPU wins\n" + cpuLines + "\n\nLargest GPU wins\n" + gpuLines + "\n\n" +
               note;
    }
    return summary.portuguese + "\n\nMaiores vitórias da CPU\n" + cpuLines + "\n\nMaiores vitórias da GPU\n" +
           gpuLines + "\n\n" + note;
}

std::string compareBackendsForWorkload(AIAssistantLanguage language, const AIBenchmarkSession& session,
                                       const AISystemProfile& system, AIWorkloadID workload)
{
    const std::string& name = title(workload);
    std::vector<AIBenchmarkResult> valid;
    std::vector<AIBenchmarkResult> certifiedResults;
    for (const AIBenchmarkResult& result : session.results) {
        if (result.workloadID == workload && result.valid) {
            valid.push_back(result);
            if (certified(result)) {
                certifiedResults.push_back(result);
            }
        }
    }
    const bool english = isEnglish(language);
    if (valid.empty()) {
        return english ? "The " + name + " workload has no valid result in the loaded session."
                       : "O workload " + name + " não possui resultado válido na sessão carregada.";
    }
    if (certifiedResults.empty()) {
        return english ? "The " + name +
                             " results in this session are diagnostic-only. I will not declare a CPU/GPU winner until "
                             "a certified measurement is available."
                       : "Os resultados de " + name +
                             " nesta sessão são somente diagnósticos. Não vou declarar um vencedor CPU/GPU até existir "
                             "uma medição certificada.";
    }
    const std::vector<AIBenchmarkResult> ranked = sortedByScoreDescending(std::move(certifiedResults));
    std::vector<std::string> lines;
    for (const AIBenchmarkResult& r : ranked) {
        lines.push_back("• " + backendText(r.backend) + ": score " + formatScore(r.score) + ", " +
                        metric(r.throughput) + " " + r.throughputUnit + ", median " + metric(r.latency.medianMS) +
                        " ms, peak " + metric(r.memory.peakMB) + " MB.");
    }
    const AIBenchmarkResult& winner = ranked.front();
    const auto& profiles = system.gpuProfiles.value_or(std::vector<AIGPUProfile>{});
    const bool discrete =
        std::any_of(profiles.begin(), profiles.end(), [](const AIGPUProfile& p) { return !p.unifiedMemory; });
    const std::string explanation(
        winner.backend == AIBackend::cpu && discrete
            ? Bilingual{"The CPU can win this workload size because discrete-GPU dispatch and synchronization overhead "
                        "is larger than the useful work.",
                        "A CPU pode vencer esse tamanho de carga porque o custo fixo de despacho e sincronização da "
                        "GPU "
                        "discreta é maior do que o trabalho útil."}
                  .in(language)
            : Bilingual{"The winner was selected from the highest valid measured result, not from a fixed app "
                        "preference.",
                        "O vencedor foi definido pelo maior resultado válido medido, não por uma preferência fixa do "
                        "app."}
                  .in(language));
    if (english) {
        return "Comparison for " + name + "\n\n" + join(lines) + "\n\nWinner: " + backendText(winner.backend) + ". " +
               explanation;
    }
    return "Comparação de " + name + "\n\n" + join(lines) + "\n\nVencedor: " + backendText(winner.backend) + ". " +
           explanation;
}

}  // namespace korvalen::AIAssistantEngine
