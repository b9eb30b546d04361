// Answer time of the built-in expert over the assistant's example questions, with a "Complete AI"
// compare-all run loaded and a full history of 20 such runs saved. The chat waits on this answer
// before anything else, so every question should stay well under 20 ms.
//
// `ExpertAnswer/<i>` times one question each; `ExpertAnswerSpread` answers every question in turn,
// timing each answer alone, and reports the median and the maximum answer time in microseconds.
// `ExpertLongQuestionRatio/<shape>/<MiB>` answers a pasted question of that many MiB in one script
// and one of ordinary words of the same size, and reports both times and their ratio (at most 4).

#include "Assistant/Expert/AIAssistantEngine.h"
#include "Model/AIWorkloadCatalog.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

using namespace korvalen;

namespace {

const std::vector<std::string> questions{
    "hello",
    "Which mode should I use?",
    "Olá, tudo bem?",
    "Analyze my complete result.",
    "Analise meu resultado completo.",
    "Compare CPU and GPU and explain why CPU won.",
    "CPU × GPU",
    "What happened in Transformer Attention?",
    "explain rope",
    "why?",
    "why is that?",
    "Analyze memory and retention.",
    "Compare with the previous run.",
    "What should I improve?",
    "ok",
    "what about the gpu",
    "Why are there invalid results?",
    "Is my mac thermal throttling?",
    "xyz",
    "e isso?",
};

AISystemProfile benchSystem()
{
    AISystemProfile s;
    s.modelIdentifier = "Workstation9,1";
    s.cpuName = "Bench CPU";
    s.architecture = "x86_64";
    s.physicalCores = 8;
    s.logicalCores = 16;
    s.memoryGB = 32;
    s.osVersion = "Linux";
    s.appVersion = "1.0.0";
    s.gpuName = "Bench GPU";
    s.gpuRegistryID = 7;
    AIGPUProfile gpu;
    gpu.name = "Bench GPU";
    gpu.registryID = 7;
    gpu.recommendedWorkingSetMB = 8192;
    s.gpuProfiles = std::vector<AIGPUProfile>{gpu};
    return s;
}

// A certified "Complete AI" run with every backend compared; `variant` shifts the scores a little.
AIBenchmarkSession completeCompareAllRun(int variant)
{
    AIBenchmarkSession s;
    s.id = Uuid::random();
    s.startedAt = Date{} + std::chrono::hours(24 * 365 * 56 - variant);
    s.completedAt = s.startedAt + std::chrono::minutes(20);
    s.mode = AIRunMode::complete;
    s.compareAllBackends = true;
    s.system = benchSystem();
    s.methodologyVersion = 4;
    int index = 0;
    for (AIWorkloadID id : workloadIDs(AIRunMode::complete)) {
        const AIWorkloadDefinition& workload = definition(id);
        for (AIBackend backend : workload.supportedBackends) {
            ++index;
            AIBenchmarkResult r;
            r.workloadID = id;
            r.backend = backend;
            r.valid = index % 17 != 0;
            r.certifiedForComparison = r.valid;
            r.score = r.valid ? 400 + std::fmod(index * 137.0 + variant * 11.0, 1600) : 0;
            r.scoreRole = backend == workload.canonicalBackend ? AIScoreRole::universal : AIScoreRole::comparison;
            r.throughput = r.score / 7;
            r.throughputUnit = workload.throughputUnit;
            r.latency.medianMS = 1 + index % 5;
            r.latency.p99MS = r.latency.medianMS * (index % 7 == 0 ? 3 : 1.5);
            r.latency.maximumMS = *r.latency.p99MS * 1.2;
            r.memory = {200, 200 + index * 9.0, 200.0 + (index % 11 == 0 ? 150 : 4)};
            r.thermalEnd = "Nominal";
            if (id == AIWorkloadID::mixedSustained) {
                r.performanceRetention = 88 + index % 5;
            }
            s.results.push_back(r);
        }
    }
    s.scores.overall = 1000 + variant;
    s.scores.universal = 990 + variant;
    s.scores.platform = 1100 + variant;
    s.scores.cpu = 800;
    s.scores.gpu = 1200;
    for (const AIBenchmarkResult& r : s.results) {
        (r.valid ? s.scores.validResults : s.scores.invalidResults) += 1;
    }
    return s;
}

struct Fixture {
    std::optional<AIBenchmarkSession> session;
    std::vector<AIBenchmarkSession> history;
    AISystemProfile system = benchSystem();
    AIAssistantConversationContext context;

    Fixture()
    {
        for (int i = 0; i < 20; ++i) {
            history.push_back(completeCompareAllRun(i));
        }
        session = history.front();
        context.lastIntent = AIAssistantIntent::explainWorkload;
        context.lastWorkloadID = AIWorkloadID::transformerAttention;
        context.lastBackend = AIBackend::gpu;
    }
};

const Fixture& fixture()
{
    static const Fixture f;
    return f;
}

void ExpertAnswer(benchmark::State& state)
{
    const Fixture& f = fixture();
    const std::string& question = questions[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(question);
    for (auto _ : state) {
        auto answer =
            AIAssistantEngine::respond(question, f.session, f.system, f.history, f.context, [] { return false; });
        benchmark::DoNotOptimize(answer);
    }
}
BENCHMARK(ExpertAnswer)->DenseRange(0, static_cast<int>(questions.size()) - 1)->Unit(benchmark::kMicrosecond);

void ExpertAnswerSpread(benchmark::State& state)
{
    const Fixture& f = fixture();
    std::vector<double> micros;
    for (auto _ : state) {
        for (const std::string& question : questions) {
            const auto start = std::chrono::steady_clock::now();
            auto answer =
                AIAssistantEngine::respond(question, f.session, f.system, f.history, f.context, [] { return false; });
            benchmark::DoNotOptimize(answer);
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["max_us"] = micros.back();
    state.counters["answers"] = static_cast<double>(micros.size());
}
BENCHMARK(ExpertAnswerSpread)->Unit(benchmark::kMillisecond);

void ExpertAnswerLongQuestion(benchmark::State& state)
{
    const Fixture& f = fixture();
    std::string question = "Please analyze the memory of ";
    while (question.size() < 100 * 1024) {
        question += "lorem ipsum dolor sit amet çà 12 ";
    }
    for (auto _ : state) {
        auto answer =
            AIAssistantEngine::respond(question, f.session, f.system, f.history, f.context, [] { return false; });
        benchmark::DoNotOptimize(answer);
    }
}
BENCHMARK(ExpertAnswerLongQuestion)->Unit(benchmark::kMillisecond);

// Long pasted questions: a script (without spaces where it has none) against ordinary words.
std::string repeatedTo(std::size_t bytes, const std::function<std::string(std::size_t)>& unit)
{
    std::string text;
    for (std::size_t i = 0; text.size() < bytes; ++i) {
        text += unit(i);
    }
    return text;
}

std::string codePoint(char32_t c)
{
    std::string out;
    if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (c & 0x3F));
    return out;
}

const std::vector<std::pair<std::string, std::function<std::string(std::size_t)>>>& shapes()
{
    static const std::vector<std::pair<std::string, std::function<std::string(std::size_t)>>> all{
        {"hangul", [](std::size_t i) { return codePoint(0xAC00 + static_cast<char32_t>(i * 31 % 11172)); }},
        // Kanji, then hiragana with and without voicing marks, precomposed.
        {"japanese",
         [](std::size_t i) {
             return codePoint(0x4E00 + static_cast<char32_t>(i * 7 % 20000)) + codePoint(0x304C) + codePoint(0x3042);
         }},
        {"chinese", [](std::size_t i) { return codePoint(0x4E00 + static_cast<char32_t>(i * 13 % 20000)); }},
        {"portuguese", [](std::size_t) { return std::string("Memória de execução não é pontuação ótima; "); }},
        {"mixed",
         [](std::size_t i) {
             return codePoint(0xAC00 + static_cast<char32_t>(i % 11172)) + codePoint(0x30AC) + "e" + codePoint(0x301) +
                    codePoint(0x316) + codePoint(0x4E2D) + codePoint(0x1F600) + codePoint(0x0E01) + codePoint(0x0E31);
         }},
        // One letter, then combining marks of two classes without end.
        {"marks", [](std::size_t i) { return i == 0 ? std::string("a") : codePoint(0x301) + codePoint(0x316); }},
    };
    return all;
}

void ExpertLongQuestionRatio(benchmark::State& state)
{
    const Fixture& f = fixture();
    const auto& [name, unit] = shapes()[static_cast<std::size_t>(state.range(0))];
    const auto bytes = static_cast<std::size_t>(state.range(1)) * 1024 * 1024;
    const std::string script = "Please analyze the memory of " + repeatedTo(bytes, unit);
    const std::string words =
        "Please analyze the memory of " + repeatedTo(bytes, [](std::size_t) { return "lorem ipsum dolor sit amet "; });
    state.SetLabel(name);
    double scriptSeconds = 0;
    double wordsSeconds = 0;
    const auto timed = [&](const std::string& question) {
        const auto start = std::chrono::steady_clock::now();
        auto answer =
            AIAssistantEngine::respond(question, f.session, f.system, f.history, f.context, [] { return false; });
        benchmark::DoNotOptimize(answer);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (auto _ : state) {
        scriptSeconds += timed(script);
        wordsSeconds += timed(words);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["script_ms"] = scriptSeconds / n * 1000;
    state.counters["words_ms"] = wordsSeconds / n * 1000;
    state.counters["ratio"] = scriptSeconds / wordsSeconds;
}
BENCHMARK(ExpertLongQuestionRatio)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 5, 1), {1, 4}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
