#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantText.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

namespace korvalen::AIAssistantEngine {

using namespace detail;

namespace {

const std::vector<AIGPUProfile>& gpuProfiles(const AISystemProfile& system)
{
    static const std::vector<AIGPUProfile> none;
    return system.gpuProfiles ? *system.gpuProfiles : none;
}

const AIGPUProfile* profileWithID(const AISystemProfile& system, std::uint64_t registryID)
{
    for (const AIGPUProfile& profile : gpuProfiles(system)) {
        if (profile.registryID == registryID) {
            return &profile;
        }
    }
    return nullptr;
}

bool systemsAgree(const AISystemProfile& a, const AISystemProfile& b)
{
    return a.modelIdentifier == b.modelIdentifier && a.cpuName == b.cpuName && a.architecture == b.architecture &&
           a.logicalCores == b.logicalCores && a.physicalCores == b.physicalCores &&
           std::fabs(a.memoryGB - b.memoryGB) <= 0.25 && a.neuralEngineAvailable == b.neuralEngineAvailable &&
           a.appVersion == b.appVersion && a.osVersion == b.osVersion;
}

}  // namespace

double percentChange(double current, double previous)
{
    if (!std::isfinite(current) || !std::isfinite(previous) || std::fabs(previous) <= 0.0001) {
        return 0;
    }
    return (current / previous - 1) * 100;
}

std::string sessionDateText(Date date)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return QLocale().toString(local, QLocale::ShortFormat).toStdString();
}

bool sessionIsComparable(const AIBenchmarkSession& session)
{
    const double universal = session.scores.universalScore();
    const double platform = session.scores.platformScore();
    return !session.cancelled && session.completedAt && !session.results.empty() && session.methodologyVersion == 4 &&
           session.certificationNotes.value_or(std::vector<std::string>{}).empty() && std::isfinite(universal) &&
           universal > 0 && std::isfinite(platform) && platform > 0;
}

bool runUsesGPUSelection(const AIBenchmarkSession& session)
{
    return session.compareAllBackends || session.compareAllGPUs.value_or(false) ||
           session.requestedBackend == AIBackend::automatic || session.requestedBackend == AIBackend::gpu;
}

std::string gpuProfileSignature(const AIGPUProfile& profile)
{
    return profile.name + "|" + (profile.lowPower ? "low-power" : "high-performance") + "|" +
           (profile.removable ? "removable" : "internal") + "|" + (profile.headless ? "headless" : "display-capable") +
           "|" + (profile.unifiedMemory ? "unified" : "dedicated");
}

std::string gpuSelectionSignature(const AIBenchmarkSession& session)
{
    const AISystemProfile& system = session.system;
    std::string primary = system.gpuName;
    const AIGPUProfile* selected =
        session.selectedGPURegistryID ? profileWithID(system, *session.selectedGPURegistryID) : nullptr;
    if (!selected && system.gpuRegistryID) {
        selected = profileWithID(system, *system.gpuRegistryID);
    }
    if (selected) {
        primary = gpuProfileSignature(*selected);
    }
    if (!session.compareAllGPUs.value_or(false)) {
        return primary;
    }
    std::vector<std::string> all;
    for (const AIGPUProfile& profile : gpuProfiles(system)) {
        all.push_back(gpuProfileSignature(profile));
    }
    std::sort(all.begin(), all.end());
    return "universal=" + primary + "||all=" + join(all, "||");
}

const AIBenchmarkSession* comparablePrevious(const AIBenchmarkSession& current, const History& history)
{
    if (!sessionIsComparable(current)) {
        return nullptr;
    }
    const bool currentUsesGPU = runUsesGPUSelection(current);
    std::optional<std::string> currentSignature;
    for (const AIBenchmarkSession& p : history) {
        if (p.id == current.id || !sessionIsComparable(p) || p.mode != current.mode ||
            p.compareAllBackends != current.compareAllBackends ||
            (!current.compareAllBackends && p.requestedBackend != current.requestedBackend) ||
            p.compareAllGPUs.value_or(false) != current.compareAllGPUs.value_or(false) ||
            !systemsAgree(p.system, current.system)) {
            continue;
        }
        if (currentUsesGPU || runUsesGPUSelection(p)) {
            if (!currentSignature) {
                currentSignature = gpuSelectionSignature(current);
            }
            if (gpuSelectionSignature(p) != *currentSignature) {
                continue;
            }
        }
        return &p;
    }
    return nullptr;
}

std::vector<WorkloadChange> perWorkloadChanges(const AIBenchmarkSession& current, const AIBenchmarkSession& previous)
{
    const auto key = [](const AIBenchmarkResult& r) {
        return std::string(rawValue(r.workloadID)) + std::string(rawValue(r.backend));
    };
    std::map<std::string, double> previousScores;
    for (const AIBenchmarkResult& result : canonicalResults(previous)) {
        previousScores.emplace(key(result), result.score);
    }
    std::vector<WorkloadChange> changes;
    for (const AIBenchmarkResult& result : canonicalResults(current)) {
        const auto match = previousScores.find(key(result));
        if (match != previousScores.end()) {
            changes.push_back({title(result.workloadID), result.backend, percentChange(result.score, match->second)});
        }
    }
    std::stable_sort(changes.begin(), changes.end(), [](const WorkloadChange& a, const WorkloadChange& b) {
        return std::fabs(a.delta) > std::fabs(b.delta);
    });
    return changes;
}

std::string compareScoreLine(const AIBenchmarkSession& current, const AIBenchmarkSession& previous,
                             AIAssistantLanguage language)
{
    const std::string universal =
        percentText(percentChange(current.scores.universalScore(), previous.scores.universalScore()));
    const std::string platform =
        percentText(percentChange(current.scores.platformScore(), previous.scores.platformScore()));
    const std::string date = sessionDateText(previous.startedAt);
    return isEnglish(language)
               ? "Historical comparison: Universal " + universal + "; Platform " + platform + " versus " + date + "."
               : "Comparação histórica: Universal " + universal + "; Platform " + platform + " contra " + date + ".";
}

std::string compareRuns(AIAssistantLanguage language, const Session& session, const History& history)
{
    if (!session) {
        return noSession(language);
    }
    const AIBenchmarkSession* previous = comparablePrevious(*session, history);
    if (!previous) {
        return std::string(Bilingual{
            "I could not find another certified run with the same mode, backend, GPU selection, hardware, and "
            "architecture for a technically fair comparison.",
            "Não encontrei outra execução certificada com o mesmo modo, backend, seleção de GPU, hardware e "
            "arquitetura para uma comparação tecnicamente justa.",
        }
                               .in(language));
    }
    const AIScoreSummary& now = session->scores;
    const AIScoreSummary& before = previous->scores;
    const std::string scores =
        "\n\n• Universal AI: " + percentText(percentChange(now.universalScore(), before.universalScore())) +
        "\n• Platform AI: " + percentText(percentChange(now.platformScore(), before.platformScore())) +
        "\n• CPU AI: " + percentText(percentChange(now.cpu, before.cpu)) +
        "\n• GPU AI: " + percentText(percentChange(now.gpu, before.gpu));

    std::vector<std::string> lines;
    for (const WorkloadChange& change : perWorkloadChanges(*session, *previous)) {
        if (lines.size() == 6) {
            break;
        }
        lines.push_back("• " + change.title + ": " + percentText(change.delta) + " — " + backendText(change.backend));
    }
    const std::string changes = lines.empty() ? std::string(Bilingual{"• There are not enough equivalent result pairs.",
                                                                      "• Não há pares equivalentes suficientes."}
                                                                .in(language))
                                              : join(lines);
    const std::string date = sessionDateText(previous->startedAt);
    if (isEnglish(language)) {
        return "Comparison with the run from " + date + scores + "\n\nLargest workload changes\n" + changes +
               "\n\nA small difference, especially below 3%, may be normal noise. Confirm regressions with the same "
               "mode, power source, thermal state, and backends.";
    }
    return "Comparação com a execução de " + date + scores + "\n\nMaiores mudanças por workload\n" + changes +
           "\n\nUma diferença pequena, especialmente abaixo de 3%, pode ser ruído normal. Confirme regressões com o "
           "mesmo modo, alimentação, estado térmico e backends.";
}

}  // namespace korvalen::AIAssistantEngine
